// What every method body of the module is written with: the runtime's call
// helpers, the names table and the traceback convention.
#pragma once

#include <Python.h>

#include "robustness/names.hpp"
#include "runtime/call.hpp"
#include "runtime/function.hpp"
#include "runtime/ref.hpp"
#include "runtime/traceback.hpp"

namespace robustness {

using rt::call;
using rt::call_method;
using rt::getattr;
using rt::getitem;
using rt::list;
using rt::Ref;
using rt::tuple;

// What a failing statement returns once its traceback entry is added: the
// failure value of the function it is in, null or -1.
struct Raised {
    constexpr operator PyObject*() const noexcept { return nullptr; }
    constexpr operator int() const noexcept { return -1; }
};

// The one way a method reports a failed statement: adds the traceback entry
// of the method `function` runs for `line`, with its globals on the frame.
// Helpers that compute part of an expression add none; the statement that
// uses them does.
[[gnu::cold]] inline Raised fail(const rt::Function* function, int line) noexcept {
    rt::add_traceback(function->method->site, line, function->globals);
    return Raised{};
}

// A module global as the body of `function` reads it at the moment of use.
inline Ref global(const rt::Function* function, rt::GlobalName& name) noexcept {
    return rt::lookup_global(function, name);
}

// `np.<name>`: the global `np` as the body of `function` reads it, then the
// attribute, as the expression evaluates before any of the call's arguments.
inline Ref np_attr(const rt::Function* function, PyObject* name) noexcept {
    Ref np = global(function, S.g_np);
    if (!np) return Ref();
    return getattr(np.get(), name);
}

}  // namespace robustness
