#pragma once
// Conversion of Python values into the fields of the records. Each returns
// false with a Python exception set when the value is refused.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "py_support.hpp"

namespace torvane::py {

// float, int, or anything with __float__ / __index__; narrowed to float.
bool to_f32(PyObject* obj, float& out);
// Non-negative int (or __index__) that fits the machine word.
bool to_size(PyObject* obj, std::size_t& out);
// A 64-bit count narrowed to the machine word; OverflowError where it does
// not fit (only on targets whose size is narrower than 64 bits).
bool u64_to_size(std::uint64_t value, std::size_t& out);
// Non-negative int (or __index__) below 2^64.
bool to_u64(PyObject* obj, std::uint64_t& out);
// None (absent) or as to_u64.
bool to_optional_u64(PyObject* obj, std::optional<std::uint64_t>& out);
// True/False or a NumPy boolean; ints (0 and 1 included) are refused.
bool to_bool(PyObject* obj, bool& out);
// The UTF-8 bytes of a str (lone surrogates kept, so distinct str values
// stay distinct).
bool to_utf8(PyObject* str, std::string& out);
// None (empty), or a sequence other than str whose items are all str.
bool to_text_list(PyObject* obj, std::vector<std::string>& out);

// Binds positional and keyword arguments to named parameters the way a
// Python function does. `out` gets borrowed references (nullptr where the
// argument was not given).
bool bind_arguments(const char* function_name, const char* const* names, std::size_t count, PyObject* args,
                    PyObject* kwargs, PyObject** out);

// The same for the fast-call convention; the first `required` parameters
// must be given.
bool bind_fastcall(const char* function_name, const char* const* names, std::size_t count, std::size_t required,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// A signed integer of the platform's `long` width (__index__ accepted).
bool to_long(PyObject* obj, long& out);

}  // namespace torvane::py
