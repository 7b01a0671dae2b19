#include "runtime/interpreter.hpp"

#include <cstdint>

namespace rt {
namespace {

// The first interpreter that claimed the process; -1 until then.
int64_t owner_id = -1;

}  // namespace

int claim_interpreter() noexcept {
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (owner_id == -1) {
        owner_id = current;
        return current == -1 ? -1 : 0;
    }
    if (current != owner_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return -1;
    }
    return 0;
}

}  // namespace rt
