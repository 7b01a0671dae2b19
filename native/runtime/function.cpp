#include "runtime/function.hpp"

#include <structmember.h>

#include "runtime/binding.hpp"

namespace rt {
namespace {

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    Function* f = reinterpret_cast<Function*>(callable);
    PyObject* bound[kMaxParams];
    const MethodDef& def = f->method->def;
    if (bind_arguments(def.name, f->params, f->defaults, args, nargsf, kwnames, bound) < 0) {
        add_traceback(f->method->site, def.first_line, f->globals);
        return nullptr;
    }
    return def.body(f, bound);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Function* f = reinterpret_cast<Function*>(self);
    Py_VISIT(f->params);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->code);
    Py_VISIT(f->annotations);
    Py_VISIT(f->globals);
    Py_VISIT(f->klass);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) noexcept {
    Function* f = reinterpret_cast<Function*>(self);
    Py_CLEAR(f->params);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->code);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->klass);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) noexcept {
    Function* f = reinterpret_cast<Function*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* get_kwdefaults(PyObject*, void*) noexcept { Py_RETURN_NONE; }

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(Function, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(Function, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(Function, module), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(Function, defaults), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(Function, code), READONLY, nullptr},
    {"__annotations__", T_OBJECT, offsetof(Function, annotations), READONLY, nullptr},
    {"__globals__", T_OBJECT, offsetof(Function, globals), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject FunctionType = {};

int init_function_type() noexcept {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return 0;
    Py_SET_REFCNT(&FunctionType, 1);  // a static type is never freed
    FunctionType.tp_name = "native_function";
    FunctionType.tp_basicsize = sizeof(Function);
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR;
    FunctionType.tp_dealloc = function_dealloc;
    FunctionType.tp_vectorcall_offset = offsetof(Function, vectorcall);
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_repr = function_repr;
    FunctionType.tp_getattro = PyObject_GenericGetAttr;
    FunctionType.tp_traverse = function_traverse;
    FunctionType.tp_clear = function_clear;
    FunctionType.tp_members = function_members;
    FunctionType.tp_getset = function_getset;
    FunctionType.tp_descr_get = function_descr_get;
    FunctionType.tp_dictoffset = offsetof(Function, dict);
    return PyType_Ready(&FunctionType);
}

Ref make_function(Method& method, PyObject* qualname, PyObject* module, PyObject* doc,
                  PyObject* defaults, PyObject* annotations, PyObject* globals) noexcept {
    Ref name = Ref::steal(PyUnicode_InternFromString(method.def.name));
    if (!name) return Ref();
    // A function without annotations has an empty dict of its own, as a
    // Python function has.
    Ref own_annotations =
        annotations == Py_None ? Ref::steal(PyDict_New()) : Ref::new_ref(annotations);
    if (!own_annotations) return Ref();

    Function* f = PyObject_GC_New(Function, &FunctionType);
    if (!f) return Ref();
    f->vectorcall = function_vectorcall;
    f->method = &method;
    f->params = Py_NewRef(method.params.get());
    f->name = name.release();
    f->qualname = Py_NewRef(qualname);
    f->module = Py_NewRef(module);
    f->doc = Py_NewRef(doc);
    f->defaults = Py_NewRef(defaults);
    f->code = Py_NewRef(method.code.get());
    f->annotations = own_annotations.release();
    f->globals = Py_NewRef(globals);
    f->klass = nullptr;
    f->dict = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

void set_function_class(PyObject* function, PyObject* klass) noexcept {
    Function* f = reinterpret_cast<Function*>(function);
    Py_XSETREF(f->klass, Py_NewRef(klass));
}

}  // namespace rt
