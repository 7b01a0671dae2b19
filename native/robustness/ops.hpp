// The few operations every method body is written in. Each takes borrowed
// views and returns an owning reference (null with the exception set on
// failure), so a body reads as one statement and one check per source line.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "robustness/names.hpp"
#include "runtime/function.hpp"
#include "runtime/ref.hpp"
#include "runtime/traceback.hpp"

namespace robustness {

using rt::Ref;

// File name shown in the methods' traceback entries.
inline constexpr const char* kTraceFile = "korvan\\\\factsheet\\\\diagnose\\\\robustness";

inline Ref getattr(PyObject* o, PyObject* name) noexcept {
    return Ref::steal(PyObject_GetAttr(o, name));
}

inline Ref getitem(PyObject* o, PyObject* key) noexcept {
    return Ref::steal(PyObject_GetItem(o, key));
}

// callable(*positional, **dict(zip(kwnames, keyword values))): `args` holds the
// positional values followed by one value per name in `kwnames`.
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args,
                PyObject* kwnames = nullptr) noexcept {
    PyObject* stack[12];
    size_t n = 0;
    for (PyObject* a : args) stack[1 + n++] = a;
    const size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return Ref::steal(PyObject_Vectorcall(
        callable, stack + 1, (n - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// obj.name(*positional, **keywords), looked up on `obj` at the call.
inline Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args,
                       PyObject* kwnames = nullptr) noexcept {
    PyObject* stack[12];
    stack[0] = obj;
    size_t n = 1;
    for (PyObject* a : args) stack[n++] = a;
    const size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return Ref::steal(PyObject_VectorcallMethod(
        name, stack, (n - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// A new tuple of the given objects (new references taken).
inline Ref tuple(std::initializer_list<PyObject*> items) noexcept {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (!t) return Ref();
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(t, i++, Py_NewRef(item));
    return Ref::steal(t);
}

// A new list of the given objects (new references taken).
inline Ref list(std::initializer_list<PyObject*> items) noexcept {
    PyObject* l = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (!l) return Ref();
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyList_SET_ITEM(l, i++, Py_NewRef(item));
    return Ref::steal(l);
}

// Adds the method's traceback entry for `line` and returns null.
inline PyObject* fail(rt::TraceSite& site, int line) noexcept {
    rt::add_traceback(site, line, S.globals);
    return nullptr;
}

}  // namespace robustness
