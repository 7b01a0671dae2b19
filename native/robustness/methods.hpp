// The methods of RobustnessTest. Each is described once, beside its body
// (constructor.cpp, perturb.cpp, chart.cpp, run.cpp); class.cpp lists them
// in namespace order and builds the class from the list.
#pragma once

#include "runtime/method.hpp"

namespace robustness {

extern rt::Method method___init__;
extern rt::Method method__perturb_normal;
extern rt::Method method__perturb_quantile;
extern rt::Method method__perturb_categorical;
extern rt::Method method__perturb;
extern rt::Method method__repeat_perturb_pred;
extern rt::Method method__visualize_robustness;
extern rt::Method method_run;

// The methods' code objects and traceback sites; 0 or -1.
int prepare_methods() noexcept;

// Line 13: builds RobustnessTest and binds it in the module's `globals`
// (reading `TestBase` there, then in `builtins`); 0 or -1.
int create_class(PyObject* globals, PyObject* builtins) noexcept;

}  // namespace robustness
