// RobustnessTest: its methods in namespace order, and the class statement.
#include "robustness/methods.hpp"
#include "robustness/ops.hpp"

namespace robustness {
namespace {

rt::Method* const methods[] = {
    &method___init__,
    &method__perturb_normal,
    &method__perturb_quantile,
    &method__perturb_categorical,
    &method__perturb,
    &method__repeat_perturb_pred,
    &method__visualize_robustness,
    &method_run,
};

rt::ClassDef robustness_test{
    .module = &kModule,
    .name = "RobustnessTest",
    .methods = methods,
};

}  // namespace

int prepare_methods() noexcept { return rt::prepare_methods(robustness_test); }

int create_class(PyObject* globals, PyObject* builtins) noexcept {
    // class RobustnessTest(TestBase): ...
    Ref test_base = rt::lookup_global(S.g_TestBase, globals, builtins);
    if (!test_base) return -1;
    Ref bases = tuple({test_base.get()});
    if (!bases) return -1;
    Ref klass = rt::create_class(robustness_test, bases.get(), globals, S.builtin_staticmethod);
    if (!klass) return -1;
    return PyDict_SetItem(globals, S.str_RobustnessTest, klass.get());
}

}  // namespace robustness
