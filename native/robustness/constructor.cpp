// RobustnessTest.__init__
#include "robustness/methods.hpp"
#include "robustness/ops.hpp"

namespace robustness {
namespace {

enum Line : int { kDef = 15, kSuper = 16, kKey = 17 };

PyObject* init(rt::Function* function, PyObject* const* args) noexcept {
    PyObject* self = args[0];
    PyObject* dataset = args[1];
    PyObject* model = args[2];

    // super().__init__(dataset, model)
    if (!function->klass) {
        PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
        return fail(function, kSuper);
    }
    Ref parent = call(S.builtin_super, {function->klass, self});
    if (!parent || !call_method(parent.get(), S.str___init__, {dataset, model})) {
        return fail(function, kSuper);
    }

    // self.key = "diagnose_robustness"
    if (PyObject_SetAttr(self, S.str_key, S.str_diagnose_robustness) < 0) {
        return fail(function, kKey);
    }
    Py_RETURN_NONE;
}

}  // namespace

rt::Method method___init__{{
    .name = "__init__",
    .first_line = kDef,
    .kind = rt::Kind::instance,
    .params = "self dataset model",
    .locals = "",
    .class_cell = true,
    .body = init,
}};

}  // namespace robustness
