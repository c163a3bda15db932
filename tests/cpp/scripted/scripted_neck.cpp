#include "scripted/scripted_neck.hpp"

#include <bit>
#include <utility>

#include "src/controller/neck_table.hpp"

namespace vorlix::testing {

using can_motor::CanFrame;
using can_motor::CanId;

namespace {

constexpr std::uint32_t kManagementId = 0x7FF;
constexpr std::uint8_t kFeedback = 0xCC;
constexpr std::uint8_t kReadRegister = 0x33;
constexpr std::uint8_t kWriteRegister = 0x55;
constexpr std::uint8_t kMasterIdRegister = 7;
constexpr std::uint8_t kControlModeRegister = 10;
constexpr std::uint8_t kPMaxRegister = 21;
constexpr std::uint8_t kVMaxRegister = 22;
constexpr std::uint8_t kTMaxRegister = 23;

std::uint32_t le32(const std::vector<std::uint8_t>& data, std::size_t at) {
  return std::uint32_t{data[at]} | std::uint32_t{data[at + 1]} << 8 |
         std::uint32_t{data[at + 2]} << 16 | std::uint32_t{data[at + 3]} << 24;
}

}  // namespace

CanFrame mit_frame(std::size_t joint, const can_motor::damiao::MitCommand& command) {
  const auto& row = controller::kNeckJoints[joint];
  const auto payload = can_motor::damiao::encode(row.limits, command);
  return CanFrame{CanId::standard(row.can_id), {payload.begin(), payload.end()}, false, false};
}

ScriptedNeck::ScriptedNeck() {
  for (std::size_t i = 0; i < motors_.size(); ++i) {
    const auto& row = controller::kNeckJoints[i];
    motors_[i].limits = row.limits;
    motors_[i].registers = {{kMasterIdRegister, row.master_id},
                            {kPMaxRegister, std::bit_cast<std::uint32_t>(row.limits.p_max)},
                            {kVMaxRegister, std::bit_cast<std::uint32_t>(row.limits.v_max)},
                            {kTMaxRegister, std::bit_cast<std::uint32_t>(row.limits.t_max)}};
  }
}

can_motor::CanResult<void> ScriptedNeck::send(const CanFrame& frame) {
  std::lock_guard lock(mutex_);
  sent_.push_back(frame);
  answer(frame);
  return {};
}

can_motor::CanResult<CanFrame> ScriptedNeck::recv(can_motor::Duration) {
  std::lock_guard lock(mutex_);
  if (inbox_.empty()) return std::unexpected(can_motor::CanError::timeout());
  CanFrame frame = std::move(inbox_.front());
  inbox_.pop_front();
  return frame;
}

std::vector<CanFrame> ScriptedNeck::take_sent() {
  std::lock_guard lock(mutex_);
  return std::exchange(sent_, {});
}

void ScriptedNeck::reply_state(std::size_t motor) {
  const ScriptedNeckMotor& state = motors_[motor];
  if (!state.answers) return;
  // A state reply carries position, velocity and torque in the widths and ranges of a
  // command's fields; a command's gains sit between velocity and torque.
  const auto encoded = can_motor::damiao::encode(
      state.limits, {state.position, state.velocity, 0.0F, 0.0F, state.torque});
  const auto& row = controller::kNeckJoints[motor];
  inbox_.push_back(CanFrame{CanId::standard(row.master_id),
                            {static_cast<std::uint8_t>(row.can_id), encoded[0], encoded[1],
                             encoded[2],
                             static_cast<std::uint8_t>((encoded[3] & 0xF0) | (encoded[6] & 0x0F)),
                             encoded[7], 30, 31},
                            false,
                            false});
}

void ScriptedNeck::answer(const CanFrame& frame) {
  for (std::size_t i = 0; i < motors_.size(); ++i) {
    const auto& row = controller::kNeckJoints[i];
    if (frame.id == CanId::standard(row.can_id)) {
      const bool enable_or_disable = frame.data[0] == 0xFF && frame.data[7] >= 0xFC;
      if (!enable_or_disable && motors_[i].follows) {
        motors_[i].position = can_motor::damiao::decode_state(
                                  motors_[i].limits,
                                  std::span<const std::uint8_t, 8>(
                                      std::array<std::uint8_t, 8>{0, frame.data[0], frame.data[1],
                                                                  0, 0, 0, 0, 0}))
                                  .position;
      }
      reply_state(i);
      return;
    }
    if (frame.id != CanId::standard(kManagementId) || frame.data[0] != row.can_id) continue;
    if (frame.data[2] == kFeedback) reply_state(i);
    if (frame.data[2] == kWriteRegister && frame.data[3] == kControlModeRegister) {
      motors_[i].mode = le32(frame.data, 4);
    }
    if (frame.data[2] == kReadRegister && motors_[i].answers) {
      std::vector<std::uint8_t> data(frame.data.begin(), frame.data.begin() + 4);
      const auto& registers = motors_[i].registers;
      const auto stored = registers.find(frame.data[3]);
      const std::uint32_t value = frame.data[3] == kControlModeRegister ? motors_[i].mode
                                  : stored != registers.end()          ? stored->second
                                                                       : 0;
      for (int shift = 0; shift < 32; shift += 8) {
        data.push_back(static_cast<std::uint8_t>(value >> shift));
      }
      inbox_.push_back(CanFrame{CanId::standard(row.master_id), data, false, false});
    }
    return;
  }
}

}  // namespace vorlix::testing
