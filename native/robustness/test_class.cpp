// Building RobustnessTest (line 13) and its constructor.
#include "robustness/methods.hpp"
#include "robustness/ops.hpp"

namespace robustness {
namespace {

// ---------------------------------------------------------------------------
// Code objects: one per method, with the parameters and locals of the source.

struct CodeSpec {
    PyObject** name;
    PyObject** qualname;
    int argcount;
    int first_line;
    std::initializer_list<PyObject**> varnames;
};

PyObject* code___init__;
PyObject* code__perturb_normal;
PyObject* code__perturb_quantile;
PyObject* code__perturb_categorical;
PyObject* code__perturb;
PyObject* code__repeat_perturb_pred;
PyObject* code__visualize_robustness;
PyObject* code_run;

PyObject* make_code(const CodeSpec& spec) noexcept {
    Ref varnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(spec.varnames.size())));
    if (!varnames) return nullptr;
    Py_ssize_t n = 0;
    for (PyObject** v : spec.varnames) PyTuple_SET_ITEM(varnames.get(), n++, Py_NewRef(*v));

    // The instructions and line table of an empty body at this line: a real
    // code object must have runnable bytecode even though it is never run.
    const char* filename = PyUnicode_AsUTF8(S.str_code_filename);
    const char* name = PyUnicode_AsUTF8(*spec.name);
    if (!filename || !name) return nullptr;
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(filename, name, spec.first_line)));
    if (!empty) return nullptr;
    Ref bytecode = Ref::steal(PyCode_GetCode(reinterpret_cast<PyCodeObject*>(empty.get())));
    Ref consts = Ref::steal(PyObject_GetAttrString(empty.get(), "co_consts"));
    Ref names = Ref::steal(PyObject_GetAttrString(empty.get(), "co_names"));
    Ref linetable = Ref::steal(PyObject_GetAttrString(empty.get(), "co_linetable"));
    Ref exceptiontable = Ref::steal(PyObject_GetAttrString(empty.get(), "co_exceptiontable"));
    Ref nothing = Ref::steal(PyTuple_New(0));
    if (!bytecode || !consts || !names || !linetable || !exceptiontable || !nothing) {
        return nullptr;
    }
    const int stacksize = reinterpret_cast<PyCodeObject*>(empty.get())->co_stacksize;
    return reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
        spec.argcount, 0, 0, static_cast<int>(n), stacksize, CO_OPTIMIZED | CO_NEWLOCALS,
        bytecode.get(), consts.get(), names.get(), varnames.get(), nothing.get(), nothing.get(),
        S.str_code_filename, *spec.name, *spec.qualname, spec.first_line, linetable.get(),
        exceptiontable.get()));
}

// ---------------------------------------------------------------------------
// run's documentation, defaults and annotations.

constexpr const char kRunDoc[] =
    "Robustness test.\n"
    "\n"
    "        Parameters\n"
    "        ----------\n"
    "        dataset : {\"main\", \"train\", \"test\"}, default=\"test\"\n"
    "            The data set to be tested.\n"
    "        metric : str, default=None\n"
    "            The performance metric. If None, we calculate the MSE is used for regression; "
    "AUC for classification.\n"
    "\n"
    "            - Regression: \"MSE\", \"MAE\", \"R2\"\n"
    "            - Classification: \"AUC\", \"ACC\", \"F1\", \"LogLoss\", \"Brier\"\n"
    "\n"
    "        n_repeats : int, default=10\n"
    "            The number of perturbation repetition.\n"
    "        perturb_features : str or list or tuple, default=None\n"
    "            Feature names used for perturbation. If None, all features will be perturbed.\n"
    "        perturb_method : {\"normal\", \"quantile\"}, default=\"normal\"\n"
    "            The perturbation method of numerical features.\n"
    "        noise_levels : float or int or list or tuple, default=0.1\n"
    "            The perturbation level.\n"
    "        threshold : float, default=0.1\n"
    "            The ratio of worst robustness samples.\n"
    "        random_state : int, default=0\n"
    "            The random seed for reproducibility.\n"
    "\n"
    "        Returns\n"
    "        -------\n"
    "        ValidationResult\n"
    "            Robustness result.\n"
    "        ";

rt::TraceSite defaults_site{"korvan.factsheet.diagnose.robustness.__defaults__", kTraceFile, 110};

Ref run_defaults() noexcept {
    Ref defaults = tuple({S.str_test, Py_None, S.int_10, Py_None, S.str_normal, S.float_0_1,
                          S.float_0_1, S.int_0});
    if (!defaults) rt::add_traceback(defaults_site, 110, S.globals);
    return defaults;
}

Ref run_annotations() noexcept {
    struct Entry {
        PyObject* name;
        const char* text;
    };
    const Entry entries[] = {
        {S.str_dataset, "str"},
        {S.str_metric, "str"},
        {S.str_n_repeats, "int"},
        {S.str_perturb_features, "Union[str, Tuple, List]"},
        {S.str_perturb_method, "str"},
        {S.str_noise_levels, "Union[float, int, Tuple, List]"},
        {S.str_threshold, "float"},
        {S.str_random_state, "int"},
    };
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return Ref();
    for (const Entry& e : entries) {
        Ref text = Ref::steal(PyUnicode_FromString(e.text));
        if (!text || PyDict_SetItem(annotations.get(), e.name, text.get()) < 0) return Ref();
    }
    return annotations;
}

// ---------------------------------------------------------------------------
// RobustnessTest.__init__

rt::TraceSite init_site{"korvan.factsheet.diagnose.robustness.RobustnessTest.__init__",
                        kTraceFile, 15};

enum InitLine : int { kInitDef = 15, kInitSuper = 16, kInitKey = 17 };

PyObject* init(rt::Function* function, PyObject* const* args) noexcept {
    PyObject* self = args[0];
    PyObject* dataset = args[1];
    PyObject* model = args[2];

    // super().__init__(dataset, model)
    if (!function->klass) {
        PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
        return fail(init_site, kInitSuper);
    }
    Ref parent = call(S.builtin_super, {function->klass, self});
    if (!parent || !call_method(parent.get(), S.str___init__, {dataset, model})) {
        return fail(init_site, kInitSuper);
    }

    // self.key = "diagnose_robustness"
    if (PyObject_SetAttr(self, S.str_key, S.str_diagnose_robustness) < 0) {
        return fail(init_site, kInitKey);
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Class creation.

// Bases resolved by __mro_entries__: a base that is not a class but has the
// method is replaced by what it returns.
Ref resolve_bases(PyObject* bases) noexcept {
    const Py_ssize_t n = PyTuple_GET_SIZE(bases);
    Ref resolved = Ref::steal(PyList_New(0));
    if (!resolved) return Ref();
    bool changed = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        if (PyType_Check(base)) {
            if (PyList_Append(resolved.get(), base) < 0) return Ref();
            continue;
        }
        PyObject* raw = nullptr;
        if (_PyObject_LookupAttr(base, S.str___mro_entries__, &raw) < 0) return Ref();
        Ref method = Ref::steal(raw);
        if (!method) {
            if (PyList_Append(resolved.get(), base) < 0) return Ref();
            continue;
        }
        Ref entries = call(method.get(), {bases});
        if (!entries) return Ref();
        if (!PyTuple_Check(entries.get())) {
            PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
            return Ref();
        }
        changed = true;
        const Py_ssize_t end = PyList_GET_SIZE(resolved.get());
        if (PyList_SetSlice(resolved.get(), end, end, entries.get()) < 0) return Ref();
    }
    if (!changed) return Ref::new_ref(bases);
    return Ref::steal(PyList_AsTuple(resolved.get()));
}

// The most derived metaclass of the bases' types.
PyObject* choose_metaclass(PyObject* bases) noexcept {
    const Py_ssize_t n = PyTuple_GET_SIZE(bases);
    PyTypeObject* winner = n ? Py_TYPE(PyTuple_GET_ITEM(bases, 0)) : &PyType_Type;
    for (Py_ssize_t i = 1; i < n; ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a "
                        "(non-strict) subclass of the metaclasses of all its bases");
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(winner);
}

int store(PyObject* ns, PyObject* key, PyObject* value) noexcept {
    if (PyDict_CheckExact(ns)) return PyDict_SetItem(ns, key, value);
    return PyObject_SetItem(ns, key, value);
}

struct MethodEntry {
    PyObject* name;
    PyObject* qualname;
    const rt::FunctionDef* def;
    PyObject* code;
    bool is_static;
    bool default_seed;  // defaults (0,)
};

}  // namespace

int create_code_objects() noexcept {
    if (code_run) return 0;
    const CodeSpec specs[] = {
        {&S.str___init__, &S.str_q___init__, 3, 15, {&S.str_self, &S.str_dataset, &S.str_model}},
        {&S.str__perturb_normal, &S.str_q__perturb_normal, 4, 19,
         {&S.str_X, &S.str_fidx, &S.str_noise_level, &S.str_random_state, &S.str_n_samples,
          &S.str_rng, &S.str_data_scale, &S.str_noise}},
        {&S.str__perturb_quantile, &S.str_q__perturb_quantile, 4, 29,
         {&S.str_X, &S.str_fidx, &S.str_noise_level, &S.str_random_state, &S.str_n_samples,
          &S.str_rng, &S.str_sorted_X, &S.str_shuffle_idx, &S.str_sorted_shuffle_idx,
          &S.str_quantiles, &S.str_quantile_noise, &S.str_sorted_shuffle_noise_idx}},
        {&S.str__perturb_categorical, &S.str_q__perturb_categorical, 4, 52,
         {&S.str_X, &S.str_fidx, &S.str_noise_level, &S.str_random_state, &S.str_n_samples,
          &S.str_rng, &S.str_noise_proba, &S.str_noise_idx}},
        {&S.str__perturb, &S.str_q__perturb, 6, 63,
         {&S.str_self, &S.str_X, &S.str_perturb_features, &S.str_perturb_method,
          &S.str_noise_level, &S.str_random_state, &S.str_X_new, &S.str_fn, &S.str_fidx}},
        {&S.str__repeat_perturb_pred, &S.str_q__repeat_perturb_pred, 8, 85,
         {&S.str_self, &S.str_X, &S.str_predict_func, &S.str_n_repeats, &S.str_perturb_features,
          &S.str_perturb_method, &S.str_noise_level, &S.str_random_state, &S.str_prediction_all,
          &S.str_i, &S.str_perturb_X, &S.str_prediction}},
        {&S.str__visualize_robustness, &S.str_q__visualize_robustness, 3, 100,
         {&S.str_scores, &S.str_noise_levels, &S.str_metric, &S.str_options}},
        {&S.str_run, &S.str_q_run, 9, 110,
         {&S.str_self, &S.str_dataset, &S.str_metric, &S.str_n_repeats, &S.str_perturb_features,
          &S.str_perturb_method, &S.str_noise_levels, &S.str_threshold, &S.str_random_state,
          &S.str_inputs, &S.str_features_idx, &S.str_score_sign, &S.str_score_func,
          &S.str_predict_func, &S.str_X, &S.str_y, &S.str_sample_weight, &S.str_prediction,
          &S.str_res_value, &S.str_gaps, &S.str_scores_all, &S.str_noise_levels_all,
          &S.str_noise_level, &S.str_prediction_all, &S.str_worst_idx, &S.str_others_idx,
          &S.str_res_table, &S.str_options, &S.str_result, &S.str_fn, &S.str_i, &S.str_i,
          &S.str_i}},
    };
    PyObject** targets[] = {&code___init__,          &code__perturb_normal,
                            &code__perturb_quantile, &code__perturb_categorical,
                            &code__perturb,          &code__repeat_perturb_pred,
                            &code__visualize_robustness, &code_run};
    for (size_t k = 0; k < sizeof(targets) / sizeof(targets[0]); ++k) {
        if (*targets[k]) continue;
        *targets[k] = make_code(specs[k]);
        if (!*targets[k]) return -1;
    }
    return 0;
}

int create_class() noexcept {
    // bases = (TestBase,)
    Ref test_base = ROBUSTNESS_GLOBAL(TestBase);
    if (!test_base) return -1;
    Ref orig_bases = tuple({test_base.get()});
    if (!orig_bases) return -1;
    Ref bases = resolve_bases(orig_bases.get());
    if (!bases) return -1;
    PyObject* metaclass = choose_metaclass(bases.get());
    if (!metaclass) return -1;

    // The namespace: metaclass.__prepare__(name, bases), else a dict.
    Ref ns;
    PyObject* raw_prepare = nullptr;
    if (_PyObject_LookupAttr(metaclass, S.str___prepare__, &raw_prepare) < 0) return -1;
    Ref prepare = Ref::steal(raw_prepare);
    if (prepare) {
        ns = call(prepare.get(), {S.str_RobustnessTest, bases.get()});
    } else {
        ns = Ref::steal(PyDict_New());
    }
    if (!ns) return -1;
    if (store(ns.get(), S.str___module__, S.str_module_name) < 0) return -1;
    if (store(ns.get(), S.str___qualname__, S.str_RobustnessTest) < 0) return -1;
    if (bases.get() != orig_bases.get() &&
        store(ns.get(), S.str___orig_bases__, orig_bases.get()) < 0) {
        return -1;
    }

    Ref seed_defaults = tuple({S.int_0});
    Ref defaults = run_defaults();
    Ref annotations = run_annotations();
    Ref doc = Ref::steal(PyUnicode_FromString(kRunDoc));
    if (!seed_defaults || !defaults || !annotations || !doc) return -1;

    const MethodEntry methods[] = {
        {S.str___init__, S.str_q___init__, &def___init__, code___init__, false, false},
        {S.str__perturb_normal, S.str_q__perturb_normal, &def__perturb_normal,
         code__perturb_normal, true, true},
        {S.str__perturb_quantile, S.str_q__perturb_quantile, &def__perturb_quantile,
         code__perturb_quantile, true, true},
        {S.str__perturb_categorical, S.str_q__perturb_categorical, &def__perturb_categorical,
         code__perturb_categorical, true, true},
        {S.str__perturb, S.str_q__perturb, &def__perturb, code__perturb, false, true},
        {S.str__repeat_perturb_pred, S.str_q__repeat_perturb_pred, &def__repeat_perturb_pred,
         code__repeat_perturb_pred, false, false},
        {S.str__visualize_robustness, S.str_q__visualize_robustness, &def__visualize_robustness,
         code__visualize_robustness, true, false},
        {S.str_run, S.str_q_run, &def_run, code_run, false, false},
    };
    Ref init_function;
    for (const MethodEntry& m : methods) {
        const bool is_run = m.def == &def_run;
        PyObject* method_defaults = is_run ? defaults.get()
                                           : m.default_seed ? seed_defaults.get() : Py_None;
        Ref function = rt::make_function(m.def, m.code, m.qualname, S.str_module_name,
                                         is_run ? doc.get() : Py_None, method_defaults,
                                         is_run ? annotations.get() : Py_None, S.globals);
        if (!function) return -1;
        if (m.def == &def___init__) init_function = Ref::new_ref(function.get());
        if (m.is_static) {
            function = call(S.builtin_staticmethod, {function.get()});
            if (!function) return -1;
        }
        if (store(ns.get(), m.name, function.get()) < 0) return -1;
    }

    Ref klass = call(metaclass, {S.str_RobustnessTest, bases.get(), ns.get()});
    if (!klass) return -1;
    // The class that __init__'s super() names.
    rt::set_function_class(init_function.get(), klass.get());
    return PyDict_SetItem(S.globals, S.str_RobustnessTest, klass.get());
}

const rt::FunctionDef def___init__{init, &init_site, kInitDef};

}  // namespace robustness
