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
    Py_VISIT(Py_TYPE(self));  // a heap type is owned by its instances
    Py_VISIT(f->params);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->code);
    Py_VISIT(f->annotations);
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
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
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->klass);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
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
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {"__name__", T_OBJECT, offsetof(Function, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(Function, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(Function, module), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(Function, defaults), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(Function, code), READONLY, nullptr},
    {"__annotations__", T_OBJECT, offsetof(Function, annotations), READONLY, nullptr},
    {"__globals__", T_OBJECT, offsetof(Function, globals), READONLY, nullptr},
    {"__builtins__", T_OBJECT, offsetof(Function, builtins), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getattro, reinterpret_cast<void*>(PyObject_GenericGetAttr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {0, nullptr},
};

// A heap type: its instances own a reference to it, and nothing else in the
// process can change it (immutable) or make instances of it. One thing
// differs from a static type: type(f).__module__ is the instances'
// `__module__` member, as the key is shared, where a static type would say
// "builtins".
PyType_Spec function_spec = {
    "native_function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// Made once per process, never released (see Kept).
Kept function_type;

// The builtins of a function defined in `globals`, as the interpreter picks
// them for a new function: `globals["__builtins__"]` (a module standing for
// its dict), else the running frame's. Only a dict will do for the lookups.
Ref builtins_of(PyObject* globals) noexcept {
    Ref key = Ref::steal(PyUnicode_InternFromString("__builtins__"));
    if (!key) return Ref();
    PyObject* named = PyDict_GetItemWithError(globals, key.get());
    if (!named && PyErr_Occurred()) return Ref();
    if (named && PyModule_Check(named)) named = PyModule_GetDict(named);
    if (named && PyDict_Check(named)) return Ref::new_ref(named);
    PyObject* current = PyEval_GetBuiltins();
    if (!current) PyErr_SetString(PyExc_SystemError, "no builtins to define a function with");
    return Ref::new_ref(current);
}

}  // namespace

int init_function_type() noexcept {
    if (function_type) return 0;
    Ref type = Ref::steal(PyType_FromSpec(&function_spec));
    if (!type) return -1;
    function_type.set(std::move(type));
    return 0;
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
    Ref builtins = builtins_of(globals);
    if (!builtins) return Ref();

    Function* f =
        PyObject_GC_New(Function, reinterpret_cast<PyTypeObject*>(function_type.get()));
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
    f->builtins = builtins.release();
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
