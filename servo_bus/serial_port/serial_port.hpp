// The servo line: a serial terminal opened exclusively in raw mode at 1,000,000 baud,
// every wait for readability or writability bounded by 10 ms.
#pragma once

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

  std::expected<std::size_t, SerialError> bytes_to_read() const override;
  // Each wait for more input lasts at most the port's wait (then IoErrorKind::TimedOut);
  // a hang-up fails at once with another kind.
  std::expected<void, IoError> read_exact(std::span<std::uint8_t> buffer) override;
  std::expected<void, IoError> write_all(std::span<const std::uint8_t> bytes) override;
  std::expected<void, IoError> flush() override;

 private:
  SerialPort(int fd, std::chrono::nanoseconds wait) : fd_(fd), wait_(wait) {}
  int fd_;
  std::chrono::nanoseconds wait_;
};

}  // namespace vorlix::servo_bus
