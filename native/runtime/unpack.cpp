#include "runtime/unpack.hpp"

namespace rt {
namespace {

[[gnu::cold, gnu::noinline]] int too_many(Py_ssize_t expected) noexcept {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
    return -1;
}

[[gnu::cold, gnu::noinline]] int need_more(Py_ssize_t found) noexcept {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                 found == 1 ? "" : "s");
    return -1;
}

int clear(Ref* out, Py_ssize_t n) noexcept {
    for (Py_ssize_t i = 0; i < n; ++i) out[i].reset();
    return -1;
}

}  // namespace

int unpack(PyObject* value, Ref* out, Py_ssize_t n) noexcept {
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        const Py_ssize_t size = Py_SIZE(value);
        if (size > n) return too_many(n);
        if (size < n) return need_more(size);
        const bool is_tuple = PyTuple_CheckExact(value);
        for (Py_ssize_t i = 0; i < n; ++i) {
            out[i] = Ref::new_ref(is_tuple ? PyTuple_GET_ITEM(value, i) : PyList_GET_ITEM(value, i));
        }
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(value));
    if (!it) return -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        // PyIter_Next reports exhaustion as null with no exception set.
        out[i] = Ref::steal(PyIter_Next(it.get()));
        if (!out[i]) {
            clear(out, i);
            return PyErr_Occurred() ? -1 : need_more(i);
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        clear(out, n);
        return too_many(n);
    }
    if (PyErr_Occurred()) return clear(out, n);
    return 0;
}

}  // namespace rt
