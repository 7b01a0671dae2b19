#include "runtime/traceback.hpp"

#include <frameobject.h>

namespace rt {

void add_traceback(TraceSite& site, int line, PyObject* globals) noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);

    const int slot = line - site.first_line;
    const bool cacheable = slot >= 0 && slot < TraceSite::kLines;
    Ref code;
    if (cacheable && site.codes[slot]) {
        code = Ref::new_ref(site.codes[slot].get());
    } else {
        code = Ref::steal(
            reinterpret_cast<PyObject*>(PyCode_NewEmpty(site.filename, site.function, line)));
        if (code && cacheable) site.codes[slot].set(Ref::new_ref(code.get()));
    }
    Ref frame;
    if (code) {
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
    }
    // An entry that cannot be made is not worth replacing the real error.
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    // On failure PyTraceBack_Here chains its own error onto the original.
    if (frame) (void)PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace rt
