// The perturbation engine: the three column routines, the per-feature
// dispatcher and the repetition loop.
#include "robustness/methods.hpp"
#include "robustness/ops.hpp"

namespace robustness {
namespace {

rt::TraceSite normal_site{"korvan.factsheet.diagnose.robustness.RobustnessTest._perturb_normal",
                          kTraceFile, 19};
rt::TraceSite quantile_site{
    "korvan.factsheet.diagnose.robustness.RobustnessTest._perturb_quantile", kTraceFile, 29};
rt::TraceSite categorical_site{
    "korvan.factsheet.diagnose.robustness.RobustnessTest._perturb_categorical", kTraceFile, 52};
rt::TraceSite perturb_site{"korvan.factsheet.diagnose.robustness.RobustnessTest._perturb",
                           kTraceFile, 63};
rt::TraceSite repeat_site{
    "korvan.factsheet.diagnose.robustness.RobustnessTest._repeat_perturb_pred", kTraceFile, 85};

PyObject* not_yet(rt::Function*, PyObject* const*) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "not implemented yet");
    return nullptr;
}

}  // namespace

const rt::FunctionDef def__perturb_normal{not_yet, &normal_site, 19};
const rt::FunctionDef def__perturb_quantile{not_yet, &quantile_site, 29};
const rt::FunctionDef def__perturb_categorical{not_yet, &categorical_site, 52};
const rt::FunctionDef def__perturb{not_yet, &perturb_site, 63};
const rt::FunctionDef def__repeat_perturb_pred{not_yet, &repeat_site, 85};

}  // namespace robustness
