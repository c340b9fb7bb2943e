#include "intake.hpp"

#include <cstring>

#include "common/numeric.hpp"
#include "common/roles.hpp"
#include "convert.hpp"

namespace torvane::py {

namespace {

// Interned dictionary keys, made once.
struct ChunkKeys {
    PyObject* chunk_id;
    PyObject* content;
    PyObject* embedding;
    PyObject* token_count;
    PyObject* fact_density;
    PyObject* centrality_score;
    PyObject* recency_score;
    PyObject* auxiliary_score;
    PyObject* rhetorical_role;
    PyObject* cluster_id;
};

const ChunkKeys* chunk_keys() {
    static ChunkKeys keys{};
    static bool ready = false;
    if (ready) return &keys;
    PyObject** slots[] = {&keys.chunk_id,       &keys.content,       &keys.embedding,       &keys.token_count,
                          &keys.fact_density,   &keys.centrality_score, &keys.recency_score, &keys.auxiliary_score,
                          &keys.rhetorical_role, &keys.cluster_id};
    const char* names[] = {"chunk_id",         "content",       "embedding",       "token_count",
                           "fact_density",     "centrality_score", "recency_score", "auxiliary_score",
                           "rhetorical_role",  "cluster_id"};
    for (std::size_t i = 0; i < std::size(slots); ++i) {
        if (*slots[i] == nullptr) {
            *slots[i] = PyUnicode_InternFromString(names[i]);
            if (*slots[i] == nullptr) return nullptr;
        }
    }
    ready = true;
    return &keys;
}

// Plain item lookup in the dict itself (no __missing__, no overridden
// __getitem__). Returns a strong reference, or an empty Ref when the key is
// absent; `failed` tells an error apart from absence.
Ref lookup(PyObject* dict, PyObject* key, bool& failed) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    failed = value == nullptr && PyErr_Occurred() != nullptr;
    // A strong reference: converting the value may run Python code that
    // mutates the dictionary.
    return value != nullptr ? Ref(new_ref(value)) : Ref();
}

bool refuse_type(PyObject* obj, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type_name(obj), target);
    return false;
}

bool read_string(PyObject* value, std::string& out) {
    if (!PyUnicode_Check(value)) return refuse_type(value, "PyString");
    return to_utf8(value, out);
}

// Embedding values: any sequence but str, items through float conversion.
bool read_embedding(PyObject* value, std::vector<float>& out) {
    if (PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(value)) return refuse_type(value, "Sequence");

    // One-dimensional float arrays are read directly; element by element
    // float conversion would give the same values, only slower.
    if (PyArray_CheckExact(value)) {
        PyArrayObject* array = reinterpret_cast<PyArrayObject*>(value);
        const int type = PyArray_TYPE(array);
        if (PyArray_NDIM(array) == 1 && PyArray_ISNOTSWAPPED(array) &&
            (type == NPY_FLOAT || type == NPY_DOUBLE)) {
            const npy_intp count = PyArray_DIM(array, 0);
            const npy_intp stride = PyArray_STRIDE(array, 0);
            const char* data = static_cast<const char*>(PyArray_DATA(array));
            out.resize(static_cast<std::size_t>(count));
            for (npy_intp k = 0; k < count; ++k) {
                if (type == NPY_FLOAT) {
                    std::memcpy(&out[static_cast<std::size_t>(k)], data + k * stride, sizeof(float));
                } else {
                    double v;
                    std::memcpy(&v, data + k * stride, sizeof(double));
                    out[static_cast<std::size_t>(k)] = narrow_to_f32(v);
                }
            }
            return true;
        }
    }

    // A tuple of the items, never the caller's list itself: an item's
    // __float__ may change the list while it is read, and the tuple keeps
    // every item alive and in place until the last one is converted.
    Ref items(PySequence_Tuple(value));
    if (!items) return false;
    const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
    std::vector<float> values(static_cast<std::size_t>(count));
    for (Py_ssize_t k = 0; k < count; ++k) {
        if (!to_f32(PyTuple_GET_ITEM(items.get(), k), values[static_cast<std::size_t>(k)])) return false;
    }
    out = std::move(values);
    return true;
}

}  // namespace

bool read_chunk(PyObject* item, std::size_t index, ChunkRecord& out) {
    if (!PyDict_Check(item)) return refuse_type(item, "PyDict");
    const ChunkKeys* keys = chunk_keys();
    if (keys == nullptr) return false;
    bool failed = false;

    ChunkRecord chunk;
    Ref value = lookup(item, keys->chunk_id, failed);
    if (failed) return false;
    if (value) {
        if (!read_string(value.get(), chunk.chunk_id)) return false;
    } else {
        chunk.chunk_id = default_chunk_id(index);
    }

    // The content is type-checked but not used by the solve.
    value = lookup(item, keys->content, failed);
    if (failed) return false;
    if (value && !PyUnicode_Check(value.get())) return refuse_type(value.get(), "PyString");

    value = lookup(item, keys->embedding, failed);
    if (failed) return false;
    if (!value) {
        PyErr_SetString(PyExc_ValueError, "Missing embedding");
        return false;
    }
    if (!read_embedding(value.get(), chunk.embedding)) return false;

    value = lookup(item, keys->token_count, failed);
    if (failed) return false;
    if (value && !to_size(value.get(), chunk.token_count)) return false;

    struct ScoreKey {
        PyObject* key;
        float* target;
    };
    const ScoreKey scores[] = {{keys->fact_density, &chunk.fact_density},
                               {keys->centrality_score, &chunk.centrality_score},
                               {keys->recency_score, &chunk.recency_score},
                               {keys->auxiliary_score, &chunk.auxiliary_score}};
    for (const ScoreKey& score : scores) {
        value = lookup(item, score.key, failed);
        if (failed) return false;
        if (value && !to_f32(value.get(), *score.target)) return false;
    }

    value = lookup(item, keys->rhetorical_role, failed);
    if (failed) return false;
    if (value) {
        std::string role_text;
        if (!read_string(value.get(), role_text)) return false;
        chunk.role = parse_role(role_text);
    }

    value = lookup(item, keys->cluster_id, failed);
    if (failed) return false;
    if (value) {
        long cluster = 0;
        if (!to_long(value.get(), cluster)) return false;
        if (cluster >= 0) chunk.cluster_id = static_cast<std::size_t>(cluster);
    }

    out = std::move(chunk);
    return true;
}

bool extract_array(PyObject* obj, const char* name, ArrayKind kind, PyArrayObject*& out) {
    int type = NPY_FLOAT;
    int ndim = 1;
    switch (kind) {
        case ArrayKind::F1: break;
        case ArrayKind::F2: ndim = 2; break;
        case ArrayKind::U8: type = NPY_UBYTE; break;
        case ArrayKind::L1: type = NPY_INT64; break;
        case ArrayKind::UL1: type = NPY_UINT64; break;
        case ArrayKind::F3: ndim = 3; break;
        case ArrayKind::U8_3: type = NPY_UBYTE; ndim = 3; break;
    }
    bool accepted = false;
    if (PyArray_Check(obj) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)) == ndim) {
        PyArray_Descr* wanted = PyArray_DescrFromType(type);
        if (wanted == nullptr) return false;
        accepted = PyArray_EquivTypes(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(obj)), wanted);
        Py_DECREF(wanted);
    }
    if (!accepted) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'PyArray<T, D>'", name,
                     type_name(obj));
        return false;
    }
    out = reinterpret_cast<PyArrayObject*>(obj);
    return true;
}

bool require_contiguous(PyArrayObject* array) {
    if (PyArray_IS_C_CONTIGUOUS(array) || PyArray_IS_F_CONTIGUOUS(array)) return true;
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
    return false;
}

std::vector<float> copy_logical_f32(PyArrayObject* array) {
    if (PyArray_IS_C_CONTIGUOUS(array)) return copy_contiguous<float>(array);
    const int ndim = PyArray_NDIM(array);
    const npy_intp rows = ndim == 2 ? PyArray_DIM(array, 0) : 1;
    const npy_intp cols = ndim == 2 ? PyArray_DIM(array, 1) : PyArray_DIM(array, 0);
    const npy_intp row_stride = ndim == 2 ? PyArray_STRIDE(array, 0) : 0;
    const npy_intp col_stride = ndim == 2 ? PyArray_STRIDE(array, 1) : PyArray_STRIDE(array, 0);
    const char* base = static_cast<const char*>(PyArray_DATA(array));
    std::vector<float> out = sized_for_copy<float>(static_cast<std::size_t>(rows * cols));
    std::size_t k = 0;
    for (npy_intp r = 0; r < rows; ++r) {
        const char* row = base + r * row_stride;
        for (npy_intp c = 0; c < cols; ++c) std::memcpy(&out[k++], row + c * col_stride, sizeof(float));
    }
    return out;
}

}  // namespace torvane::py
