#include "common/format.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <stdexcept>

namespace vorlix::fmt {
namespace {

// The shortest digits that read back as a value: d.ddd x 10^exponent. Held in place: this
// runs for every number of every repr and message.
struct ShortestDigits {
  bool negative;
  std::array<char, 17> buffer;  // a double's most
  std::size_t count;
  int exponent;

  std::string_view digits() const { return {buffer.data(), count}; }
};

template <class F>
ShortestDigits shortest_digits(F value) {
  std::array<char, 32> buf;
  const auto result = std::to_chars(buf.data(), buf.data() + buf.size(), value,
                                    std::chars_format::scientific);
  std::string_view text(buf.data(), static_cast<std::size_t>(result.ptr - buf.data()));
  // "-d.ddde+XX": sign, digits around the point, an exponent that always has its sign.
  ShortestDigits shortest{text.front() == '-', {}, 0, 0};
  if (shortest.negative) text.remove_prefix(1);
  const std::size_t e_at = text.find('e');
  for (const char digit : text.substr(e_at + 2)) {
    shortest.exponent = shortest.exponent * 10 + (digit - '0');
  }
  if (text[e_at + 1] == '-') shortest.exponent = -shortest.exponent;
  shortest.buffer[0] = text.front();
  shortest.count = 1;
  if (e_at > 2) {
    const std::string_view fraction = text.substr(2, e_at - 2);
    fraction.copy(shortest.buffer.data() + 1, fraction.size());
    shortest.count += fraction.size();
  }
  return shortest;
}

// Written out without an exponent; with `point`, a whole number ends in ".0".
void append_fixed(std::string& out, const ShortestDigits& shortest, bool point) {
  const std::string_view digits = shortest.digits();
  const int exponent = shortest.exponent;
  if (shortest.negative) out += '-';
  const int count = static_cast<int>(digits.size());
  if (exponent >= count - 1) {
    out += digits;
    out.append(static_cast<std::size_t>(exponent - (count - 1)), '0');
    if (point) out += std::string_view(".0");
  } else if (exponent < 0) {
    out += std::string_view("0.");
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
  } else {
    const auto whole = static_cast<std::size_t>(exponent + 1);
    out += digits.substr(0, whole);
    out += '.';
    out += digits.substr(whole);
  }
}

// "1e-5", "-2.5e16".
void append_exponent(std::string& out, const ShortestDigits& shortest) {
  const std::string_view digits = shortest.digits();
  if (shortest.negative) out += '-';
  out += digits.front();
  if (digits.size() > 1) {
    out += '.';
    out += digits.substr(1);
  }
  out += 'e';
  append_integer(out, static_cast<long long>(shortest.exponent), Placeholder{});
}

// The list form switches to an exponent for magnitudes this far from 1.
bool wants_exponent(double magnitude) { return magnitude != 0.0 && (magnitude < 1e-4 || magnitude >= 1e16); }

template <class F>
void append_float(std::string& out, F value, const Placeholder& form) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (form.plus && !std::signbit(value)) out += '+';
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  if (form.precision >= 0) {
    // Room for every integer digit of the largest double, the point and the most decimals.
    std::array<char, 320 + detail::kMostDecimals> buf;
    const auto result = std::to_chars(buf.data(), buf.data() + buf.size(), value,
                                      std::chars_format::fixed, form.precision);
    if (result.ec != std::errc{}) throw std::logic_error("number does not fit its format");
    out.append(buf.data(), result.ptr);
    return;
  }
  const ShortestDigits shortest = shortest_digits(value);
  if (form.debug && wants_exponent(std::abs(static_cast<double>(value)))) {
    append_exponent(out, shortest);
    return;
  }
  append_fixed(out, shortest, form.debug);
}

}  // namespace

void append(std::string& out, double value, const Placeholder& form) { append_float(out, value, form); }
void append(std::string& out, float value, const Placeholder& form) { append_float(out, value, form); }

void append(std::string& out, std::string_view value, const Placeholder& form) {
  if (!form.debug) {
    out += value;
    return;
  }
  out += '"';
  for (const char c : value) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
}

void append(std::string& out, bool value, const Placeholder&) { out += value ? "true" : "false"; }

void append_integer(std::string& out, long long value, const Placeholder& form) {
  if (form.plus && value >= 0) out += '+';
  std::array<char, 24> buf{};
  const auto result = std::to_chars(buf.data(), buf.data() + buf.size(), value);
  out.append(buf.data(), result.ptr);
}

void append_integer(std::string& out, unsigned long long value, const Placeholder& form) {
  if (form.plus) out += '+';
  std::array<char, 24> buf{};
  const auto result = std::to_chars(buf.data(), buf.data() + buf.size(), value);
  out.append(buf.data(), result.ptr);
}

void append(std::string& out, std::chrono::nanoseconds value, const Placeholder&) {
  using Count = unsigned long long;
  Count nanos = static_cast<Count>(value.count());
  if (value.count() < 0) {
    out += '-';
    nanos = Count{0} - nanos;
  }
  struct Unit {
    Count size;
    int fraction_digits;
    std::string_view suffix;
  };
  constexpr std::array<Unit, 4> kUnits = {{{1'000'000'000, 9, "s"},
                                           {1'000'000, 6, "ms"},
                                           {1'000, 3, "\u00b5s"},
                                           {1, 0, "ns"}}};
  const Unit& unit = *std::ranges::find_if(
      kUnits, [nanos](const Unit& candidate) { return nanos >= candidate.size || candidate.size == 1; });
  append_integer(out, nanos / unit.size, Placeholder{});
  if (Count fraction = nanos % unit.size; fraction != 0) {
    std::string digits(static_cast<std::size_t>(unit.fraction_digits), '0');
    for (auto at = digits.rbegin(); at != digits.rend(); ++at, fraction /= 10) {
      *at = static_cast<char>('0' + fraction % 10);
    }
    out += '.';
    out += std::string_view(digits).substr(0, digits.find_last_not_of('0') + 1);
  }
  out += unit.suffix;
}

}  // namespace vorlix::fmt
