#pragma once
// Intake of solve inputs: chunk dictionaries and NumPy arrays.

#include <cstddef>
#include <cstring>
#include <vector>

#include "common/page_advice.hpp"
#include "numpy_api.hpp"
#include "solver/search/assembly.hpp"

namespace torvane::py {

// Reads one chunk dictionary (list position `index`) into `out`; false with
// a Python exception set when the element is refused.
bool read_chunk(PyObject* item, std::size_t index, ChunkRecord& out);

enum class ArrayKind { F1, F2, U8, L1, UL1, F3, U8_3 };

// Checks that `obj` is an ndarray of the kind; on refusal raises
// TypeError("argument '<name>': '<type>' object cannot be converted to
// 'PyArray<T, D>'"). `out` is a borrowed view of `obj`.
bool extract_array(PyObject* obj, const char* name, ArrayKind kind, PyArrayObject*& out);

// TypeError "The given array is not contiguous" unless the array is
// contiguous in row-major or column-major order.
bool require_contiguous(PyArrayObject* array);

// Copies of array contents. `copy_contiguous` reads a contiguous array in
// memory order; `copy_logical` reads any array in row-major logical order,
// whatever its strides.
// Unaligned arrays are accepted, so the buffer is copied as bytes: no typed
// pointer into it is formed.
//
// A vector of `count` values whose storage is asked for before it is first
// written, so that a large one (an n x n matrix) is advised onto large pages
// and faults in a few hundred times rather than once per 4 KiB.
template <typename T>
std::vector<T> sized_for_copy(std::size_t count) {
    std::vector<T> out;
    out.reserve(count);
    advise_large_pages(out.data(), count * sizeof(T));
    out.resize(count);
    return out;
}

template <typename T>
std::vector<T> copy_contiguous(PyArrayObject* array) {
    const std::size_t count = static_cast<std::size_t>(PyArray_SIZE(array));
    std::vector<T> out = sized_for_copy<T>(count);
    if (count > 0) std::memcpy(out.data(), PyArray_DATA(array), count * sizeof(T));
    return out;
}
std::vector<float> copy_logical_f32(PyArrayObject* array);

}  // namespace torvane::py
