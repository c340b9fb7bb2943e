// Module initialisation: the one exported symbol of the extension.

#include <atomic>
#include <cstdint>

#include "maxsim.hpp"
#include "py_support.hpp"
#include "records.hpp"
#include "solver.hpp"

namespace torvane::py {

namespace {

// The project version of the build (CMakeLists.txt), its one source.
constexpr const char* kVersion = TORVANE_VERSION;

PyObject* accelerator_available(PyObject*, PyObject*) { return new_ref(Py_False); }

PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString(kVersion); }

// Module functions, in registration order. gpu_available and cuda_available
// share one implementation: there is no accelerator backend to probe.
PyMethodDef kFunctions[] = {
    {"gpu_available", &accelerator_available, METH_NOARGS, "gpu_available()\n--\n\nCheck if GPU is available"},
    {"cuda_available", &accelerator_available, METH_NOARGS, "cuda_available()\n--\n\nCheck if CUDA is available"},
    {"version", &version, METH_NOARGS, "version()\n--\n\nGet library version"},
    {"compute_max_sim_batch",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&compute_max_sim_batch)),
     METH_FASTCALL | METH_KEYWORDS,
     "compute_max_sim_batch(q_codes, q_meta, d_codes, d_meta, num_bits, dim)\n--\n\n"
     "Compute MaxSim batch scores (Rust CPU benchmark)"},
    {"compute_max_sim_batch_f32",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&compute_max_sim_batch_f32)),
     METH_FASTCALL | METH_KEYWORDS,
     "compute_max_sim_batch_f32(q_vecs, d_vecs)\n--\n\n"
     "Compute MaxSim batch scores for Float32 embeddings (Rust Baseline)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "torvane_solver",
    "Python module definition",
    0,        // no per-module state
    nullptr,  // functions are added by the initialiser, in order
    nullptr, nullptr, nullptr, nullptr,
};

// The first interpreter to import the module; -1 while none has.
std::atomic<std::int64_t> g_interpreter_id{-1};
// The module object, created once per process.
PyObject* g_module = nullptr;

bool add_type(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr) return false;
    Py_INCREF(type);
    if (PyModule_AddObject(module, name, reinterpret_cast<PyObject*>(type)) < 0) {
        Py_DECREF(type);
        return false;
    }
    return true;
}

PyObject* create_module() {
    Ref module(PyModule_Create(&kModuleDef));
    if (!module) return nullptr;
    if (panic_exception_type() == nullptr) return nullptr;
    if (!add_type(module.get(), "SolverConfig", solver_config_type())) return nullptr;
    if (!add_type(module.get(), "SolverConstraints", solver_constraints_type())) return nullptr;
    if (!add_type(module.get(), "SolverOutput", solver_output_type())) return nullptr;
    if (!add_type(module.get(), "TabuSearchSolver", tabu_search_solver_type())) return nullptr;
    if (PyModule_AddFunctions(module.get(), kFunctions) < 0) return nullptr;
    return module.release();
}

PyObject* initialise() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "torvane_solver does not support sub-interpreters: it is already loaded in another "
                        "interpreter of this process");
        return nullptr;
    }
    if (g_module != nullptr) return new_ref(g_module);
    PyObject* module = create_module();
    if (module == nullptr) return nullptr;
    g_module = new_ref(module);
    return module;
}

}  // namespace

}  // namespace torvane::py

PyMODINIT_FUNC PyInit_torvane_solver(void) {
    return torvane::py::guarded([] { return torvane::py::initialise(); });
}
