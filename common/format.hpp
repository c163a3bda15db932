// The system's message templates: "{}", "{:.N}", "{:+.N}", "{:?}", "{:+.N?}", and durations.
// Every message text is built here, never by hand.
#pragma once

#include <chrono>
#include <concepts>
#include <ranges>
#include <string>
#include <string_view>
#include <type_traits>

namespace vorlix::fmt {

struct Placeholder {
  bool plus = false;    // "+": explicit sign on numbers
  int precision = -1;   // ".N": exactly N decimals; -1 is the shortest round-trip form
  bool debug = false;   // "?": list form, quoted texts, floats always with a decimal point
};

void append(std::string& out, double value, const Placeholder& form);
void append(std::string& out, float value, const Placeholder& form);
void append(std::string& out, std::string_view value, const Placeholder& form);
void append(std::string& out, bool value, const Placeholder& form);
void append_integer(std::string& out, long long value, const Placeholder& form);
void append_integer(std::string& out, unsigned long long value, const Placeholder& form);
// In the largest of s, ms, µs and ns that holds at least one whole unit, fraction without
// trailing zeros: 30s, 1.5s, 850ms, 0ns.
void append(std::string& out, std::chrono::nanoseconds value, const Placeholder& form);

template <std::integral T>
  requires(!std::same_as<T, bool>)
void append(std::string& out, T value, const Placeholder& form) {
  if constexpr (std::is_signed_v<T>) {
    append_integer(out, static_cast<long long>(value), form);
  } else {
    append_integer(out, static_cast<unsigned long long>(value), form);
  }
}

inline void append(std::string& out, const std::string& value, const Placeholder& form) {
  append(out, std::string_view(value), form);
}
inline void append(std::string& out, const char* value, const Placeholder& form) {
  append(out, std::string_view(value), form);
}

// Lists: vectors, arrays and spans of any of the above (std::vector<bool> included).
template <std::ranges::input_range R>
  requires(!std::convertible_to<const R&, std::string_view>)
void append(std::string& out, const R& items, const Placeholder& form) {
  out += '[';
  bool first = true;
  for (const auto& item : items) {
    if (!first) out += ", ";
    first = false;
    append(out, static_cast<std::ranges::range_value_t<R>>(item), form);
  }
  out += ']';
}

namespace detail {
// Copies literal text up to the next placeholder and parses it; throws on a template
// with fewer placeholders than arguments (a programming error).
Placeholder next_placeholder(std::string& out, std::string_view tmpl, std::size_t& pos);
// Copies the rest; throws if a placeholder is left unfilled.
void finish(std::string& out, std::string_view tmpl, std::size_t pos);
}  // namespace detail

template <class... Args>
std::string format(std::string_view tmpl, const Args&... args) {
  std::string out;
  out.reserve(tmpl.size() + 16 * sizeof...(Args));
  std::size_t pos = 0;
  ((append(out, args, detail::next_placeholder(out, tmpl, pos))), ...);
  detail::finish(out, tmpl, pos);
  return out;
}

}  // namespace vorlix::fmt
