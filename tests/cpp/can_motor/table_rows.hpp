// Helpers shared by the table-driven tests: rows named in test names and failures, and
// payloads shown as the hex bytes of the wire.
#pragma once

#include <gtest/gtest.h>

#include <concepts>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <span>
#include <string>

namespace vorlix::can_motor::test {

struct NamedRow {
  const char* name;
};

// More constrained than GoogleTest's own template, so it is chosen for every row type.
template <std::derived_from<NamedRow> Row>
void PrintTo(const Row& row, std::ostream* out) {
  *out << row.name;
}

struct CaseName {
  template <class Row>
  std::string operator()(const ::testing::TestParamInfo<Row>& row) const {
    return row.param.name;
  }
};

// "7f ff 00"
inline std::string hex(std::span<const std::uint8_t> bytes) {
  std::string out;
  for (const std::uint8_t b : bytes) {
    char text[4];
    std::snprintf(text, sizeof text, out.empty() ? "%02x" : " %02x", b);
    out += text;
  }
  return out;
}

}  // namespace vorlix::can_motor::test
