#include "runtime/binding.hpp"

namespace rt {
namespace {

[[gnu::cold, gnu::noinline]] int raise_count(const char* name, bool exact, Py_ssize_t min,
                                              Py_ssize_t max, Py_ssize_t given) noexcept {
    const char* more_or_less;
    Py_ssize_t expected;
    if (given < min) {
        expected = min;
        more_or_less = exact ? "exactly" : "at least";
    } else {
        expected = max;
        more_or_less = exact ? "exactly" : "at most";
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name, more_or_less, expected, expected == 1 ? "" : "s", given);
    return -1;
}

[[gnu::cold, gnu::noinline]] int raise_keyword(const char* name, PyObject* kwnames,
                                                PyObject* params, Py_ssize_t npos) noexcept {
    // Reached only when some keyword was not consumed: report the first
    // offending one in call order. A parameter is given twice when it was
    // passed by position, or by an earlier keyword of the same call.
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    Py_ssize_t nparams = PyTuple_GET_SIZE(params);
    bool named[kMaxParams] = {};
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
            return -1;
        }
        Py_ssize_t found = -1;
        for (Py_ssize_t i = 0; i < nparams && found < 0; ++i) {
            PyObject* p = PyTuple_GET_ITEM(params, i);
            if (p == key) found = i;
        }
        for (Py_ssize_t i = 0; i < nparams && found < 0; ++i) {
            int eq = PyUnicode_Compare(PyTuple_GET_ITEM(params, i), key);
            if (eq == -1 && PyErr_Occurred()) return -1;
            if (eq == 0) found = i;
        }
        if (found >= npos && !named[found]) {
            named[found] = true;
            continue;
        }
        if (found >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         name, key);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name,
                         key);
        }
        return -1;
    }
    // Unreachable: every keyword left over is one of the cases above.
    PyErr_Format(PyExc_SystemError, "%s(): keyword arguments left unbound", name);
    return -1;
}

// The value passed under `name`, or null. Interned names match by pointer.
inline PyObject* find_keyword(PyObject* kwnames, PyObject* const* kwvalues,
                              PyObject* name) noexcept {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (PyTuple_GET_ITEM(kwnames, k) == name) return kwvalues[k];
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_Check(key) && PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(name) &&
            PyUnicode_Compare(key, name) == 0) {
            return kwvalues[k];
        }
    }
    return nullptr;
}

}  // namespace

int bind_arguments(const char* name, PyObject* params, PyObject* defaults,
                   PyObject* const* args, size_t nargsf, PyObject* kwnames,
                   PyObject** out) noexcept {
    const Py_ssize_t npos = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nparams = PyTuple_GET_SIZE(params);
    const Py_ssize_t ndefaults = defaults == Py_None ? 0 : PyTuple_GET_SIZE(defaults);
    const Py_ssize_t nrequired = nparams - ndefaults;
    const bool exact = ndefaults == 0;

    if (npos > nparams) return raise_count(name, exact, nrequired, nparams, npos);
    for (Py_ssize_t i = 0; i < npos; ++i) out[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (npos < nrequired) return raise_count(name, exact, nrequired, nparams, npos);
        for (Py_ssize_t i = npos; i < nparams; ++i) {
            out[i] = PyTuple_GET_ITEM(defaults, i - nrequired);
        }
        return 0;
    }

    PyObject* const* kwvalues = args + npos;
    Py_ssize_t unused = nkw;
    for (Py_ssize_t i = npos; i < nparams; ++i) {
        PyObject* value = find_keyword(kwnames, kwvalues, PyTuple_GET_ITEM(params, i));
        if (value) {
            out[i] = value;
            --unused;
        } else if (i < nrequired) {
            return raise_count(name, exact, nrequired, nparams, i);
        } else {
            out[i] = PyTuple_GET_ITEM(defaults, i - nrequired);
        }
    }
    if (unused > 0) return raise_keyword(name, kwnames, params, npos);
    return 0;
}

}  // namespace rt
