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

// The one way a method reports a failed statement: adds the method's
// traceback entry for `line`. Helpers that compute part of an expression add
// none; the statement that uses them does.
[[gnu::cold]] inline Raised fail(rt::TraceSite& site, int line) noexcept {
    rt::add_traceback(site, line, S.globals);
    return Raised{};
}

}  // namespace robustness
