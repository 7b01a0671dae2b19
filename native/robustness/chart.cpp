// RobustnessTest._visualize_robustness: the box plot of score against noise level.
#include "robustness/methods.hpp"
#include "robustness/ops.hpp"

namespace robustness {
namespace {

enum Line : int {
    kDef = 100,
    kBoxplot = 103,
    kXAxis = 105,
    kYAxis = 106,
    kTitle = 107,
    kRender = 108,
};

PyObject* visualize_robustness(rt::Function* function, PyObject* const* args) noexcept {
    PyObject* scores = args[0];
    PyObject* noise_levels = args[1];
    PyObject* metric = args[2];

    // options = pln.boxplot(x=noise_levels, y=scores, orient="vertical", outliers=True)
    Ref pln = global(function, S.g_pln);
    if (!pln) return fail(function, kBoxplot);
    Ref options = call_method(pln.get(), S.str_boxplot,
                              {noise_levels, scores, S.str_vertical, Py_True},
                              S.kw_x_y_orient_outliers);
    if (!options) return fail(function, kBoxplot);

    // options.set_xaxis(axis_name="Level of Perturbation", axis_type="category")
    if (!call_method(options.get(), S.str_set_xaxis,
                     {S.str_Level_of_Perturbation, S.str_category}, S.kw_axis_name_axis_type)) {
        return fail(function, kXAxis);
    }

    // options.set_yaxis(axis_name=metric, axis_type="value")
    if (!call_method(options.get(), S.str_set_yaxis, {metric, S.str_value},
                     S.kw_axis_name_axis_type)) {
        return fail(function, kYAxis);
    }

    // options.set_title("Perturbed Model Performance")
    if (!call_method(options.get(), S.str_set_title, {S.str_Perturbed_Model_Performance})) {
        return fail(function, kTitle);
    }

    // return options.render()
    Ref rendered = call_method(options.get(), S.str_render);
    if (!rendered) return fail(function, kRender);
    return rendered.release();
}

}  // namespace

rt::Method method__visualize_robustness{{
    .name = "_visualize_robustness",
    .first_line = kDef,
    .kind = rt::Kind::static_method,
    .params = "scores noise_levels metric",
    .locals = "options",
    .body = visualize_robustness,
}};

}  // namespace robustness
