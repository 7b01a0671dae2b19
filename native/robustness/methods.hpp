// The eight methods of RobustnessTest: their bodies live one file per
// concern (test_class.cpp, perturb.cpp, run.cpp, chart.cpp); the class is
// assembled from these definitions in test_class.cpp.
#pragma once

#include "runtime/function.hpp"

namespace robustness {

extern const rt::FunctionDef def___init__;
extern const rt::FunctionDef def__perturb_normal;
extern const rt::FunctionDef def__perturb_quantile;
extern const rt::FunctionDef def__perturb_categorical;
extern const rt::FunctionDef def__perturb;
extern const rt::FunctionDef def__repeat_perturb_pred;
extern const rt::FunctionDef def__visualize_robustness;
extern const rt::FunctionDef def_run;

// Creates the code objects of the eight methods; 0 or -1.
int create_code_objects() noexcept;

// Line 13: builds RobustnessTest and binds it in the module globals; 0 or -1.
int create_class() noexcept;

}  // namespace robustness
