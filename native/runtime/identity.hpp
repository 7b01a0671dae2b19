// Where a native module says it lives. One description, from which its
// registry entry, the `__module__` of what it defines, its code objects and
// its traceback entries are all made.
#pragma once

namespace rt {

struct ModuleIdentity {
    const char* name;        // dotted: the sys.modules key and `__module__`
    const char* file;        // the file name of its functions' code objects
    const char* trace_file;  // the file name of its traceback entries

    // The last part of the dotted name, which the module definition carries.
    constexpr const char* short_name() const noexcept {
        const char* last = name;
        for (const char* p = name; *p; ++p) {
            if (*p == '.') last = p + 1;
        }
        return last;
    }
};

}  // namespace rt
