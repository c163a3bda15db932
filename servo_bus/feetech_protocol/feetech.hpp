// The Feetech packet family: builders, serializer, checksum and the status parser.
// Pure: no I/O here except the parser's one diagnostic line on standard output.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <vector>

#include "vorlix/servo_bus_error.hpp"
#include "servo_bus/feetech_protocol/packet.hpp"

namespace vorlix::servo_bus {

class InstructionPacketFeetech final : public InstructionPacket {
 public:
  // Fails (InvalidRequest) with more than kMaxParams parameter bytes.
  static ServoResult<std::unique_ptr<InstructionPacketFeetech>> create(
      std::uint8_t id, Instruction instruction, std::vector<std::uint8_t> params);

  std::uint8_t id() const override { return id_; }
  Instruction instruction() const override { return instruction_; }
  std::span<const std::uint8_t> params() const override { return params_; }
  std::vector<std::uint8_t> to_bytes() const override;

 private:
  InstructionPacketFeetech(std::uint8_t id, Instruction instruction,
                           std::vector<std::uint8_t> params);
  std::vector<std::uint8_t> params_;
  Instruction instruction_;
  std::uint8_t id_;
};

class StatusPacketFeetech final : public StatusPacket {
 public:
  // Validates `bytes` against `expected_id` in the wire order of checks: length,
  // checksum (with its diagnostic line), header, id, length byte.
  static ServoResult<std::unique_ptr<StatusPacketFeetech>> from_bytes(
      std::span<const std::uint8_t> bytes, std::uint8_t expected_id);

  std::uint8_t id() const override { return id_; }
  std::span<const StatusFlag> errors() const override { return errors_; }
  std::span<const std::uint8_t> params() const override { return params_; }

 private:
  StatusPacketFeetech(std::uint8_t id, std::vector<StatusFlag> errors,
                      std::vector<std::uint8_t> params);
  std::vector<StatusFlag> errors_;
  std::vector<std::uint8_t> params_;
  std::uint8_t id_;
};

// Bitwise NOT of the 8-bit wrapping sum of `bytes`.
std::uint8_t checksum(std::span<const std::uint8_t> bytes);

// Header, id, length, instruction or error byte, and the checksum around the parameters.
inline constexpr std::size_t kFrameBytes = 6;
inline constexpr std::size_t kMaxPacketBytes = kMaxParams + kFrameBytes;

// Frames an instruction into `out`, which holds exactly kFrameBytes + params.size() bytes
// (params.size() at most kMaxParams): to_bytes without the allocation.
void frame_instruction(std::uint8_t id, Instruction instruction,
                       std::span<const std::uint8_t> params, std::span<std::uint8_t> out);
// The checks of StatusPacketFeetech::from_bytes, diagnostic line included, building nothing.
ServoResult<void> check_status(std::span<const std::uint8_t> bytes, std::uint8_t expected_id);
// The data bytes of a packet check_status accepted.
std::span<const std::uint8_t> status_data(std::span<const std::uint8_t> bytes);

struct PacketFeetech {
  static ServoResult<std::unique_ptr<InstructionPacketFeetech>> read_packet(
      std::uint8_t id, std::uint8_t address, std::uint8_t count);
  static ServoResult<std::unique_ptr<InstructionPacketFeetech>> write_packet(
      std::uint8_t id, std::uint8_t address, std::span<const std::uint8_t> data);
  static ServoResult<std::unique_ptr<InstructionPacketFeetech>> sync_read_packet(
      std::span<const std::uint8_t> ids, std::uint8_t address, std::uint8_t count);
  // Fails (InvalidRequest) with no id-value pair or a width that does not fit 8 bits.
  static ServoResult<std::unique_ptr<InstructionPacketFeetech>> sync_write_packet(
      std::span<const std::uint8_t> ids, std::uint8_t address,
      std::span<const std::vector<std::uint8_t>> values);
  static ServoResult<std::unique_ptr<StatusPacketFeetech>> status_packet(
      std::span<const std::uint8_t> bytes, std::uint8_t expected_id);
};

}  // namespace vorlix::servo_bus
