// The servo line in memory: seven Feetech servos that answer each request at once from their
// register tables, so the controller's servo logic runs without a serial port and without a
// single wait. Every byte the controller writes is kept for exact checks.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <map>
#include <mutex>
#include <vector>

#include "vorlix/byte_stream.hpp"

namespace vorlix::testing {

using Bytes = std::vector<std::uint8_t>;

struct ScriptedServo {
  std::array<std::uint8_t, 256> registers{};
  // Counts, 4096 a turn, 2048 at zero; present position = encoder - offset (× offset_sign),
  // within one turn.
  int encoder = 2048;
  int offset_sign = 1;
  bool answers = true;
  int silent_requests = 0;  // the next requests it leaves unanswered (after a reboot, say)
};

class ScriptedServos final : public servo_bus::ByteStream {
 public:
  ScriptedServos();  // ids 1 to 7, all answering, 12.0 V

  std::expected<std::size_t, servo_bus::SerialError> bytes_to_read() const override;
  // Never waits: every reply is there as soon as its request is written.
  std::expected<std::size_t, servo_bus::IoError> wait_readable(std::chrono::nanoseconds) override;
  // Missing bytes are a time-out at once: nobody will send them.
  std::expected<void, servo_bus::IoError> read_exact(std::span<std::uint8_t> buffer) override;
  std::expected<void, servo_bus::IoError> write_all(std::span<const std::uint8_t> bytes) override;
  std::expected<void, servo_bus::IoError> flush() override { return {}; }

  // Under the line's lock, for set-up and checks from the test's thread.
  template <class Body>
  auto with(Body body) {
    std::lock_guard lock(mutex_);
    return body(servos_);
  }
  // Every packet written so far, and forgets them.
  std::vector<Bytes> take_requests();
  // The next `count` requests time out, whoever they are for.
  void time_out_next(int count);
  // The next `count` replies come late: each arrives as the following request is written,
  // after its writer drained the line and gave up waiting.
  void answer_late(int count);

 private:
  void answer(const Bytes& packet);
  void reply(std::uint8_t id, const Bytes& data);

  mutable std::mutex mutex_;
  std::map<std::uint8_t, ScriptedServo> servos_;
  Bytes pending_;  // written, not yet a whole packet
  std::vector<Bytes> requests_;
  Bytes input_;
  Bytes late_reply_;
  int timeouts_ = 0;
  int late_replies_ = 0;
};

// Register helpers, little-endian as on the wire.
void put_word(ScriptedServo& servo, std::uint8_t address, std::uint16_t value);
std::uint16_t word_at(const ScriptedServo& servo, std::uint8_t address);
// A whole status packet.
Bytes status_packet(std::uint8_t id, const Bytes& data);
// `packet` followed by its checksum: the inverted sum of every byte after the header.
Bytes bytes_with_checksum(Bytes packet);

}  // namespace vorlix::testing
