// The perturbation engine: the three column routines, the per-feature
// dispatcher and the repetition loop.
//
// Where a call's arguments need work that can fail (an index read, a product,
// a nested call), the callee is fetched first, as the interpreter evaluates
// `f(args)`: the callee, then the arguments left to right, then the call.
#include "robustness/methods.hpp"
#include "robustness/ops.hpp"

namespace robustness {
namespace {

// The truth of `a == b` as an `if` statement takes it: the comparison's result
// (no identity shortcut), then its truth value. 1, 0, or -1 with an exception.
int equals(PyObject* a, PyObject* b) noexcept {
    Ref result = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
    if (!result) return -1;
    return PyObject_IsTrue(result.get());
}

// `X.shape[0]`
Ref row_count(PyObject* X) noexcept {
    Ref shape = getattr(X, S.str_shape);
    if (!shape) return Ref();
    return getitem(shape.get(), S.int_0);
}

// `np.random.default_rng(random_state)`
Ref default_rng(const rt::Function* function, PyObject* random_state) noexcept {
    Ref random = np_attr(function, S.str_random);
    if (!random) return Ref();
    return call_method(random.get(), S.str_default_rng, {random_state});
}

// ---------------------------------------------------------------------------
// _perturb_normal(X, fidx, noise_level, random_state=0)

namespace normal_lines {
enum Line : int {
    kDef = 19,
    kRows = 22,
    kRng = 23,
    kScale = 24,
    kNoise = 25,
    kStore = 26,
};
}  // namespace normal_lines

PyObject* perturb_normal(rt::Function* function, PyObject* const* args) noexcept {
    using namespace normal_lines;
    PyObject* X = args[0];
    PyObject* fidx = args[1];
    PyObject* noise_level = args[2];
    PyObject* random_state = args[3];

    // n_samples = X.shape[0]
    Ref n_samples = row_count(X);
    if (!n_samples) return fail(function, kRows);

    // rng = np.random.default_rng(random_state)
    Ref rng = default_rng(function, random_state);
    if (!rng) return fail(function, kRng);

    // data_scale = np.nanstd(X[:, fidx], 0, ddof=1)
    Ref data_scale;
    {
        Ref nanstd = np_attr(function, S.str_nanstd);
        if (!nanstd) return fail(function, kScale);
        Ref key = tuple({S.slice_all, fidx});
        if (!key) return fail(function, kScale);
        Ref column = getitem(X, key.get());
        if (!column) return fail(function, kScale);
        data_scale = call(nanstd.get(), {column.get(), S.int_0, S.int_1}, S.kw_ddof);
        if (!data_scale) return fail(function, kScale);
    }

    // noise = rng.normal(loc=0, scale=noise_level * data_scale, size=(n_samples, 1))
    Ref noise;
    {
        Ref normal = getattr(rng.get(), S.str_normal);
        if (!normal) return fail(function, kNoise);
        Ref scale = Ref::steal(PyNumber_Multiply(noise_level, data_scale.get()));
        if (!scale) return fail(function, kNoise);
        Ref size = tuple({n_samples.get(), S.int_1});
        if (!size) return fail(function, kNoise);
        noise = call(normal.get(), {S.int_0, scale.get(), size.get()}, S.kw_loc_scale_size);
        if (!noise) return fail(function, kNoise);
    }

    // X[:, [fidx]] = X[:, [fidx]] + noise
    {
        Ref fidx_list = list({fidx});
        if (!fidx_list) return fail(function, kStore);
        Ref key = tuple({S.slice_all, fidx_list.get()});
        if (!key) return fail(function, kStore);
        Ref block = getitem(X, key.get());
        if (!block) return fail(function, kStore);
        Ref sum = Ref::steal(PyNumber_Add(block.get(), noise.get()));
        if (!sum) return fail(function, kStore);
        block.reset();
        if (PyObject_SetItem(X, key.get(), sum.get()) < 0) return fail(function, kStore);
    }

    // return X
    return Py_NewRef(X);
}

// ---------------------------------------------------------------------------
// _perturb_quantile(X, fidx, noise_level, random_state=0)

namespace quantile_lines {
enum Line : int {
    kDef = 29,
    kRows = 32,
    kRng = 33,
    kSorted = 36,
    kIndices = 37,
    kShuffle = 38,
    kArgsort = 39,
    kZeros = 40,
    kQuantiles = 41,
    kShift = 44,
    kClip = 45,
    kRound = 48,
    kStore = 49,
};
}  // namespace quantile_lines

PyObject* perturb_quantile(rt::Function* function, PyObject* const* args) noexcept {
    using namespace quantile_lines;
    PyObject* X = args[0];
    PyObject* fidx = args[1];
    PyObject* noise_level = args[2];
    PyObject* random_state = args[3];

    // n_samples = X.shape[0]
    Ref n_samples = row_count(X);
    if (!n_samples) return fail(function, kRows);

    // rng = np.random.default_rng(random_state)
    Ref rng = default_rng(function, random_state);
    if (!rng) return fail(function, kRng);

    // sorted_X = np.sort(X[:, fidx])
    Ref sorted_X;
    {
        Ref sort = np_attr(function, S.str_sort);
        if (!sort) return fail(function, kSorted);
        Ref key = tuple({S.slice_all, fidx});
        if (!key) return fail(function, kSorted);
        Ref column = getitem(X, key.get());
        if (!column) return fail(function, kSorted);
        sorted_X = call(sort.get(), {column.get()});
        if (!sorted_X) return fail(function, kSorted);
    }

    // shuffle_idx = np.arange(n_samples)
    Ref shuffle_idx;
    {
        Ref arange = np_attr(function, S.str_arange);
        if (!arange) return fail(function, kIndices);
        shuffle_idx = call(arange.get(), {n_samples.get()});
        if (!shuffle_idx) return fail(function, kIndices);
    }

    // rng.shuffle(shuffle_idx)
    if (!call_method(rng.get(), S.str_shuffle, {shuffle_idx.get()})) {
        return fail(function, kShuffle);
    }

    // sorted_shuffle_idx = np.argsort(X[shuffle_idx, fidx])
    Ref sorted_shuffle_idx;
    {
        Ref argsort = np_attr(function, S.str_argsort);
        if (!argsort) return fail(function, kArgsort);
        Ref key = tuple({shuffle_idx.get(), fidx});
        if (!key) return fail(function, kArgsort);
        Ref shuffled = getitem(X, key.get());
        if (!shuffled) return fail(function, kArgsort);
        sorted_shuffle_idx = call(argsort.get(), {shuffled.get()});
        if (!sorted_shuffle_idx) return fail(function, kArgsort);
    }

    // quantiles = np.zeros((n_samples,))
    Ref quantiles;
    {
        Ref zeros = np_attr(function, S.str_zeros);
        if (!zeros) return fail(function, kZeros);
        Ref shape1 = tuple({n_samples.get()});
        if (!shape1) return fail(function, kZeros);
        quantiles = call(zeros.get(), {shape1.get()});
        if (!quantiles) return fail(function, kZeros);
    }

    // quantiles[sorted_shuffle_idx] = np.arange(n_samples) / n_samples
    {
        Ref arange = np_attr(function, S.str_arange);
        if (!arange) return fail(function, kQuantiles);
        Ref ranks = call(arange.get(), {n_samples.get()});
        if (!ranks) return fail(function, kQuantiles);
        Ref ranked = Ref::steal(PyNumber_TrueDivide(ranks.get(), n_samples.get()));
        if (!ranked) return fail(function, kQuantiles);
        if (PyObject_SetItem(quantiles.get(), sorted_shuffle_idx.get(), ranked.get()) < 0) {
            return fail(function, kQuantiles);
        }
    }

    // quantile_noise = quantiles + noise_level * rng.uniform(-0.5, 0.5, size=(n_samples,))
    Ref quantile_noise;
    {
        Ref size = tuple({n_samples.get()});
        if (!size) return fail(function, kShift);
        Ref draws = call_method(rng.get(), S.str_uniform,
                                {S.float_neg_0_5, S.float_0_5, size.get()}, S.kw_size);
        if (!draws) return fail(function, kShift);
        Ref shift = Ref::steal(PyNumber_Multiply(noise_level, draws.get()));
        if (!shift) return fail(function, kShift);
        quantile_noise = Ref::steal(PyNumber_Add(quantiles.get(), shift.get()));
        if (!quantile_noise) return fail(function, kShift);
    }

    // quantile_noise = np.clip(quantile_noise, quantiles.min(), quantiles.max())
    {
        Ref clip = np_attr(function, S.str_clip);
        if (!clip) return fail(function, kClip);
        Ref low = call_method(quantiles.get(), S.str_min);
        if (!low) return fail(function, kClip);
        Ref high = call_method(quantiles.get(), S.str_max);
        if (!high) return fail(function, kClip);
        quantile_noise = call(clip.get(), {quantile_noise.get(), low.get(), high.get()});
        if (!quantile_noise) return fail(function, kClip);
    }

    // sorted_shuffle_noise_idx = np.round(quantile_noise * n_samples, 0).astype(int)
    Ref sorted_shuffle_noise_idx;
    {
        Ref round = np_attr(function, S.str_round);
        if (!round) return fail(function, kRound);
        Ref scaled = Ref::steal(PyNumber_Multiply(quantile_noise.get(), n_samples.get()));
        if (!scaled) return fail(function, kRound);
        Ref rounded = call(round.get(), {scaled.get(), S.int_0});
        if (!rounded) return fail(function, kRound);
        sorted_shuffle_noise_idx = call_method(
            rounded.get(), S.str_astype, {reinterpret_cast<PyObject*>(&PyLong_Type)});
        if (!sorted_shuffle_noise_idx) return fail(function, kRound);
    }

    // X[shuffle_idx, [fidx]] = sorted_X[sorted_shuffle_noise_idx]
    {
        Ref values = getitem(sorted_X.get(), sorted_shuffle_noise_idx.get());
        if (!values) return fail(function, kStore);
        Ref fidx_list = list({fidx});
        if (!fidx_list) return fail(function, kStore);
        Ref key = tuple({shuffle_idx.get(), fidx_list.get()});
        if (!key) return fail(function, kStore);
        if (PyObject_SetItem(X, key.get(), values.get()) < 0) return fail(function, kStore);
    }

    // return X
    return Py_NewRef(X);
}

// ---------------------------------------------------------------------------
// _perturb_categorical(X, fidx, noise_level, random_state=0)

namespace categorical_lines {
enum Line : int {
    kDef = 52,
    kRows = 55,
    kRng = 56,
    kProba = 58,
    kSelect = 59,
    kReplace = 60,
};
}  // namespace categorical_lines

PyObject* perturb_categorical(rt::Function* function, PyObject* const* args) noexcept {
    using namespace categorical_lines;
    PyObject* X = args[0];
    PyObject* fidx = args[1];
    PyObject* noise_level = args[2];
    PyObject* random_state = args[3];

    // n_samples = X.shape[0]
    Ref n_samples = row_count(X);
    if (!n_samples) return fail(function, kRows);

    // rng = np.random.default_rng(random_state)
    Ref rng = default_rng(function, random_state);
    if (!rng) return fail(function, kRng);

    // noise_proba = min(noise_level, 1.0)
    // The built-in keeps its first argument unless the second is smaller.
    const int above_one = PyObject_RichCompareBool(S.float_1_0, noise_level, Py_LT);
    if (above_one < 0) return fail(function, kProba);
    PyObject* noise_proba = above_one ? S.float_1_0 : noise_level;

    // noise_idx = np.where(rng.choice(2, n_samples, replace=True,
    //                                 p=[1 - noise_proba, noise_proba]))[0]
    Ref noise_idx;
    {
        Ref where = np_attr(function, S.str_where);
        if (!where) return fail(function, kSelect);
        Ref choice = getattr(rng.get(), S.str_choice);
        if (!choice) return fail(function, kSelect);
        Ref keep = Ref::steal(PyNumber_Subtract(S.int_1, noise_proba));
        if (!keep) return fail(function, kSelect);
        Ref p = list({keep.get(), noise_proba});
        if (!p) return fail(function, kSelect);
        Ref selected = call(choice.get(), {S.int_2, n_samples.get(), Py_True, p.get()},
                            S.kw_replace_p);
        if (!selected) return fail(function, kSelect);
        Ref positions = call(where.get(), {selected.get()});
        if (!positions) return fail(function, kSelect);
        noise_idx = getitem(positions.get(), S.int_0);
        if (!noise_idx) return fail(function, kSelect);
    }

    // X[noise_idx, [fidx]] = rng.choice(X[:, fidx], len(noise_idx), replace=True)
    {
        Ref choice = getattr(rng.get(), S.str_choice);
        if (!choice) return fail(function, kReplace);
        Ref column_key = tuple({S.slice_all, fidx});
        if (!column_key) return fail(function, kReplace);
        Ref column = getitem(X, column_key.get());
        if (!column) return fail(function, kReplace);
        const Py_ssize_t count = PyObject_Size(noise_idx.get());
        if (count < 0) return fail(function, kReplace);
        Ref n_selected = Ref::steal(PyLong_FromSsize_t(count));
        if (!n_selected) return fail(function, kReplace);
        Ref values = call(choice.get(), {column.get(), n_selected.get(), Py_True}, S.kw_replace);
        if (!values) return fail(function, kReplace);
        column.reset();
        Ref fidx_list = list({fidx});
        if (!fidx_list) return fail(function, kReplace);
        Ref key = tuple({noise_idx.get(), fidx_list.get()});
        if (!key) return fail(function, kReplace);
        if (PyObject_SetItem(X, key.get(), values.get()) < 0) return fail(function, kReplace);
    }

    // return X
    return Py_NewRef(X);
}

// ---------------------------------------------------------------------------
// _perturb(self, X, perturb_features, perturb_method, noise_level, random_state=0)

namespace perturb_lines {
enum Line : int {
    kDef = 63,
    kCopy = 65,
    kLoop = 66,
    kIndex = 67,
    kIsNumerical = 68,
    kIsNormal = 69,
    kNormal = 70,
    kIsQuantile = 74,
    kQuantile = 75,
    kIsCategorical = 79,
    kCategorical = 80,
};
}  // namespace perturb_lines

// self.dataset.feature_types[fidx] == <global>, as the `if` takes it.
int feature_type_is(const rt::Function* function, PyObject* self, PyObject* fidx,
                    rt::GlobalName& tag) noexcept {
    Ref dataset = getattr(self, S.str_dataset);
    if (!dataset) return -1;
    Ref feature_types = getattr(dataset.get(), S.str_feature_types);
    if (!feature_types) return -1;
    Ref feature_type = getitem(feature_types.get(), fidx);
    if (!feature_type) return -1;
    Ref value = global(function, tag);
    if (!value) return -1;
    return equals(feature_type.get(), value.get());
}

PyObject* perturb(rt::Function* function, PyObject* const* args) noexcept {
    using namespace perturb_lines;
    PyObject* self = args[0];
    PyObject* X = args[1];
    PyObject* perturb_features = args[2];
    PyObject* perturb_method = args[3];
    PyObject* noise_level = args[4];
    PyObject* random_state = args[5];

    // X_new = copy(X)
    Ref X_new;
    {
        Ref copy = global(function, S.g_copy);
        if (!copy) return fail(function, kCopy);
        X_new = call(copy.get(), {X});
        if (!X_new) return fail(function, kCopy);
    }

    // for fn in perturb_features:
    Ref features = Ref::steal(PyObject_GetIter(perturb_features));
    if (!features) return fail(function, kLoop);
    for (;;) {
        Ref fn = Ref::steal(PyIter_Next(features.get()));
        if (!fn) {
            if (PyErr_Occurred()) return fail(function, kLoop);
            break;
        }

        // fidx = self.dataset.feature_names.index(fn)
        Ref fidx;
        {
            Ref dataset = getattr(self, S.str_dataset);
            if (!dataset) return fail(function, kIndex);
            Ref feature_names = getattr(dataset.get(), S.str_feature_names);
            if (!feature_names) return fail(function, kIndex);
            fidx = call_method(feature_names.get(), S.str_index, {fn.get()});
            if (!fidx) return fail(function, kIndex);
        }

        // if self.dataset.feature_types[fidx] == NUMERICAL:
        const int numerical = feature_type_is(function, self, fidx.get(), S.g_NUMERICAL);
        if (numerical < 0) return fail(function, kIsNumerical);
        if (numerical) {
            // if perturb_method == "normal":
            const int normal = equals(perturb_method, S.str_normal);
            if (normal < 0) return fail(function, kIsNormal);
            if (normal) {
                // X_new = self._perturb_normal(X=X_new, fidx=fidx, noise_level=noise_level,
                //                              random_state=random_state)
                X_new = call_method(self, S.str__perturb_normal,
                                    {X_new.get(), fidx.get(), noise_level, random_state},
                                    S.kw_X_fidx_noise_level_random_state);
                if (!X_new) return fail(function, kNormal);
                continue;
            }
            // elif perturb_method == "quantile":
            const int quantile = equals(perturb_method, S.str_quantile);
            if (quantile < 0) return fail(function, kIsQuantile);
            if (quantile) {
                // X_new = self._perturb_quantile(X=X_new, fidx=fidx, noise_level=noise_level,
                //                                random_state=random_state)
                X_new = call_method(self, S.str__perturb_quantile,
                                    {X_new.get(), fidx.get(), noise_level, random_state},
                                    S.kw_X_fidx_noise_level_random_state);
                if (!X_new) return fail(function, kQuantile);
            }
            continue;
        }

        // elif self.dataset.feature_types[fidx] == CATEGORICAL:
        const int categorical = feature_type_is(function, self, fidx.get(), S.g_CATEGORICAL);
        if (categorical < 0) return fail(function, kIsCategorical);
        if (categorical) {
            // X_new = self._perturb_categorical(X=X_new, fidx=fidx, noise_level=noise_level,
            //                                   random_state=random_state)
            X_new = call_method(self, S.str__perturb_categorical,
                                {X_new.get(), fidx.get(), noise_level, random_state},
                                S.kw_X_fidx_noise_level_random_state);
            if (!X_new) return fail(function, kCategorical);
        }
    }

    // return X_new
    return X_new.release();
}

// ---------------------------------------------------------------------------
// _repeat_perturb_pred(self, X, predict_func, n_repeats, perturb_features,
//                      perturb_method, noise_level, random_state)

namespace repeat_lines {
enum Line : int {
    kDef = 85,
    kList = 88,
    kLoop = 89,
    kPerturb = 90,
    kSeed = 94,
    kPredict = 95,
    kAppend = 96,
    kResult = 97,
};
}  // namespace repeat_lines

PyObject* repeat_perturb_pred(rt::Function* function, PyObject* const* args) noexcept {
    using namespace repeat_lines;
    PyObject* self = args[0];
    PyObject* X = args[1];
    PyObject* predict_func = args[2];
    PyObject* n_repeats = args[3];
    PyObject* perturb_features = args[4];
    PyObject* perturb_method = args[5];
    PyObject* noise_level = args[6];
    PyObject* random_state = args[7];

    // prediction_all = []
    Ref prediction_all = Ref::steal(PyList_New(0));
    if (!prediction_all) return fail(function, kList);

    // for i in range(n_repeats):
    Ref repeats = call(S.builtin_range, {n_repeats});
    if (!repeats) return fail(function, kLoop);
    Ref counter = Ref::steal(PyObject_GetIter(repeats.get()));
    if (!counter) return fail(function, kLoop);
    // Each perturbed matrix is dropped once it has been predicted on, rather
    // than when the next one replaces it: only one perturbed copy of X is ever
    // alive, which bounds the peak memory at X, one copy and the predictions.
    for (;;) {
        Ref i = Ref::steal(PyIter_Next(counter.get()));
        if (!i) {
            if (PyErr_Occurred()) return fail(function, kLoop);
            break;
        }

        // perturb_X = self._perturb(X=X, perturb_features=perturb_features,
        //                           perturb_method=perturb_method, noise_level=noise_level,
        //                           random_state=random_state + i)
        Ref method = getattr(self, S.str__perturb);
        if (!method) return fail(function, kPerturb);
        Ref seed = Ref::steal(PyNumber_Add(random_state, i.get()));
        if (!seed) return fail(function, kSeed);
        Ref perturb_X = call(method.get(),
                             {X, perturb_features, perturb_method, noise_level, seed.get()},
                             S.kw_perturb);
        if (!perturb_X) return fail(function, kPerturb);

        // prediction = predict_func(perturb_X)
        Ref prediction = call(predict_func, {perturb_X.get()});
        if (!prediction) return fail(function, kPredict);
        perturb_X.reset();

        // prediction_all.append(prediction)
        if (PyList_Append(prediction_all.get(), prediction.get()) < 0) {
            return fail(function, kAppend);
        }
    }

    // return np.array(prediction_all).T
    Ref array = np_attr(function, S.str_array);
    if (!array) return fail(function, kResult);
    Ref stacked = call(array.get(), {prediction_all.get()});
    if (!stacked) return fail(function, kResult);
    Ref transposed = getattr(stacked.get(), S.str_T);
    if (!transposed) return fail(function, kResult);
    return transposed.release();
}

}  // namespace

// The column routines share their parameters and the seed's default.
constexpr const char* kColumnParams = "X fidx noise_level random_state";
constexpr rt::Value kSeedDefault[] = {rt::integer(0)};

rt::Method method__perturb_normal{{
    .name = "_perturb_normal",
    .first_line = normal_lines::kDef,
    .kind = rt::Kind::static_method,
    .params = kColumnParams,
    .locals = "n_samples rng data_scale noise",
    .defaults = kSeedDefault,
    .body = perturb_normal,
}};

rt::Method method__perturb_quantile{{
    .name = "_perturb_quantile",
    .first_line = quantile_lines::kDef,
    .kind = rt::Kind::static_method,
    .params = kColumnParams,
    .locals = "n_samples rng sorted_X shuffle_idx sorted_shuffle_idx quantiles quantile_noise "
              "sorted_shuffle_noise_idx",
    .defaults = kSeedDefault,
    .body = perturb_quantile,
}};

rt::Method method__perturb_categorical{{
    .name = "_perturb_categorical",
    .first_line = categorical_lines::kDef,
    .kind = rt::Kind::static_method,
    .params = kColumnParams,
    .locals = "n_samples rng noise_proba noise_idx",
    .defaults = kSeedDefault,
    .body = perturb_categorical,
}};

rt::Method method__perturb{{
    .name = "_perturb",
    .first_line = perturb_lines::kDef,
    .kind = rt::Kind::instance,
    .params = "self X perturb_features perturb_method noise_level random_state",
    .locals = "X_new fn fidx",
    .defaults = kSeedDefault,
    .body = perturb,
}};

rt::Method method__repeat_perturb_pred{{
    .name = "_repeat_perturb_pred",
    .first_line = repeat_lines::kDef,
    .kind = rt::Kind::instance,
    .params = "self X predict_func n_repeats perturb_features perturb_method noise_level "
              "random_state",
    .locals = "prediction_all i perturb_X prediction",
    .body = repeat_perturb_pred,
}};

}  // namespace robustness
