#include "scripted/scripted_servos.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

#include "vorlix/servo_model.hpp"

namespace vorlix::testing {

using servo_bus::kSm40bl;

namespace {

constexpr std::uint8_t kPing = 0x01;
constexpr std::uint8_t kRead = 0x02;
constexpr std::uint8_t kWrite = 0x03;
constexpr std::uint8_t kReboot = 0x08;
constexpr std::uint8_t kSyncRead = 0x82;
constexpr std::uint8_t kSyncWrite = 0x83;

std::uint8_t checksum_of(const Bytes& bytes, std::size_t from) {
  const auto sum = std::accumulate(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(),
                                   0u);
  return static_cast<std::uint8_t>(~sum);
}

// Sign-magnitude with bit 11 the sign.
int offset_counts(const ScriptedServo& servo) {
  const std::uint16_t raw = word_at(servo, kSm40bl.position_offset->address);
  const int magnitude = raw & 0x7FF;
  return (raw & 0x800) != 0 ? -magnitude : magnitude;
}

void refresh_present_position(ScriptedServo& servo) {
  constexpr int kTurn = 4096;
  const int present = ((servo.encoder - servo.offset_sign * offset_counts(servo)) % kTurn + kTurn) % kTurn;
  put_word(servo, kSm40bl.present_position.address, static_cast<std::uint16_t>(present));
}

}  // namespace

void put_word(ScriptedServo& servo, std::uint8_t address, std::uint16_t value) {
  servo.registers[address] = static_cast<std::uint8_t>(value & 0xFF);
  servo.registers[address + 1u] = static_cast<std::uint8_t>(value >> 8);
}

std::uint16_t word_at(const ScriptedServo& servo, std::uint8_t address) {
  return static_cast<std::uint16_t>(servo.registers[address] | servo.registers[address + 1u] << 8);
}

Bytes status_packet(std::uint8_t id, const Bytes& data) {
  Bytes packet{0xFF, 0xFF, id, static_cast<std::uint8_t>(data.size() + 2), 0x00};
  packet.insert(packet.end(), data.begin(), data.end());
  packet.push_back(checksum_of(packet, 2));
  return packet;
}

Bytes bytes_with_checksum(Bytes packet) {
  packet.push_back(checksum_of(packet, 2));
  return packet;
}

ScriptedServos::ScriptedServos() {
  for (std::uint8_t id = 1; id <= 7; ++id) {
    servos_[id].registers[kSm40bl.present_voltage.address] = 120;
  }
}

std::expected<std::size_t, servo_bus::SerialError> ScriptedServos::bytes_to_read() const {
  std::lock_guard lock(mutex_);
  return input_.size();
}

std::expected<std::size_t, servo_bus::IoError> ScriptedServos::wait_readable(
    std::chrono::nanoseconds) {
  return *bytes_to_read();  // never fails here
}

std::expected<void, servo_bus::IoError> ScriptedServos::read_exact(
    std::span<std::uint8_t> buffer) {
  std::lock_guard lock(mutex_);
  const std::size_t taken = std::min(buffer.size(), input_.size());
  std::copy_n(input_.begin(), taken, buffer.begin());
  input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(taken));
  if (taken < buffer.size()) return std::unexpected(servo_bus::IoError::timed_out());
  return {};
}

std::expected<void, servo_bus::IoError> ScriptedServos::write_all(
    std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  // FF FF id length instruction parameters... checksum, length counting from the instruction.
  while (pending_.size() >= 4 && pending_.size() >= 4u + pending_[3]) {
    const auto end = pending_.begin() + 4 + pending_[3];
    Bytes packet(pending_.begin(), end);
    pending_.erase(pending_.begin(), end);
    requests_.push_back(packet);
    input_.insert(input_.end(), late_reply_.begin(), late_reply_.end());
    late_reply_.clear();
    if (timeouts_ > 0) {
      --timeouts_;
      continue;
    }
    answer(packet);
  }
  return {};
}

std::vector<Bytes> ScriptedServos::take_requests() {
  std::lock_guard lock(mutex_);
  return std::exchange(requests_, {});
}

void ScriptedServos::time_out_next(int count) {
  std::lock_guard lock(mutex_);
  timeouts_ = count;
}

void ScriptedServos::answer_late(int count) {
  std::lock_guard lock(mutex_);
  late_replies_ = count;
}

void ScriptedServos::reply(std::uint8_t id, const Bytes& data) {
  auto found = servos_.find(id);
  if (found == servos_.end() || !found->second.answers) return;
  if (found->second.silent_requests > 0) {
    --found->second.silent_requests;
    return;
  }
  const Bytes packet = status_packet(id, data);
  Bytes& into = late_replies_ > 0 ? late_reply_ : input_;
  if (late_replies_ > 0) --late_replies_;
  into.insert(into.end(), packet.begin(), packet.end());
}

void ScriptedServos::answer(const Bytes& packet) {
  const std::uint8_t id = packet[2];
  const std::uint8_t instruction = packet[4];
  const Bytes params(packet.begin() + 5, packet.end() - 1);
  const auto registers_of = [&](std::uint8_t servo_id, std::uint8_t address, std::uint8_t count) {
    ScriptedServo& servo = servos_[servo_id];
    refresh_present_position(servo);
    return Bytes(servo.registers.begin() + address, servo.registers.begin() + address + count);
  };
  switch (instruction) {
    case kPing:
    case kReboot:
      reply(id, {});
      if (instruction == kReboot && servos_.contains(id)) servos_[id].silent_requests += 2;
      break;
    case kRead:
      if (servos_.contains(id)) reply(id, registers_of(id, params[0], params[1]));
      break;
    case kWrite:
      if (!servos_.contains(id)) break;
      std::ranges::copy(Bytes(params.begin() + 1, params.end()),
                        servos_[id].registers.begin() + params[0]);
      reply(id, {});
      break;
    case kSyncRead:
      for (std::size_t i = 2; i < params.size(); ++i) {
        if (servos_.contains(params[i])) {
          reply(params[i], registers_of(params[i], params[0], params[1]));
        }
      }
      break;
    case kSyncWrite:
      for (std::size_t at = 2; at + params[1] < params.size() + 1; at += 1u + params[1]) {
        if (!servos_.contains(params[at])) continue;
        std::copy_n(params.begin() + static_cast<std::ptrdiff_t>(at) + 1, params[1],
                    servos_[params[at]].registers.begin() + params[0]);
      }
      break;
    default:
      break;
  }
}

}  // namespace vorlix::testing
