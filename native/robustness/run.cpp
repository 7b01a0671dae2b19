// RobustnessTest.run: arguments, metric and data set-up, scoring, worst-sample
// gaps and the result record.
#include "robustness/methods.hpp"
#include "robustness/ops.hpp"

namespace robustness {
namespace {

rt::TraceSite site{"korvan.factsheet.diagnose.robustness.RobustnessTest.run", kTraceFile, 110};

PyObject* run(rt::Function*, PyObject* const*) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "not implemented yet");
    return nullptr;
}

}  // namespace

const rt::FunctionDef def_run{run, &site, 110};

}  // namespace robustness
