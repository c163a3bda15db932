// The servo line: a serial terminal opened exclusively in raw mode at 1,000,000 baud,
// every wait for readability or writability bounded by 10 ms.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "vorlix/byte_stream.hpp"

namespace vorlix::servo_bus {

class SerialPort final : public ByteStream {
 public:
  // `wait` bounds every wait for readability or writability.
  static std::expected<SerialPort, SerialError> open(
      const std::string& path, std::chrono::nanoseconds wait = kSerialWaitTimeout);

  SerialPort(SerialPort&& other) noexcept;
  SerialPort& operator=(SerialPort&& other) noexcept;
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;
  ~SerialPort() override;  // clears exclusive mode and closes; sends nothing

  // Counts the bytes read ahead and not yet taken as well as those still in the terminal.
  std::expected<std::size_t, SerialError> bytes_to_read() const override;
  // One poll of the terminal for input when none waits.
  std::expected<std::size_t, IoError> wait_readable(std::chrono::nanoseconds wait) override;
  // Each wait for more input lasts at most the port's wait (then IoErrorKind::TimedOut);
  // a hang-up fails at once with another kind. Takes whatever has arrived in one call and
  // keeps the bytes past `buffer` for the next read.
  std::expected<void, IoError> read_exact(std::span<std::uint8_t> buffer) override;
  std::expected<void, IoError> write_all(std::span<const std::uint8_t> bytes) override;
  std::expected<void, IoError> flush() override;

 private:
  SerialPort(int fd, std::chrono::nanoseconds wait) : fd_(fd), wait_(wait) {}
  // Moves read-ahead bytes into `buffer`; returns how many.
  std::size_t take_read_ahead(std::span<std::uint8_t> buffer);

  int fd_;
  std::chrono::nanoseconds wait_;
  // Room for a burst of replies: seven servos' positions need 56 bytes, the longest reply 259.
  std::array<std::uint8_t, 512> read_ahead_{};
  std::size_t read_ahead_begin_ = 0;
  std::size_t read_ahead_end_ = 0;
};

}  // namespace vorlix::servo_bus
