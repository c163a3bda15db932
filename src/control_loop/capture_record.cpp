#include "src/control_loop/capture_record.hpp"

#include <algorithm>
#include <span>
#include <string>
#include <utility>

namespace vorlix::control_loop {
namespace {

constexpr std::array<std::string_view, std::variant_size_v<QueuedCommand>> kCommandNames = {
    "SetAllGoalPositions", "SetLeftArmPosition",  "SetRightArmPosition", "SetArmsPosition",
    "SetNosePosition",     "SetNeckPosition",     "SetNeckYawPosition",  "SetNeckPitchPosition",
    "SetNeckRollPosition", "EnableNeck",          "EnableTorque",        "EnableTorqueOnIds",
    "DisableTorque",       "DisableTorqueOnIds",  "EnableArms",          "EnableNose",
    "WriteRawBytes",       "ReadRawBytes",        "WriteRawPacket"};

void put_reals(CaptureRecord& record, std::span<const double> values) {
  std::ranges::copy(values, record.reals.begin());
}

// The leading bytes, then the rest, as many as there is room for; the count is of them all.
void put_bytes(CaptureRecord& record, std::span<const std::uint8_t> leading,
               std::span<const std::uint8_t> rest = {}) {
  record.byte_count = static_cast<std::uint32_t>(leading.size() + rest.size());
  auto out = record.bytes.begin();
  for (const auto part : {leading, rest}) {
    const auto room = static_cast<std::size_t>(record.bytes.end() - out);
    out = std::ranges::copy(part.first(std::min(room, part.size())), out).out;
  }
}

bool is_continuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0U) == 0x80U; }

}  // namespace

std::string_view command_name(std::size_t index) { return kCommandNames.at(index); }

std::size_t captured_size(const CaptureRecord& record) {
  if (record.kind == CaptureKind::Tick && record.ok) return offsetof(CaptureRecord, bytes);
  return offsetof(CaptureRecord, text) + record.text_length;
}

void capture_tick(CaptureRecord& record, const MotorResult<VorlixTorsoPosition>& reading,
                  double period, double read_dt) {
  record.kind = CaptureKind::Tick;
  record.seconds = period;
  record.read_dt = read_dt;
  record.ok = reading.has_value();
  if (!reading) {
    record.timestamp = wall_clock_seconds();
    capture_text(record, reading.error().text());
    return;
  }
  record.timestamp = reading->timestamp;
  record.text_length = 0;
  record.text_truncated = false;
  // Element by element: four range copies cost a tick more than all of this.
  const VorlixTorsoPosition& p = *reading;
  record.reals = {p.left_arm[0], p.left_arm[1], p.right_arm[0], p.right_arm[1], p.nose[0],
                  p.nose[1], p.nose[2], p.neck[0], p.neck[1], p.neck[2]};
}

void capture_command_arguments(CaptureRecord& record, const QueuedCommand& command) {
  record.kind = CaptureKind::Command;
  record.command = static_cast<std::uint8_t>(command.index());
  record.byte_count = 0;
  std::visit(
      [&](const auto& body) {
        using Body = std::decay_t<decltype(body)>;
        if constexpr (std::is_same_v<Body, SetAllGoalPositions>) {
          put_reals(record, body.positions);
        } else if constexpr (requires { body.position.size(); }) {
          put_reals(record, body.position);
        } else if constexpr (requires { double{body.position}; }) {
          record.reals[0] = body.position;
        } else if constexpr (requires { bool{body.enable}; }) {
          const std::uint8_t flag = body.enable ? 1 : 0;
          put_bytes(record, std::span(&flag, 1));
        } else if constexpr (requires { body.ids.size(); }) {
          put_bytes(record, body.ids);
        } else if constexpr (std::is_same_v<Body, ReadRawBytes>) {
          const std::array<std::uint8_t, 3> read{body.id, body.address, body.length};
          put_bytes(record, read);
        } else if constexpr (std::is_same_v<Body, WriteRawBytes>) {
          const std::array<std::uint8_t, 2> target{body.id, body.address};
          put_bytes(record, target, body.data);
        } else if constexpr (std::is_same_v<Body, WriteRawPacket>) {
          put_bytes(record, body.packet);
        }
      },
      command);
}

void capture_text(CaptureRecord& record, std::string_view text) {
  std::size_t kept = std::min(text.size(), record.text.size());
  record.text_truncated = kept < text.size();
  if (record.text_truncated) {
    while (kept > 0 && is_continuation(text[kept])) --kept;
  }
  std::ranges::copy(text.substr(0, kept), record.text.begin());
  record.text_length = static_cast<std::uint16_t>(kept);
}

}  // namespace vorlix::control_loop
