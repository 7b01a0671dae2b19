// RobustnessTest.run: arguments, metric and data set-up, scoring, worst-sample
// gaps and the result record.
//
// Each block implements the source statement quoted above it and reports a
// failure at that statement's line. Helpers that cover a whole statement add
// their own traceback entry and return null or -1; the body then only returns.
#include "robustness/methods.hpp"
#include "robustness/ops.hpp"
#include "runtime/unpack.hpp"

namespace robustness {
namespace {

rt::TraceSite& site = method_run.site;

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

// For helpers that return a status: adds the entry for `line`, returns -1.
int fail_at(int line) noexcept {
    fail(site, line);
    return -1;
}

// The typed parameters' test: the interpreter adds no entry for run here, so
// neither do we.
[[gnu::cold, gnu::noinline]] PyObject* wrong_type(const char* name, const char* expected,
                                                   PyObject* got) noexcept {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 expected, Py_TYPE(got)->tp_name);
    return nullptr;
}

// inputs = {"dataset": dataset, "metric": metric, "n_repeats": n_repeats,
//           "noise_levels": noise_levels, "perturb_features": perturb_features,
//           "perturb_method": perturb_method, "random_state": random_state,
//           "threshold": threshold}
Ref record_inputs(PyObject* const* args, double threshold) noexcept {
    Ref threshold_float = Ref::steal(PyFloat_FromDouble(threshold));
    Ref inputs = Ref::steal(PyDict_New());
    if (!threshold_float || !inputs) return Ref();
    const struct {
        PyObject* key;
        PyObject* value;
    } entries[] = {
        {S.str_dataset, args[1]},          {S.str_metric, args[2]},
        {S.str_n_repeats, args[3]},        {S.str_noise_levels, args[6]},
        {S.str_perturb_features, args[4]}, {S.str_perturb_method, args[5]},
        {S.str_random_state, args[8]},     {S.str_threshold, threshold_float.get()},
    };
    for (const auto& e : entries) {
        if (PyDict_SetItem(inputs.get(), e.key, e.value) < 0) return Ref();
    }
    return inputs;
}

// self.dataset.task_type == <tag>, as a truth value: 1, 0, or -1 on failure.
// The attribute chain is read before the global, as the expression reads.
int task_type_is(PyObject* self, rt::GlobalName& tag_name) noexcept {
    Ref dataset = getattr(self, S.str_dataset);
    if (!dataset) return -1;
    Ref task_type = getattr(dataset.get(), S.str_task_type);
    if (!task_type) return -1;
    Ref tag = rt::lookup_global(tag_name, S.globals, S.builtins);
    if (!tag) return -1;
    Ref equal = Ref::steal(PyObject_RichCompare(task_type.get(), tag.get(), Py_EQ));
    if (!equal) return -1;
    return PyObject_IsTrue(equal.get());
}

// metric = self.<name>: `metric` holds a str or None, so the default must be one.
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
Ref choose_metric(PyObject* self, PyObject* metric) noexcept {
    if (metric != Py_None) return Ref::new_ref(metric);
    const int is_regression = task_type_is(self, S.g_REGRESSION);
    if (is_regression < 0) {
        fail(site, kRegression);
        return Ref();
    }
    if (is_regression) {
        Ref chosen = read_default_metric(self, S.str_REGRESSION_METRIC_DEFAULT);
        if (!chosen) fail(site, kRegressionDefault);
        return chosen;
    }
    const int is_classification = task_type_is(self, S.g_CLASSIFICATION);
    if (is_classification < 0) {
        fail(site, kClassification);
        return Ref();
    }
    if (is_classification) {
        Ref chosen = read_default_metric(self, S.str_CLASSIFICATION_METRIC_DEFAULT);
        if (!chosen) fail(site, kClassificationDefault);
        return chosen;
    }
    return Ref::new_ref(Py_None);
}

// for fn in perturb_features:
//     if fn is not None:
//         self.dataset.feature_names.index(fn)
// Only that every name exists matters, before the model is ever called.
int check_feature_names(PyObject* self, PyObject* perturb_features) noexcept {
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(perturb_features); ++k) {
        Ref fn = Ref::new_ref(PyList_GET_ITEM(perturb_features, k));
        if (fn.get() == Py_None) continue;
        Ref dataset = getattr(self, S.str_dataset);
        if (!dataset) return fail_at(kCheckNames);
        Ref feature_names = getattr(dataset.get(), S.str_feature_names);
        if (!feature_names) return fail_at(kCheckNames);
        if (!call_method(feature_names.get(), S.str_index, {fn.get()})) {
            return fail_at(kCheckNames);
        }
    }
    return 0;
}

// prediction_all[:, i]
Ref column(PyObject* prediction_all, PyObject* i) noexcept {
    Ref key = tuple({S.slice_all, i});
    if (!key) return Ref();
    return getitem(prediction_all, key.get());
}

// np.array([item] * n_repeats)
Ref repeated_array(PyObject* item, PyObject* n_repeats) noexcept {
    Ref np = ROBUSTNESS_GLOBAL(np);
    if (!np) return Ref();
    Ref array = getattr(np.get(), S.str_array);
    if (!array) return Ref();
    Ref one = list({item});
    if (!one) return Ref();
    Ref repeated = Ref::steal(PyNumber_Multiply(one.get(), n_repeats));
    if (!repeated) return Ref();
    return call(array.get(), {repeated.get()});
}

// gaps[noise_level] = np.array([abs(prediction_all[:, i].ravel() - prediction.ravel())
//                               for i in range(n_repeats)]).mean(axis=0)
int store_gap(PyObject* gaps, PyObject* noise_level, PyObject* prediction_all,
              PyObject* prediction, Py_ssize_t repeats) noexcept {
    Ref np = ROBUSTNESS_GLOBAL(np);
    if (!np) return fail_at(kGap);
    Ref array = getattr(np.get(), S.str_array);
    if (!array) return fail_at(kGap);
    Ref changes = Ref::steal(PyList_New(0));
    if (!changes) return fail_at(kGap);
    for (Py_ssize_t k = 0; k < repeats; ++k) {
        Ref i = Ref::steal(PyLong_FromSsize_t(k));
        if (!i) return fail_at(kGapRange);
        Ref perturbed = column(prediction_all, i.get());
        if (!perturbed) return fail_at(kGap);
        Ref perturbed_flat = call_method(perturbed.get(), S.str_ravel);
        if (!perturbed_flat) return fail_at(kGap);
        Ref baseline_flat = call_method(prediction, S.str_ravel);
        if (!baseline_flat) return fail_at(kGap);
        Ref difference =
            Ref::steal(PyNumber_Subtract(perturbed_flat.get(), baseline_flat.get()));
        if (!difference) return fail_at(kGap);
        Ref change = Ref::steal(PyNumber_Absolute(difference.get()));
        if (!change || PyList_Append(changes.get(), change.get()) < 0) return fail_at(kGap);
    }
    Ref stacked = call(array.get(), {changes.get()});
    if (!stacked) return fail_at(kGap);
    Ref mean = call_method(stacked.get(), S.str_mean, {S.int_0}, S.kw_axis);
    if (!mean) return fail_at(kGapRange);
    if (PyDict_SetItem(gaps, noise_level, mean.get()) < 0) return fail_at(kGap);
    return 0;
}

// res_value[noise_level] = {"Pred %d" % i: prediction_all[:, i].tolist()
//                           for i in range(n_repeats)}
int store_predictions(PyObject* res_value, PyObject* noise_level, PyObject* prediction_all,
                      Py_ssize_t repeats) noexcept {
    Ref predictions = Ref::steal(PyDict_New());
    if (!predictions) return fail_at(kPreds);
    for (Py_ssize_t k = 0; k < repeats; ++k) {
        Ref i = Ref::steal(PyLong_FromSsize_t(k));
        if (!i) return fail_at(kPreds);
        Ref key = Ref::steal(PyUnicode_FromFormat("Pred %zd", k));
        if (!key) return fail_at(kPreds);
        Ref perturbed = column(prediction_all, i.get());
        if (!perturbed) return fail_at(kPreds);
        Ref values = call_method(perturbed.get(), S.str_tolist);
        if (!values || PyDict_SetItem(predictions.get(), key.get(), values.get()) < 0) {
            return fail_at(kPreds);
        }
    }
    if (PyDict_SetItem(res_value, noise_level, predictions.get()) < 0) return fail_at(kPreds);
    return 0;
}

// scores_all.append(np.array([score_func(y=y, prediction=prediction_all[:, i],
//                                        sample_weight=sample_weight)
//                             for i in range(n_repeats)]))
int append_scores(PyObject* scores_all, PyObject* score_func, PyObject* y,
                  PyObject* sample_weight, PyObject* prediction_all,
                  Py_ssize_t repeats) noexcept {
    Ref np = ROBUSTNESS_GLOBAL(np);
    if (!np) return fail_at(kScores);
    Ref array = getattr(np.get(), S.str_array);
    if (!array) return fail_at(kScores);
    Ref scores = Ref::steal(PyList_New(0));
    if (!scores) return fail_at(kScores);
    for (Py_ssize_t k = 0; k < repeats; ++k) {
        Ref i = Ref::steal(PyLong_FromSsize_t(k));
        if (!i) return fail_at(kScoresRange);
        Ref perturbed = column(prediction_all, i.get());
        if (!perturbed) return fail_at(kScores);
        Ref score = call(score_func, {y, perturbed.get(), sample_weight},
                         S.kw_y_prediction_sample_weight);
        if (!score || PyList_Append(scores.get(), score.get()) < 0) return fail_at(kScores);
    }
    Ref level_scores = call(array.get(), {scores.get()});
    if (!level_scores || PyList_Append(scores_all, level_scores.get()) < 0) {
        return fail_at(kScores);
    }
    return 0;
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

// np.array(<rows>).ravel()
Ref flattened(PyObject* rows) noexcept {
    Ref np = ROBUSTNESS_GLOBAL(np);
    if (!np) return Ref();
    Ref stacked = call_method(np.get(), S.str_array, {rows});
    if (!stacked) return Ref();
    return call_method(stacked.get(), S.str_ravel);
}

PyObject* run(rt::Function*, PyObject* const* args) noexcept {
    PyObject* self = args[0];
    PyObject* dataset = args[1];
    PyObject* metric_arg = args[2];
    PyObject* n_repeats = args[3];
    PyObject* perturb_features_arg = args[4];
    PyObject* perturb_method = args[5];
    PyObject* noise_levels_arg = args[6];
    PyObject* threshold_arg = args[7];
    PyObject* random_state = args[8];

    // threshold is a C double from here on: float's own value, or what the
    // object's __float__ (or __index__) gives; a str has neither.
    double threshold;
    if (PyFloat_CheckExact(threshold_arg)) {
        threshold = PyFloat_AS_DOUBLE(threshold_arg);
    } else {
        threshold = PyFloat_AsDouble(threshold_arg);
        if (threshold == -1.0 && PyErr_Occurred()) return fail(site, kThreshold);
    }

    // The typed parameters, in order; their types must match exactly.
    if (!PyUnicode_CheckExact(dataset)) return wrong_type("dataset", "str", dataset);
    if (metric_arg != Py_None && !PyUnicode_CheckExact(metric_arg)) {
        return wrong_type("metric", "str", metric_arg);
    }
    if (!PyLong_CheckExact(n_repeats)) return wrong_type("n_repeats", "int", n_repeats);
    if (!PyUnicode_CheckExact(perturb_method)) {
        return wrong_type("perturb_method", "str", perturb_method);
    }
    if (!PyLong_CheckExact(random_state)) return wrong_type("random_state", "int", random_state);

    // inputs = {...}: the call as made, before any normalisation below
    Ref inputs = record_inputs(args, threshold);
    if (!inputs) return fail(site, kInputs);

    Ref metric = choose_metric(self, metric_arg);
    if (!metric) return nullptr;

    Ref perturb_features;
    if (perturb_features_arg == Py_None) {
        // perturb_features = self.dataset.feature_names
        Ref data = getattr(self, S.str_dataset);
        if (!data) return fail(site, kAllFeatures);
        perturb_features = getattr(data.get(), S.str_feature_names);
        if (!perturb_features) return fail(site, kAllFeatures);
    } else if (PyUnicode_Check(perturb_features_arg)) {
        // elif isinstance(perturb_features, str): perturb_features = [perturb_features]
        perturb_features = list({perturb_features_arg});
        if (!perturb_features) return fail(site, kOneFeature);
    } else {
        perturb_features = Ref::new_ref(perturb_features_arg);
    }

    // if isinstance(noise_levels, float): noise_levels = [noise_levels]
    Ref noise_levels;
    if (PyFloat_Check(noise_levels_arg)) {
        noise_levels = list({noise_levels_arg});
        if (!noise_levels) return fail(site, kOneLevel);
    } else {
        noise_levels = Ref::new_ref(noise_levels_arg);
    }

    // perturb_features = list(dict.fromkeys(perturb_features))
    {
        Ref unique = call_method(reinterpret_cast<PyObject*>(&PyDict_Type), S.str_fromkeys,
                                 {perturb_features.get()});
        if (!unique) return fail(site, kDeduplicate);
        perturb_features = Ref::steal(PySequence_List(unique.get()));
        if (!perturb_features) return fail(site, kDeduplicate);
    }

    if (check_feature_names(self, perturb_features.get()) < 0) return nullptr;

    // score_sign, score_func, predict_func = get_scorer_funcs(self.model, metric)
    Ref scorer[3];
    {
        Ref get_scorer_funcs = ROBUSTNESS_GLOBAL(get_scorer_funcs);
        if (!get_scorer_funcs) return fail(site, kScorer);
        Ref model = getattr(self, S.str_model);
        if (!model) return fail(site, kScorer);
        Ref funcs = call(get_scorer_funcs.get(), {model.get(), metric.get()});
        if (!funcs || rt::unpack(funcs.get(), scorer, 3) < 0) return fail(site, kScorer);
    }
    PyObject* score_func = scorer[1].get();
    PyObject* predict_func = scorer[2].get();

    // X, y, sample_weight = self.dataset.get_X_y_data(dataset=dataset)
    Ref data[3];
    {
        Ref data_set = getattr(self, S.str_dataset);
        if (!data_set) return fail(site, kData);
        Ref fetched = call_method(data_set.get(), S.str_get_X_y_data, {dataset}, S.kw_dataset);
        if (!fetched || rt::unpack(fetched.get(), data, 3) < 0) return fail(site, kData);
    }
    PyObject* X = data[0].get();
    PyObject* y = data[1].get();
    PyObject* sample_weight = data[2].get();

    // prediction = predict_func(X)
    Ref prediction = call(predict_func, {X});
    if (!prediction) return fail(site, kPredict);

    // res_value = {}
    Ref res_value = Ref::steal(PyDict_New());
    if (!res_value) return fail(site, kResValue);

    // gaps = {}
    Ref gaps = Ref::steal(PyDict_New());
    if (!gaps) return fail(site, kGaps);

    // scores_all = [np.array([score_func(y=y, prediction=prediction,
    //                                    sample_weight=sample_weight)] * n_repeats)]
    Ref scores_all;
    {
        Ref np = ROBUSTNESS_GLOBAL(np);
        if (!np) return fail(site, kBaseline);
        Ref array = getattr(np.get(), S.str_array);
        if (!array) return fail(site, kBaseline);
        Ref score = call(score_func, {y, prediction.get(), sample_weight},
                         S.kw_y_prediction_sample_weight);
        if (!score) return fail(site, kBaselineScore);
        Ref one = list({score.get()});
        if (!one) return fail(site, kBaselineScore);
        Ref repeated = Ref::steal(PyNumber_Multiply(one.get(), n_repeats));
        if (!repeated) return fail(site, kBaseline);
        Ref baseline = call(array.get(), {repeated.get()});
        if (!baseline) return fail(site, kBaseline);
        scores_all = list({baseline.get()});
        if (!scores_all) return fail(site, kBaseline);
    }
    // range(n_repeats) as a count: the list repetition above proved that
    // n_repeats fits an index; a negative count is an empty range.
    const Py_ssize_t signed_repeats = PyLong_AsSsize_t(n_repeats);
    if (signed_repeats == -1 && PyErr_Occurred()) return fail(site, kBaseline);
    const Py_ssize_t repeats = signed_repeats > 0 ? signed_repeats : 0;

    // noise_levels_all = [np.array([0.0] * n_repeats)]
    Ref noise_levels_all;
    {
        Ref zeros = repeated_array(S.float_0_0, n_repeats);
        if (!zeros) return fail(site, kLevelsAll);
        noise_levels_all = list({zeros.get()});
        if (!noise_levels_all) return fail(site, kLevelsAll);
    }

    // for noise_level in noise_levels:
    Ref levels = Ref::steal(PyObject_GetIter(noise_levels.get()));
    if (!levels) return fail(site, kLevelLoop);
    for (;;) {
        Ref noise_level = Ref::steal(PyIter_Next(levels.get()));
        if (!noise_level) {
            if (PyErr_Occurred()) return fail(site, kLevelLoop);
            break;
        }

        // prediction_all = self._repeat_perturb_pred(
        //     X=X, predict_func=predict_func, n_repeats=n_repeats,
        //     perturb_features=perturb_features, perturb_method=perturb_method,
        //     noise_level=noise_level, random_state=random_state)
        // Every level gets the caller's random_state unchanged.
        Ref prediction_all = call_method(
            self, S.str__repeat_perturb_pred,
            {X, predict_func, n_repeats, perturb_features.get(), perturb_method,
             noise_level.get(), random_state},
            S.kw_repeat_perturb_pred);
        if (!prediction_all) return fail(site, kRepeat);

        if (store_gap(gaps.get(), noise_level.get(), prediction_all.get(), prediction.get(),
                      repeats) < 0) {
            return nullptr;
        }
        if (store_predictions(res_value.get(), noise_level.get(), prediction_all.get(),
                              repeats) < 0) {
            return nullptr;
        }
        if (append_scores(scores_all.get(), score_func, y, sample_weight, prediction_all.get(),
                          repeats) < 0) {
            return nullptr;
        }

        // noise_levels_all.append(np.array([noise_level] * n_repeats))
        Ref level_column = repeated_array(noise_level.get(), n_repeats);
        if (!level_column || PyList_Append(noise_levels_all.get(), level_column.get()) < 0) {
            return fail(site, kLevelAppend);
        }
    }

    // worst_idx = np.argsort(gaps[noise_levels[0]])[::-1][:int(threshold * prediction.shape[0])]
    Ref ranking;
    Ref cut;
    Ref worst_idx;
    {
        Ref np = ROBUSTNESS_GLOBAL(np);
        if (!np) return fail(site, kWorst);
        Ref argsort = getattr(np.get(), S.str_argsort);
        if (!argsort) return fail(site, kWorst);
        Ref first_level = getitem(noise_levels.get(), S.int_0);
        if (!first_level) return fail(site, kWorst);
        Ref first_gaps = getitem(gaps.get(), first_level.get());
        if (!first_gaps) return fail(site, kWorst);
        Ref order = call(argsort.get(), {first_gaps.get()});
        if (!order) return fail(site, kWorst);
        ranking = getitem(order.get(), S.slice_reversed);
        if (!ranking) return fail(site, kWorst);
        cut = cut_position(threshold, prediction.get());
        if (!cut) return fail(site, kWorst);
        worst_idx = slice_of(ranking.get(), nullptr, cut.get());
        if (!worst_idx) return fail(site, kWorst);
    }

    // others_idx = np.argsort(gaps[noise_levels[0]])[::-1][int(threshold * prediction.shape[0]):]
    // The ranking and the cut are those of the line above; nothing between
    // the two lines can change them.
    Ref others_idx = slice_of(ranking.get(), cut.get(), nullptr);
    if (!others_idx) return fail(site, kOthers);

    // res_value["data_info"] = {"dataset1": dataset, "dataset2": dataset,
    //                           "sample_idx1": worst_idx.tolist(),
    //                           "sample_idx2": others_idx.tolist(),
    //                           "name1": "Worst", "name2": "Remaining"}
    {
        Ref worst_list = call_method(worst_idx.get(), S.str_tolist);
        if (!worst_list) return fail(site, kWorstList);
        Ref others_list = call_method(others_idx.get(), S.str_tolist);
        if (!others_list) return fail(site, kOthersList);
        Ref data_info = Ref::steal(PyDict_New());
        if (!data_info) return fail(site, kDataInfo);
        const struct {
            PyObject* key;
            PyObject* value;
        } entries[] = {
            {S.str_dataset1, dataset},
            {S.str_dataset2, dataset},
            {S.str_sample_idx1, worst_list.get()},
            {S.str_sample_idx2, others_list.get()},
            {S.str_name1, S.str_Worst},
            {S.str_name2, S.str_Remaining},
        };
        for (const auto& e : entries) {
            if (PyDict_SetItem(data_info.get(), e.key, e.value) < 0) return fail(site, kDataInfo);
        }
        if (PyDict_SetItem(res_value.get(), S.str_data_info, data_info.get()) < 0) {
            return fail(site, kDataInfo);
        }
    }

    // res_table = pd.DataFrame(scores_all).T
    Ref res_table;
    {
        Ref pd = ROBUSTNESS_GLOBAL(pd);
        if (!pd) return fail(site, kTable);
        Ref frame = call_method(pd.get(), S.str_DataFrame, {scores_all.get()});
        if (!frame) return fail(site, kTable);
        res_table = getattr(frame.get(), S.str_T);
        if (!res_table) return fail(site, kTable);
    }

    // res_table.columns = np.array(noise_levels_all)[:, 0].tolist()
    {
        Ref np = ROBUSTNESS_GLOBAL(np);
        if (!np) return fail(site, kColumns);
        Ref stacked = call_method(np.get(), S.str_array, {noise_levels_all.get()});
        if (!stacked) return fail(site, kColumns);
        Ref first_column = getitem(stacked.get(), S.key_all_0);
        if (!first_column) return fail(site, kColumns);
        Ref labels = call_method(first_column.get(), S.str_tolist);
        if (!labels) return fail(site, kColumns);
        if (PyObject_SetAttr(res_table.get(), S.str_columns, labels.get()) < 0) {
            return fail(site, kColumns);
        }
    }

    // res_table = res_table.rename_axis("Repeats").rename_axis("Noise Level", axis="columns")
    {
        Ref by_repeat = call_method(res_table.get(), S.str_rename_axis, {S.str_Repeats});
        if (!by_repeat) return fail(site, kRenameAxis);
        res_table = call_method(by_repeat.get(), S.str_rename_axis,
                                {S.str_Noise_Level, S.str_columns}, S.kw_axis);
        if (!res_table) return fail(site, kRenameAxis);
    }

    // options = self._visualize_robustness(scores=np.array(scores_all).ravel(),
    //                                      noise_levels=np.array(noise_levels_all).ravel(),
    //                                      metric=metric)
    Ref options;
    {
        // The method is fetched before its arguments are evaluated.
        Ref visualize = getattr(self, S.str__visualize_robustness);
        if (!visualize) return fail(site, kChart);
        Ref scores = flattened(scores_all.get());
        if (!scores) return fail(site, kChart);
        Ref levels_flat = flattened(noise_levels_all.get());
        if (!levels_flat) return fail(site, kChartLevels);
        options = call(visualize.get(), {scores.get(), levels_flat.get(), metric.get()},
                       S.kw_scores_noise_levels_metric);
        if (!options) return fail(site, kChart);
    }

    // return ValidationResult(key=self.key, data=self.dataset.name, model=self.model.name,
    //                         inputs=inputs, value=res_value, table=res_table, options=options)
    Ref validation_result = ROBUSTNESS_GLOBAL(ValidationResult);
    if (!validation_result) return fail(site, kResult);
    Ref key = getattr(self, S.str_key);
    if (!key) return fail(site, kResult);
    Ref data_name;
    {
        Ref data_set = getattr(self, S.str_dataset);
        if (!data_set) return fail(site, kDataName);
        data_name = getattr(data_set.get(), S.str_name);
        if (!data_name) return fail(site, kDataName);
    }
    Ref model_name;
    {
        Ref model = getattr(self, S.str_model);
        if (!model) return fail(site, kModelName);
        model_name = getattr(model.get(), S.str_name);
        if (!model_name) return fail(site, kModelName);
    }
    Ref result = call(validation_result.get(),
                      {key.get(), data_name.get(), model_name.get(), inputs.get(),
                       res_value.get(), res_table.get(), options.get()},
                      S.kw_validation_result);
    if (!result) return fail(site, kResult);
    return result.release();
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
