#include "src/bindings/arguments.hpp"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

#include "common/format.hpp"
#include "src/bindings/pending_exception.hpp"
#include "src/bindings/type_name.hpp"

namespace vorlix::bindings {
namespace {

// Every id once: the longest id list (or byte list) any call has a use for. A longer claim is
// refused before anything is read, whatever the sequence's __len__ says.
constexpr Py_ssize_t kLongestIdList = 256;

std::string function_label(const Signature& signature) {
  return fmt::format("{}.{}()", signature.owner, signature.name);
}

bool raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  return false;
}

bool raise_argument_type(const char* name, PyObject* value, const char* wanted) {
  return raise(PyExc_TypeError,
               fmt::format("argument '{}': '{}' object cannot be converted to '{}'", name,
                           type_name_of(value), wanted));
}

// The interpreter's own TypeError from a conversion, given the parameter's name. Other
// exception types pass unchanged.
bool name_pending_type_error(const char* name) {
  PendingException pending = PendingException::take();
  if (!pending || Py_TYPE(pending.value()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    std::move(pending).restore();
    return false;
  }
  PyObject* text = PyObject_Str(pending.value());
  if (text == nullptr) return false;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, nullptr);
  if (utf8 != nullptr) raise(PyExc_TypeError, fmt::format("argument '{}': {}", name, utf8));
  Py_DECREF(text);
  return false;
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c', as CPython lists missing arguments.
std::string quoted_list(const std::vector<std::string_view>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) out += ',';
      out += i + 1 == names.size() ? " and " : " ";
    }
    out += fmt::format("'{}'", names[i]);
  }
  return out;
}

bool check_positional_count(const Signature& signature, std::size_t given) {
  const std::size_t most = signature.parameters.size();
  if (given <= most) return true;
  const char* verb = given == 1 ? "was" : "were";
  if (signature.required == most) {
    return raise(PyExc_TypeError, fmt::format("{} takes {} positional arguments but {} {} given",
                                              function_label(signature), most, given, verb));
  }
  return raise(PyExc_TypeError,
               fmt::format("{} takes from {} to {} positional arguments but {} {} given",
                           function_label(signature), signature.required, most, given, verb));
}

bool place_keyword(const Signature& signature, PyObject* key, PyObject* value,
                   ArgumentSlots slots) {
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, signature.parameters[i]) != 0) continue;
    if (slots[i] != nullptr) {
      return raise(PyExc_TypeError,
                   fmt::format("{} got multiple values for argument '{}'",
                               function_label(signature), signature.parameters[i]));
    }
    slots[i] = value;
    return true;
  }
  const char* key_text = PyUnicode_AsUTF8AndSize(key, nullptr);
  if (key_text == nullptr) return false;
  return raise(PyExc_TypeError, fmt::format("{} got an unexpected keyword argument '{}'",
                                            function_label(signature), key_text));
}

bool check_required(const Signature& signature, ArgumentSlots slots) {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (slots[i] == nullptr) missing.emplace_back(signature.parameters[i]);
  }
  if (missing.empty()) return true;
  return raise(PyExc_TypeError,
               fmt::format("{} missing {} required positional {}: {}", function_label(signature),
                           missing.size(), missing.size() == 1 ? "argument" : "arguments",
                           quoted_list(missing)));
}

// numpy.bool_ is "numpy.bool" from NumPy 2 on; NumPy itself is never imported here.
bool is_numpy_bool(PyObject* value) {
  const std::string name = type_name_of(value);
  return name == "numpy.bool" || name == "numpy.bool_";
}

// The `length` items of a sequence, read in order into a tuple before any is converted:
// converting an item may run Python code (__index__, __float__) that changes the sequence.
// `length` is one the caller takes, so what is allocated here is bounded by the parameter, not
// by the sequence's claim. A sequence that ends early (its __len__ said more) raises ValueError
// with `wrong_length(items it had)`.
template <class WrongLength>
PyObject* snapshot(PyObject* value, const char* name, Py_ssize_t length,
                   const WrongLength& wrong_length) {
  // A list's or tuple's own copy runs no Python code, and its length is the one just taken.
  if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) return PySequence_Tuple(value);
  PyObject* items = PyTuple_New(length);
  if (items == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < length; ++i) {
    PyObject* item = PySequence_GetItem(value, i);
    if (item == nullptr) {
      Py_DECREF(items);
      if (PyErr_ExceptionMatches(PyExc_IndexError)) {
        PyErr_Clear();
        raise(PyExc_ValueError, wrong_length(static_cast<std::size_t>(i)));
      } else {
        name_pending_type_error(name);
      }
      return nullptr;
    }
    PyTuple_SetItem(items, i, item);  // cannot fail: a new tuple, an index within it
  }
  return items;
}

// A sequence's length; -1 with a TypeError naming the parameter for anything else.
Py_ssize_t sequence_length(PyObject* value, const char* name) {
  if (PySequence_Check(value) == 0) {
    raise_argument_type(name, value, "Sequence");
    return -1;
  }
  const Py_ssize_t length = PySequence_Size(value);
  if (length < 0) name_pending_type_error(name);
  return length;
}

// An int within [0, limit]; OverflowError outside.
std::optional<long> to_bounded_int(PyObject* value, const char* name, long limit) {
  PyObject* integer = PyNumber_Index(value);
  if (integer == nullptr) {
    name_pending_type_error(name);
    return std::nullopt;
  }
  int overflow = 0;
  const long converted = PyLong_AsLongAndOverflow(integer, &overflow);
  Py_DECREF(integer);
  if (converted == -1 && PyErr_Occurred() != nullptr) return std::nullopt;
  if (overflow != 0 || converted < 0 || converted > limit) {
    raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return std::nullopt;
  }
  return converted;
}

// The length first, before any item is even read or anything allocated for it.
template <class WrongLength>
bool fill_reals(PyObject* value, const char* name, std::span<double> out,
                const WrongLength& wrong_length) {
  const Py_ssize_t length = sequence_length(value, name);
  if (length < 0) return false;
  if (static_cast<std::size_t>(length) != out.size()) {
    return raise(PyExc_ValueError, wrong_length(static_cast<std::size_t>(length)));
  }
  PyObject* items = snapshot(value, name, length, wrong_length);
  if (items == nullptr) return false;
  bool ok = true;
  for (std::size_t i = 0; ok && i < out.size(); ++i) {
    const std::optional<double> converted =
        to_real(PyTuple_GetItem(items, static_cast<Py_ssize_t>(i)), name);
    ok = converted.has_value();
    if (ok) out[i] = *converted;
  }
  Py_DECREF(items);
  return ok;
}

// datetime.timedelta and the descriptors of its fields, taken once and kept for the life of
// the process. The fields are read through the type's own descriptors, as the fields of the C
// struct would be: a subclass's properties of the same names are never asked.
struct Timedelta {
  PyObject* type = nullptr;
  PyObject* days = nullptr;
  PyObject* seconds = nullptr;
  PyObject* microseconds = nullptr;
};

const Timedelta* timedelta() {
  static Timedelta taken;  // under the interpreter lock
  if (taken.microseconds != nullptr) return &taken;
  PyObject* datetime = PyImport_ImportModule("datetime");
  if (datetime == nullptr) return nullptr;
  Timedelta found;
  found.type = PyObject_GetAttrString(datetime, "timedelta");
  Py_DECREF(datetime);
  if (found.type != nullptr) found.days = PyObject_GetAttrString(found.type, "days");
  if (found.days != nullptr) found.seconds = PyObject_GetAttrString(found.type, "seconds");
  if (found.seconds != nullptr) {
    found.microseconds = PyObject_GetAttrString(found.type, "microseconds");
  }
  if (found.microseconds == nullptr || !PyType_Check(found.type)) {
    if (PyErr_Occurred() == nullptr) {
      PyErr_SetString(PyExc_TypeError, "datetime.timedelta is not a type");
    }
    for (PyObject* part : {found.type, found.days, found.seconds, found.microseconds}) {
      Py_XDECREF(part);
    }
    return nullptr;
  }
  taken = found;
  return &taken;
}

// One int field of a timedelta (or a subclass); nullopt with an error set.
std::optional<long> field(const Timedelta& timedelta, PyObject* descriptor, PyObject* value) {
  const auto get =
      reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(descriptor), Py_tp_descr_get));
  PyObject* number = get(descriptor, value, timedelta.type);
  if (number == nullptr) return std::nullopt;
  const long converted = PyLong_AsLong(number);
  Py_DECREF(number);
  if (converted == -1 && PyErr_Occurred() != nullptr) return std::nullopt;
  return converted;
}

}  // namespace

bool parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, ArgumentSlots slots) {
  const auto positional = static_cast<std::size_t>(nargs);
  if (!check_positional_count(signature, positional)) return false;
  for (std::size_t i = 0; i < positional; ++i) slots[i] = args[i];
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t i = 0; i < keywords; ++i) {
    if (!place_keyword(signature, PyTuple_GetItem(kwnames, i), args[nargs + i], slots)) {
      return false;
    }
  }
  return check_required(signature, slots);
}

bool parse_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                     ArgumentSlots slots) {
  const auto positional = static_cast<std::size_t>(PyTuple_Size(args));
  if (!check_positional_count(signature, positional)) return false;
  for (std::size_t i = 0; i < positional; ++i) {
    slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  }
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (kwargs != nullptr && PyDict_Next(kwargs, &position, &key, &value)) {
    if (!place_keyword(signature, key, value, slots)) return false;
  }
  return check_required(signature, slots);
}

std::optional<bool> to_flag(PyObject* value, const char* name) {
  if (PyBool_Check(value)) return value == Py_True;
  if (is_numpy_bool(value)) {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) {
      name_pending_type_error(name);
      return std::nullopt;
    }
    return truth == 1;
  }
  raise_argument_type(name, value, "PyBool");
  return std::nullopt;
}

std::optional<double> to_real(PyObject* value, const char* name) {
  const double converted = PyFloat_AsDouble(value);
  if (converted == -1.0 && PyErr_Occurred() != nullptr) {
    name_pending_type_error(name);
    return std::nullopt;
  }
  return converted;
}

std::optional<std::optional<double>> to_optional_real(PyObject* value, const char* name) {
  if (value == Py_None) return std::optional<double>();
  const std::optional<double> converted = to_real(value, name);
  if (!converted) return std::nullopt;
  return converted;
}

std::optional<std::size_t> to_index(PyObject* value, const char* name) {
  PyObject* integer = PyNumber_Index(value);
  if (integer == nullptr) {
    name_pending_type_error(name);
    return std::nullopt;
  }
  const std::size_t converted = PyLong_AsSize_t(integer);
  Py_DECREF(integer);
  if (converted == static_cast<std::size_t>(-1) && PyErr_Occurred() != nullptr) {
    name_pending_type_error(name);
    return std::nullopt;
  }
  return converted;
}

std::optional<std::uint64_t> to_count(PyObject* value, const char* name) {
  PyObject* integer = PyNumber_Index(value);
  if (integer == nullptr) {
    name_pending_type_error(name);
    return std::nullopt;
  }
  const unsigned long long converted = PyLong_AsUnsignedLongLong(integer);
  Py_DECREF(integer);
  if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    return std::nullopt;
  }
  return converted;
}

std::optional<std::uint8_t> to_byte(PyObject* value, const char* name) {
  const auto converted = to_bounded_int(value, name, std::numeric_limits<std::uint8_t>::max());
  if (!converted) return std::nullopt;
  return static_cast<std::uint8_t>(*converted);
}

std::optional<std::uint16_t> to_word(PyObject* value, const char* name) {
  const auto converted = to_bounded_int(value, name, std::numeric_limits<std::uint16_t>::max());
  if (!converted) return std::nullopt;
  return static_cast<std::uint16_t>(*converted);
}

std::optional<std::chrono::nanoseconds> to_duration(PyObject* value, const char* name) {
  const Timedelta* type = timedelta();
  if (type == nullptr) return std::nullopt;
  if (!PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type->type))) {
    raise_argument_type(name, value, "PyDelta");
    return std::nullopt;
  }
  using std::chrono::days;
  using std::chrono::microseconds;
  using std::chrono::seconds;
  const std::optional<long> day_count = field(*type, type->days, value);
  const std::optional<long> second_count =
      day_count ? field(*type, type->seconds, value) : std::nullopt;
  const std::optional<long> microsecond_count =
      second_count ? field(*type, type->microseconds, value) : std::nullopt;
  if (!microsecond_count) return std::nullopt;
  // Normalised by the interpreter: only the days carry a sign.
  const days whole_days{*day_count};
  if (whole_days.count() < 0) {
    raise(PyExc_ValueError, fmt::format("argument '{}': a duration cannot be negative", name));
    return std::nullopt;
  }
  constexpr days kLongest = std::chrono::floor<days>(std::chrono::nanoseconds::max()) - days{1};
  if (whole_days > kLongest) {
    raise(PyExc_OverflowError, fmt::format("argument '{}': duration too long", name));
    return std::nullopt;
  }
  return whole_days + seconds{*second_count} + microseconds{*microsecond_count};
}

std::optional<std::optional<std::chrono::nanoseconds>> to_optional_duration(PyObject* value,
                                                                            const char* name) {
  if (value == Py_None) return std::optional<std::chrono::nanoseconds>();
  const auto converted = to_duration(value, name);
  if (!converted) return std::nullopt;
  return converted;
}

bool fill_real_array(PyObject* value, const char* name, std::span<double> out) {
  return fill_reals(value, name, out, [&](std::size_t got) {
    return fmt::format("expected a sequence of length {} (got {})", out.size(), got);
  });
}

bool fill_real_array(PyObject* value, const char* name, std::span<double> out,
                     std::string_view wrong_length) {
  return fill_reals(value, name, out, [&](std::size_t) { return std::string(wrong_length); });
}

std::optional<std::vector<std::uint8_t>> to_id_list(PyObject* value, const char* name) {
  if (PyUnicode_Check(value)) {
    raise(PyExc_TypeError, fmt::format("argument '{}': can't extract a str to a list", name));
    return std::nullopt;
  }
  const Py_ssize_t length = sequence_length(value, name);
  if (length < 0) return std::nullopt;
  if (length > kLongestIdList) {
    raise(PyExc_ValueError, fmt::format("expected a sequence of length at most {} (got {})",
                                        kLongestIdList, length));
    return std::nullopt;
  }
  PyObject* items = snapshot(value, name, length, [length](std::size_t got) {
    return fmt::format("expected a sequence of length {} (got {})", length, got);
  });
  if (items == nullptr) return std::nullopt;
  std::vector<std::uint8_t> ids;
  ids.reserve(static_cast<std::size_t>(length));
  bool ok = true;
  for (Py_ssize_t i = 0; ok && i < length; ++i) {
    const auto id = to_byte(PyTuple_GetItem(items, i), name);
    ok = id.has_value();
    if (ok) ids.push_back(*id);
  }
  Py_DECREF(items);
  if (!ok) return std::nullopt;
  return ids;
}

std::optional<std::span<const std::uint8_t>> to_bytes(PyObject* value, const char* name) {
  if (!PyBytes_Check(value)) {
    raise_argument_type(name, value, "PyBytes");
    return std::nullopt;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(value, &data, &size) < 0) return std::nullopt;
  return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(data),
                                       static_cast<std::size_t>(size));
}

std::optional<std::string> to_text(PyObject* value, const char* name) {
  if (!PyUnicode_Check(value)) {
    raise_argument_type(name, value, "PyString");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) return std::nullopt;
  std::string text(utf8, static_cast<std::size_t>(size));
  // A path or interface name cut short at a NUL would name another device.
  if (text.find('\0') != std::string::npos) {
    raise(PyExc_ValueError, fmt::format("argument '{}': embedded null character", name));
    return std::nullopt;
  }
  return text;
}

std::optional<std::optional<std::string>> to_optional_text(PyObject* value, const char* name) {
  if (value == Py_None) return std::optional<std::string>();
  std::optional<std::string> text = to_text(value, name);
  if (!text) return std::nullopt;
  return text;
}

float narrow_to_single(double value) {
  // NaN and infinities pass unchanged, for the core to refuse them.
  if (!std::isfinite(value)) return static_cast<float>(value);
  if (value > static_cast<double>(FLT_MAX)) return FLT_MAX;
  if (value < -static_cast<double>(FLT_MAX)) return -FLT_MAX;
  return static_cast<float>(value);
}

PyObject* to_python(bool value) { return PyBool_FromLong(value ? 1 : 0); }

PyObject* to_python(double value) { return PyFloat_FromDouble(value); }

PyObject* to_python(std::span<const double> values) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(values[i]);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);  // a new list: cannot fail
  }
  return list;
}

PyObject* to_python(std::span<const std::uint8_t> bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* to_python(std::span<const std::pair<double, double>> pairs) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(pairs.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    PyObject* pair = Py_BuildValue("(dd)", pairs[i].first, pairs[i].second);
    if (pair == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), pair);  // a new list: cannot fail
  }
  return list;
}

}  // namespace vorlix::bindings
