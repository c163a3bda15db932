// Message formatting of arbitrary doubles, floats and integers in every placeholder form:
// the text reads back. Shortest form: exactly the value. N decimals: exactly N digits after
// the point, within half a unit of the last one. "+": a sign on every non-negative number.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "common/format.hpp"
#include "fuzz/check.hpp"

using vorlix::fuzz::require;

namespace {

// The text of one placeholder of this form; templates are checked while they compile, so the
// forms are fuzzed one level below them.
template <class T>
std::string formatted(T value, const vorlix::fmt::Placeholder& form) {
  std::string text;
  vorlix::fmt::append(text, value, form);
  return text;
}

// The number in `text` after the sign rule of "+"; the whole text must be the number.
template <class T>
T read_back(std::string_view text, T value, bool plus) {
  if (plus && !std::signbit(static_cast<double>(value))) {
    require(text.starts_with('+'), "\"+\" signs a non-negative number");
    text.remove_prefix(1);
  }
  T parsed{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  require(ec == std::errc{} && end == text.data() + text.size(), "the text is one number");
  return parsed;
}

template <class F>
void check_float(F value, bool plus, int precision, bool debug) {
  const std::string text = formatted(value, {.plus = plus, .precision = precision, .debug = debug});
  if (std::isnan(value)) {
    require(text == "NaN", "NaN shows as NaN");
    return;
  }
  if (std::isinf(value)) {
    require(text == (value < 0 ? "-inf" : plus ? "+inf" : "inf"), "infinities show as inf");
    return;
  }
  if (precision < 0) {
    require(read_back(text, value, plus) == value, "the shortest form reads back exactly");
    require(!debug || text.find_first_of(".e") != std::string::npos,
            "the debug form shows a float");
    return;
  }
  const std::size_t point = text.find('.');
  require(precision == 0 ? point == std::string::npos
                         : point != std::string::npos && text.size() - point - 1 ==
                                                             static_cast<std::size_t>(precision),
          "exactly the asked decimals");
  const double parsed = read_back(text, static_cast<double>(value), plus);
  const double exact = static_cast<double>(value);
  const double slack = 0.5 * std::pow(10.0, -precision) +
                       std::abs(exact) * std::numeric_limits<double>::epsilon() +
                       std::numeric_limits<double>::denorm_min();
  require(std::abs(parsed - exact) <= slack, "the decimals round the value");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const bool plus = input.ConsumeBool();
  const bool debug = input.ConsumeBool();
  // Past the 308 integer digits of the largest double, more decimals only add zeros.
  const int precision = input.ConsumeIntegralInRange(-1, 400);
  switch (input.ConsumeIntegralInRange(0, 2)) {
    case 0:
      check_float(std::bit_cast<double>(input.ConsumeIntegral<std::uint64_t>()), plus,
                  precision, debug);
      break;
    case 1:
      check_float(std::bit_cast<float>(input.ConsumeIntegral<std::uint32_t>()), plus,
                  precision, debug);
      break;
    default: {
      // Integers take only the "+" of a placeholder.
      const auto value = input.ConsumeIntegral<long long>();
      const auto text = formatted(value, {.plus = plus});
      require(read_back(text, value, plus) == value, "an integer reads back");
    }
  }
  return 0;
}
