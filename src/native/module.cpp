// torvane._native: the compiled part of the torvane package. It converts
// arrays that the package's Python layer has already checked and laid out
// (C-contiguous, native byte order, the right dtypes) into views of the
// core's variable-length MaxSim, top-k and encoder calls. Every check is
// repeated here, so that a direct call with bad arguments raises TypeError
// or ValueError, never an internal error or a crash.
//
// The arrays are read in place while the interpreter lock is held, so
// nothing can change them during the call; the work runs on the core's one
// worker pool, shared with torvane_solver.

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "backend/pool/thread_pool.hpp"
#include "convert.hpp"
#include "effort.hpp"
#include "numpy_api.hpp"
#include "py_support.hpp"
#include "quantization/maxsim/ragged.hpp"
#include "quantization/rotational/encoder.hpp"
#include "quantization/rotational/rotational_quantizer.hpp"
#include "text/shingles/shingles.hpp"

namespace torvane::native {

using py::guarded;
using py::Ref;

namespace {

// The array `obj` when it is a C-contiguous, aligned ndarray of `type_num`
// in native byte order with `ndim` dimensions (-1: any); TypeError
// naming `name` otherwise.
PyArrayObject* array_arg(PyObject* obj, const char* name, int type_num, int ndim) {
    if (!PyArray_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be a numpy.ndarray, not %s", name, py::type_name(obj));
        return nullptr;
    }
    PyArrayObject* array = reinterpret_cast<PyArrayObject*>(obj);
    PyArray_Descr* descr = PyArray_DESCR(array);
    if (descr->type_num != type_num || !PyArray_ISNBO(descr->byteorder)) {
        Ref expected(reinterpret_cast<PyObject*>(PyArray_DescrFromType(type_num)));
        PyErr_Format(PyExc_TypeError, "%s must have dtype %S, not %S", name, expected.get(), descr);
        return nullptr;
    }
    if (ndim >= 0 && PyArray_NDIM(array) != ndim) {
        PyErr_Format(PyExc_TypeError, "%s must have %d dimensions, not %d", name, ndim, PyArray_NDIM(array));
        return nullptr;
    }
    if (!PyArray_IS_C_CONTIGUOUS(array) || !PyArray_ISALIGNED(array)) {
        PyErr_Format(PyExc_TypeError, "%s must be C-contiguous and aligned", name);
        return nullptr;
    }
    return array;
}

std::size_t dim_of(PyArrayObject* array, int k) { return static_cast<std::size_t>(PyArray_DIM(array, k)); }

// Offsets (int64, one dimension) describing `total` token rows.
bool offsets_arg(PyObject* obj, const char* name, std::size_t total, std::span<const std::int64_t>& out) {
    PyArrayObject* array = array_arg(obj, name, NPY_INT64, 1);
    if (array == nullptr) return false;
    out = {static_cast<const std::int64_t*>(PyArray_DATA(array)), dim_of(array, 0)};
    if (out.empty()) {
        PyErr_Format(PyExc_ValueError, "%s must hold at least one value (0)", name);
        return false;
    }
    if (!maxsim::valid_offsets(out, total)) {
        PyErr_Format(PyExc_ValueError,
                     "%s must start at 0, never decrease and end at the token count %zu", name, total);
        return false;
    }
    return true;
}

bool float_batch(PyObject* tokens, PyObject* offsets, const char* tokens_name, const char* offsets_name,
                 maxsim::RaggedFloats& out) {
    PyArrayObject* array = array_arg(tokens, tokens_name, NPY_FLOAT32, 2);
    if (array == nullptr) return false;
    out.tokens = static_cast<const float*>(PyArray_DATA(array));
    out.dim = dim_of(array, 1);
    return offsets_arg(offsets, offsets_name, dim_of(array, 0), out.offsets);
}

bool code_batch(PyObject* codes, PyObject* meta, PyObject* offsets, const char* side, std::size_t bytes,
                maxsim::RaggedCodes& out) {
    const std::string codes_name = std::string(side) + " codes";
    const std::string meta_name = std::string(side) + " meta";
    const std::string offsets_name = std::string(side) + " offsets";
    PyArrayObject* code_array = array_arg(codes, codes_name.c_str(), NPY_UINT8, 2);
    if (code_array == nullptr) return false;
    PyArrayObject* meta_array = array_arg(meta, meta_name.c_str(), NPY_FLOAT32, 2);
    if (meta_array == nullptr) return false;
    const std::size_t total = dim_of(code_array, 0);
    if (dim_of(code_array, 1) != bytes) {
        PyErr_Format(PyExc_ValueError, "%s must hold %zu bytes per token, not %zu", codes_name.c_str(), bytes,
                     dim_of(code_array, 1));
        return false;
    }
    if (dim_of(meta_array, 0) != total || dim_of(meta_array, 1) != 4) {
        PyErr_Format(PyExc_ValueError, "%s must have shape (%zu, 4)", meta_name.c_str(), total);
        return false;
    }
    out.codes = static_cast<const std::uint8_t*>(PyArray_DATA(code_array));
    out.bytes = bytes;
    out.meta = static_cast<const float*>(PyArray_DATA(meta_array));
    return offsets_arg(offsets, offsets_name.c_str(), total, out.offsets);
}

bool size_arg(PyObject* obj, const char* name, std::size_t& out) {
    if (py::to_size(obj, out)) return true;
    py::wrap_argument_type_error(name);
    return false;
}

// The quantizer for (num_bits, dim), or ValueError for a width other than
// 1, 4 and 8 or a dimension without a power-of-two padding.
bool quantizer_arg(PyObject* bits_obj, PyObject* dim_obj, std::optional<quant::RotationalQuantizer>& out) {
    std::size_t bits = 0;
    std::size_t dim = 0;
    if (!size_arg(bits_obj, "num_bits", bits) || !size_arg(dim_obj, "dim", dim)) return false;
    if (bits != 1 && bits != 4 && bits != 8) {
        PyErr_Format(PyExc_ValueError, "num_bits must be 1, 4 or 8, not %zu", bits);
        return false;
    }
    if (dim > (std::size_t{1} << 31)) {
        PyErr_Format(PyExc_ValueError, "dim must be at most 2**31, not %zu", dim);
        return false;
    }
    out.emplace(dim, bits);
    return true;
}

// A new C-contiguous array of the shape, or nullptr with MemoryError when
// its bytes do not fit the machine word.
PyObject* new_array(std::size_t rows, std::size_t cols, int type_num, std::size_t item_size) {
    std::size_t count = 0;
    if (__builtin_mul_overflow(rows, cols, &count) ||
        count > static_cast<std::size_t>(std::numeric_limits<npy_intp>::max()) / item_size) {
        PyErr_Format(PyExc_MemoryError, "an array of %zu x %zu values does not fit in memory", rows, cols);
        return nullptr;
    }
    npy_intp shape[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    return PyArray_SimpleNew(2, shape, type_num);
}

template <class T>
std::span<T> values(PyObject* array) {
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(array);
    return {static_cast<T*>(PyArray_DATA(a)), static_cast<std::size_t>(PyArray_SIZE(a))};
}

bool bind(const char* function, const char* const* names, std::size_t count, PyObject* const* args,
          Py_ssize_t nargs, PyObject* kwnames, PyObject** given) {
    if (!py::bind_fastcall(function, names, count, count, args, nargs, kwnames, given)) return false;
    return py::ensure_numpy_api();
}

PyObject* maxsim_f32(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"q_tokens", "q_offsets", "d_tokens", "d_offsets"};
        PyObject* given[4];
        if (!bind("maxsim_f32", names, 4, args, nargs, kwnames, given)) return nullptr;
        maxsim::RaggedFloats q, d;
        if (!float_batch(given[0], given[1], "queries", "query offsets", q)) return nullptr;
        if (!float_batch(given[2], given[3], "documents", "document offsets", d)) return nullptr;
        if (q.dim != d.dim) {
            PyErr_Format(PyExc_ValueError, "queries have %zu values per token but documents %zu", q.dim, d.dim);
            return nullptr;
        }
        Ref out(new_array(maxsim::item_count(q.offsets), maxsim::item_count(d.offsets), NPY_FLOAT32, 4));
        if (!out) return nullptr;
        maxsim::max_sim_f32_ragged(q, d, values<float>(out.get()));
        return out.release();
    });
}

PyObject* maxsim_codes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"q_codes", "q_meta", "q_offsets", "d_codes",
                                            "d_meta",  "d_offsets", "num_bits", "dim"};
        PyObject* given[8];
        if (!bind("maxsim_codes", names, 8, args, nargs, kwnames, given)) return nullptr;
        std::optional<quant::RotationalQuantizer> quantizer;
        if (!quantizer_arg(given[6], given[7], quantizer)) return nullptr;
        const std::size_t bytes = quant::code_bytes(*quantizer);
        maxsim::RaggedCodes q, d;
        if (!code_batch(given[0], given[1], given[2], "query", bytes, q)) return nullptr;
        if (!code_batch(given[3], given[4], given[5], "document", bytes, d)) return nullptr;
        Ref out(new_array(maxsim::item_count(q.offsets), maxsim::item_count(d.offsets), NPY_FLOAT32, 4));
        if (!out) return nullptr;
        maxsim::max_sim_quantized_ragged(*quantizer, q, d, values<float>(out.get()));
        return out.release();
    });
}

// (indices, scores) arrays of Nq x min(k, Nd), filled by `fill`.
template <class Fill>
PyObject* top_k_result(std::size_t queries, std::size_t width, Fill&& fill) {
    Ref indices(new_array(queries, width, NPY_INT64, 8));
    if (!indices) return nullptr;
    Ref scores(new_array(queries, width, NPY_FLOAT32, 4));
    if (!scores) return nullptr;
    fill(values<std::int64_t>(indices.get()), values<float>(scores.get()));
    return PyTuple_Pack(2, indices.get(), scores.get());
}

bool k_arg(PyObject* obj, std::size_t& k) {
    long value = 0;
    if (!py::to_long(obj, value)) {
        py::wrap_argument_type_error("k");
        return false;
    }
    if (value < 0) {
        PyErr_Format(PyExc_ValueError, "k must be at least 0, not %ld", value);
        return false;
    }
    k = static_cast<std::size_t>(value);
    return true;
}

PyObject* topk_f32(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"q_tokens", "q_offsets", "d_tokens", "d_offsets", "k"};
        PyObject* given[5];
        if (!bind("topk_f32", names, 5, args, nargs, kwnames, given)) return nullptr;
        maxsim::RaggedFloats q, d;
        if (!float_batch(given[0], given[1], "queries", "query offsets", q)) return nullptr;
        if (!float_batch(given[2], given[3], "documents", "document offsets", d)) return nullptr;
        std::size_t k = 0;
        if (!k_arg(given[4], k)) return nullptr;
        if (q.dim != d.dim) {
            PyErr_Format(PyExc_ValueError, "queries have %zu values per token but documents %zu", q.dim, d.dim);
            return nullptr;
        }
        const std::size_t documents = maxsim::item_count(d.offsets);
        return top_k_result(maxsim::item_count(q.offsets), maxsim::top_k_width(k, documents),
                            [&](std::span<std::int64_t> indices, std::span<float> scores) {
                                maxsim::max_sim_top_k_f32(q, d, k, indices, scores);
                            });
    });
}

PyObject* topk_codes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"q_codes", "q_meta",   "q_offsets", "d_codes", "d_meta",
                                            "d_offsets", "num_bits", "dim",       "k"};
        PyObject* given[9];
        if (!bind("topk_codes", names, 9, args, nargs, kwnames, given)) return nullptr;
        std::optional<quant::RotationalQuantizer> quantizer;
        if (!quantizer_arg(given[6], given[7], quantizer)) return nullptr;
        const std::size_t bytes = quant::code_bytes(*quantizer);
        maxsim::RaggedCodes q, d;
        if (!code_batch(given[0], given[1], given[2], "query", bytes, q)) return nullptr;
        if (!code_batch(given[3], given[4], given[5], "document", bytes, d)) return nullptr;
        std::size_t k = 0;
        if (!k_arg(given[8], k)) return nullptr;
        const std::size_t documents = maxsim::item_count(d.offsets);
        return top_k_result(maxsim::item_count(q.offsets), maxsim::top_k_width(k, documents),
                            [&](std::span<std::int64_t> indices, std::span<float> scores) {
                                maxsim::max_sim_top_k_quantized(*quantizer, q, d, k, indices, scores);
                            });
    });
}

PyObject* quantize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"tokens", "num_bits", "seed"};
        PyObject* given[3];
        if (!bind("quantize", names, 3, args, nargs, kwnames, given)) return nullptr;
        PyArrayObject* tokens = array_arg(given[0], "vectors", NPY_FLOAT32, 2);
        if (tokens == nullptr) return nullptr;
        Ref dim_obj(PyLong_FromSize_t(dim_of(tokens, 1)));
        if (!dim_obj) return nullptr;
        std::optional<quant::RotationalQuantizer> quantizer;
        if (!quantizer_arg(given[1], dim_obj.get(), quantizer)) return nullptr;
        std::uint64_t seed = 0;
        if (!py::to_u64(given[2], seed)) {
            py::wrap_argument_type_error("seed");
            return nullptr;
        }
        const std::size_t count = dim_of(tokens, 0);
        Ref codes(new_array(count, quant::code_bytes(*quantizer), NPY_UINT8, 1));
        if (!codes) return nullptr;
        Ref meta(new_array(count, 4, NPY_FLOAT32, 4));
        if (!meta) return nullptr;
        quant::encode(*quantizer, seed, static_cast<const float*>(PyArray_DATA(tokens)), count,
                      values<std::uint8_t>(codes.get()).data(), values<float>(meta.get()).data());
        return PyTuple_Pack(2, codes.get(), meta.get());
    });
}

PyObject* code_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"num_bits", "dim"};
        PyObject* given[2];
        if (!py::bind_fastcall("code_bytes", names, 2, 2, args, nargs, kwnames, given)) return nullptr;
        std::optional<quant::RotationalQuantizer> quantizer;
        if (!quantizer_arg(given[0], given[1], quantizer)) return nullptr;
        return PyLong_FromSize_t(quant::code_bytes(*quantizer));
    });
}

// shingle_similarity(texts, size, jaccard): the (n, n) float32 share of
// repeated text (text/shingles). Each str is read as UTF-8, lone surrogates
// passed through, so that any str has bytes. `seq` holds the strs (and so
// the ASCII ones' buffers, read in place) until the views are done with.
PyObject* shingle_similarity(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"texts", "size", "jaccard"};
        PyObject* given[3];
        if (!bind("shingle_similarity", names, 3, args, nargs, kwnames, given)) return nullptr;
        Ref seq(PySequence_Fast(given[0], "texts must be a sequence of str"));
        if (!seq) return nullptr;
        std::size_t size = 0;
        if (!size_arg(given[1], "size", size)) return nullptr;
        if (size < 1) {
            PyErr_SetString(PyExc_ValueError, "size must be at least 1, not 0");
            return nullptr;
        }
        if (!PyBool_Check(given[2])) {
            PyErr_Format(PyExc_TypeError, "jaccard must be a bool, not %s", py::type_name(given[2]));
            return nullptr;
        }
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        std::vector<Ref> encoded;
        std::vector<std::string_view> views;
        encoded.reserve(static_cast<std::size_t>(n));
        views.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
            if (!PyUnicode_Check(item)) {
                PyErr_Format(PyExc_TypeError, "texts[%zd] must be str, not %s", i, py::type_name(item));
                return nullptr;
            }
            if (PyUnicode_IS_COMPACT_ASCII(item)) {  // ASCII is its own UTF-8: read it in place
                views.emplace_back(static_cast<const char*>(PyUnicode_DATA(item)),
                                   static_cast<std::size_t>(PyUnicode_GET_LENGTH(item)));
                continue;
            }
            Ref bytes(PyUnicode_AsEncodedString(item, "utf-8", "surrogatepass"));
            if (!bytes) return nullptr;
            views.emplace_back(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
            encoded.push_back(std::move(bytes));
        }
        Ref out(new_array(views.size(), views.size(), NPY_FLOAT32, 4));
        if (!out) return nullptr;
        const text::Overlap measure = given[2] == Py_True ? text::Overlap::Jaccard : text::Overlap::Containment;
        text::shingle_similarity(views, size, measure, values<float>(out.get()));
        return out.release();
    });
}

PyObject* set_num_threads(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        long n = 0;
        if (!py::to_long(arg, n)) {
            py::wrap_argument_type_error("n");
            return nullptr;
        }
        if (n < 1 || n > 1024) {
            PyErr_Format(PyExc_ValueError, "n must be from 1 to 1024, not %ld", n);
            return nullptr;
        }
        if (!pool::set_process_pool_size(static_cast<std::size_t>(n))) {
            PyErr_SetString(PyExc_RuntimeError,
                            "set_num_threads: the worker pool is already running; call it before the first "
                            "solve or score (or set TORVANE_NUM_THREADS before starting the process)");
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyObject* pool_started(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* { return py::new_ref(pool::process_pool_started() ? Py_True : Py_False); });
}

PyObject* num_threads(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* { return PyLong_FromSize_t(pool::global_pool().thread_count()); });
}

template <class F>
PyCFunction fastcall(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef kFunctions[] = {
    {"maxsim_f32", fastcall(&maxsim_f32), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"maxsim_codes", fastcall(&maxsim_codes), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"topk_f32", fastcall(&topk_f32), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"topk_codes", fastcall(&topk_codes), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"quantize", fastcall(&quantize), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"code_bytes", fastcall(&code_bytes), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"solve_with_effort", fastcall(&solve_with_effort), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"shingle_similarity", fastcall(&shingle_similarity), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"set_num_threads", &set_num_threads, METH_O, nullptr},
    {"pool_started", &pool_started, METH_NOARGS, nullptr},
    {"num_threads", &num_threads, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "torvane._native", "The compiled part of the torvane package.", -1, kFunctions,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace torvane::native

PyMODINIT_FUNC PyInit__native(void) {
    return torvane::py::guarded([]() -> PyObject* {
        if (torvane::py::panic_exception_type() == nullptr) return nullptr;
        return PyModule_Create(&torvane::native::kModuleDef);
    });
}
