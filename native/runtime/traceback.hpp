// Traceback entries for native frames, added the way the interpreter adds them
// for C code: a code object carrying (file name, function name, line) and a
// frame on top of it, prepended to the current exception's traceback.
#pragma once

#include <Python.h>

#include "runtime/ref.hpp"

namespace rt {

// One function's traceback identity. The code objects are made on first use
// per line and kept: the set of lines a function can fail at is small.
struct TraceSite {
    const char* function = nullptr;  // the name shown in the traceback
    const char* filename = nullptr;  // the file name shown in the traceback
    int first_line = 0;              // lines below this are not cached
    static constexpr int kLines = 128;
    Kept codes[kLines];              // code objects, owned, by line - first_line
};

// Adds an entry for `line` of `site` to the exception being raised. Requires
// an exception to be set; keeps it set (a failure to add the entry is dropped
// in favour of the original exception).
void add_traceback(TraceSite& site, int line, PyObject* globals) noexcept;

}  // namespace rt
