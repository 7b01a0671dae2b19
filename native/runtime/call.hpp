// The operations every native function body is written in. Each takes
// borrowed views and returns an owning reference (null with the exception set
// on failure), so a body reads as one statement and one check per line.
//
// Argument lists are braced lists of views, `call(f, {a, b})`; their length
// is a compile-time constant, so the vectorcall stack is sized exactly and a
// keyword call with fewer values than keyword names does not compile.
#pragma once

#include <Python.h>

#include <cstddef>

#include "runtime/ref.hpp"

namespace rt {

// The number of items of a comma-separated list given as text ("a, b" is 2).
constexpr std::size_t count_items(const char* text) noexcept {
    std::size_t n = 1;
    for (; *text; ++text) n += *text == ',';
    return n;
}

// A tuple of K keyword names for a vectorcall, made once and kept. The count
// is part of the type, so every call checks it against its values.
template <std::size_t K>
struct Keywords {
    Kept names;
};

inline Ref getattr(PyObject* o, PyObject* name) noexcept {
    return Ref::steal(PyObject_GetAttr(o, name));
}

inline Ref getitem(PyObject* o, PyObject* key) noexcept {
    return Ref::steal(PyObject_GetItem(o, key));
}

namespace detail {

// stack[0] is left free for the callee's use (PY_VECTORCALL_ARGUMENTS_OFFSET),
// or holds `self` for a method call.
template <std::size_t N>
Ref vectorcall(PyObject* callable, PyObject* const (&args)[N], std::size_t npos,
               PyObject* kwnames) noexcept {
    PyObject* stack[N + 1];
    stack[0] = nullptr;
    for (std::size_t i = 0; i < N; ++i) stack[i + 1] = args[i];
    return Ref::steal(
        PyObject_Vectorcall(callable, stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

template <std::size_t N>
Ref vectorcall_method(PyObject* obj, PyObject* name, PyObject* const (&args)[N],
                      std::size_t npos, PyObject* kwnames) noexcept {
    PyObject* stack[N + 1];
    stack[0] = obj;
    for (std::size_t i = 0; i < N; ++i) stack[i + 1] = args[i];
    return Ref::steal(PyObject_VectorcallMethod(
        name, stack, (npos + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

}  // namespace detail

// callable()
inline Ref call(PyObject* callable) noexcept {
    return Ref::steal(PyObject_CallNoArgs(callable));
}

// callable(*args)
template <std::size_t N>
Ref call(PyObject* callable, PyObject* const (&args)[N]) noexcept {
    return detail::vectorcall(callable, args, N, nullptr);
}

// callable(*positional, **dict(zip(keywords, values))): `args` holds the
// positional values followed by one value per keyword name.
template <std::size_t N, std::size_t K>
Ref call(PyObject* callable, PyObject* const (&args)[N], const Keywords<K>& keywords) noexcept {
    static_assert(K <= N, "a value for every keyword name");
    return detail::vectorcall(callable, args, N - K, keywords.names);
}

// obj.name(), looked up on `obj` at the call.
inline Ref call_method(PyObject* obj, PyObject* name) noexcept {
    return Ref::steal(PyObject_CallMethodNoArgs(obj, name));
}

// obj.name(*args)
template <std::size_t N>
Ref call_method(PyObject* obj, PyObject* name, PyObject* const (&args)[N]) noexcept {
    return detail::vectorcall_method(obj, name, args, N, nullptr);
}

// obj.name(*positional, **keywords), as `call` above.
template <std::size_t N, std::size_t K>
Ref call_method(PyObject* obj, PyObject* name, PyObject* const (&args)[N],
                const Keywords<K>& keywords) noexcept {
    static_assert(K <= N, "a value for every keyword name");
    return detail::vectorcall_method(obj, name, args, N - K, keywords.names);
}

// A new tuple of the given objects (new references taken).
template <std::size_t N>
Ref tuple(PyObject* const (&items)[N]) noexcept {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(N)));
    if (!t) return t;
    for (std::size_t i = 0; i < N; ++i) PyTuple_SET_ITEM(t.get(), i, Py_NewRef(items[i]));
    return t;
}

// A new list of the given objects (new references taken).
template <std::size_t N>
Ref list(PyObject* const (&items)[N]) noexcept {
    Ref l = Ref::steal(PyList_New(static_cast<Py_ssize_t>(N)));
    if (!l) return l;
    for (std::size_t i = 0; i < N; ++i) PyList_SET_ITEM(l.get(), i, Py_NewRef(items[i]));
    return l;
}

}  // namespace rt
