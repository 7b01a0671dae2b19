// The one-interpreter guard: process-wide state made by one interpreter must
// not be used by another.
#pragma once

#include <Python.h>

namespace rt {

// Records the current interpreter on first use; afterwards fails for any
// other with ImportError "Interpreter change detected - this module can only
// be loaded into one interpreter per process.". 0, or -1 with an exception.
int claim_interpreter() noexcept;

}  // namespace rt
