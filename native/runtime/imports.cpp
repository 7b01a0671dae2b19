#include "runtime/imports.hpp"

namespace rt {
namespace {

// sys.modules[name] when it is a module not in the middle of its own import.
// A None entry (an import blocked on purpose) is left to the import machinery,
// which reports it.
PyObject* initialised_module(PyObject* name) noexcept {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* module = PyDict_GetItemWithError(modules, name);
    if (!module || module == Py_None) return nullptr;
    Ref spec = Ref::steal(PyObject_GetAttrString(module, "__spec__"));
    if (!spec) {
        PyErr_Clear();
        return module;
    }
    Ref initialising = Ref::steal(PyObject_GetAttrString(spec.get(), "_initializing"));
    if (!initialising) {
        PyErr_Clear();
        return module;
    }
    int busy = PyObject_IsTrue(initialising.get());
    if (busy < 0) {
        PyErr_Clear();
        return nullptr;
    }
    return busy ? nullptr : module;
}

}  // namespace

Ref import_initialised(PyObject* name, PyObject* globals) noexcept {
    PyObject* ready = initialised_module(name);
    if (ready) return Ref::new_ref(ready);
    if (PyErr_Occurred()) return Ref();
    return import_module(name, globals);
}

Ref import_module(PyObject* name, PyObject* globals) noexcept {
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return Ref();
    return Ref::steal(PyImport_ImportModuleLevelObject(name, globals, locals.get(), nullptr, 0));
}

Ref import_for_from(PyObject* name, PyObject* globals, PyObject* fromlist, int level) noexcept {
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return Ref();
    return Ref::steal(
        PyImport_ImportModuleLevelObject(name, globals, locals.get(), fromlist, level));
}

Ref import_from(PyObject* module, PyObject* name) noexcept {
    Ref value = Ref::steal(PyObject_GetAttr(module, name));
    if (value) return value;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        Ref package = Ref::steal(PyObject_GetAttrString(module, "__name__"));
        if (package && PyUnicode_Check(package.get())) {
            Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", package.get(), name));
            if (full) {
                PyObject* sub = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get());
                if (sub) return Ref::new_ref(sub);
            }
        }
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return Ref();
}

void raise_name_error(PyObject* name) noexcept {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
}

Ref lookup_global(GlobalName& g, PyObject* globals, PyObject* builtins) noexcept {
    // The version tags change on every mutation of a dict, and each is unique
    // across dicts, so equal tags mean the cached answer still stands.
    const uint64_t gv = reinterpret_cast<PyDictObject*>(globals)->ma_version_tag;
    const uint64_t bv = reinterpret_cast<PyDictObject*>(builtins)->ma_version_tag;
    if (g.value && g.globals_version == gv && g.builtins_version == bv) {
        return Ref::new_ref(g.value.get());
    }
    PyObject* value = PyDict_GetItemWithError(globals, g.name);
    if (!value) {
        if (PyErr_Occurred()) return Ref();
        value = PyDict_GetItemWithError(builtins, g.name);
        if (!value) {
            if (!PyErr_Occurred()) raise_name_error(g.name);
            g.value.reset();
            return Ref();
        }
    }
    g.value.set(Ref::new_ref(value));
    g.globals_version = gv;
    g.builtins_version = bv;
    return Ref::new_ref(value);
}

}  // namespace rt
