// The module: definition, create and exec steps, and the module body.
#include <cstdio>

#include "robustness/methods.hpp"
#include "robustness/ops.hpp"
#include "runtime/function.hpp"
#include "runtime/imports.hpp"
#include "runtime/interpreter.hpp"

namespace robustness {
namespace {

// The one module object, set at the start of exec, released when exec fails.
rt::Kept module_object;

// The traceback entries of a failed exec, named "init <module>" once the
// name exists (`init_name` owns the text the site points at).
rt::Kept init_name;
rt::TraceSite init_site{nullptr, kModule.trace_file, 1};

int name_init_site() noexcept {
    if (init_name) return 0;
    Ref name = Ref::steal(PyUnicode_FromFormat("init %s", kModule.name));
    if (!name) return -1;
    const char* text = PyUnicode_AsUTF8(name.get());
    if (!text) return -1;
    init_site.function = text;
    init_name.set(std::move(name));
    return 0;
}

// Copies spec.<attr> to module.<name>; a missing attribute is skipped.
int copy_spec_attr(PyObject* spec, const char* attr, PyObject* dict, const char* name,
                   bool skip_none) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, name, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
    if (rt::claim_interpreter() < 0) return nullptr;
    if (module_object) return Py_NewRef(module_object.get());

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attr(spec, "loader", dict, "__loader__", false) < 0 ||
        copy_spec_attr(spec, "origin", dict, "__file__", false) < 0 ||
        copy_spec_attr(spec, "parent", dict, "__package__", false) < 0 ||
        copy_spec_attr(spec, "submodule_search_locations", dict, "__path__", true) < 0) {
        return nullptr;
    }
    return module.release();
}

// from <module_name> import <names...> at `level`, each bound under its name
// in `globals`.
template <std::size_t N>
int import_names(PyObject* globals, PyObject* module_name, PyObject* const (&names)[N],
                 int level) noexcept {
    Ref fromlist = list(names);
    if (!fromlist) return -1;
    Ref module = rt::import_for_from(module_name, globals, fromlist.get(), level);
    if (!module) return -1;
    for (PyObject* name : names) {
        Ref value = rt::import_from(module.get(), name);
        if (!value || PyDict_SetItem(globals, name, value.get()) < 0) return -1;
    }
    return 0;
}

// The module body, in source order, run in `globals` (the module's dict);
// returns the failing line or 0.
int run_module_body(PyObject* globals, PyObject* builtins) noexcept {
    // import numpy as np
    Ref numpy = rt::import_initialised(S.str_numpy, globals);
    if (!numpy || PyDict_SetItem(globals, S.str_np, numpy.get()) < 0) return 1;
    // import pandas as pd
    Ref pandas = rt::import_initialised(S.str_pandas, globals);
    if (!pandas || PyDict_SetItem(globals, S.str_pd, pandas.get()) < 0) return 2;
    // from copy import copy
    if (import_names(globals, S.str_copy, {S.str_copy}, 0) < 0) return 3;
    // from typing import Tuple, List, Union
    if (import_names(globals, S.str_typing, {S.str_Tuple, S.str_List, S.str_Union}, 0) < 0) {
        return 4;
    }
    // import plotlane as pln
    Ref plotlane = rt::import_module(S.str_plotlane, globals);
    if (!plotlane || PyDict_SetItem(globals, S.str_pln, plotlane.get()) < 0) return 5;
    // from ..base import TestBase
    if (import_names(globals, S.str_base, {S.str_TestBase}, 2) < 0) return 7;
    // from ..utils.metric_utils import get_scorer_funcs
    if (import_names(globals, S.str_utils_metric_utils, {S.str_get_scorer_funcs}, 2) < 0) {
        return 8;
    }
    // from ...utils.results import ValidationResult
    if (import_names(globals, S.str_utils_results, {S.str_ValidationResult}, 3) < 0) return 9;
    // from ...utils.constants import NUMERICAL, CATEGORICAL, REGRESSION, CLASSIFICATION
    if (import_names(globals, S.str_utils_constants,
                     {S.str_NUMERICAL, S.str_CATEGORICAL, S.str_REGRESSION, S.str_CLASSIFICATION},
                     3) < 0) {
        return 10;
    }
    // class RobustnessTest(TestBase): ...
    if (create_class(globals, builtins) < 0) return 13;
    // __test__ = {}
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItem(globals, S.str___test__, test.get()) < 0) return 13;
    return 0;
}

int warn_on_version_mismatch() noexcept {
    const unsigned long running = Py_Version >> 16;
    if (running == 0x30b) return 0;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  3, 11, kModule.name, "does not match", static_cast<int>(running >> 8),
                  static_cast<int>(running & 0xff));
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

int exec_steps(PyObject* module, PyObject* globals, bool* names_ready, int* line) noexcept {
    PyObject* builtins_module = PyImport_AddModule("builtins");  // borrowed
    if (!builtins_module) return -1;
    if (PyObject_SetAttrString(module, "__builtins__", builtins_module) < 0) return -1;
    PyObject* builtins = PyModule_GetDict(builtins_module);
    if (warn_on_version_mismatch() < 0) return -1;
    if (create_names() < 0 || name_init_site() < 0) return -1;
    *names_ready = true;

    PyObject* modules = PyImport_GetModuleDict();
    const int present = PyDict_Contains(modules, S.str_module_name);
    if (present < 0) return -1;
    if (!present && PyDict_SetItem(modules, S.str_module_name, module) < 0) return -1;

    rt::Kept* const builtin_slots[] = {&S.builtin_staticmethod, &S.builtin_super,
                                       &S.builtin_range};
    PyObject* const builtin_names[] = {S.str_staticmethod, S.str_super, S.str_range};
    for (size_t k = 0; k < 3; ++k) {
        if (*builtin_slots[k]) continue;
        PyObject* value = PyDict_GetItemWithError(builtins, builtin_names[k]);
        if (!value) {
            if (!PyErr_Occurred()) rt::raise_name_error(builtin_names[k]);
            return -1;
        }
        builtin_slots[k]->set(Ref::new_ref(value));
    }
    if (rt::init_function_type() < 0) return -1;
    if (prepare_methods() < 0) return -1;
    *line = run_module_body(globals, builtins);
    return *line ? -1 : 0;
}

int module_exec(PyObject* module) noexcept {
    if (module_object) {
        if (module_object.get() == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     kModule.short_name());
        return -1;
    }
    module_object.set(Ref::new_ref(module));
    // Borrowed from the module for the length of this call only: what outlives
    // it (the functions) holds its own reference.
    PyObject* globals = PyModule_GetDict(module);

    bool names_ready = false;
    int line = 1;
    if (exec_steps(module, globals, &names_ready, &line) == 0) return 0;
    if (names_ready) rt::add_traceback(init_site, line, globals);
    // A later import starts again from create with a new module object.
    module_object.reset();
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyMethodDef module_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, kModule.short_name(), nullptr, 0, module_methods, module_slots,
    nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace robustness

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_robustness() {
    return PyModuleDef_Init(&robustness::module_def);
}
