// Owned references to Python objects.
//
// A `Ref` holds one strong reference and releases it when it goes out of
// scope, so every early return on an error path releases what the function
// held. Borrowed references travel as plain `PyObject*` parameters and are
// never stored beyond the call that received them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace indexfuse {

class Ref {
public:
    Ref() noexcept = default;

    // Takes over a new reference, such as a C API call returns (NULL stays empty).
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }

    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    Ref(const Ref& other) noexcept : obj_(other.obj_) { Py_XINCREF(obj_); }
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}

    Ref& operator=(Ref other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }

    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    // Hands the reference to the caller (for example as a function result).
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

    void reset() noexcept { Py_CLEAR(obj_); }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}

    PyObject* obj_ = nullptr;
};

}  // namespace indexfuse
