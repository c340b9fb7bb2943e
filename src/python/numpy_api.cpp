#define TORVANE_NUMPY_API_OWNER
#include "numpy_api.hpp"

namespace torvane::py {

bool ensure_numpy_api() {
    static bool loaded = false;
    if (loaded) return true;
    if (_import_array() < 0) return false;
    loaded = true;
    return true;
}

bool is_numpy_bool(PyObject* obj) {
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_GetItemString(modules, "numpy") == nullptr) return false;
    if (!ensure_numpy_api()) {
        PyErr_Clear();
        return false;
    }
    return PyArray_IsScalar(obj, Bool);
}

}  // namespace torvane::py
