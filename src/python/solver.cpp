#include "solver.hpp"

#include <chrono>
#include <cmath>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "common/numeric.hpp"
#include "convert.hpp"
#include "intake.hpp"
#include "records.hpp"
#include "solver/search/improve.hpp"
#include "solver/search/run_solver.hpp"

namespace torvane::py {

namespace {

struct SolverObject {
    PyObject_HEAD
    // Frozen at construction and only read afterwards, so any number of
    // threads may solve with it at once.
    std::shared_ptr<const SolverSettings> settings;
    std::shared_ptr<const ComputeBackend> backend;
    // Made from a SolverConfig (rather than without one): the two differ in
    // whether the auxiliary weights count, so a copy must know which it was.
    bool configured;
};

const SolverSettings& settings_of(PyObject* self) { return *reinterpret_cast<SolverObject*>(self)->settings; }
const ComputeBackend& backend_of(PyObject* self) { return *reinterpret_cast<SolverObject*>(self)->backend; }

// A solver made without a configuration keeps the default values but does
// not count the auxiliary weights; one made from a configuration takes all
// of its values and counts them when any of beta, gamma, delta is non-zero.
SolverSettings settings_from_config(const ConfigValues* config) {
    SolverSettings s;
    if (config != nullptr) {
        static_cast<SolverOptions&>(s) = *config;
        s.aux_weights_active = std::fabs(config->beta) > kZeroWeight || std::fabs(config->gamma) > kZeroWeight ||
                               std::fabs(config->delta) > kZeroWeight;
    } else {
        s.aux_weights_active = false;
    }
    return s;
}

// `constraints` must be None/omitted or a SolverConstraints.
bool read_constraints(PyObject* obj, ConstraintSet& out) {
    if (obj == nullptr || obj == Py_None) {
        out = ConstraintSet{};
        return true;
    }
    PyTypeObject* type = solver_constraints_type();
    if (type == nullptr) return false;
    if (!PyObject_TypeCheck(obj, type)) {
        PyErr_Format(PyExc_TypeError, "argument 'constraints': '%s' object cannot be converted to 'SolverConstraints'",
                     type_name(obj));
        return false;
    }
    out = to_constraint_set(reinterpret_cast<ConstraintsObject*>(obj)->values);
    return true;
}

// Runs `work` with the interpreter lock released; a C++ exception it throws
// is rethrown after the lock is held again.
template <typename Work>
void without_gil(Work&& work) {
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
        work();
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (failure) std::rethrow_exception(failure);
}

// ---- construction and small members -----------------------------------------

PyObject* solver_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"config"};
        PyObject* config = nullptr;
        if (!bind_arguments("TabuSearchSolver", names, 1, args, kwargs, &config)) return nullptr;
        const ConfigValues* values = nullptr;
        if (config != nullptr && config != Py_None) {
            PyTypeObject* config_type = solver_config_type();
            if (config_type == nullptr) return nullptr;
            if (!PyObject_TypeCheck(config, config_type)) {
                PyErr_Format(PyExc_TypeError, "argument 'config': '%s' object cannot be converted to 'SolverConfig'",
                             type_name(config));
                return nullptr;
            }
            values = &reinterpret_cast<ConfigObject*>(config)->values;
        }
        auto settings = std::make_shared<const SolverSettings>(settings_from_config(values));
        std::shared_ptr<const ComputeBackend> backend = create_backend(settings->use_gpu);
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        auto* object = reinterpret_cast<SolverObject*>(self);
        new (&object->settings) std::shared_ptr<const SolverSettings>(std::move(settings));
        new (&object->backend) std::shared_ptr<const ComputeBackend>(std::move(backend));
        object->configured = values != nullptr;
        return self;
    });
}

void solver_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<SolverObject*>(self)->settings.~shared_ptr();
    reinterpret_cast<SolverObject*>(self)->backend.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* kind_name(PyObject* self) {
    const std::string_view name = backend_kind_name(backend_of(self).kind());
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* solver_backend_kind(PyObject* self, PyObject*) {
    return guarded([&] { return kind_name(self); });
}

// A solver pickles as its constructor called with a SolverConfig holding
// its configurable values, or with None when it was made without one.
PyObject* solver_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const auto* object = reinterpret_cast<SolverObject*>(self);
        Ref config(object->configured ? make_solver_config(*object->settings) : new_ref(Py_None));
        if (!config) return nullptr;
        return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(Py_TYPE(self)), config.get());
    });
}

PyObject* solver_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        Ref name(kind_name(self));
        if (!name) return nullptr;
        return PyUnicode_FromFormat("TabuSearchSolver(backend='%U')", name.get());
    });
}

// ---- solve from chunk dictionaries -----------------------------------------

PyObject* solver_solve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"chunks", "query_embedding", "constraints"};
        PyObject* given[3];
        if (!bind_fastcall("solve", names, 3, 2, args, nargs, kwnames, given)) return nullptr;
        PyObject* chunks = given[0];
        if (!PyList_Check(chunks)) {
            PyErr_Format(PyExc_TypeError, "argument 'chunks': '%s' object cannot be converted to 'PyList'",
                         type_name(chunks));
            return nullptr;
        }
        if (!ensure_numpy_api()) return nullptr;
        PyArrayObject* query = nullptr;
        if (!extract_array(given[1], "query_embedding", ArrayKind::F1, query)) return nullptr;
        ConstraintSet constraints;
        if (!read_constraints(given[2], constraints)) return nullptr;
        if (!require_contiguous(query)) return nullptr;
        std::vector<float> query_values = copy_contiguous<float>(query);

        // The list may change while items are converted (their conversion can
        // run Python code), so its length is read afresh at every step.
        std::vector<ChunkRecord> records;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(chunks); ++i) {
            Ref item(new_ref(PyList_GET_ITEM(chunks, i)));
            ChunkRecord record;
            if (!read_chunk(item.get(), static_cast<std::size_t>(i), record)) return nullptr;
            if (!records.empty() && record.embedding.size() != records.front().embedding.size()) {
                PyErr_Format(PyExc_ValueError,
                             "chunk %zd has an embedding of length %zu, but the first chunk's has length %zu", i,
                             record.embedding.size(), records.front().embedding.size());
                return nullptr;
            }
            records.push_back(std::move(record));
        }
        if (!records.empty() && records.front().embedding.empty()) {
            PyErr_SetString(PyExc_ValueError, "chunk embeddings must not be empty");
            return nullptr;
        }

        const SolverSettings& settings = settings_of(self);
        const ComputeBackend& backend = backend_of(self);
        SolveResult result;
        without_gil([&] {
            const auto start = std::chrono::steady_clock::now();
            const ProblemInstance problem = assemble_from_chunks(std::move(records), std::move(query_values));
            result = run_solver(settings, problem, constraints, backend);
            result.solve_time_ms = elapsed_ms(start, std::chrono::steady_clock::now());
        });
        return make_solver_output(std::move(result));
    });
}

// ---- solve from arrays ---------------------------------------------------------

// Per-candidate arrays that are not otherwise tied to n: shorter than n
// would mean reading past their end, so they are refused up front.
bool require_candidate_length(PyArrayObject* array, const char* name, std::size_t n) {
    const std::size_t length = static_cast<std::size_t>(PyArray_SIZE(array));
    if (length >= n) return true;
    PyErr_Format(PyExc_ValueError, "%s has %zu elements, fewer than the %zu candidates", name, length, n);
    return false;
}

// The candidate arrays both array entry points share, already extracted.
struct CandidateArrays {
    PyArrayObject* embeddings;
    PyArrayObject* token_costs;
    PyArrayObject* density;
    PyArrayObject* centrality;
    PyArrayObject* recency;
    PyArrayObject* auxiliary;
    PyArrayObject* roles;
    PyArrayObject* cluster_ids;
};

bool check_candidate_lengths(const CandidateArrays& a, std::size_t n) {
    return require_candidate_length(a.density, "density_scores", n) &&
           require_candidate_length(a.centrality, "centrality_scores", n) &&
           require_candidate_length(a.recency, "recency_scores", n) &&
           require_candidate_length(a.auxiliary, "auxiliary_scores", n) &&
           require_candidate_length(a.roles, "roles", n) && require_candidate_length(a.cluster_ids, "cluster_ids", n);
}

// Copies the shared candidate arrays into the problem (n and dim already set).
// The per-candidate arrays hold at least n entries (check_candidate_lengths);
// entries past the n-th belong to no candidate and are left out, so every
// per-candidate array of the problem has exactly n entries. False, with
// OverflowError set, when a value does not fit.
//
bool copy_candidates(const CandidateArrays& a, ProblemInstance& problem) {
    const std::size_t n = problem.n;
    problem.embeddings = copy_logical_f32(a.embeddings);
    problem.embeddings.resize(n * problem.dim);  // the integer division may leave a tail
    problem.density = copy_contiguous<float>(a.density);
    problem.density.resize(n);
    problem.centrality = copy_contiguous<float>(a.centrality);
    problem.centrality.resize(n);
    problem.recency = copy_contiguous<float>(a.recency);
    problem.recency.resize(n);
    problem.auxiliary = copy_contiguous<float>(a.auxiliary);
    problem.auxiliary.resize(n);
    // Token costs and cluster ids arrive as 64-bit integers and are kept as
    // sizes: on a target with a narrower size a value beyond it is refused,
    // never cut to its low bits.
    const std::vector<npy_uint64> costs = copy_contiguous<npy_uint64>(a.token_costs);
    problem.token_costs.resize(costs.size());
    for (std::size_t i = 0; i < costs.size(); ++i) {
        if (!u64_to_size(costs[i], problem.token_costs[i])) return false;
    }
    const std::vector<npy_ubyte> roles = copy_contiguous<npy_ubyte>(a.roles);
    problem.roles.resize(n);
    for (std::size_t i = 0; i < n; ++i) problem.roles[i] = role_from_code(roles[i]);
    const std::vector<npy_int64> clusters = copy_contiguous<npy_int64>(a.cluster_ids);
    problem.cluster_ids.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (clusters[i] < 0) continue;
        std::size_t id = 0;
        if (!u64_to_size(static_cast<std::uint64_t>(clusters[i]), id)) return false;
        problem.cluster_ids[i] = id;
    }
    problem.chunk_ids.reserve(n);
    for (std::size_t i = 0; i < n; ++i) problem.chunk_ids.push_back(default_chunk_id(i));
    return true;
}

// Without a similarity matrix the solver derives one from the embeddings,
// which needs at least one value per candidate.
bool require_embedding_values(const ProblemInstance& problem) {
    if (problem.n == 0 || problem.dim > 0) return true;
    PyErr_Format(PyExc_ValueError,
                 "embeddings must hold at least one value per candidate to derive similarities (%zu candidates)",
                 problem.n);
    return false;
}

void derive_sizes(const CandidateArrays& a, ProblemInstance& problem) {
    problem.n = static_cast<std::size_t>(PyArray_SIZE(a.token_costs));
    const std::size_t total = static_cast<std::size_t>(PyArray_SIZE(a.embeddings));
    problem.dim = problem.n > 0 ? total / problem.n : 0;
}

PyObject* solve_and_wrap(PyObject* self, ProblemInstance& problem, const ConstraintSet& constraints,
                         bool derive_relevance) {
    const SolverSettings& settings = settings_of(self);
    const ComputeBackend& backend = backend_of(self);
    SolveResult result;
    without_gil([&] {
        if (derive_relevance) compute_relevance(problem);
        // Without limits (always, unless the torvane package asks for more
        // effort on this thread) this is run_solver's result.
        result = run_solver_improved(settings, problem, constraints, backend, thread_improve_limits());
    });
    return make_solver_output(std::move(result));
}

PyObject* solver_solve_numpy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"embeddings",        "query_embedding",  "token_costs",
                                            "density_scores",    "centrality_scores", "recency_scores",
                                            "auxiliary_scores",  "roles",            "cluster_ids",
                                            "constraints"};
        static const ArrayKind kinds[] = {ArrayKind::F2, ArrayKind::F1, ArrayKind::UL1, ArrayKind::F1, ArrayKind::F1,
                                          ArrayKind::F1, ArrayKind::F1, ArrayKind::U8,  ArrayKind::L1};
        PyObject* given[10];
        if (!bind_fastcall("solve_numpy", names, 10, 9, args, nargs, kwnames, given)) return nullptr;
        if (!ensure_numpy_api()) return nullptr;
        PyArrayObject* arrays[9];
        for (std::size_t i = 0; i < 9; ++i) {
            if (!extract_array(given[i], names[i], kinds[i], arrays[i])) return nullptr;
        }
        ConstraintSet constraints;
        if (!read_constraints(given[9], constraints)) return nullptr;
        for (PyArrayObject* array : arrays) {
            if (!require_contiguous(array)) return nullptr;
        }
        const CandidateArrays candidates{arrays[0], arrays[2], arrays[3], arrays[4],
                                         arrays[5], arrays[6], arrays[7], arrays[8]};
        ProblemInstance problem;
        derive_sizes(candidates, problem);
        if (!check_candidate_lengths(candidates, problem.n) || !require_embedding_values(problem)) return nullptr;
        if (!copy_candidates(candidates, problem)) return nullptr;
        problem.query_embedding = copy_contiguous<float>(arrays[1]);
        problem.fulfilment.assign(problem.n, 0.0f);
        return solve_and_wrap(self, problem, constraints, true);
    });
}

PyObject* solver_solve_precomputed_numpy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {
            "embeddings",       "token_costs",       "density_scores",    "centrality_scores",
            "recency_scores",   "auxiliary_scores",  "roles",             "cluster_ids",
            "relevance_scores", "similarity_matrix", "fulfilment_scores", "coverage_matrix",
            "query_token_weights", "query_embedding", "constraints"};
        static const ArrayKind kinds[] = {ArrayKind::F2, ArrayKind::UL1, ArrayKind::F1, ArrayKind::F1, ArrayKind::F1,
                                          ArrayKind::F1, ArrayKind::U8,  ArrayKind::L1, ArrayKind::F1, ArrayKind::F2,
                                          ArrayKind::F1, ArrayKind::F2,  ArrayKind::F1, ArrayKind::F1};
        PyObject* given[15];
        if (!bind_fastcall("solve_precomputed_numpy", names, 15, 9, args, nargs, kwnames, given)) return nullptr;
        if (!ensure_numpy_api()) return nullptr;
        PyArrayObject* arrays[14] = {};
        for (std::size_t i = 0; i < 14; ++i) {
            const bool optional = i >= 9;
            if (optional && (given[i] == nullptr || given[i] == Py_None)) continue;
            if (!extract_array(given[i], names[i], kinds[i], arrays[i])) return nullptr;
        }
        ConstraintSet constraints;
        if (!read_constraints(given[14], constraints)) return nullptr;
        for (std::size_t i = 0; i < 9; ++i) {
            if (!require_contiguous(arrays[i])) return nullptr;
        }
        const CandidateArrays candidates{arrays[0], arrays[1], arrays[2], arrays[3],
                                         arrays[4], arrays[5], arrays[6], arrays[7]};
        PyArrayObject* relevance = arrays[8];
        PyArrayObject* similarity = arrays[9];
        PyArrayObject* fulfilment = arrays[10];
        PyArrayObject* coverage = arrays[11];
        PyArrayObject* weights = arrays[12];
        PyArrayObject* query = arrays[13];

        ProblemInstance problem;
        derive_sizes(candidates, problem);
        const std::size_t n = problem.n;
        const auto size_of = [](PyArrayObject* a) { return static_cast<std::size_t>(PyArray_SIZE(a)); };

        if (size_of(relevance) != n) {
            PyErr_SetString(PyExc_ValueError, "relevance_scores length must match number of candidates");
            return nullptr;
        }
        if (similarity != nullptr) {
            if (static_cast<std::size_t>(PyArray_DIM(similarity, 0)) != n ||
                static_cast<std::size_t>(PyArray_DIM(similarity, 1)) != n) {
                PyErr_SetString(PyExc_ValueError, "similarity_matrix must have shape (num_candidates, num_candidates)");
                return nullptr;
            }
            problem.similarity = copy_logical_f32(similarity);
        }
        if (fulfilment != nullptr) {
            if (!require_contiguous(fulfilment)) return nullptr;
            if (size_of(fulfilment) != n) {
                PyErr_SetString(PyExc_ValueError, "fulfilment_scores length must match number of candidates");
                return nullptr;
            }
            problem.fulfilment = copy_contiguous<float>(fulfilment);
        } else {
            problem.fulfilment.assign(n, 0.0f);
        }
        if (coverage != nullptr) {
            if (static_cast<std::size_t>(PyArray_DIM(coverage, 1)) != n) {
                PyErr_SetString(PyExc_ValueError, "coverage_matrix must have shape (num_query_tokens, num_candidates)");
                return nullptr;
            }
            const std::size_t tokens = static_cast<std::size_t>(PyArray_DIM(coverage, 0));
            if (weights != nullptr) {
                if (!require_contiguous(weights)) return nullptr;
                if (size_of(weights) != tokens) {
                    PyErr_SetString(PyExc_ValueError, "query_token_weights must match coverage_matrix rows");
                    return nullptr;
                }
                problem.query_token_weights = copy_contiguous<float>(weights);
            } else {
                problem.query_token_weights = std::vector<float>(tokens, 1.0f);
            }
            problem.num_query_tokens = tokens;
            problem.coverage = copy_logical_f32(coverage);
        } else if (weights != nullptr) {
            PyErr_SetString(PyExc_ValueError, "query_token_weights requires coverage_matrix");
            return nullptr;
        }
        if (query != nullptr) {
            if (!require_contiguous(query)) return nullptr;
            if (problem.dim != 0 && size_of(query) != problem.dim) {
                PyErr_SetString(PyExc_ValueError, "query_embedding length must match embedding dimension");
                return nullptr;
            }
            problem.query_embedding = copy_contiguous<float>(query);
        } else {
            problem.query_embedding.assign(problem.dim, 0.0f);
        }
        if (!check_candidate_lengths(candidates, n)) return nullptr;
        if (!problem.similarity && !require_embedding_values(problem)) return nullptr;
        if (!copy_candidates(candidates, problem)) return nullptr;
        problem.relevance = copy_contiguous<float>(relevance);
        return solve_and_wrap(self, problem, constraints, false);
    });
}

// ---- type --------------------------------------------------------------------

PyMethodDef kSolverMethods[] = {
    {"backend_kind", &solver_backend_kind, METH_NOARGS, "backend_kind($self)\n--\n\n"},
    {"__reduce__", &solver_reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\nThe solver as a constructor call with its configuration, for pickle and copy."},
    {"solve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&solver_solve)), METH_FASTCALL | METH_KEYWORDS,
     "solve($self, chunks, query_embedding, constraints=None)\n--\n\n"
     "Solve from a list of chunk dictionaries"},
    {"solve_numpy", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&solver_solve_numpy)),
     METH_FASTCALL | METH_KEYWORDS,
     "solve_numpy($self, embeddings, query_embedding, token_costs, density_scores, centrality_scores, "
     "recency_scores, auxiliary_scores, roles, cluster_ids, constraints=None)\n--\n\n"
     "Solve the knapsack problem from numpy arrays"},
    {"solve_precomputed_numpy",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&solver_solve_precomputed_numpy)),
     METH_FASTCALL | METH_KEYWORDS,
     "solve_precomputed_numpy($self, embeddings, token_costs, density_scores, centrality_scores, recency_scores, "
     "auxiliary_scores, roles, cluster_ids, relevance_scores, similarity_matrix=None, fulfilment_scores=None, "
     "coverage_matrix=None, query_token_weights=None, query_embedding=None, constraints=None)\n--\n\n"
     "Solve from precomputed relevance, redundancy, and fulfilment tensors."},
    {nullptr, nullptr, 0, nullptr},
};

#ifdef Py_TPFLAGS_IMMUTABLETYPE
constexpr unsigned kSolverFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned kSolverFlags = Py_TPFLAGS_DEFAULT;
#endif

PyType_Slot kSolverSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&solver_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&solver_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(&solver_repr)},
    {Py_tp_methods, kSolverMethods},
    {Py_tp_doc, const_cast<char*>("TabuSearchSolver(config=None)\n--\n\nPython-exposed Tabu Search Solver")},
    {0, nullptr},
};

PyType_Spec kSolverSpec = {"torvane_solver.TabuSearchSolver", sizeof(SolverObject), 0, kSolverFlags, kSolverSlots};

PyObject* g_solver_type = nullptr;

}  // namespace

PyTypeObject* tabu_search_solver_type() {
    if (g_solver_type == nullptr) g_solver_type = PyType_FromSpec(&kSolverSpec);
    return reinterpret_cast<PyTypeObject*>(g_solver_type);
}

}  // namespace torvane::py
