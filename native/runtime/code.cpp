#include "runtime/code.hpp"

namespace rt {

Ref make_code(PyObject* name, PyObject* qualname, PyObject* filename, int argcount,
              PyObject* varnames, int first_line) noexcept {
    // The instructions and line table of an empty body at this line.
    const char* filename_text = PyUnicode_AsUTF8(filename);
    const char* name_text = PyUnicode_AsUTF8(name);
    if (!filename_text || !name_text) return Ref();
    Ref empty = Ref::steal(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename_text, name_text, first_line)));
    if (!empty) return Ref();
    PyCodeObject* empty_code = reinterpret_cast<PyCodeObject*>(empty.get());
    Ref bytecode = Ref::steal(PyCode_GetCode(empty_code));
    Ref consts = Ref::steal(PyObject_GetAttrString(empty.get(), "co_consts"));
    Ref names = Ref::steal(PyObject_GetAttrString(empty.get(), "co_names"));
    Ref linetable = Ref::steal(PyObject_GetAttrString(empty.get(), "co_linetable"));
    Ref exceptiontable = Ref::steal(PyObject_GetAttrString(empty.get(), "co_exceptiontable"));
    Ref nothing = Ref::steal(PyTuple_New(0));
    if (!bytecode || !consts || !names || !linetable || !exceptiontable || !nothing) {
        return Ref();
    }
    return Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, static_cast<int>(PyTuple_GET_SIZE(varnames)), empty_code->co_stacksize,
        CO_OPTIMIZED | CO_NEWLOCALS, bytecode.get(), consts.get(), names.get(), varnames,
        nothing.get(), nothing.get(), filename, name, qualname, first_line, linetable.get(),
        exceptiontable.get())));
}

}  // namespace rt
