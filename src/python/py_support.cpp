#include "py_support.hpp"

#include <cstring>
#include <exception>
#include <new>

#include "common/fault.hpp"

namespace torvane::py {

PyObject* panic_exception_type() {
    // Both extension modules (torvane_solver and torvane._native) compile
    // this file; the type is kept in the interpreter's extension state so
    // that they raise one and the same class.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
        if (shared == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "no interpreter state for extensions");
            return nullptr;
        }
        static const char* const key = "torvane_solver.PanicException";
        PyObject* found = PyDict_GetItemString(shared, key);  // borrowed
        if (found != nullptr) {
            type = new_ref(found);
            return type;
        }
        PyObject* created = PyErr_NewExceptionWithDoc(
            "torvane_solver.PanicException",
            "Internal fault inside torvane_solver. It derives from BaseException so that an\n"
            "ordinary `except Exception` does not swallow it.",
            PyExc_BaseException, nullptr);
        if (created == nullptr) return nullptr;
        if (PyDict_SetItemString(shared, key, created) < 0) {
            Py_DECREF(created);
            return nullptr;
        }
        type = created;
    }
    return type;
}

void set_panic(const std::string& message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // creating the type failed; that error is set
    PyErr_SetString(type, message.c_str());
}

void set_error_from_current_exception() {
    try {
        throw;
    } catch (const InternalError& e) {
        set_panic(e.what());
    } catch (const CapacityError& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic("unknown internal fault");
    }
}

const char* type_name(PyObject* obj) {
    const char* full = Py_TYPE(obj)->tp_name;
    const char* dot = std::strrchr(full, '.');
    return dot != nullptr ? dot + 1 : full;
}

void wrap_argument_type_error(const char* name) {
    if (!PyErr_Occurred()) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type(type), owned_value(value), owned_traceback(traceback);
    if (value == nullptr) {
        PyErr_Format(PyExc_TypeError, "argument '%s': ", name);
        return;
    }
    Ref text(PyObject_Str(value));
    if (!text) return;
    Ref message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    Ref wrapped(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!wrapped) return;
    if (PyObject* cause = PyException_GetCause(value)) {
        PyException_SetCause(wrapped.get(), cause);  // steals the new reference
    }
    if (traceback != nullptr) PyException_SetTraceback(wrapped.get(), traceback);
    PyErr_SetObject(PyExc_TypeError, wrapped.get());
}

}  // namespace torvane::py
