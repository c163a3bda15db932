// Helpers every test program shares: wire bytes shown as hex, table rows named in test names,
// and waits on a condition.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <thread>

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

// Checks `condition` every millisecond until it holds (true) or `limit` has passed (false).
template <class Condition>
bool eventually(Condition condition,
                std::chrono::steady_clock::duration limit = std::chrono::seconds(2)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace vorlix::test_support
