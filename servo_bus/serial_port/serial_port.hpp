// The servo line: a serial terminal opened exclusively in raw mode at 1,000,000 baud,
// every wait for readability or writability bounded by 10 ms.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "vorlix/io_error.hpp"

namespace vorlix::servo_bus {

// Opening the port or querying its input queue failed.
struct SerialError {
  std::string text;

  bool operator==(const SerialError&) const = default;
};

inline constexpr std::chrono::milliseconds kSerialWaitTimeout{10};

class SerialPort {
 public:
  static std::expected<SerialPort, SerialError> open(const std::string& path);

  SerialPort(SerialPort&& other) noexcept;
  SerialPort& operator=(SerialPort&& other) noexcept;
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;
  ~SerialPort();  // clears exclusive mode and closes; sends nothing

  std::expected<std::size_t, SerialError> bytes_to_read() const;
  // Each wait for more input lasts at most kSerialWaitTimeout (then IoErrorKind::TimedOut);
  // a hang-up fails at once with another kind.
  std::expected<void, IoError> read_exact(std::span<std::uint8_t> buffer);
  std::expected<void, IoError> write_all(std::span<const std::uint8_t> bytes);
  std::expected<void, IoError> flush();  // waits until the output has been transmitted

 private:
  explicit SerialPort(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace vorlix::servo_bus
