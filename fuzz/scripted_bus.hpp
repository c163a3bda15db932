// A CAN bus in memory for the driver's reply handling: after each send it delivers the
// frames the fuzzer wrote, in order, then reports a time-out, so no run ever waits.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "vorlix/can_transport.hpp"

namespace vorlix::fuzz {

class ScriptedBus final : public can_motor::CanTransport {
 public:
  // Frames from the rest of the input: per frame a kind byte (bit 0 extended, bit 1 FD),
  // an identifier and up to 64 data bytes.
  explicit ScriptedBus(FuzzedDataProvider& input) {
    while (input.remaining_bytes() > 0) {
      const auto kind = input.ConsumeIntegral<std::uint8_t>();
      const auto value = input.ConsumeIntegral<std::uint32_t>();
      const bool extended = (kind & 1) != 0;
      can_motor::CanFrame frame{
          .id = extended ? can_motor::CanId::extended(value & 0x1FFFFFFF)
                         : can_motor::CanId::standard(value & 0x7FF),
          .data = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 64)),
          .fd = (kind & 2) != 0,
          .brs = false};
      replies_.push_back(std::move(frame));
    }
  }

  can_motor::CanResult<void> send(const can_motor::CanFrame& frame) override {
    sent_.push_back(frame);
    return {};
  }

  can_motor::CanResult<can_motor::CanFrame> recv(can_motor::Duration) override {
    if (sent_.empty() || next_ == replies_.size()) {
      return std::unexpected(can_motor::CanError::timeout());
    }
    return replies_[next_++];
  }

  const std::vector<can_motor::CanFrame>& replies() const { return replies_; }
  const std::vector<can_motor::CanFrame>& sent() const { return sent_; }

  // The first reply that `accept` takes: what the driver must answer with.
  template <class Accept>
  std::optional<can_motor::CanFrame> first(Accept accept) const {
    for (const auto& frame : replies_) {
      if (accept(frame)) return frame;
    }
    return std::nullopt;
  }

 private:
  std::vector<can_motor::CanFrame> replies_;
  std::vector<can_motor::CanFrame> sent_;
  std::size_t next_ = 0;
};

}  // namespace vorlix::fuzz
