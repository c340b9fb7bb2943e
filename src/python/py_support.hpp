#pragma once
// Shared helpers of the binding layer: owned references, the internal-error
// exception, and the guard that turns C++ exceptions into Python ones.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <utility>

namespace torvane::py {

// An owned (strong) reference, released on scope exit.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : ptr_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(ptr_);
            ptr_ = std::exchange(other.ptr_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    PyObject* get() const { return ptr_; }
    PyObject* release() { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const { return ptr_ != nullptr; }

private:
    PyObject* ptr_ = nullptr;
};

inline PyObject* new_ref(PyObject* obj) {
    Py_INCREF(obj);
    return obj;
}

// The module's internal-error exception (derived from BaseException). It is
// created once per process and deliberately not a module attribute.
PyObject* panic_exception_type();

// Raises PanicException with `message`.
void set_panic(const std::string& message);

// Converts the C++ exception being handled into a Python exception. Call
// only from inside a catch block.
void set_error_from_current_exception();

// Runs `body` (which returns a new reference or nullptr with an error set)
// and turns any escaping C++ exception into a Python exception, so that no
// exception ever unwinds into the interpreter.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// Same for slots that report failure as -1.
template <typename Body>
int guarded_int(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return -1;
    }
}

// The type's short name (`type(obj).__name__`) of an object.
const char* type_name(PyObject* obj);

// If the pending exception is exactly a TypeError, replaces it with
// TypeError("argument '<name>': <original text>") keeping the original's
// cause; any other pending exception is left as it is.
void wrap_argument_type_error(const char* name);

}  // namespace torvane::py
