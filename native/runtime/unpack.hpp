// Unpacking a fixed number of items, as `a, b, c = value` does.
#pragma once

#include <Python.h>

#include "runtime/ref.hpp"

namespace rt {

// Fills out[0..n) with the n items of `value`. An exact tuple or list must
// hold exactly n items; any other object is iterated item by item, and must
// stop after n. Errors:
//   ValueError "too many values to unpack (expected %zd)"
//   ValueError "need more than %zd value%.1s to unpack"
// and whatever iterating raises. Returns 0, or -1 with every out[i] empty.
int unpack(PyObject* value, Ref* out, Py_ssize_t n) noexcept;

}  // namespace rt
