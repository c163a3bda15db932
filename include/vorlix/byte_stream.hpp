// The servo line as the controller sees it: a half-duplex byte stream. The serial port is the
// real one; tests give the controller one in memory.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include <vorlix/io_error.hpp>

namespace vorlix::servo_bus {

// The serial port's bound on each wait for readability or writability, unless told otherwise.
inline constexpr std::chrono::milliseconds kSerialWaitTimeout{10};

// One thread at a time: the stream's owner (the controller, or the control loop's worker
// that holds it). None of the calls is thread-safe.
class ByteStream {
 public:
  virtual ~ByteStream() = default;

  // How many received bytes wait to be read. Never blocks.
  virtual std::expected<std::size_t, SerialError> bytes_to_read() const = 0;
  // Blocks until received bytes wait, at most `wait` (zero or less: never blocks), and says
  // how many (as bytes_to_read); 0 when none came within `wait`. Reads nothing. Fails with the
  // line's error, a hang-up at once.
  virtual std::expected<std::size_t, IoError> wait_readable(std::chrono::nanoseconds wait) = 0;
  // Fills `buffer`; each wait for more input is bounded (then IoErrorKind::TimedOut).
  virtual std::expected<void, IoError> read_exact(std::span<std::uint8_t> buffer) = 0;
  // Each wait for room is bounded as read_exact's.
  virtual std::expected<void, IoError> write_all(std::span<const std::uint8_t> bytes) = 0;
  // Blocks until the output has been transmitted.
  virtual std::expected<void, IoError> flush() = 0;
};

}  // namespace vorlix::servo_bus
