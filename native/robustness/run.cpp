// RobustnessTest.run: arguments, metric and data set-up, scoring, worst-sample
// gaps and the result record.
//
// The body is a sequence of steps over one frame of locals, each step a group
// of statements in source order. Each block implements the source statement
// quoted above it. The convention for traceback entries: the function that
// runs a statement adds the entry for its line (`fail`); the small helpers
// that compute part of an expression add none, their caller does.
#include "robustness/methods.hpp"
#include "robustness/ops.hpp"
#include "runtime/unpack.hpp"

namespace robustness {
namespace {

enum Line : int {
    kDef = 110,
    kThreshold = 117,
    kInputs = 149,
    kInputsSelf = 150,  // the record is built without `self`: nothing left to fail there
    kRegression = 154,
    kRegressionDefault = 155,
    kClassification = 156,
    kClassificationDefault = 157,
    kAllFeatures = 160,
    kOneFeature = 162,
    kOneLevel = 165,
    kDeduplicate = 168,
    kCheckNames = 169,
    kScorer = 170,
    kData = 171,
    kPredict = 172,
    kResValue = 174,
    kGaps = 175,
    kBaseline = 176,
    kBaselineScore = 177,
    kLevelsAll = 178,
    kLevelLoop = 179,
    kRepeat = 180,
    kGap = 187,
    kGapRange = 188,
    kPreds = 189,
    kScores = 190,
    kScoresRange = 191,
    kLevelAppend = 192,
    kWorst = 194,
    kOthers = 195,
    kDataInfo = 196,
    kWorstList = 198,
    kOthersList = 199,
    kTable = 203,
    kColumns = 204,
    kRenameAxis = 205,
    kChart = 207,
    kChartLevels = 208,
    kResult = 210,
    kDataName = 211,
    kModelName = 212,
};

// run's locals: the parameters as bound, and what the statements bind, owned
// until run returns.
struct Frame {
    const rt::Function* function;  // run's function: its globals and traceback site
    PyObject* self;
    PyObject* dataset;
    PyObject* metric_arg;
    PyObject* n_repeats;
    PyObject* perturb_features_arg;
    PyObject* perturb_method;
    PyObject* noise_levels_arg;
    PyObject* threshold_arg;
    PyObject* random_state;

    double threshold = 0.0;
    Ref inputs;
    Ref metric;
    Ref perturb_features;
    Ref noise_levels;
    Ref scorer[3];  // score_sign, score_func, predict_func
    Ref data[3];    // X, y, sample_weight
    Ref prediction;
    Ref res_value;
    Ref gaps;
    Ref scores_all;
    Py_ssize_t repeats = 0;  // range(n_repeats) as a count
    Ref noise_levels_all;
    Ref worst_idx;
    Ref others_idx;
    Ref res_table;
    Ref options;

    PyObject* score_func() const noexcept { return scorer[1].get(); }
    PyObject* predict_func() const noexcept { return scorer[2].get(); }
    PyObject* X() const noexcept { return data[0].get(); }
    PyObject* y() const noexcept { return data[1].get(); }
    PyObject* sample_weight() const noexcept { return data[2].get(); }
};

// A failed statement of run: its entry, on run's own function.
[[gnu::cold]] inline Raised fail(const Frame& f, int line) noexcept {
    return robustness::fail(f.function, line);
}

// The typed parameters' test: the interpreter adds no entry for run here, so
// neither do we.
[[gnu::cold, gnu::noinline]] int wrong_type(const char* name, const char* expected,
                                            PyObject* got) noexcept {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 expected, Py_TYPE(got)->tp_name);
    return -1;
}

// The parameters' conversions and type tests, as the signature declares them.
int convert_arguments(Frame& f) noexcept {
    // threshold is a C double from here on: float's own value, or what the
    // object's __float__ (or __index__) gives; a str has neither.
    if (PyFloat_CheckExact(f.threshold_arg)) {
        f.threshold = PyFloat_AS_DOUBLE(f.threshold_arg);
    } else {
        f.threshold = PyFloat_AsDouble(f.threshold_arg);
        if (f.threshold == -1.0 && PyErr_Occurred()) return fail(f, kThreshold);
    }

    // The typed parameters, in order; their types must match exactly.
    if (!PyUnicode_CheckExact(f.dataset)) return wrong_type("dataset", "str", f.dataset);
    if (f.metric_arg != Py_None && !PyUnicode_CheckExact(f.metric_arg)) {
        return wrong_type("metric", "str", f.metric_arg);
    }
    if (!PyLong_CheckExact(f.n_repeats)) return wrong_type("n_repeats", "int", f.n_repeats);
    if (!PyUnicode_CheckExact(f.perturb_method)) {
        return wrong_type("perturb_method", "str", f.perturb_method);
    }
    if (!PyLong_CheckExact(f.random_state)) {
        return wrong_type("random_state", "int", f.random_state);
    }
    return 0;
}

// inputs = {"dataset": dataset, "metric": metric, "n_repeats": n_repeats,
//           "noise_levels": noise_levels, "perturb_features": perturb_features,
//           "perturb_method": perturb_method, "random_state": random_state,
//           "threshold": threshold}
// The call as made, before any normalisation below.
int record_inputs(Frame& f) noexcept {
    Ref threshold_float = Ref::steal(PyFloat_FromDouble(f.threshold));
    f.inputs = Ref::steal(PyDict_New());
    if (!threshold_float || !f.inputs) return fail(f, kInputs);
    const struct {
        PyObject* key;
        PyObject* value;
    } entries[] = {
        {S.str_dataset, f.dataset},
        {S.str_metric, f.metric_arg},
        {S.str_n_repeats, f.n_repeats},
        {S.str_noise_levels, f.noise_levels_arg},
        {S.str_perturb_features, f.perturb_features_arg},
        {S.str_perturb_method, f.perturb_method},
        {S.str_random_state, f.random_state},
        {S.str_threshold, threshold_float.get()},
    };
    for (const auto& e : entries) {
        if (PyDict_SetItem(f.inputs.get(), e.key, e.value) < 0) return fail(f, kInputs);
    }
    return 0;
}

// self.dataset.task_type == <tag>, as a truth value: 1, 0, or -1 on failure.
// The attribute chain is read before the global, as the expression reads.
int task_type_is(const rt::Function* function, PyObject* self, rt::GlobalName& tag_name) noexcept {
    Ref dataset = getattr(self, S.str_dataset);
    if (!dataset) return -1;
    Ref task_type = getattr(dataset.get(), S.str_task_type);
    if (!task_type) return -1;
    Ref tag = global(function, tag_name);
    if (!tag) return -1;
    Ref equal = Ref::steal(PyObject_RichCompare(task_type.get(), tag.get(), Py_EQ));
    if (!equal) return -1;
    return PyObject_IsTrue(equal.get());
}

// self.<name>: `metric` holds a str or None, so the default must be one.
Ref read_default_metric(PyObject* self, PyObject* name) noexcept {
    Ref value = getattr(self, name);
    if (value && value.get() != Py_None && !PyUnicode_CheckExact(value.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "unicode",
                     Py_TYPE(value.get())->tp_name);
        return Ref();
    }
    return value;
}

// if metric is None:
//     if self.dataset.task_type == REGRESSION:
//         metric = self.REGRESSION_METRIC_DEFAULT
//     elif self.dataset.task_type == CLASSIFICATION:
//         metric = self.CLASSIFICATION_METRIC_DEFAULT
int choose_metric(Frame& f) noexcept {
    if (f.metric_arg != Py_None) {
        f.metric = Ref::new_ref(f.metric_arg);
        return 0;
    }
    const int is_regression = task_type_is(f.function, f.self, S.g_REGRESSION);
    if (is_regression < 0) return fail(f, kRegression);
    if (is_regression) {
        f.metric = read_default_metric(f.self, S.str_REGRESSION_METRIC_DEFAULT);
        return f.metric ? 0 : fail(f, kRegressionDefault);
    }
    const int is_classification = task_type_is(f.function, f.self, S.g_CLASSIFICATION);
    if (is_classification < 0) return fail(f, kClassification);
    if (is_classification) {
        f.metric = read_default_metric(f.self, S.str_CLASSIFICATION_METRIC_DEFAULT);
        return f.metric ? 0 : fail(f, kClassificationDefault);
    }
    f.metric = Ref::new_ref(Py_None);
    return 0;
}

// if perturb_features is None:
//     perturb_features = self.dataset.feature_names
// elif isinstance(perturb_features, str):
//     perturb_features = [perturb_features]
// if isinstance(noise_levels, float):
//     noise_levels = [noise_levels]
// perturb_features = list(dict.fromkeys(perturb_features))
int normalise_lists(Frame& f) noexcept {
    if (f.perturb_features_arg == Py_None) {
        Ref data = getattr(f.self, S.str_dataset);
        if (!data) return fail(f, kAllFeatures);
        f.perturb_features = getattr(data.get(), S.str_feature_names);
        if (!f.perturb_features) return fail(f, kAllFeatures);
    } else if (PyUnicode_Check(f.perturb_features_arg)) {
        f.perturb_features = list({f.perturb_features_arg});
        if (!f.perturb_features) return fail(f, kOneFeature);
    } else {
        f.perturb_features = Ref::new_ref(f.perturb_features_arg);
    }

    if (PyFloat_Check(f.noise_levels_arg)) {
        f.noise_levels = list({f.noise_levels_arg});
        if (!f.noise_levels) return fail(f, kOneLevel);
    } else {
        f.noise_levels = Ref::new_ref(f.noise_levels_arg);
    }

    Ref unique = call_method(reinterpret_cast<PyObject*>(&PyDict_Type), S.str_fromkeys,
                             {f.perturb_features.get()});
    if (!unique) return fail(f, kDeduplicate);
    f.perturb_features = Ref::steal(PySequence_List(unique.get()));
    if (!f.perturb_features) return fail(f, kDeduplicate);
    return 0;
}

// for fn in perturb_features:
//     if fn is not None:
//         self.dataset.feature_names.index(fn)
// Only that every name exists matters, before the model is ever called.
int check_feature_names(Frame& f) noexcept {
    PyObject* names = f.perturb_features.get();
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(names); ++k) {
        Ref fn = Ref::new_ref(PyList_GET_ITEM(names, k));
        if (fn.get() == Py_None) continue;
        Ref dataset = getattr(f.self, S.str_dataset);
        if (!dataset) return fail(f, kCheckNames);
        Ref feature_names = getattr(dataset.get(), S.str_feature_names);
        if (!feature_names) return fail(f, kCheckNames);
        if (!call_method(feature_names.get(), S.str_index, {fn.get()})) {
            return fail(f, kCheckNames);
        }
    }
    return 0;
}

// score_sign, score_func, predict_func = get_scorer_funcs(self.model, metric)
// X, y, sample_weight = self.dataset.get_X_y_data(dataset=dataset)
// prediction = predict_func(X)
int fetch_model_and_data(Frame& f) noexcept {
    {
        Ref get_scorer_funcs = global(f.function, S.g_get_scorer_funcs);
        if (!get_scorer_funcs) return fail(f, kScorer);
        Ref model = getattr(f.self, S.str_model);
        if (!model) return fail(f, kScorer);
        Ref funcs = call(get_scorer_funcs.get(), {model.get(), f.metric.get()});
        if (!funcs || rt::unpack(funcs.get(), f.scorer, 3) < 0) return fail(f, kScorer);
    }
    {
        Ref data_set = getattr(f.self, S.str_dataset);
        if (!data_set) return fail(f, kData);
        Ref fetched =
            call_method(data_set.get(), S.str_get_X_y_data, {f.dataset}, S.kw_dataset);
        if (!fetched || rt::unpack(fetched.get(), f.data, 3) < 0) return fail(f, kData);
    }
    f.prediction = call(f.predict_func(), {f.X()});
    if (!f.prediction) return fail(f, kPredict);
    return 0;
}

// np.array([item] * n_repeats)
Ref repeated_array(const rt::Function* function, PyObject* item, PyObject* n_repeats) noexcept {
    Ref array = np_attr(function, S.str_array);
    if (!array) return Ref();
    Ref one = list({item});
    if (!one) return Ref();
    Ref repeated = Ref::steal(PyNumber_Multiply(one.get(), n_repeats));
    if (!repeated) return Ref();
    return call(array.get(), {repeated.get()});
}

// res_value = {}
// gaps = {}
// scores_all = [np.array([score_func(y=y, prediction=prediction,
//                                    sample_weight=sample_weight)] * n_repeats)]
// noise_levels_all = [np.array([0.0] * n_repeats)]
int score_baseline(Frame& f) noexcept {
    f.res_value = Ref::steal(PyDict_New());
    if (!f.res_value) return fail(f, kResValue);
    f.gaps = Ref::steal(PyDict_New());
    if (!f.gaps) return fail(f, kGaps);

    {
        Ref array = np_attr(f.function, S.str_array);
        if (!array) return fail(f, kBaseline);
        Ref score = call(f.score_func(), {f.y(), f.prediction.get(), f.sample_weight()},
                         S.kw_y_prediction_sample_weight);
        if (!score) return fail(f, kBaselineScore);
        Ref one = list({score.get()});
        if (!one) return fail(f, kBaselineScore);
        Ref repeated = Ref::steal(PyNumber_Multiply(one.get(), f.n_repeats));
        if (!repeated) return fail(f, kBaseline);
        Ref baseline = call(array.get(), {repeated.get()});
        if (!baseline) return fail(f, kBaseline);
        f.scores_all = list({baseline.get()});
        if (!f.scores_all) return fail(f, kBaseline);
    }
    // The list repetition above proved that n_repeats fits an index; a
    // negative count is an empty range.
    const Py_ssize_t signed_repeats = PyLong_AsSsize_t(f.n_repeats);
    if (signed_repeats == -1 && PyErr_Occurred()) return fail(f, kBaseline);
    f.repeats = signed_repeats > 0 ? signed_repeats : 0;

    Ref zeros = repeated_array(f.function, S.float_0_0, f.n_repeats);
    if (!zeros) return fail(f, kLevelsAll);
    f.noise_levels_all = list({zeros.get()});
    if (!f.noise_levels_all) return fail(f, kLevelsAll);
    return 0;
}

// prediction_all[:, i]
Ref column(PyObject* prediction_all, PyObject* i) noexcept {
    Ref key = tuple({S.slice_all, i});
    if (!key) return Ref();
    return getitem(prediction_all, key.get());
}

// gaps[noise_level] = np.array([abs(prediction_all[:, i].ravel() - prediction.ravel())
//                               for i in range(n_repeats)]).mean(axis=0)
int store_gap(const Frame& f, PyObject* noise_level, PyObject* prediction_all) noexcept {
    Ref array = np_attr(f.function, S.str_array);
    if (!array) return fail(f, kGap);
    Ref changes = Ref::steal(PyList_New(0));
    if (!changes) return fail(f, kGap);
    for (Py_ssize_t k = 0; k < f.repeats; ++k) {
        Ref i = Ref::steal(PyLong_FromSsize_t(k));
        if (!i) return fail(f, kGapRange);
        Ref perturbed = column(prediction_all, i.get());
        if (!perturbed) return fail(f, kGap);
        Ref perturbed_flat = call_method(perturbed.get(), S.str_ravel);
        if (!perturbed_flat) return fail(f, kGap);
        Ref baseline_flat = call_method(f.prediction.get(), S.str_ravel);
        if (!baseline_flat) return fail(f, kGap);
        Ref difference =
            Ref::steal(PyNumber_Subtract(perturbed_flat.get(), baseline_flat.get()));
        if (!difference) return fail(f, kGap);
        Ref change = Ref::steal(PyNumber_Absolute(difference.get()));
        if (!change || PyList_Append(changes.get(), change.get()) < 0) return fail(f, kGap);
    }
    Ref stacked = call(array.get(), {changes.get()});
    if (!stacked) return fail(f, kGap);
    Ref mean = call_method(stacked.get(), S.str_mean, {S.int_0}, S.kw_axis);
    if (!mean) return fail(f, kGapRange);
    if (PyDict_SetItem(f.gaps.get(), noise_level, mean.get()) < 0) return fail(f, kGap);
    return 0;
}

// res_value[noise_level] = {"Pred %d" % i: prediction_all[:, i].tolist()
//                           for i in range(n_repeats)}
int store_predictions(const Frame& f, PyObject* noise_level, PyObject* prediction_all) noexcept {
    Ref predictions = Ref::steal(PyDict_New());
    if (!predictions) return fail(f, kPreds);
    for (Py_ssize_t k = 0; k < f.repeats; ++k) {
        Ref i = Ref::steal(PyLong_FromSsize_t(k));
        if (!i) return fail(f, kPreds);
        Ref key = Ref::steal(PyUnicode_FromFormat("Pred %zd", k));
        if (!key) return fail(f, kPreds);
        Ref perturbed = column(prediction_all, i.get());
        if (!perturbed) return fail(f, kPreds);
        Ref values = call_method(perturbed.get(), S.str_tolist);
        if (!values || PyDict_SetItem(predictions.get(), key.get(), values.get()) < 0) {
            return fail(f, kPreds);
        }
    }
    if (PyDict_SetItem(f.res_value.get(), noise_level, predictions.get()) < 0) {
        return fail(f, kPreds);
    }
    return 0;
}

// scores_all.append(np.array([score_func(y=y, prediction=prediction_all[:, i],
//                                        sample_weight=sample_weight)
//                             for i in range(n_repeats)]))
int append_scores(const Frame& f, PyObject* prediction_all) noexcept {
    Ref array = np_attr(f.function, S.str_array);
    if (!array) return fail(f, kScores);
    Ref scores = Ref::steal(PyList_New(0));
    if (!scores) return fail(f, kScores);
    for (Py_ssize_t k = 0; k < f.repeats; ++k) {
        Ref i = Ref::steal(PyLong_FromSsize_t(k));
        if (!i) return fail(f, kScoresRange);
        Ref perturbed = column(prediction_all, i.get());
        if (!perturbed) return fail(f, kScores);
        Ref score = call(f.score_func(), {f.y(), perturbed.get(), f.sample_weight()},
                         S.kw_y_prediction_sample_weight);
        if (!score || PyList_Append(scores.get(), score.get()) < 0) return fail(f, kScores);
    }
    Ref level_scores = call(array.get(), {scores.get()});
    if (!level_scores || PyList_Append(f.scores_all.get(), level_scores.get()) < 0) {
        return fail(f, kScores);
    }
    return 0;
}

// for noise_level in noise_levels:
//     prediction_all = self._repeat_perturb_pred(
//         X=X, predict_func=predict_func, n_repeats=n_repeats,
//         perturb_features=perturb_features, perturb_method=perturb_method,
//         noise_level=noise_level, random_state=random_state)
//     gaps[noise_level] = ...
//     res_value[noise_level] = ...
//     scores_all.append(...)
//     noise_levels_all.append(np.array([noise_level] * n_repeats))
// Every level gets the caller's random_state unchanged.
int score_levels(Frame& f) noexcept {
    Ref levels = Ref::steal(PyObject_GetIter(f.noise_levels.get()));
    if (!levels) return fail(f, kLevelLoop);
    for (;;) {
        Ref noise_level = Ref::steal(PyIter_Next(levels.get()));
        if (!noise_level) return PyErr_Occurred() ? fail(f, kLevelLoop) : 0;

        Ref prediction_all = call_method(
            f.self, S.str__repeat_perturb_pred,
            {f.X(), f.predict_func(), f.n_repeats, f.perturb_features.get(), f.perturb_method,
             noise_level.get(), f.random_state},
            S.kw_repeat_perturb_pred);
        if (!prediction_all) return fail(f, kRepeat);

        if (store_gap(f, noise_level.get(), prediction_all.get()) < 0) return -1;
        if (store_predictions(f, noise_level.get(), prediction_all.get()) < 0) return -1;
        if (append_scores(f, prediction_all.get()) < 0) return -1;

        Ref level_column = repeated_array(f.function, noise_level.get(), f.n_repeats);
        if (!level_column || PyList_Append(f.noise_levels_all.get(), level_column.get()) < 0) {
            return fail(f, kLevelAppend);
        }
    }
}

// int(threshold * prediction.shape[0])
Ref cut_position(double threshold, PyObject* prediction) noexcept {
    Ref shape = getattr(prediction, S.str_shape);
    if (!shape) return Ref();
    Ref n = getitem(shape.get(), S.int_0);
    if (!n) return Ref();
    if (PyLong_CheckExact(n.get())) {
        // float * int is a product of doubles; int() of it truncates toward
        // zero and refuses NaN (ValueError) and infinities (OverflowError)
        // with the interpreter's messages, which PyLong_FromDouble raises.
        const double count = PyLong_AsDouble(n.get());
        if (count == -1.0 && PyErr_Occurred()) return Ref();
        return Ref::steal(PyLong_FromDouble(threshold * count));
    }
    // Any other count takes the general float * object and int() paths.
    Ref threshold_float = Ref::steal(PyFloat_FromDouble(threshold));
    if (!threshold_float) return Ref();
    Ref product = Ref::steal(PyNumber_Multiply(threshold_float.get(), n.get()));
    if (!product) return Ref();
    return Ref::steal(PyNumber_Long(product.get()));
}

// ranking[start:stop] with Python's slice rules (either bound may be null).
Ref slice_of(PyObject* ranking, PyObject* start, PyObject* stop) noexcept {
    Ref bounds = Ref::steal(PySlice_New(start, stop, nullptr));
    if (!bounds) return Ref();
    return getitem(ranking, bounds.get());
}

// worst_idx = np.argsort(gaps[noise_levels[0]])[::-1][:int(threshold * prediction.shape[0])]
// others_idx = np.argsort(gaps[noise_levels[0]])[::-1][int(threshold * prediction.shape[0]):]
// res_value["data_info"] = {"dataset1": dataset, "dataset2": dataset,
//                           "sample_idx1": worst_idx.tolist(),
//                           "sample_idx2": others_idx.tolist(),
//                           "name1": "Worst", "name2": "Remaining"}
int split_samples(Frame& f) noexcept {
    // The ranking and the cut of the first line serve the second: nothing
    // between the two lines can change them.
    Ref ranking;
    Ref cut;
    {
        Ref argsort = np_attr(f.function, S.str_argsort);
        if (!argsort) return fail(f, kWorst);
        Ref first_level = getitem(f.noise_levels.get(), S.int_0);
        if (!first_level) return fail(f, kWorst);
        Ref first_gaps = getitem(f.gaps.get(), first_level.get());
        if (!first_gaps) return fail(f, kWorst);
        Ref order = call(argsort.get(), {first_gaps.get()});
        if (!order) return fail(f, kWorst);
        ranking = getitem(order.get(), S.slice_reversed);
        if (!ranking) return fail(f, kWorst);
        cut = cut_position(f.threshold, f.prediction.get());
        if (!cut) return fail(f, kWorst);
        f.worst_idx = slice_of(ranking.get(), nullptr, cut.get());
        if (!f.worst_idx) return fail(f, kWorst);
    }
    f.others_idx = slice_of(ranking.get(), cut.get(), nullptr);
    if (!f.others_idx) return fail(f, kOthers);

    Ref worst_list = call_method(f.worst_idx.get(), S.str_tolist);
    if (!worst_list) return fail(f, kWorstList);
    Ref others_list = call_method(f.others_idx.get(), S.str_tolist);
    if (!others_list) return fail(f, kOthersList);
    Ref data_info = Ref::steal(PyDict_New());
    if (!data_info) return fail(f, kDataInfo);
    const struct {
        PyObject* key;
        PyObject* value;
    } entries[] = {
        {S.str_dataset1, f.dataset},
        {S.str_dataset2, f.dataset},
        {S.str_sample_idx1, worst_list.get()},
        {S.str_sample_idx2, others_list.get()},
        {S.str_name1, S.str_Worst},
        {S.str_name2, S.str_Remaining},
    };
    for (const auto& e : entries) {
        if (PyDict_SetItem(data_info.get(), e.key, e.value) < 0) return fail(f, kDataInfo);
    }
    if (PyDict_SetItem(f.res_value.get(), S.str_data_info, data_info.get()) < 0) {
        return fail(f, kDataInfo);
    }
    return 0;
}

// np.array(<rows>).ravel()
Ref flattened(const rt::Function* function, PyObject* rows) noexcept {
    Ref array = np_attr(function, S.str_array);
    if (!array) return Ref();
    Ref stacked = call(array.get(), {rows});
    if (!stacked) return Ref();
    return call_method(stacked.get(), S.str_ravel);
}

// res_table = pd.DataFrame(scores_all).T
// res_table.columns = np.array(noise_levels_all)[:, 0].tolist()
// res_table = res_table.rename_axis("Repeats").rename_axis("Noise Level", axis="columns")
// options = self._visualize_robustness(scores=np.array(scores_all).ravel(),
//                                      noise_levels=np.array(noise_levels_all).ravel(),
//                                      metric=metric)
int table_and_chart(Frame& f) noexcept {
    {
        Ref pd = global(f.function, S.g_pd);
        if (!pd) return fail(f, kTable);
        Ref frame = call_method(pd.get(), S.str_DataFrame, {f.scores_all.get()});
        if (!frame) return fail(f, kTable);
        f.res_table = getattr(frame.get(), S.str_T);
        if (!f.res_table) return fail(f, kTable);
    }
    {
        Ref array = np_attr(f.function, S.str_array);
        if (!array) return fail(f, kColumns);
        Ref stacked = call(array.get(), {f.noise_levels_all.get()});
        if (!stacked) return fail(f, kColumns);
        Ref first_column = getitem(stacked.get(), S.key_all_0);
        if (!first_column) return fail(f, kColumns);
        Ref labels = call_method(first_column.get(), S.str_tolist);
        if (!labels) return fail(f, kColumns);
        if (PyObject_SetAttr(f.res_table.get(), S.str_columns, labels.get()) < 0) {
            return fail(f, kColumns);
        }
    }
    {
        Ref by_repeat = call_method(f.res_table.get(), S.str_rename_axis, {S.str_Repeats});
        if (!by_repeat) return fail(f, kRenameAxis);
        f.res_table = call_method(by_repeat.get(), S.str_rename_axis,
                                  {S.str_Noise_Level, S.str_columns}, S.kw_axis);
        if (!f.res_table) return fail(f, kRenameAxis);
    }
    // The method is fetched before its arguments are evaluated.
    Ref visualize = getattr(f.self, S.str__visualize_robustness);
    if (!visualize) return fail(f, kChart);
    Ref scores = flattened(f.function, f.scores_all.get());
    if (!scores) return fail(f, kChart);
    Ref levels_flat = flattened(f.function, f.noise_levels_all.get());
    if (!levels_flat) return fail(f, kChartLevels);
    f.options = call(visualize.get(), {scores.get(), levels_flat.get(), f.metric.get()},
                     S.kw_scores_noise_levels_metric);
    if (!f.options) return fail(f, kChart);
    return 0;
}

// return ValidationResult(key=self.key, data=self.dataset.name, model=self.model.name,
//                         inputs=inputs, value=res_value, table=res_table, options=options)
PyObject* make_result(const Frame& f) noexcept {
    Ref validation_result = global(f.function, S.g_ValidationResult);
    if (!validation_result) return fail(f, kResult);
    Ref key = getattr(f.self, S.str_key);
    if (!key) return fail(f, kResult);
    Ref data_name;
    {
        Ref data_set = getattr(f.self, S.str_dataset);
        if (!data_set) return fail(f, kDataName);
        data_name = getattr(data_set.get(), S.str_name);
        if (!data_name) return fail(f, kDataName);
    }
    Ref model_name;
    {
        Ref model = getattr(f.self, S.str_model);
        if (!model) return fail(f, kModelName);
        model_name = getattr(model.get(), S.str_name);
        if (!model_name) return fail(f, kModelName);
    }
    Ref result = call(validation_result.get(),
                      {key.get(), data_name.get(), model_name.get(), f.inputs.get(),
                       f.res_value.get(), f.res_table.get(), f.options.get()},
                      S.kw_validation_result);
    if (!result) return fail(f, kResult);
    return result.release();
}

PyObject* run(rt::Function* function, PyObject* const* args) noexcept {
    Frame f{function, args[0], args[1], args[2], args[3],
            args[4], args[5], args[6], args[7], args[8]};
    if (convert_arguments(f) < 0 || record_inputs(f) < 0 || choose_metric(f) < 0 ||
        normalise_lists(f) < 0 || check_feature_names(f) < 0 || fetch_model_and_data(f) < 0 ||
        score_baseline(f) < 0 || score_levels(f) < 0 || split_samples(f) < 0 ||
        table_and_chart(f) < 0) {
        return nullptr;
    }
    return make_result(f);
}

}  // namespace

// run's documentation, as the source's docstring gives it.
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

constexpr rt::Value kRunDefaults[] = {
    rt::text("test"), rt::none(), rt::integer(10), rt::none(),
    rt::text("normal"), rt::real(0.1), rt::real(0.1), rt::integer(0),
};

constexpr rt::Annotation kRunAnnotations[] = {
    {"dataset", "str"},
    {"metric", "str"},
    {"n_repeats", "int"},
    {"perturb_features", "Union[str, Tuple, List]"},
    {"perturb_method", "str"},
    {"noise_levels", "Union[float, int, Tuple, List]"},
    {"threshold", "float"},
    {"random_state", "int"},
};

rt::Method method_run{{
    .name = "run",
    .first_line = kDef,
    .kind = rt::Kind::instance,
    .params = "self dataset metric n_repeats perturb_features perturb_method noise_levels "
              "threshold random_state",
    .locals = "inputs features_idx score_sign score_func predict_func X y sample_weight "
              "prediction res_value gaps scores_all noise_levels_all noise_level prediction_all "
              "worst_idx others_idx res_table options result fn i i i",
    .defaults = kRunDefaults,
    .doc = kRunDoc,
    .annotations = kRunAnnotations,
    .body = run,
}};

}  // namespace robustness
