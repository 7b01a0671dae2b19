// The one table of everything the module builds once, at exec: interned
// names, keyword-name tuples for the vectorcalls, numeric constants, slices,
// index keys and the builtins resolved once. It lives for the life of the
// process, and owns every entry (each an `rt::Kept`, read as a borrowed view).
#pragma once

#include <Python.h>

#include "robustness/identity.hpp"
#include "runtime/call.hpp"
#include "runtime/imports.hpp"

namespace robustness {

// Interned strings: field `str_<id>` holds the literal.
#define ROBUSTNESS_STRINGS(ENTRY_)                                             \
    /* module body */                                                     \
    ENTRY_(numpy, "numpy")                                                     \
    ENTRY_(pandas, "pandas")                                                   \
    ENTRY_(copy, "copy")                                                       \
    ENTRY_(typing, "typing")                                                   \
    ENTRY_(Tuple, "Tuple")                                                     \
    ENTRY_(List, "List")                                                       \
    ENTRY_(Union, "Union")                                                     \
    ENTRY_(plotlane, "plotlane")                                               \
    ENTRY_(base, "base")                                                       \
    ENTRY_(utils_metric_utils, "utils.metric_utils")                           \
    ENTRY_(utils_results, "utils.results")                                     \
    ENTRY_(utils_constants, "utils.constants")                                 \
    ENTRY_(TestBase, "TestBase")                                               \
    ENTRY_(get_scorer_funcs, "get_scorer_funcs")                               \
    ENTRY_(ValidationResult, "ValidationResult")                               \
    ENTRY_(NUMERICAL, "NUMERICAL")                                             \
    ENTRY_(CATEGORICAL, "CATEGORICAL")                                         \
    ENTRY_(REGRESSION, "REGRESSION")                                           \
    ENTRY_(CLASSIFICATION, "CLASSIFICATION")                                   \
    ENTRY_(np, "np")                                                           \
    ENTRY_(pd, "pd")                                                           \
    ENTRY_(pln, "pln")                                                         \
    ENTRY_(RobustnessTest, "RobustnessTest")                                   \
    ENTRY_(__test__, "__test__")                                               \
    ENTRY_(__builtins__, "__builtins__")                                       \
    ENTRY_(__init__, "__init__")                                               \
    ENTRY_(module_name, kModule.name)                                          \
    ENTRY_(name, "name")                                                       \
    ENTRY_(loader, "loader")                                                   \
    ENTRY_(origin, "origin")                                                   \
    ENTRY_(parent, "parent")                                                   \
    ENTRY_(submodule_search_locations, "submodule_search_locations")           \
    ENTRY_(__loader__, "__loader__")                                           \
    ENTRY_(__file__, "__file__")                                               \
    ENTRY_(__package__, "__package__")                                         \
    ENTRY_(__path__, "__path__")                                               \
    ENTRY_(staticmethod, "staticmethod")                                       \
    ENTRY_(super, "super")                                                     \
    ENTRY_(range, "range")                                                     \
    /* methods */                              \
    ENTRY_(_perturb_normal, "_perturb_normal")                                 \
    ENTRY_(_perturb_quantile, "_perturb_quantile")                             \
    ENTRY_(_perturb_categorical, "_perturb_categorical")                       \
    ENTRY_(_perturb, "_perturb")                                               \
    ENTRY_(_repeat_perturb_pred, "_repeat_perturb_pred")                       \
    ENTRY_(_visualize_robustness, "_visualize_robustness")                     \
    ENTRY_(run, "run")                                                         \
    /* parameters and locals */                                           \
    ENTRY_(dataset, "dataset")                                                 \
    ENTRY_(model, "model")                                                     \
    ENTRY_(X, "X")                                                             \
    ENTRY_(fidx, "fidx")                                                       \
    ENTRY_(noise_level, "noise_level")                                         \
    ENTRY_(random_state, "random_state")                                       \
    ENTRY_(perturb_features, "perturb_features")                               \
    ENTRY_(perturb_method, "perturb_method")                                   \
    ENTRY_(predict_func, "predict_func")                                       \
    ENTRY_(n_repeats, "n_repeats")                                             \
    ENTRY_(prediction, "prediction")                                           \
    ENTRY_(scores, "scores")                                                   \
    ENTRY_(noise_levels, "noise_levels")                                       \
    ENTRY_(metric, "metric")                                                   \
    ENTRY_(options, "options")                                                 \
    ENTRY_(threshold, "threshold")                                             \
    ENTRY_(inputs, "inputs")                                                   \
    ENTRY_(y, "y")                                                             \
    ENTRY_(sample_weight, "sample_weight")                                     \
    /* numpy */                                                           \
    ENTRY_(shape, "shape")                                                     \
    ENTRY_(random, "random")                                                   \
    ENTRY_(default_rng, "default_rng")                                         \
    ENTRY_(nanstd, "nanstd")                                                   \
    ENTRY_(ddof, "ddof")                                                       \
    ENTRY_(normal, "normal")                                                   \
    ENTRY_(quantile, "quantile")                                               \
    ENTRY_(loc, "loc")                                                         \
    ENTRY_(scale, "scale")                                                     \
    ENTRY_(size, "size")                                                       \
    ENTRY_(sort, "sort")                                                       \
    ENTRY_(arange, "arange")                                                   \
    ENTRY_(shuffle, "shuffle")                                                 \
    ENTRY_(argsort, "argsort")                                                 \
    ENTRY_(zeros, "zeros")                                                     \
    ENTRY_(uniform, "uniform")                                                 \
    ENTRY_(clip, "clip")                                                       \
    ENTRY_(min, "min")                                                         \
    ENTRY_(max, "max")                                                         \
    ENTRY_(round, "round")                                                     \
    ENTRY_(astype, "astype")                                                   \
    ENTRY_(choice, "choice")                                                   \
    ENTRY_(replace, "replace")                                                 \
    ENTRY_(p, "p")                                                             \
    ENTRY_(where, "where")                                                     \
    ENTRY_(array, "array")                                                     \
    ENTRY_(T, "T")                                                             \
    ENTRY_(ravel, "ravel")                                                     \
    ENTRY_(mean, "mean")                                                       \
    ENTRY_(axis, "axis")                                                       \
    ENTRY_(tolist, "tolist")                                                   \
    /* host */                                                            \
    ENTRY_(task_type, "task_type")                                             \
    ENTRY_(feature_names, "feature_names")                                     \
    ENTRY_(feature_types, "feature_types")                                     \
    ENTRY_(index, "index")                                                     \
    ENTRY_(get_X_y_data, "get_X_y_data")                                       \
    ENTRY_(key, "key")                                                         \
    ENTRY_(diagnose_robustness, "diagnose_robustness")                         \
    ENTRY_(REGRESSION_METRIC_DEFAULT, "REGRESSION_METRIC_DEFAULT")             \
    ENTRY_(CLASSIFICATION_METRIC_DEFAULT, "CLASSIFICATION_METRIC_DEFAULT")     \
    ENTRY_(append, "append")                                                   \
    ENTRY_(fromkeys, "fromkeys")                                               \
    ENTRY_(test, "test")                                                       \
    /* pandas */                                                          \
    ENTRY_(DataFrame, "DataFrame")                                             \
    ENTRY_(columns, "columns")                                                 \
    ENTRY_(rename_axis, "rename_axis")                                         \
    ENTRY_(Repeats, "Repeats")                                                 \
    ENTRY_(Noise_Level, "Noise Level")                                         \
    /* chart */                                                           \
    ENTRY_(boxplot, "boxplot")                                                 \
    ENTRY_(x, "x")                                                             \
    ENTRY_(orient, "orient")                                                   \
    ENTRY_(outliers, "outliers")                                               \
    ENTRY_(vertical, "vertical")                                               \
    ENTRY_(set_xaxis, "set_xaxis")                                             \
    ENTRY_(set_yaxis, "set_yaxis")                                             \
    ENTRY_(set_title, "set_title")                                             \
    ENTRY_(render, "render")                                                   \
    ENTRY_(axis_name, "axis_name")                                             \
    ENTRY_(axis_type, "axis_type")                                             \
    ENTRY_(category, "category")                                               \
    ENTRY_(value, "value")                                                     \
    ENTRY_(Level_of_Perturbation, "Level of Perturbation")                     \
    ENTRY_(Perturbed_Model_Performance, "Perturbed Model Performance")         \
    /* result record */                                                   \
    ENTRY_(data, "data")                                                       \
    ENTRY_(table, "table")                                                     \
    ENTRY_(data_info, "data_info")                                             \
    ENTRY_(dataset1, "dataset1")                                               \
    ENTRY_(dataset2, "dataset2")                                               \
    ENTRY_(sample_idx1, "sample_idx1")                                         \
    ENTRY_(sample_idx2, "sample_idx2")                                         \
    ENTRY_(name1, "name1")                                                     \
    ENTRY_(name2, "name2")                                                     \
    ENTRY_(Worst, "Worst")                                                     \
    ENTRY_(Remaining, "Remaining")

// Keyword-name tuples, one per distinct keyword call: field `kw_<id>`.
#define ROBUSTNESS_KWNAMES(ENTRY_)                                                             \
    ENTRY_(ddof, S.str_ddof)                                                                     \
    ENTRY_(loc_scale_size, S.str_loc, S.str_scale, S.str_size)                                       \
    ENTRY_(size, S.str_size)                                                                     \
    ENTRY_(replace_p, S.str_replace, S.str_p)                                                      \
    ENTRY_(replace, S.str_replace)                                                               \
    ENTRY_(axis, S.str_axis)                                                                     \
    ENTRY_(dataset, S.str_dataset)                                                               \
    ENTRY_(X_fidx_noise_level_random_state, S.str_X, S.str_fidx, S.str_noise_level, S.str_random_state) \
    ENTRY_(perturb, S.str_X, S.str_perturb_features, S.str_perturb_method, S.str_noise_level,          \
      S.str_random_state)                                                                   \
    ENTRY_(repeat_perturb_pred, S.str_X, S.str_predict_func, S.str_n_repeats, S.str_perturb_features,  \
      S.str_perturb_method, S.str_noise_level, S.str_random_state)                              \
    ENTRY_(y_prediction_sample_weight, S.str_y, S.str_prediction, S.str_sample_weight)               \
    ENTRY_(scores_noise_levels_metric, S.str_scores, S.str_noise_levels, S.str_metric)               \
    ENTRY_(x_y_orient_outliers, S.str_x, S.str_y, S.str_orient, S.str_outliers)                        \
    ENTRY_(axis_name_axis_type, S.str_axis_name, S.str_axis_type)                                  \
    ENTRY_(validation_result, S.str_key, S.str_data, S.str_model, S.str_inputs, S.str_value, S.str_table,  \
      S.str_options)

// Module globals read at each use: by the method bodies, in their own
// function's globals, and TestBase by the class statement.
#define ROBUSTNESS_GLOBALS(ENTRY_) \
    ENTRY_(np)                     \
    ENTRY_(pd)                     \
    ENTRY_(pln)                    \
    ENTRY_(copy)                   \
    ENTRY_(TestBase)               \
    ENTRY_(get_scorer_funcs)       \
    ENTRY_(ValidationResult)       \
    ENTRY_(NUMERICAL)              \
    ENTRY_(CATEGORICAL)            \
    ENTRY_(REGRESSION)             \
    ENTRY_(CLASSIFICATION)

struct State {
#define ROBUSTNESS_FIELD(id, ...) rt::Kept str_##id;
    ROBUSTNESS_STRINGS(ROBUSTNESS_FIELD)
#undef ROBUSTNESS_FIELD
#define ROBUSTNESS_FIELD(id, ...) rt::Keywords<rt::count_items(#__VA_ARGS__)> kw_##id;
    ROBUSTNESS_KWNAMES(ROBUSTNESS_FIELD)
#undef ROBUSTNESS_FIELD
#define ROBUSTNESS_FIELD(id) rt::GlobalName g_##id;
    ROBUSTNESS_GLOBALS(ROBUSTNESS_FIELD)
#undef ROBUSTNESS_FIELD

    // Numbers, slices, index keys and tuples.
    rt::Kept float_0_0;      // 0.0
    rt::Kept float_0_1;      // 0.1
    rt::Kept float_0_5;      // 0.5
    rt::Kept float_neg_0_5;  // -0.5
    rt::Kept float_1_0;      // 1.0
    rt::Kept int_0;
    rt::Kept int_1;
    rt::Kept int_2;
    rt::Kept int_10;
    rt::Kept int_neg_1;
    rt::Kept slice_all;          // [:]
    rt::Kept slice_reversed;     // [::-1]
    rt::Kept key_all_0;          // [:, 0]
    rt::Kept tuple_bounds;       // (-0.5, 0.5)
    rt::Kept tuple_noise_level;  // ("Noise Level",)

    // The builtins resolved once at exec.
    rt::Kept builtin_staticmethod;
    rt::Kept builtin_super;
    rt::Kept builtin_range;
};

extern State S;

// Creates every entry above but the builtins, each checked as it is made;
// entries made by an earlier, failed exec are kept. 0 or -1.
int create_names() noexcept;

}  // namespace robustness
