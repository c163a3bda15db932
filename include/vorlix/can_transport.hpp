// The CAN side's lowest layer: frames, identifiers, errors and the transport interface.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

namespace vorlix::can_motor {

class CanId {
 public:
  enum class Kind { Standard, Extended };

  static constexpr CanId standard(std::uint32_t value) { return CanId(Kind::Standard, value); }
  static constexpr CanId extended(std::uint32_t value) { return CanId(Kind::Extended, value); }

  constexpr Kind kind() const { return kind_; }
  constexpr std::uint32_t value() const { return value_; }
  // Within 11 bits (Standard) or 29 bits (Extended).
  constexpr bool is_valid() const {
    return value_ <= (kind_ == Kind::Standard ? 0x7FFu : 0x1FFFFFFFu);
  }
  constexpr bool operator==(const CanId&) const = default;

 private:
  constexpr CanId(Kind kind, std::uint32_t value) : kind_(kind), value_(value) {}
  Kind kind_;
  std::uint32_t value_;
};

struct CanFrame {
  CanId id = CanId::standard(0);
  std::vector<std::uint8_t> data;
  bool fd = false;
  bool brs = false;

  bool operator==(const CanFrame&) const = default;
};

class CanError {
 public:
  enum class Kind { Timeout, FrameTooLarge, InvalidId, Backend };

  static CanError timeout() { return CanError(Kind::Timeout, 0, 0); }
  static CanError frame_too_large(std::size_t length) {
    return CanError(Kind::FrameTooLarge, length, 0);
  }
  static CanError invalid_id() { return CanError(Kind::InvalidId, 0, 0); }
  static CanError backend(int system_error) { return CanError(Kind::Backend, 0, system_error); }

  Kind kind() const { return kind_; }
  std::string text() const;

  bool operator==(const CanError&) const = default;

 private:
  CanError(Kind kind, std::size_t length, int system_error)
      : kind_(kind), length_(length), system_error_(system_error) {}
  Kind kind_;
  std::size_t length_;
  int system_error_;
};

template <class T>
using CanResult = std::expected<T, CanError>;

using Duration = std::chrono::nanoseconds;

class CanTransport {
 public:
  virtual ~CanTransport() = default;

  virtual CanResult<void> send(const CanFrame& frame) = 0;
  // Waits at most `timeout` for the next frame of any identifier. A time-out shorter than
  // one microsecond only takes a frame that is already waiting: it never blocks.
  virtual CanResult<CanFrame> recv(Duration timeout) = 0;
  // As recv, into `frame`, whose buffer an implementation may reuse rather than allocate.
  virtual CanResult<void> recv_into(CanFrame& frame, Duration timeout);

  // Sends `frame` and returns the first later frame carrying `expected`. Frames already
  // waiting before the send are discarded first, so a late reply to an earlier request
  // is never taken for this one.
  CanResult<CanFrame> request(const CanFrame& frame, CanId expected, Duration timeout);

  // Drops every frame already waiting, without blocking.
  CanResult<void> discard_pending();
};

}  // namespace vorlix::can_motor
