// Owning references.
//
// Rules:
//  - A `Ref` owns exactly one strong reference (or nothing). It is made only
//    through the named factories: `Ref::steal(p)` takes over a reference the
//    caller already owns (the result of a C-API call that returns a new
//    reference), `Ref::new_ref(p)` takes a new reference to an object the
//    caller only borrows.
//  - A plain `PyObject*` is always a borrowed view. It never owns.
//  - `release()` is the one way back to a raw owned pointer (to hand a new
//    reference to the interpreter).
// Every early return releases what it owns by construction.
#pragma once

#include <Python.h>

#include <utility>

namespace rt {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        PyObject* old = p_;
        p_ = other.p_;
        other.p_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a reference the caller owns (may be null after a failed call).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes a new reference to a borrowed object (may be null).
    static Ref new_ref(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset() noexcept {
        PyObject* old = p_;
        p_ = nullptr;
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// An owning reference held in process-wide state (a cache, a table made at
// exec). It owns like a `Ref`, but is never released at exit: its destructor
// would run after the interpreter has finalised, when a release could touch
// freed memory. Assigning a new value releases the old one.
//
// It reads as the borrowed view it holds, so a table entry goes wherever a
// `PyObject*` argument does: what it owns lives until the next `set`, which
// process-wide state only does while it is being made.
class Kept {
public:
    constexpr Kept() noexcept = default;
    Kept(const Kept&) = delete;
    Kept& operator=(const Kept&) = delete;

    PyObject* get() const noexcept { return p_; }
    operator PyObject*() const noexcept { return p_; }
    void set(Ref value) noexcept {
        PyObject* old = p_;
        p_ = value.release();
        Py_XDECREF(old);
    }
    void reset() noexcept { set(Ref()); }

private:
    PyObject* p_ = nullptr;
};

}  // namespace rt
