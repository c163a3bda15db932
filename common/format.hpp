// The system's message templates: "{}", "{:.N}", "{:+.N}", "{:?}", "{:+.N?}", and durations.
// Every message text is built here, never by hand.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <concepts>
#include <ranges>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

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

// Vectors, arrays and spans; a text is not a list of characters.
template <class T>
concept List = std::ranges::input_range<T> && !std::convertible_to<const T&, std::string_view>;

// Lists of any of the above (std::vector<bool> included).
template <List R>
void append(std::string& out, const R& items, const Placeholder& form) {
  out += '[';
  bool first = true;
  for (const auto& item : items) {
    if (!first) out += std::string_view(", ");  // a view: its length is known while compiling
    first = false;
    append(out, static_cast<std::ranges::range_value_t<R>>(item), form);
  }
  out += ']';
}

namespace detail {

// Beyond every digit a double has; a larger one is a mistake in the template.
inline constexpr int kMostDecimals = 400;

// Never defined: a template that calls one of these while it is checked does not compile, and
// the compiler's message names the fault.
void message_template_has_fewer_placeholders_than_arguments();
void message_template_has_more_placeholders_than_arguments();
void placeholder_is_malformed();
void placeholder_asks_for_more_decimals_than_a_double_has();
void placeholder_sign_needs_a_number();
void placeholder_decimals_need_a_floating_point_number();

// What a list's placeholder applies to is each scalar inside it.
template <class T>
struct Scalar {
  using type = T;
};
template <List T>
struct Scalar<T> {
  using type = typename Scalar<std::ranges::range_value_t<T>>::type;
};

template <class T>
inline constexpr bool kTakesSign =
    std::is_arithmetic_v<typename Scalar<T>::type> && !std::same_as<typename Scalar<T>::type, bool>;
template <class T>
inline constexpr bool kTakesDecimals = std::floating_point<typename Scalar<T>::type>;

// "", ":", then optionally "+", ".N" and "?" in this order.
consteval Placeholder parse_placeholder(std::string_view body) {
  Placeholder form;
  if (body.empty()) return form;
  if (!body.starts_with(':')) placeholder_is_malformed();
  body.remove_prefix(1);
  if (body.starts_with('+')) {
    form.plus = true;
    body.remove_prefix(1);
  }
  if (body.starts_with('.')) {
    body.remove_prefix(1);
    const std::size_t digits = std::min(body.find_first_not_of("0123456789"), body.size());
    if (digits == 0) placeholder_is_malformed();
    form.precision = 0;
    for (const char digit : body.substr(0, digits)) {
      form.precision = form.precision * 10 + (digit - '0');
      if (form.precision > kMostDecimals) placeholder_asks_for_more_decimals_than_a_double_has();
    }
    body.remove_prefix(digits);
  }
  if (body.starts_with('?')) {
    form.debug = true;
    body.remove_prefix(1);
  }
  if (!body.empty()) placeholder_is_malformed();
  return form;
}

}  // namespace detail

// A message template for these arguments, parsed and checked while the program compiles: one
// placeholder per argument, each well formed and suited to its argument.
template <class... Args>
class FormatString {
 public:
  template <class Text>
    requires std::convertible_to<const Text&, std::string_view>
  consteval FormatString(const Text& text) : text_(text) {  // NOLINT: a literal converts implicitly
    constexpr std::array<bool, sizeof...(Args)> takes_sign = {detail::kTakesSign<Args>...};
    constexpr std::array<bool, sizeof...(Args)> takes_decimals = {detail::kTakesDecimals<Args>...};
    std::size_t pos = 0;
    for (std::size_t i = 0; i < sizeof...(Args); ++i) {
      const std::size_t open = text_.find('{', pos);
      if (open == std::string_view::npos) {
        detail::message_template_has_fewer_placeholders_than_arguments();
      }
      const std::size_t close = text_.find('}', open);
      if (close == std::string_view::npos) detail::placeholder_is_malformed();
      const Placeholder form = detail::parse_placeholder(text_.substr(open + 1, close - open - 1));
      if (form.plus && !takes_sign[i]) detail::placeholder_sign_needs_a_number();
      if (form.precision >= 0 && !takes_decimals[i]) {
        detail::placeholder_decimals_need_a_floating_point_number();
      }
      slots_[i] = Slot{text_.substr(pos, open - pos), form};
      pos = close + 1;
    }
    tail_ = text_.substr(pos);
    if (tail_.find('{') != std::string_view::npos) {
      detail::message_template_has_more_placeholders_than_arguments();
    }
  }

  std::size_t size() const { return text_.size(); }
  // The text before placeholder i, and its form.
  std::string_view literal_before(std::size_t i) const { return slots_[i].literal; }
  const Placeholder& form(std::size_t i) const { return slots_[i].form; }
  // The text after the last placeholder.
  std::string_view tail() const { return tail_; }

 private:
  struct Slot {
    std::string_view literal;
    Placeholder form;
  };
  std::string_view text_;
  std::array<Slot, sizeof...(Args)> slots_{};
  std::string_view tail_;
};

// Qualify calls (fmt::format): arguments from std would find std::format too.
template <class... Args>
std::string format(FormatString<std::type_identity_t<Args>...> tmpl, const Args&... args) {
  std::string out;
  out.reserve(tmpl.size() + 16 * sizeof...(Args));
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    ((out += tmpl.literal_before(I), append(out, args, tmpl.form(I))), ...);
  }(std::index_sequence_for<Args...>{});
  out += tmpl.tail();
  return out;
}

}  // namespace vorlix::fmt
