// Helpers every test program shares: wire bytes shown as hex, and table rows named in test
// names.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace vorlix::test_support {

// {0xFF, 0xFF, 0x01} -> "FF FF 01": failing tests then read like the wire.
inline std::string hex(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (const std::uint8_t byte : bytes) {
    char digits[4];
    std::snprintf(digits, sizeof digits, text.empty() ? "%02X" : " %02X", byte);
    text += digits;
  }
  return text;
}

// Names a parametrised test case after its row's `name` field.
struct ByName {
  template <class Info>
  std::string operator()(const Info& info) const {
    return info.param.name;
  }
};

}  // namespace vorlix::test_support
