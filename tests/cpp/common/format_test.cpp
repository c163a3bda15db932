#include "common/format.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace vorlix::fmt {
namespace {

// Qualified: arguments from std (vectors, durations) would find std::format too.

TEST(Format, ShortestRoundTripFloats) {
  EXPECT_EQ(fmt::format("{}", 0.4), "0.4");
  EXPECT_EQ(fmt::format("{}", 0.0), "0");
  EXPECT_EQ(fmt::format("{}", -0.5), "-0.5");
  EXPECT_EQ(fmt::format("{}", std::nan("")), "NaN");
  EXPECT_EQ(fmt::format("{}", 1e20), "100000000000000000000");
  EXPECT_EQ(fmt::format("{}", 6.283185307179586), "6.283185307179586");
}

TEST(Format, ShortestFormNeverUsesAnExponent) {
  EXPECT_EQ(fmt::format("{}", -1e300), "-1" + std::string(300, '0'));
  EXPECT_EQ(fmt::format("{}", 1e-7), "0.0000001");
  EXPECT_EQ(fmt::format("{}", 123.456e5), "12345600");
  EXPECT_EQ(fmt::format("{}", 0.1F), "0.1");
  EXPECT_EQ(fmt::format("{:?}", -0.0), "-0.0");
  EXPECT_EQ(fmt::format("{}", std::numeric_limits<double>::infinity()), "inf");
}

TEST(Format, ListFormTakesAnExponentFarFromOne) {
  const std::pair<double, const char*> cases[] = {
      {1e-5, "1e-5"},   {2.5e16, "2.5e16"}, {-1e300, "-1e300"}, {1e-4, "0.0001"},
      {9.5e15, "9500000000000000.0"},       {0.0, "0.0"},        {1.0, "1.0"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(fmt::format("{:?}", value), text) << text;
}

TEST(Format, DurationsInTheirLargestWholeUnit) {
  using namespace std::chrono_literals;
  const std::pair<std::chrono::nanoseconds, const char*> cases[] = {
      {30s, "30s"},           {1500ms, "1.5s"},       {850ms, "850ms"},
      {0ns, "0ns"},           {1204113us, "1.204113s"}, {1500us, "1.5ms"},
      {999ns, "999ns"},       {1001ns, "1.001\u00b5s"},  {20ms, "20ms"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(fmt::format("{:?}", value), text) << text;
}

TEST(Format, FixedDecimalsOfTheLargestNumbers) {
  // The exact binary value, every digit of it: 309 before the point, 91 after.
  const std::string text = fmt::format("{:.91}", 1e308);
  EXPECT_EQ(text.size(), 309U + 1 + 91);
  EXPECT_EQ(text.substr(0, 18), "100000000000000001");
  EXPECT_EQ(text.substr(309), "." + std::string(91, '0'));
  // The most decimals a template may ask for, of the largest negative double.
  EXPECT_EQ(fmt::format("{:.400}", -std::numeric_limits<double>::max()).size(), 1U + 309 + 1 + 400);
}

TEST(Format, FixedDecimalsAndSign) {
  EXPECT_EQ(fmt::format("{:.4} rad", 1.0), "1.0000 rad");
  EXPECT_EQ(fmt::format("{:.4}", -0.5), "-0.5000");
  EXPECT_EQ(fmt::format("{:+.4}", 0.0012), "+0.0012");
  EXPECT_EQ(fmt::format("{:+.4}", -0.035), "-0.0350");
}

TEST(Format, ListForms) {
  EXPECT_EQ(fmt::format("{:?}", std::vector<double>{0.0, 6.283185307179586}), "[0.0, 6.283185307179586]");
  EXPECT_EQ(fmt::format("{:+.4?}", std::vector<double>{0.0012, -0.035, 0.0}),
            "[+0.0012, -0.0350, +0.0000]");
  EXPECT_EQ(fmt::format("{:?}", std::vector<std::string>{"nose_left", "nose_right"}),
            "[\"nose_left\", \"nose_right\"]");
  EXPECT_EQ(fmt::format("{:?}", std::vector<std::uint8_t>{255, 1, 0}), "[255, 1, 0]");
  EXPECT_EQ(fmt::format("{:?}", std::vector<bool>{true, false}), "[true, false]");
}

TEST(Format, FillsPlaceholdersInOrder) {
  EXPECT_EQ(fmt::format("register {}: expected {}, got {}", 10, "Uint32", "Float"),
            "register 10: expected Uint32, got Float");
  EXPECT_EQ(fmt::format("{} missing", std::string("x")), "x missing");
  // A lone closing brace is text.
  EXPECT_EQ(fmt::format("}{:?} {}}", 1.0, 2), "}1.0 2}");
}

}  // namespace
}  // namespace vorlix::fmt
