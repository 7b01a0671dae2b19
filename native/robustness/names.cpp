#include "robustness/names.hpp"

#include <initializer_list>

namespace robustness {

State S;

namespace {

PyObject* intern(const char* text) noexcept { return PyUnicode_InternFromString(text); }

PyObject* pack(std::initializer_list<PyObject*> items) noexcept {
    for (PyObject* item : items) {
        if (!item) return nullptr;
    }
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (!tuple) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(tuple, i++, Py_NewRef(item));
    return tuple;
}

PyObject* slice(PyObject* start, PyObject* stop, PyObject* step) noexcept {
    return PySlice_New(start, stop, step);
}

}  // namespace

int create_names() noexcept {
    // Made once per process: a later exec after a failed one reuses them.
    if (S.tuple_0) return 0;
    // One pass; every entry is checked once at the end.
#define ROBUSTNESS_MAKE(id, text) S.str_##id = intern(text);
    ROBUSTNESS_STRINGS(ROBUSTNESS_MAKE)
#undef ROBUSTNESS_MAKE
#define ROBUSTNESS_MAKE(id, ...) S.kw_##id = pack({__VA_ARGS__});
    ROBUSTNESS_KWNAMES(ROBUSTNESS_MAKE)
#undef ROBUSTNESS_MAKE
#define ROBUSTNESS_MAKE(id) S.g_##id.name = S.str_##id;
    ROBUSTNESS_GLOBALS(ROBUSTNESS_MAKE)
#undef ROBUSTNESS_MAKE

    S.float_0_0 = PyFloat_FromDouble(0.0);
    S.float_0_1 = PyFloat_FromDouble(0.1);
    S.float_0_5 = PyFloat_FromDouble(0.5);
    S.float_neg_0_5 = PyFloat_FromDouble(-0.5);
    S.float_1_0 = PyFloat_FromDouble(1.0);
    S.int_0 = PyLong_FromLong(0);
    S.int_1 = PyLong_FromLong(1);
    S.int_2 = PyLong_FromLong(2);
    S.int_10 = PyLong_FromLong(10);
    S.int_neg_1 = PyLong_FromLong(-1);
    S.slice_all = slice(nullptr, nullptr, nullptr);
    S.slice_reversed = S.int_neg_1 ? slice(nullptr, nullptr, S.int_neg_1) : nullptr;
    S.key_all_0 = pack({S.slice_all, S.int_0});
    S.tuple_bounds = pack({S.float_neg_0_5, S.float_0_5});
    S.tuple_noise_level = pack({S.str_Noise_Level});
    PyObject* tuple_0 = pack({S.int_0});

    PyObject* const* first = &S.str_numpy;
    PyObject* const* last = &S.kw_validation_result;
    for (PyObject* const* p = first; p <= last; ++p) {
        if (!*p) return -1;
    }
    PyObject* const constants[] = {
        S.float_0_0, S.float_0_1, S.float_0_5, S.float_neg_0_5, S.float_1_0,
        S.int_0, S.int_1, S.int_2, S.int_10, S.int_neg_1, S.slice_all, S.slice_reversed,
        S.key_all_0, S.tuple_bounds, S.tuple_noise_level,
    };
    for (PyObject* c : constants) {
        if (!c) return -1;
    }
    S.tuple_0 = tuple_0;  // set last: it marks the table as complete
    return tuple_0 ? 0 : -1;
}

}  // namespace robustness
