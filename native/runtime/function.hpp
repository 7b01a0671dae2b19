// A native function type that behaves like a Python function.
//
// Called through vectorcall; bound as a method when fetched through an
// instance (tp_descr_get + Py_TPFLAGS_METHOD_DESCRIPTOR, so `obj.f(...)`
// skips the bound-method object); carries the attributes `inspect` and
// `help()` read: __name__ __qualname__ __module__ __doc__ __defaults__
// __kwdefaults__ __code__ __annotations__ __dict__ __globals__ __builtins__.
//
// A body reads module globals from its own function's globals and builtins,
// as a Python function does, never from a dict it was not defined in: a
// function outlives the exec step that made it, even a failed one.
//
// The parameters are those of the method description; the call is bound
// against them and the body receives the bound values. The type is a heap
// type made with PyType_FromSpec, once per process.
#pragma once

#include <Python.h>

#include "runtime/imports.hpp"
#include "runtime/method.hpp"
#include "runtime/ref.hpp"

namespace rt {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Method* method;          // the description the function was made from
    PyObject* params;        // tuple of parameter names
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;      // tuple or None
    PyObject* code;
    PyObject* annotations;   // dict or None
    PyObject* globals;       // the defining module's dict
    PyObject* builtins;      // the builtins dict those globals name
    PyObject* klass;         // the class for a zero-argument super(), or null
    PyObject* dict;
};

// Readies the type; once per process.
int init_function_type() noexcept;

// A new function for `method` (prepared), with the qualified name, defaults
// (tuple or None), documentation (or None) and annotations (dict, or None for
// an empty dict of its own) given.
Ref make_function(Method& method, PyObject* qualname, PyObject* module, PyObject* doc,
                  PyObject* defaults, PyObject* annotations, PyObject* globals) noexcept;

// Sets the class that the body treats as its `__class__` cell.
void set_function_class(PyObject* function, PyObject* klass) noexcept;

// A module global as the body of `f` reads it: `f`'s globals, then its
// builtins, else NameError.
inline Ref lookup_global(const Function* f, GlobalName& g) noexcept {
    return lookup_global(g, f->globals, f->builtins);
}

}  // namespace rt
