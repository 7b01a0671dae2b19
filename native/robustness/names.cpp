#include "robustness/names.hpp"

namespace robustness {

State S;

namespace {

using rt::Ref;

// Fills `slot` with what `make` returns, unless an earlier exec already did:
// a retried exec keeps the entries of the failed one. 0, or -1 when `make`
// failed.
template <class Make>
int keep(rt::Kept& slot, Make make) noexcept {
    if (slot) return 0;
    Ref value = make();
    if (!value) return -1;
    slot.set(std::move(value));
    return 0;
}

Ref intern(const char* text) noexcept { return Ref::steal(PyUnicode_InternFromString(text)); }

}  // namespace

int create_names() noexcept {
#define ROBUSTNESS_MAKE(id, text) \
    if (keep(S.str_##id, [] { return intern(text); }) < 0) return -1;
    ROBUSTNESS_STRINGS(ROBUSTNESS_MAKE)
#undef ROBUSTNESS_MAKE
#define ROBUSTNESS_MAKE(id, ...) \
    if (keep(S.kw_##id.names, [] { return rt::tuple({__VA_ARGS__}); }) < 0) return -1;
    ROBUSTNESS_KWNAMES(ROBUSTNESS_MAKE)
#undef ROBUSTNESS_MAKE
#define ROBUSTNESS_MAKE(id) S.g_##id.name = S.str_##id;
    ROBUSTNESS_GLOBALS(ROBUSTNESS_MAKE)
#undef ROBUSTNESS_MAKE

    const auto number = [](double v) { return [v] { return Ref::steal(PyFloat_FromDouble(v)); }; };
    const auto integer = [](long v) { return [v] { return Ref::steal(PyLong_FromLong(v)); }; };
    if (keep(S.float_0_0, number(0.0)) < 0 || keep(S.float_0_1, number(0.1)) < 0 ||
        keep(S.float_0_5, number(0.5)) < 0 || keep(S.float_neg_0_5, number(-0.5)) < 0 ||
        keep(S.float_1_0, number(1.0)) < 0 || keep(S.int_0, integer(0)) < 0 ||
        keep(S.int_1, integer(1)) < 0 || keep(S.int_2, integer(2)) < 0 ||
        keep(S.int_10, integer(10)) < 0 || keep(S.int_neg_1, integer(-1)) < 0) {
        return -1;
    }
    if (keep(S.slice_all, [] { return Ref::steal(PySlice_New(nullptr, nullptr, nullptr)); }) < 0 ||
        keep(S.slice_reversed,
             [] { return Ref::steal(PySlice_New(nullptr, nullptr, S.int_neg_1)); }) < 0 ||
        keep(S.key_all_0, [] { return rt::tuple({S.slice_all, S.int_0}); }) < 0 ||
        keep(S.tuple_bounds, [] { return rt::tuple({S.float_neg_0_5, S.float_0_5}); }) < 0 ||
        keep(S.tuple_noise_level, [] { return rt::tuple({S.str_Noise_Level}); }) < 0) {
        return -1;
    }
    return 0;
}

}  // namespace robustness
