// Classes built from method descriptions, by the protocol a `class`
// statement follows: __mro_entries__, the most derived metaclass,
// __prepare__, the namespace, the metaclass call, the __class__ cell.
#include "runtime/binding.hpp"
#include "runtime/call.hpp"
#include "runtime/code.hpp"
#include "runtime/function.hpp"
#include "runtime/method.hpp"

namespace rt {
namespace {

// The space-separated names of `text` appended to `names` as interned str.
int append_names(PyObject* names, const char* text) noexcept {
    const char* p = text;
    while (*p) {
        while (*p == ' ') ++p;
        const char* start = p;
        while (*p && *p != ' ') ++p;
        if (p == start) break;
        Ref name = Ref::steal(PyUnicode_FromStringAndSize(start, p - start));
        if (!name) return -1;
        PyObject* raw = name.release();
        PyUnicode_InternInPlace(&raw);
        name = Ref::steal(raw);
        if (PyList_Append(names, name.get()) < 0) return -1;
    }
    return 0;
}

int prepare_method(const ClassDef& cls, Method& m, PyObject* filename) noexcept {
    if (m.code) return 0;  // made by an earlier exec
    const MethodDef& def = m.def;
    Ref names = Ref::steal(PyList_New(0));
    if (!names || append_names(names.get(), def.params) < 0) return -1;
    const Py_ssize_t argcount = PyList_GET_SIZE(names.get());
    if (argcount > kMaxParams || static_cast<Py_ssize_t>(def.defaults.size) > argcount) {
        PyErr_Format(PyExc_SystemError, "bad parameter list for %s", def.name);
        return -1;
    }
    if (append_names(names.get(), def.locals) < 0) return -1;
    Ref varnames = Ref::steal(PyList_AsTuple(names.get()));
    if (!varnames) return -1;
    Ref params = Ref::steal(PyTuple_GetSlice(varnames.get(), 0, argcount));
    Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
    Ref qualname = Ref::steal(PyUnicode_FromFormat("%s.%s", cls.name, def.name));
    Ref trace_name =
        Ref::steal(PyUnicode_FromFormat("%s.%s.%s", cls.module->name, cls.name, def.name));
    if (!params || !name || !qualname || !trace_name) return -1;
    const char* trace_text = PyUnicode_AsUTF8(trace_name.get());
    if (!trace_text) return -1;
    Ref code = make_code(name.get(), qualname.get(), filename, static_cast<int>(argcount),
                         varnames.get(), def.first_line);
    if (!code) return -1;

    m.params.set(std::move(params));
    m.qualname.set(std::move(qualname));
    m.trace_name.set(std::move(trace_name));
    m.site.function = trace_text;  // kept alive by m.trace_name
    m.site.filename = cls.module->trace_file;
    m.site.first_line = def.first_line;
    m.code.set(std::move(code));  // set last: it marks the method as prepared
    return 0;
}

Ref make_value(const Value& v) noexcept {
    switch (v.type) {
        case Value::Type::none:
            return Ref::new_ref(Py_None);
        case Value::Type::integer:
            return Ref::steal(PyLong_FromLong(v.integer));
        case Value::Type::real:
            return Ref::steal(PyFloat_FromDouble(v.real));
        case Value::Type::text:
            return Ref::steal(PyUnicode_InternFromString(v.text));
    }
    return Ref();
}

// The method's __defaults__: a tuple, or None when it has none.
Ref make_defaults(const MethodDef& def) noexcept {
    if (def.defaults.size == 0) return Ref::new_ref(Py_None);
    Ref defaults = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(def.defaults.size)));
    if (!defaults) return Ref();
    Py_ssize_t i = 0;
    for (const Value& v : def.defaults) {
        Ref value = make_value(v);
        if (!value) return Ref();
        PyTuple_SET_ITEM(defaults.get(), i++, value.release());
    }
    return defaults;
}

// The method's __annotations__, or None (the function makes an empty dict).
Ref make_annotations(const MethodDef& def) noexcept {
    if (def.annotations.size == 0) return Ref::new_ref(Py_None);
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return Ref();
    for (const Annotation& a : def.annotations) {
        Ref param = Ref::steal(PyUnicode_InternFromString(a.param));
        Ref text = Ref::steal(PyUnicode_FromString(a.text));
        if (!param || !text || PyDict_SetItem(annotations.get(), param.get(), text.get()) < 0) {
            return Ref();
        }
    }
    return annotations;
}

// Bases resolved by __mro_entries__: a base that is not a class but has the
// method is replaced by what it returns.
Ref resolve_bases(PyObject* bases) noexcept {
    const Py_ssize_t n = PyTuple_GET_SIZE(bases);
    Ref resolved = Ref::steal(PyList_New(0));
    Ref mro_entries = Ref::steal(PyUnicode_InternFromString("__mro_entries__"));
    if (!resolved || !mro_entries) return Ref();
    bool changed = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        if (PyType_Check(base)) {
            if (PyList_Append(resolved.get(), base) < 0) return Ref();
            continue;
        }
        PyObject* raw = nullptr;
        if (_PyObject_LookupAttr(base, mro_entries.get(), &raw) < 0) return Ref();
        Ref method = Ref::steal(raw);
        if (!method) {
            if (PyList_Append(resolved.get(), base) < 0) return Ref();
            continue;
        }
        Ref entries = call(method.get(), {bases});
        if (!entries) return Ref();
        if (!PyTuple_Check(entries.get())) {
            PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
            return Ref();
        }
        changed = true;
        const Py_ssize_t end = PyList_GET_SIZE(resolved.get());
        if (PyList_SetSlice(resolved.get(), end, end, entries.get()) < 0) return Ref();
    }
    if (!changed) return Ref::new_ref(bases);
    return Ref::steal(PyList_AsTuple(resolved.get()));
}

// The most derived metaclass of the bases' types.
Ref choose_metaclass(PyObject* bases) noexcept {
    const Py_ssize_t n = PyTuple_GET_SIZE(bases);
    PyTypeObject* winner = n ? Py_TYPE(PyTuple_GET_ITEM(bases, 0)) : &PyType_Type;
    for (Py_ssize_t i = 1; i < n; ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a "
                        "(non-strict) subclass of the metaclasses of all its bases");
        return Ref();
    }
    return Ref::new_ref(reinterpret_cast<PyObject*>(winner));
}

// metaclass.__prepare__(name, bases) when it has one, else a new dict.
Ref prepare_namespace(PyObject* metaclass, PyObject* name, PyObject* bases) noexcept {
    Ref prepare_name = Ref::steal(PyUnicode_InternFromString("__prepare__"));
    if (!prepare_name) return Ref();
    PyObject* raw = nullptr;
    if (_PyObject_LookupAttr(metaclass, prepare_name.get(), &raw) < 0) return Ref();
    Ref prepare = Ref::steal(raw);
    if (!prepare) return Ref::steal(PyDict_New());
    return call(prepare.get(), {name, bases});
}

// A plain dict namespace is filled with dict stores, any other mapping with
// item assignment.
int store(PyObject* ns, const char* key, PyObject* value) noexcept {
    Ref name = Ref::steal(PyUnicode_InternFromString(key));
    if (!name) return -1;
    if (PyDict_CheckExact(ns)) return PyDict_SetItem(ns, name.get(), value);
    return PyObject_SetItem(ns, name.get(), value);
}

}  // namespace

int prepare_methods(ClassDef& cls) noexcept {
    if (cls.methods.size > kMaxMethods) {
        PyErr_Format(PyExc_SystemError, "too many methods for %s", cls.name);
        return -1;
    }
    Ref filename = Ref::steal(PyUnicode_InternFromString(cls.module->file));
    if (!filename) return -1;
    for (Method* m : cls.methods) {
        if (prepare_method(cls, *m, filename.get()) < 0) return -1;
    }
    if (cls.defaults_name) return 0;
    Ref defaults_name = Ref::steal(PyUnicode_FromFormat("%s.__defaults__", cls.module->name));
    if (!defaults_name) return -1;
    const char* text = PyUnicode_AsUTF8(defaults_name.get());
    if (!text) return -1;
    cls.defaults_site.function = text;
    cls.defaults_site.filename = cls.module->trace_file;
    cls.defaults_site.first_line = 0;
    cls.defaults_name.set(std::move(defaults_name));
    return 0;
}

Ref create_class(ClassDef& cls, PyObject* orig_bases, PyObject* globals,
                 PyObject* staticmethod) noexcept {
    Ref name = Ref::steal(PyUnicode_InternFromString(cls.name));
    Ref module = Ref::steal(PyUnicode_InternFromString(cls.module->name));
    if (!name || !module) return Ref();
    Ref bases = resolve_bases(orig_bases);
    if (!bases) return Ref();
    Ref metaclass = choose_metaclass(bases.get());
    if (!metaclass) return Ref();
    Ref ns = prepare_namespace(metaclass.get(), name.get(), bases.get());
    if (!ns) return Ref();
    if (store(ns.get(), "__module__", module.get()) < 0) return Ref();
    if (store(ns.get(), "__qualname__", name.get()) < 0) return Ref();
    if (bases.get() != orig_bases && store(ns.get(), "__orig_bases__", orig_bases) < 0) {
        return Ref();
    }

    // The functions that need the class for their __class__ cell: at most
    // one per method, kept until the class exists.
    Ref needs_class[kMaxMethods];
    std::size_t n_needs_class = 0;
    for (Method* m : cls.methods) {
        const MethodDef& def = m->def;
        Ref defaults = make_defaults(def);
        if (!defaults) {
            add_traceback(cls.defaults_site, def.first_line, globals);
            return Ref();
        }
        Ref annotations = make_annotations(def);
        Ref doc = def.doc ? Ref::steal(PyUnicode_FromString(def.doc)) : Ref::new_ref(Py_None);
        if (!annotations || !doc) return Ref();
        Ref function = make_function(*m, m->qualname.get(), module.get(), doc.get(),
                                     defaults.get(), annotations.get(), globals);
        if (!function) return Ref();
        if (def.class_cell && n_needs_class < kMaxMethods) {
            needs_class[n_needs_class++] = Ref::new_ref(function.get());
        }
        if (def.kind == Kind::static_method) {
            function = call(staticmethod, {function.get()});
            if (!function) return Ref();
        }
        if (store(ns.get(), def.name, function.get()) < 0) return Ref();
    }

    Ref klass = call(metaclass.get(), {name.get(), bases.get(), ns.get()});
    if (!klass) return Ref();
    for (std::size_t i = 0; i < n_needs_class; ++i) {
        set_function_class(needs_class[i].get(), klass.get());
    }
    return klass;
}

}  // namespace rt
