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

// Adds the method's traceback entry for `line` and returns null.
inline PyObject* fail(rt::TraceSite& site, int line) noexcept {
    rt::add_traceback(site, line, S.globals);
    return nullptr;
}

}  // namespace robustness
