// Argument intake and result arrays of the MaxSim module functions. The
// arrays are read in place (any strides) while the interpreter lock is
// held, so nothing can change them during the call; the scoring itself runs
// on the worker pool, whose threads never touch interpreter objects.

#include "maxsim.hpp"

#include <cstdint>
#include <limits>
#include <span>

#include "convert.hpp"
#include "intake.hpp"
#include "numpy_api.hpp"
#include "quantization/maxsim/maxsim.hpp"
#include "quantization/rotational/rotational_quantizer.hpp"

namespace torvane::py {

namespace {

maxsim::ArrayView3 view_of(PyArrayObject* array) {
    maxsim::ArrayView3 view;
    view.data = reinterpret_cast<const std::byte*>(PyArray_BYTES(array));
    for (int k = 0; k < 3; ++k) {
        view.shape[k] = static_cast<std::size_t>(PyArray_DIM(array, k));
        view.strides[k] = static_cast<std::ptrdiff_t>(PyArray_STRIDE(array, k));
    }
    return view;
}

bool read_size(PyObject* obj, const char* name, std::size_t& out) {
    if (to_size(obj, out)) return true;
    wrap_argument_type_error(name);
    return false;
}

// A new one-dimensional float32 array of rows * cols values, filled by
// `fill` and returned reshaped to (rows, cols): a view whose base is the
// one-dimensional array.
template <class Fill>
PyObject* score_matrix(std::size_t rows, std::size_t cols, Fill&& fill) {
    // Refused before anything is allocated when rows x cols values, or their
    // bytes, do not fit the machine word: never wrapped.
    std::size_t count = 0;
    if (__builtin_mul_overflow(rows, cols, &count) ||
        count > static_cast<std::size_t>(std::numeric_limits<npy_intp>::max()) / sizeof(float)) {
        PyErr_Format(PyExc_MemoryError, "a score matrix of %zu x %zu values does not fit in memory", rows, cols);
        return nullptr;
    }
    npy_intp flat_shape[1] = {static_cast<npy_intp>(count)};
    Ref flat(PyArray_SimpleNew(1, flat_shape, NPY_FLOAT32));
    if (!flat) return nullptr;
    PyArrayObject* flat_array = reinterpret_cast<PyArrayObject*>(flat.get());
    fill(std::span<float>(static_cast<float*>(PyArray_DATA(flat_array)), count));
    npy_intp shape[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    PyArray_Dims dims = {shape, 2};
    return PyArray_Newshape(flat_array, &dims, NPY_CORDER);
}

}  // namespace

PyObject* compute_max_sim_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"q_codes", "q_meta", "d_codes", "d_meta", "num_bits", "dim"};
        static const ArrayKind kinds[] = {ArrayKind::U8_3, ArrayKind::F3, ArrayKind::U8_3, ArrayKind::F3};
        PyObject* given[6];
        if (!bind_fastcall("compute_max_sim_batch", names, 6, 6, args, nargs, kwnames, given)) return nullptr;
        if (!ensure_numpy_api()) return nullptr;
        PyArrayObject* arrays[4];
        for (std::size_t i = 0; i < 4; ++i) {
            if (!extract_array(given[i], names[i], kinds[i], arrays[i])) return nullptr;
        }
        std::size_t num_bits = 0;
        std::size_t dim = 0;
        if (!read_size(given[4], names[4], num_bits)) return nullptr;
        if (!read_size(given[5], names[5], dim)) return nullptr;

        // Refuses an unsupported width or dimension before anything is read.
        const quant::RotationalQuantizer quantizer(dim, num_bits);
        const maxsim::ArrayView3 q_codes = view_of(arrays[0]);
        const maxsim::ArrayView3 q_meta = view_of(arrays[1]);
        const maxsim::ArrayView3 d_codes = view_of(arrays[2]);
        const maxsim::ArrayView3 d_meta = view_of(arrays[3]);
        return score_matrix(q_codes.shape[0], d_codes.shape[0], [&](std::span<float> out) {
            maxsim::max_sim_quantized(quantizer, q_codes, q_meta, d_codes, d_meta, out);
        });
    });
}

PyObject* compute_max_sim_batch_f32(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"q_vecs", "d_vecs"};
        PyObject* given[2];
        if (!bind_fastcall("compute_max_sim_batch_f32", names, 2, 2, args, nargs, kwnames, given)) return nullptr;
        if (!ensure_numpy_api()) return nullptr;
        PyArrayObject* arrays[2];
        for (std::size_t i = 0; i < 2; ++i) {
            if (!extract_array(given[i], names[i], ArrayKind::F3, arrays[i])) return nullptr;
        }
        const maxsim::ArrayView3 q = view_of(arrays[0]);
        const maxsim::ArrayView3 d = view_of(arrays[1]);
        if (q.shape[2] != d.shape[2]) {
            PyErr_SetString(PyExc_ValueError, "Dimension mismatch");
            return nullptr;
        }
        return score_matrix(q.shape[0], d.shape[0], [&](std::span<float> out) { maxsim::max_sim_f32(q, d, out); });
    });
}

}  // namespace torvane::py
