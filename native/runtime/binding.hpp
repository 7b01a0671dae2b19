// Positional/keyword binding against a parameter table.
//
// Binds a vectorcall (args, nargsf, kwnames) to the parameters named in
// `params` (a tuple of interned str), filling trailing parameters from
// `defaults` (a tuple or None). Keywords are matched by pointer first, then by
// string equality. On success `out[0..nparams)` holds borrowed references.
//
// The messages are the interpreter's own wording for native functions:
//   "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
//   "%s() got an unexpected keyword argument '%U'"
//   "%s() got multiple values for keyword argument '%U'"  (by position and by
//       keyword, or by two keywords)
//   "%.200s() keywords must be strings"
// When a required parameter is missing and keywords were passed, the given
// count is the index of the first missing parameter.
#pragma once

#include <Python.h>

namespace rt {

constexpr Py_ssize_t kMaxParams = 16;

int bind_arguments(const char* name, PyObject* params, PyObject* defaults,
                   PyObject* const* args, size_t nargsf, PyObject* kwnames,
                   PyObject** out) noexcept;

}  // namespace rt
