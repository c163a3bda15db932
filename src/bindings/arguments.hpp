// Argument handling shared by every class of the module: one parser for the call shape,
// with CPython's own wording for its errors, and one converter per kind of parameter.
// Converters return an empty optional with a Python exception set; a TypeError names the
// parameter ("argument 'enable': ...").
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorlix::bindings {

// A function's parameters, all positional-or-keyword; the first `required` have no default.
// Errors name the function "{owner}.{name}()".
struct Signature {
  std::string_view owner;
  std::string_view name;
  std::span<const char* const> parameters;
  std::size_t required;
};

// Borrowed references in parameter order, all null before parsing; null where the caller
// gave nothing.
using ArgumentSlots = std::span<PyObject*>;

// A METH_FASTCALL | METH_KEYWORDS call. False with a TypeError set on a bad call shape.
bool parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, ArgumentSlots slots);
// A tp_new call: positional tuple and keyword dict (or null).
bool parse_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                     ArgumentSlots slots);

// `bool`, or NumPy's boolean scalar; never an int.
std::optional<bool> to_flag(PyObject* value, const char* name);
// Anything float() would take in C: float, int, __float__, __index__.
std::optional<double> to_real(PyObject* value, const char* name);
// None is "no value".
std::optional<std::optional<double>> to_optional_real(PyObject* value, const char* name);
// A non-negative int.
std::optional<std::size_t> to_index(PyObject* value, const char* name);
// A non-negative int of at most 64 bits.
std::optional<std::uint64_t> to_count(PyObject* value, const char* name);
// An int 0 to 255, or 0 to 65535; OverflowError outside.
std::optional<std::uint8_t> to_byte(PyObject* value, const char* name);
std::optional<std::uint16_t> to_word(PyObject* value, const char* name);
// A `datetime.timedelta`, not negative; OverflowError beyond what nanoseconds hold.
std::optional<std::chrono::nanoseconds> to_duration(PyObject* value, const char* name);
// None is "no value".
std::optional<std::optional<std::chrono::nanoseconds>> to_optional_duration(PyObject* value,
                                                                            const char* name);
// A sequence of any kind but str, of at most 256 ints 0 to 255. A longer length, or a sequence
// whose items end before its length, raises ValueError.
std::optional<std::vector<std::uint8_t>> to_id_list(PyObject* value, const char* name);
// `bytes` or a subclass. The span points into the object, which the caller keeps alive.
std::optional<std::span<const std::uint8_t>> to_bytes(PyObject* value, const char* name);
// `str`, as UTF-8.
std::optional<std::string> to_text(PyObject* value, const char* name);
// `str` or None.
std::optional<std::optional<std::string>> to_optional_text(PyObject* value, const char* name);

// A parameter with a default: the default when the caller gave nothing, else `convert`.
template <class T, class Convert>
std::optional<T> or_default(PyObject* value, const char* name, Convert convert, T fallback) {
  if (value == nullptr) return fallback;
  return convert(value, name);
}

// A sequence of exactly `out.size()` reals. The length it claims is checked before any item
// is read or anything allocated; a wrong one, or items that end before it, raise ValueError
// "expected a sequence of length {} (got {})", or `wrong_length` where the caller words it.
bool fill_real_array(PyObject* value, const char* name, std::span<double> out);
bool fill_real_array(PyObject* value, const char* name, std::span<double> out,
                     std::string_view wrong_length);

template <std::size_t N>
std::optional<std::array<double, N>> to_real_array(PyObject* value, const char* name) {
  std::array<double, N> out{};
  if (!fill_real_array(value, name, out)) return std::nullopt;
  return out;
}

// To single precision: a finite value beyond its range saturates (the MIT encoder clamps gains
// anyway), so only a value that was not finite to begin with is refused by the core.
float narrow_to_single(double value);

// Results.
PyObject* to_python(bool value);
PyObject* to_python(double value);
PyObject* to_python(std::span<const double> values);  // list of float
PyObject* to_python(std::span<const std::pair<double, double>> pairs);  // list of 2-tuples
PyObject* to_python(std::span<const std::uint8_t> bytes);                 // bytes

}  // namespace vorlix::bindings
