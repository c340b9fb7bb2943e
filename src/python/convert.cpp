#include "convert.hpp"

#include <cstdint>
#include <cstring>
#include <limits>

#include "common/numeric.hpp"
#include "numpy_api.hpp"

namespace torvane::py {

bool to_f32(PyObject* obj, float& out) {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = narrow_to_f32(value);
    return true;
}

bool to_u64(PyObject* obj, std::uint64_t& out) {
    Ref index(PyNumber_Index(obj));
    if (!index) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    static_assert(sizeof(unsigned long long) == sizeof(std::uint64_t));
    out = value;
    return true;
}

bool u64_to_size(std::uint64_t value, std::size_t& out) {
    if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
        if (value > std::numeric_limits<std::size_t>::max()) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return false;
        }
    }
    out = static_cast<std::size_t>(value);
    return true;
}

bool to_size(PyObject* obj, std::size_t& out) {
    std::uint64_t value;
    return to_u64(obj, value) && u64_to_size(value, out);
}

bool to_optional_u64(PyObject* obj, std::optional<std::uint64_t>& out) {
    if (obj == Py_None) {
        out.reset();
        return true;
    }
    std::uint64_t value;
    if (!to_u64(obj, value)) return false;
    out = value;
    return true;
}

bool to_bool(PyObject* obj, bool& out) {
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    if (is_numpy_bool(obj)) {
        const int truth = PyObject_IsTrue(obj);
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyBool'", type_name(obj));
    return false;
}

bool to_utf8(PyObject* str, std::string& out) {
    Ref bytes(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes) return false;
    out.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    return true;
}

bool to_text_list(PyObject* obj, std::vector<std::string>& out) {
    std::vector<std::string> items;
    if (obj == Py_None) {
        out = std::move(items);
        return true;
    }
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'", type_name(obj));
        return false;
    }
    Ref fast(PySequence_Fast(obj, "expected a sequence"));
    if (!fast) return false;
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(fast.get());
    items.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(fast.get(), i);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'", type_name(item));
            return false;
        }
        std::string text;
        if (!to_utf8(item, text)) return false;
        items.push_back(std::move(text));
    }
    out = std::move(items);
    return true;
}

namespace {

// Places one keyword argument; false with TypeError on an unknown name or
// a parameter given twice.
bool bind_keyword(const char* function_name, const char* const* names, std::size_t count, PyObject* key,
                  PyObject* value, PyObject** out) {
    if (!PyUnicode_Check(key)) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
            if (out[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function_name, names[i]);
                return false;
            }
            out[i] = value;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_name, key);
    return false;
}

bool check_positional_count(const char* function_name, std::size_t count, Py_ssize_t given) {
    if (static_cast<std::size_t>(given) <= count) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional arguments (%zd given)", function_name, count,
                 given);
    return false;
}

}  // namespace

bool bind_fastcall(const char* function_name, const char* const* names, std::size_t count, std::size_t required,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = nullptr;
    if (!check_positional_count(function_name, count, nargs)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!bind_keyword(function_name, names, count, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) {
                return false;
            }
        }
    }
    for (std::size_t i = 0; i < required; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function_name, names[i],
                         i + 1);
            return false;
        }
    }
    return true;
}

bool to_long(PyObject* obj, long& out) {
    Ref index(PyNumber_Index(obj));
    if (!index) return false;
    const long value = PyLong_AsLong(index.get());
    if (value == -1 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool bind_arguments(const char* function_name, const char* const* names, std::size_t count, PyObject* args,
                    PyObject* kwargs, PyObject** out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = nullptr;
    const Py_ssize_t given = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    if (!check_positional_count(function_name, count, given)) return false;
    for (Py_ssize_t i = 0; i < given; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs == nullptr) return true;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!bind_keyword(function_name, names, count, key, value, out)) return false;
    }
    return true;
}

}  // namespace torvane::py
