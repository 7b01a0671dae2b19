#include "runtime/traceback.hpp"

#include <frameobject.h>

namespace rt {

void add_traceback(TraceSite& site, int line, PyObject* globals) noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);

    PyCodeObject* code = nullptr;
    const int slot = line - site.first_line;
    const bool cacheable = slot >= 0 && slot < TraceSite::kLines;
    if (cacheable && site.codes[slot]) {
        code = site.codes[slot];
        Py_INCREF(code);
    } else {
        code = PyCode_NewEmpty(site.filename, site.function, line);
        if (code && cacheable) {
            Py_INCREF(code);
            site.codes[slot] = code;  // kept for the life of the process
        }
    }
    PyFrameObject* frame = nullptr;
    if (code) frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    // An entry that cannot be made is not worth replacing the real error.
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    // On failure PyTraceBack_Here chains its own error onto the original.
    if (frame) (void)PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

}  // namespace rt
