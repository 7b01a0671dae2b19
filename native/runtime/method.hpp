// Methods described once, beside their bodies. A description gives
// everything the interpreter would read from a `def` statement: the name, the
// line of the `def`, whether it is a static method, the parameters and their
// defaults, the other local names, the documentation and the annotations.
// The class builder, the code object, the binder's parameter table and the
// traceback entries of the method are all made from it.
#pragma once

#include <Python.h>

#include <cstddef>

#include "runtime/identity.hpp"
#include "runtime/ref.hpp"
#include "runtime/traceback.hpp"

namespace rt {

struct Function;

// A body: receives the function object and its bound arguments (borrowed, one
// per parameter), returns a new reference or null with an exception set.
using Body = PyObject* (*)(Function* self, PyObject* const* args);

// A view of a constant array.
template <class T>
struct Span {
    const T* items = nullptr;
    std::size_t size = 0;
    constexpr Span() noexcept = default;
    template <std::size_t N>
    constexpr Span(const T (&array)[N]) noexcept : items(array), size(N) {}
    constexpr const T* begin() const noexcept { return items; }
    constexpr const T* end() const noexcept { return items + size; }
};

// A default value as the source writes it.
struct Value {
    enum class Type { none, integer, real, text };
    Type type;
    long integer;
    double real;
    const char* text;
};
constexpr Value none() noexcept { return {Value::Type::none, 0, 0.0, nullptr}; }
constexpr Value integer(long v) noexcept { return {Value::Type::integer, v, 0.0, nullptr}; }
constexpr Value real(double v) noexcept { return {Value::Type::real, 0, v, nullptr}; }
constexpr Value text(const char* v) noexcept { return {Value::Type::text, 0, 0.0, v}; }

// One entry of `__annotations__`: the parameter and the annotation's text.
struct Annotation {
    const char* param;
    const char* text;
};

enum class Kind { instance, static_method };

struct MethodDef {
    const char* name;
    int first_line;                // the `def` line; argument errors are reported there
    Kind kind = Kind::instance;
    const char* params = "";         // the parameters, space-separated, in order
    const char* locals = "";         // the other local names, space-separated, in order
    Span<Value> defaults = {};       // of the trailing parameters; none: __defaults__ is None
    const char* doc = nullptr;       // or null
    Span<Annotation> annotations = {};  // in order; none: an empty dict
    bool class_cell = false;         // the body uses a zero-argument super()
    Body body = nullptr;
};

// A description and what exec makes of it, kept for the life of the process.
struct Method {
    MethodDef def;
    Kept code;        // __code__
    Kept params;      // tuple of interned parameter names, for the binder
    Kept qualname;    // "<class>.<name>"
    Kept trace_name;  // the function name of traceback entries; `site` reads it
    TraceSite site{};
};

constexpr std::size_t kMaxMethods = 32;

// A class whose namespace holds only methods.
struct ClassDef {
    const ModuleIdentity* module;  // __module__, the code objects' and tracebacks' file names
    const char* name;              // __name__ and __qualname__
    Span<Method*> methods;         // in namespace order
    Kept defaults_name;          // "<module>.__defaults__", for a failed defaults tuple
    TraceSite defaults_site{};
};

// The methods' code objects, parameter tables and traceback sites; made
// once, kept by a retried exec. 0, or -1 with an exception.
int prepare_methods(ClassDef& cls) noexcept;

// `class <name>(*bases): <methods>`: the class created by the metaclass the
// bases call for, with one function per method, static methods wrapped by
// `staticmethod`. Needs `prepare_methods` first.
// `staticmethod` is the builtin as resolved at exec.
Ref create_class(ClassDef& cls, PyObject* bases, PyObject* globals,
                 PyObject* staticmethod) noexcept;

}  // namespace rt
