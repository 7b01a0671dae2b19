// Code objects for native functions: what `__code__` shows and what
// `inspect` reads the parameters from.
#pragma once

#include <Python.h>

#include "runtime/ref.hpp"

namespace rt {

// A code object named `name` (qualified `qualname`) in `filename`, starting
// at `first_line`, whose first `argcount` local names are its positional
// parameters; no positional-only, keyword-only or variable parameters. Its
// bytecode is an empty body's: it is never run, but must be runnable.
Ref make_code(PyObject* name, PyObject* qualname, PyObject* filename, int argcount,
              PyObject* varnames, int first_line) noexcept;

}  // namespace rt
