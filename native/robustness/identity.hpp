// Where the module lives: its dotted name, the file name its code objects
// carry, and the file name of its traceback entries (each separator written
// as two backslashes there, one in the code objects).
#pragma once

#include "runtime/identity.hpp"

namespace robustness {

inline constexpr rt::ModuleIdentity kModule{
    .name = "korvan.factsheet.diagnose.robustness",
    .file = "korvan\\factsheet\\diagnose\\robustness",
    .trace_file = "korvan\\\\factsheet\\\\diagnose\\\\robustness",
};

}  // namespace robustness
