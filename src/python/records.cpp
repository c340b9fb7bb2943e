#include "records.hpp"

#include <bit>
#include <limits>
#include <new>
#include <string>
#include <type_traits>

#include "common/format.hpp"
#include "common/roles.hpp"
#include "convert.hpp"

namespace torvane::py {

namespace {

// ---- Field conversion, chosen by the C++ type of the field ----------------

bool convert(PyObject* obj, float& out) { return to_f32(obj, out); }
bool convert(PyObject* obj, bool& out) { return to_bool(obj, out); }
bool convert(PyObject* obj, std::optional<std::uint64_t>& out) { return to_optional_u64(obj, out); }

template <typename T>
    requires(std::is_unsigned_v<T> && !std::is_same_v<T, bool>)
bool convert(PyObject* obj, T& out) {
    std::uint64_t value;
    if (!to_u64(obj, value)) return false;
    if (value > std::numeric_limits<T>::max()) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<T>(value);
    return true;
}

PyObject* to_python(float value) { return PyFloat_FromDouble(static_cast<double>(value)); }
PyObject* to_python(double value) { return PyFloat_FromDouble(value); }
PyObject* to_python(bool value) { return new_ref(value ? Py_True : Py_False); }
PyObject* to_python(const std::optional<std::uint64_t>& value) {
    if (!value) return new_ref(Py_None);
    return PyLong_FromUnsignedLongLong(*value);
}
template <typename T>
    requires(std::is_unsigned_v<T> && !std::is_same_v<T, bool>)
PyObject* to_python(T value) {
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value));
}
PyObject* to_python(const std::vector<std::size_t>& values) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyLong_FromSize_t(values[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}
PyObject* to_python(const std::vector<std::string>& values) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyUnicode_DecodeUTF8(values[i].data(), static_cast<Py_ssize_t>(values[i].size()),
                                              "surrogatepass");
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// ---- Generic attribute access ----------------------------------------------

template <typename Obj>
auto& values_of(PyObject* self) {
    return reinterpret_cast<Obj*>(self)->values;
}

template <typename Obj, auto Member>
PyObject* get_value(PyObject* self, void*) {
    return guarded([&] { return to_python(values_of<Obj>(self).*Member); });
}

// Assignment converts into a temporary first, so a refused value leaves
// the record unchanged. The closure carries the field name.
template <typename Obj, auto Member>
int set_value(PyObject* self, PyObject* value, void* closure) {
    return guarded_int([&] {
        if (value == nullptr) {
            PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
            return -1;
        }
        auto& field = values_of<Obj>(self).*Member;
        std::remove_reference_t<decltype(field)> converted{};
        if (!convert(value, converted)) {
            wrap_argument_type_error(static_cast<const char*>(closure));
            return -1;
        }
        field = converted;
        return 0;
    });
}

template <typename Values, auto Member>
bool assign_param(Values& values, PyObject* obj) {
    return convert(obj, values.*Member);
}

template <typename Values>
struct Param {
    const char* name;
    bool (*assign)(Values&, PyObject*);
};

template <typename Obj>
void dealloc_record(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    using Values = std::remove_reference_t<decltype(values_of<Obj>(self))>;
    values_of<Obj>(self).~Values();
    type->tp_free(self);
    Py_DECREF(type);
}

// Builds a record from constructor arguments: bind, then convert in
// parameter order, stopping at the first refusal. Nothing is allocated
// before every value has been accepted.
template <typename Obj, typename Values, std::size_t N>
PyObject* new_record(PyTypeObject* type, PyObject* args, PyObject* kwargs, const char* class_name,
                     const Param<Values> (&params)[N]) {
    return guarded([&]() -> PyObject* {
        const char* names[N];
        for (std::size_t i = 0; i < N; ++i) names[i] = params[i].name;
        PyObject* given[N];
        if (!bind_arguments(class_name, names, N, args, kwargs, given)) return nullptr;
        Values values;
        for (std::size_t i = 0; i < N; ++i) {
            if (given[i] != nullptr && !params[i].assign(values, given[i])) {
                wrap_argument_type_error(params[i].name);
                return nullptr;
            }
        }
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        new (&reinterpret_cast<Obj*>(self)->values) Values(std::move(values));
        return self;
    });
}

// ---- Pickling --------------------------------------------------------------
// A record pickles as a call that rebuilds it. SolverConstraints, which holds
// no floats, is its constructor with every field given positionally.
// SolverConfig and SolverOutput are their class method _from_state with one
// tuple of fields in field order, floats given as the integer of their IEEE
// bits: pickle's protocol 0 writes a float as text, which keeps neither the
// sign nor the payload of a NaN. Rebuilding converts and checks every value
// before anything is made, so a tampered pickle is refused with TypeError,
// ValueError or OverflowError.

// Appends the value of every field in `fields` (read through its getter).
bool append_fields(PyObject* self, const PyGetSetDef* fields, PyObject* list) {
    for (const PyGetSetDef* field = fields; field->name != nullptr; ++field) {
        Ref value(field->get(self, nullptr));
        if (!value || PyList_Append(list, value.get()) < 0) return false;
    }
    return true;
}

// (callable, tuple(items)): the form __reduce__ returns.
PyObject* reduce_value(PyObject* callable, PyObject* items) {
    Ref args(PyList_AsTuple(items));
    if (!args) return nullptr;
    return PyTuple_Pack(2, callable, args.get());
}

// (cls._from_state, (tuple(items),)).
PyObject* reduce_to_state(PyObject* self, PyObject* items) {
    Ref state(PyList_AsTuple(items));
    if (!state) return nullptr;
    Ref rebuild(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_from_state"));
    if (!rebuild) return nullptr;
    return Py_BuildValue("(O(O))", rebuild.get(), state.get());
}

// A field's value in a pickled state.
PyObject* state_value(float value) { return PyLong_FromUnsignedLong(std::bit_cast<std::uint32_t>(value)); }
PyObject* state_value(double value) { return PyLong_FromUnsignedLongLong(std::bit_cast<std::uint64_t>(value)); }
template <typename T>
PyObject* state_value(const T& value) {
    return to_python(value);
}

bool append_state(PyObject* list, PyObject* value) {
    Ref owned(value);
    return owned && PyList_Append(list, owned.get()) == 0;
}

// A field read back from a pickled state, with the type the field has.
bool require_list(PyObject* obj) {
    if (PyList_Check(obj)) return true;
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyList'", type_name(obj));
    return false;
}
bool read_state(PyObject* obj, float& out) {
    std::uint64_t bits;
    if (!to_u64(obj, bits)) return false;
    if (bits > std::numeric_limits<std::uint32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "the bits of a single-precision float exceed 32 bits");
        return false;
    }
    out = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
    return true;
}
bool read_state(PyObject* obj, double& out) {
    std::uint64_t bits;
    if (!to_u64(obj, bits)) return false;
    out = std::bit_cast<double>(bits);
    return true;
}
bool read_state(PyObject* obj, std::vector<std::string>& out) { return require_list(obj) && to_text_list(obj, out); }
bool read_state(PyObject* obj, std::vector<std::size_t>& out) {
    if (!require_list(obj)) return false;
    std::vector<std::size_t> values;
    // Converting an item may run Python code, so the length is read afresh.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
        Ref item(new_ref(PyList_GET_ITEM(obj, i)));
        std::size_t value;
        if (!convert(item.get(), value)) return false;
        values.push_back(value);
    }
    out = std::move(values);
    return true;
}
template <typename T>
bool read_state(PyObject* obj, T& out) {
    return convert(obj, out);  // integers, optional integers and bools as a setter reads them
}

// The state tuple of `class_name`, checked for type and length.
bool check_state(PyObject* state, const char* class_name, Py_ssize_t count) {
    if (!PyTuple_Check(state)) {
        PyErr_Format(PyExc_TypeError, "%s state must be a tuple, not '%s'", class_name, type_name(state));
        return false;
    }
    if (PyTuple_GET_SIZE(state) != count) {
        PyErr_Format(PyExc_ValueError, "%s state must hold %zd values, not %zd", class_name, count,
                     PyTuple_GET_SIZE(state));
        return false;
    }
    return true;
}

PyObject* make_type(PyType_Spec* type_spec) { return PyType_FromSpec(type_spec); }

#ifdef Py_TPFLAGS_IMMUTABLETYPE
constexpr unsigned kRecordFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned kRecordFlags = Py_TPFLAGS_DEFAULT;
#endif

// ---- SolverConfig ------------------------------------------------------------

// The record's fields are the solver's option table (solver/model/settings.hpp)
// in its order. A field named like a Python keyword takes a trailing
// underscore in Python, as `lambda` becomes `lambda_`.
constexpr bool same_text(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

constexpr bool is_python_keyword(const char* name) {
    constexpr const char* kKeywords[] = {
        "False", "None",     "True",    "and",    "as",   "assert", "async",  "await",    "break",
        "class", "continue", "def",     "del",    "elif", "else",   "except", "finally",  "for",
        "from",  "global",   "if",      "import", "in",   "is",     "lambda", "nonlocal", "not",
        "or",    "pass",     "raise",   "return", "try",  "while",  "with",   "yield"};
    for (const char* keyword : kKeywords) {
        if (same_text(name, keyword)) return true;
    }
    return false;
}

#define TORVANE_PY_NAME(member) (is_python_keyword(#member) ? #member "_" : #member)

#define TORVANE_PARAM(type, member, default_value) \
    {TORVANE_PY_NAME(member), &assign_param<ConfigValues, &ConfigValues::member>},
const Param<ConfigValues> kConfigParams[] = {TORVANE_SOLVER_OPTIONS(TORVANE_PARAM)};
#undef TORVANE_PARAM

#define TORVANE_GETSET(type, member, default_value)                                                    \
    {TORVANE_PY_NAME(member), &get_value<ConfigObject, &ConfigValues::member>,                         \
     &set_value<ConfigObject, &ConfigValues::member>, nullptr, const_cast<char*>(TORVANE_PY_NAME(member))},
PyGetSetDef kConfigGetSet[] = {TORVANE_SOLVER_OPTIONS(TORVANE_GETSET){nullptr, nullptr, nullptr, nullptr, nullptr}};
#undef TORVANE_GETSET

// A default as Python writes it in a signature (integral floats keep ".0").
std::string python_literal(float value) {
    std::string text = format_f32_shortest(value);
    if (text.find_first_not_of("-0123456789") == std::string::npos) text += ".0";
    return text;
}
std::string python_literal(bool value) { return value ? "True" : "False"; }
std::string python_literal(const std::optional<std::uint64_t>& value) {
    return value ? std::to_string(*value) : "None";
}
template <typename T>
    requires(std::is_unsigned_v<T> && !std::is_same_v<T, bool>)
std::string python_literal(T value) {
    return std::to_string(value);
}

// The class docstring: the signature, with every default read from a
// default-made record, then the one-line description.
const char* config_doc() {
    static const std::string doc = [] {
        const ConfigValues defaults;
        std::string text = "SolverConfig(";
        const char* separator = "";
#define TORVANE_DOC_PARAM(type, member, default_value)                                                    \
    text += separator;                                                                                    \
    text += TORVANE_PY_NAME(member);                                                                      \
    text += '=';                                                                                          \
    text += python_literal(defaults.member);                                                              \
    separator = ", ";
        TORVANE_SOLVER_OPTIONS(TORVANE_DOC_PARAM)
#undef TORVANE_DOC_PARAM
        text += ")\n--\n\nPython-exposed solver configuration";
        return text;
    }();
    return doc.c_str();
}

PyObject* config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return new_record<ConfigObject>(type, args, kwargs, "SolverConfig", kConfigParams);
}

PyObject* config_repr(PyObject* self) {
    return guarded([&] {
        const ConfigValues& v = values_of<ConfigObject>(self);
        const std::string text = "SolverConfig(alpha=" + format_f32_shortest(v.alpha) +
                                 ", beta=" + format_f32_shortest(v.beta) + ", gamma=" + format_f32_shortest(v.gamma) +
                                 ", delta=" + format_f32_shortest(v.delta) +
                                 ", epsilon=" + format_f32_shortest(v.epsilon) + ", mu=" + format_f32_shortest(v.mu) +
                                 ", lambda_=" + format_f32_shortest(v.lambda) +
                                 ", iterations=" + std::to_string(v.iterations) + ", use_gpu=" + format_bool(v.use_gpu) +
                                 ")";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

#define TORVANE_COUNT(type, member, default_value) +1
constexpr Py_ssize_t kConfigFieldCount = 0 TORVANE_SOLVER_OPTIONS(TORVANE_COUNT);
#undef TORVANE_COUNT

PyObject* config_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const ConfigValues& v = values_of<ConfigObject>(self);
        Ref items(PyList_New(0));
        if (!items) return nullptr;
#define TORVANE_STATE(type, member, default_value) \
    if (!append_state(items.get(), state_value(v.member))) return nullptr;
        TORVANE_SOLVER_OPTIONS(TORVANE_STATE)
#undef TORVANE_STATE
        return reduce_to_state(self, items.get());
    });
}

PyObject* config_from_state(PyObject*, PyObject* state) {
    return guarded([&]() -> PyObject* {
        if (!check_state(state, "SolverConfig", kConfigFieldCount)) return nullptr;
        ConfigValues values;
        Py_ssize_t position = 0;
#define TORVANE_READ(type, member, default_value)                          \
    if (!read_state(PyTuple_GET_ITEM(state, position++), values.member)) { \
        wrap_argument_type_error(TORVANE_PY_NAME(member));                 \
        return nullptr;                                                    \
    }
        TORVANE_SOLVER_OPTIONS(TORVANE_READ)
#undef TORVANE_READ
        return make_solver_config(values);
    });
}

PyMethodDef kConfigMethods[] = {
    {"__reduce__", &config_reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\nThe record as a call of SolverConfig._from_state, for pickle and copy."},
    {"_from_state", &config_from_state, METH_O | METH_CLASS,
     "_from_state($cls, state, /)\n--\n\nRebuilds a configuration from the tuple of its fields that __reduce__ "
     "gives."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kConfigSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&config_new)},
    {Py_tp_methods, kConfigMethods},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_record<ConfigObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(&config_repr)},
    {Py_tp_getset, kConfigGetSet},
    {Py_tp_doc, nullptr},  // config_doc(), set when the type is made
    {0, nullptr},
};

PyType_Spec kConfigSpec = {"torvane_solver.SolverConfig", sizeof(ConfigObject), 0, kRecordFlags, kConfigSlots};

// ---- SolverConstraints -------------------------------------------------------

#define TORVANE_CONSTRAINT_NUMBERS(X) \
    X(max_tokens)                     \
    X(min_tokens)                     \
    X(min_chunks)                     \
    X(max_chunks)                     \
    X(max_per_cluster)

#define TORVANE_PARAM(member) {#member, &assign_param<ConstraintValues, &ConstraintValues::member>},
const Param<ConstraintValues> kConstraintParams[] = {
    TORVANE_CONSTRAINT_NUMBERS(TORVANE_PARAM)
    {"must_include_roles", [](ConstraintValues& v, PyObject* o) { return to_text_list(o, v.must_include_roles); }},
    {"excluded_chunks", [](ConstraintValues& v, PyObject* o) { return to_text_list(o, v.excluded_chunks); }},
    {"required_chunks", [](ConstraintValues& v, PyObject* o) { return to_text_list(o, v.required_chunks); }},
};
#undef TORVANE_PARAM

#define TORVANE_GETSET(member)                                                                                \
    {#member, &get_value<ConstraintsObject, &ConstraintValues::member>,                                       \
     &set_value<ConstraintsObject, &ConstraintValues::member>, nullptr, const_cast<char*>(#member)},
PyGetSetDef kConstraintGetSet[] = {
    TORVANE_CONSTRAINT_NUMBERS(TORVANE_GETSET){nullptr, nullptr, nullptr, nullptr, nullptr}};
#undef TORVANE_GETSET

PyObject* constraints_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return new_record<ConstraintsObject>(type, args, kwargs, "SolverConstraints", kConstraintParams);
}

PyObject* constraints_repr(PyObject* self) {
    return guarded([&] {
        const ConstraintValues& v = values_of<ConstraintsObject>(self);
        const std::string text = "SolverConstraints(max_tokens=" + std::to_string(v.max_tokens) +
                                 ", max_chunks=" + std::to_string(v.max_chunks) +
                                 ", max_per_cluster=" + std::to_string(v.max_per_cluster) + ")";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyObject* constraints_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const ConstraintValues& v = values_of<ConstraintsObject>(self);
        Ref items(PyList_New(0));
        if (!items || !append_fields(self, kConstraintGetSet, items.get())) return nullptr;
        for (const std::vector<std::string>* list : {&v.must_include_roles, &v.excluded_chunks, &v.required_chunks}) {
            Ref value(to_python(*list));
            if (!value || PyList_Append(items.get(), value.get()) < 0) return nullptr;
        }
        return reduce_value(reinterpret_cast<PyObject*>(Py_TYPE(self)), items.get());
    });
}

PyMethodDef kConstraintMethods[] = {
    {"__reduce__", &constraints_reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\nThe record as a constructor call with every field, for pickle and copy."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kConstraintSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&constraints_new)},
    {Py_tp_methods, kConstraintMethods},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_record<ConstraintsObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(&constraints_repr)},
    {Py_tp_getset, kConstraintGetSet},
    {Py_tp_doc, const_cast<char*>("SolverConstraints(max_tokens=8192, min_tokens=0, min_chunks=1, max_chunks=50, "
                                  "max_per_cluster=3, must_include_roles=None, excluded_chunks=None, "
                                  "required_chunks=None)\n--\n\n"
                                  "Python-exposed solver constraints")},
    {0, nullptr},
};

PyType_Spec kConstraintSpec = {"torvane_solver.SolverConstraints", sizeof(ConstraintsObject), 0, kRecordFlags,
                               kConstraintSlots};

// ---- SolverOutput --------------------------------------------------------------

// Fields in dictionary order; getters read the solve result in place.
#define TORVANE_OUTPUT_FIELDS(X)                         \
    X(selected_indices, selected_indices)                \
    X(objective_score, breakdown.objective_score)        \
    X(relevance_total, breakdown.relevance_total)        \
    X(density_total, breakdown.density_total)            \
    X(centrality_total, breakdown.centrality_total)      \
    X(recency_total, breakdown.recency_total)            \
    X(auxiliary_total, breakdown.auxiliary_total)        \
    X(fulfilment_total, breakdown.fulfilment_total)      \
    X(redundancy_penalty, breakdown.redundancy_penalty)  \
    X(total_tokens, total_tokens)                        \
    X(num_selected, num_selected)                        \
    X(iterations_run, iterations_run)                    \
    X(best_iteration, best_iteration)                    \
    X(constraints_satisfied, constraints_satisfied)      \
    X(constraint_violations, constraint_violations)      \
    X(solve_time_ms, solve_time_ms)                      \
    X(exact_window_used, exact_window_used)              \
    X(exact_window_core_size, exact_window_core_size)    \
    X(exact_window_nodes, exact_window_nodes)            \
    X(exact_window_exhaustive, exact_window_exhaustive)  \
    X(exact_window_gap, exact_window_gap)                \
    X(exact_window_fixed_in, exact_window_fixed_in)      \
    X(exact_window_fixed_out, exact_window_fixed_out)

#define TORVANE_GETTER(py_name, path)                                                     \
    PyObject* get_##py_name(PyObject* self, void*) {                                     \
        return guarded([&] { return to_python(reinterpret_cast<OutputObject*>(self)->result.path); }); \
    }
TORVANE_OUTPUT_FIELDS(TORVANE_GETTER)
#undef TORVANE_GETTER

#define TORVANE_GETSET(py_name, path) {#py_name, &get_##py_name, nullptr, nullptr, nullptr},
PyGetSetDef kOutputGetSet[] = {TORVANE_OUTPUT_FIELDS(TORVANE_GETSET){nullptr, nullptr, nullptr, nullptr, nullptr}};
#undef TORVANE_GETSET

PyObject* output_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for SolverOutput");
    return nullptr;
}

void output_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<OutputObject*>(self)->result.~SolveResult();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* output_repr(PyObject* self) {
    return guarded([&] {
        const SolveResult& r = reinterpret_cast<OutputObject*>(self)->result;
        const std::string text = "SolverOutput(selected=" + std::to_string(r.num_selected) +
                                 ", score=" + format_f64_fixed(r.breakdown.objective_score, 4) +
                                 ", tokens=" + std::to_string(r.total_tokens) +
                                 ", time=" + format_f64_fixed(r.solve_time_ms, 2) + "ms)";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyObject* output_to_dict(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        Ref dict(PyDict_New());
        if (!dict) return nullptr;
        for (const PyGetSetDef* field = kOutputGetSet; field->name != nullptr; ++field) {
            Ref value(field->get(self, nullptr));
            if (!value || PyDict_SetItemString(dict.get(), field->name, value.get()) < 0) return nullptr;
        }
        return dict.release();
    });
}

#define TORVANE_COUNT(py_name, path) +1
constexpr Py_ssize_t kOutputFieldCount = 0 TORVANE_OUTPUT_FIELDS(TORVANE_COUNT);
#undef TORVANE_COUNT

PyObject* output_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const SolveResult& r = reinterpret_cast<OutputObject*>(self)->result;
        Ref items(PyList_New(0));
        if (!items) return nullptr;
#define TORVANE_STATE(py_name, path) \
    if (!append_state(items.get(), state_value(r.path))) return nullptr;
        TORVANE_OUTPUT_FIELDS(TORVANE_STATE)
#undef TORVANE_STATE
        return reduce_to_state(self, items.get());
    });
}

// Rebuilds an output from the tuple output_reduce made: its fields in
// dictionary order. The selection must read as an output does: ascending
// distinct indices, as many as num_selected says.
PyObject* output_from_state(PyObject*, PyObject* state) {
    return guarded([&]() -> PyObject* {
        if (!check_state(state, "SolverOutput", kOutputFieldCount)) return nullptr;
        SolveResult result;
        Py_ssize_t position = 0;
#define TORVANE_READ(py_name, path)                                                   \
    if (!read_state(PyTuple_GET_ITEM(state, position++), result.path)) {              \
        wrap_argument_type_error(#py_name);                                           \
        return nullptr;                                                               \
    }
        TORVANE_OUTPUT_FIELDS(TORVANE_READ)
#undef TORVANE_READ
        const std::vector<std::size_t>& indices = result.selected_indices;
        for (std::size_t i = 1; i < indices.size(); ++i) {
            if (indices[i - 1] >= indices[i]) {
                PyErr_SetString(PyExc_ValueError, "SolverOutput state: selected_indices must be strictly ascending");
                return nullptr;
            }
        }
        if (result.num_selected != indices.size()) {
            PyErr_Format(PyExc_ValueError, "SolverOutput state: num_selected is %zu but selected_indices holds %zu",
                         result.num_selected, indices.size());
            return nullptr;
        }
        return make_solver_output(std::move(result));
    });
}

PyMethodDef kOutputMethods[] = {
    {"to_dict", &output_to_dict, METH_NOARGS,
     "to_dict($self)\n--\n\nThe output as a new dict: every field under its own name, in field order."},
    {"__reduce__", &output_reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\nThe output as a call of SolverOutput._from_state, for pickle and copy."},
    {"_from_state", &output_from_state, METH_O | METH_CLASS,
     "_from_state($cls, state, /)\n--\n\nRebuilds an output from the tuple of its fields that __reduce__ "
     "gives."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kOutputSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&output_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&output_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(&output_repr)},
    {Py_tp_getset, kOutputGetSet},
    {Py_tp_methods, kOutputMethods},
    {Py_tp_doc, const_cast<char*>("Python-exposed solver output")},
    {0, nullptr},
};

PyType_Spec kOutputSpec = {"torvane_solver.SolverOutput", sizeof(OutputObject), 0, kRecordFlags, kOutputSlots};

PyTypeObject* cached_type(PyObject*& cell, PyType_Spec* type_spec) {
    if (cell == nullptr) cell = make_type(type_spec);
    return reinterpret_cast<PyTypeObject*>(cell);
}

PyObject* g_config_type = nullptr;
PyObject* g_constraints_type = nullptr;
PyObject* g_output_type = nullptr;

}  // namespace

PyTypeObject* solver_config_type() {
    if (g_config_type == nullptr) {
        try {
            for (PyType_Slot* slot = kConfigSlots; slot->slot != 0; ++slot) {
                if (slot->slot == Py_tp_doc) slot->pfunc = const_cast<char*>(config_doc());
            }
        } catch (...) {
            set_error_from_current_exception();
            return nullptr;
        }
    }
    return cached_type(g_config_type, &kConfigSpec);
}
PyTypeObject* solver_constraints_type() { return cached_type(g_constraints_type, &kConstraintSpec); }
PyTypeObject* solver_output_type() { return cached_type(g_output_type, &kOutputSpec); }

PyObject* make_solver_output(SolveResult&& result) {
    PyTypeObject* type = solver_output_type();
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<OutputObject*>(self)->result) SolveResult(std::move(result));
    return self;
}

PyObject* make_solver_config(const ConfigValues& values) {
    PyTypeObject* type = solver_config_type();
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<ConfigObject*>(self)->values) ConfigValues(values);
    return self;
}

ConstraintSet to_constraint_set(const ConstraintValues& values) {
    ConstraintSet set;
    set.max_tokens = values.max_tokens;
    set.min_tokens = values.min_tokens;
    set.min_chunks = values.min_chunks;
    set.max_chunks = values.max_chunks;
    set.max_per_cluster = values.max_per_cluster;
    for (const std::string& name : values.must_include_roles) set.must_include_roles.insert(parse_role(name));
    set.excluded_chunks.insert(values.excluded_chunks.begin(), values.excluded_chunks.end());
    set.required_chunks.insert(values.required_chunks.begin(), values.required_chunks.end());
    return set;
}

}  // namespace torvane::py
