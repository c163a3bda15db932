#include "servo_bus/feetech_protocol/feetech.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

#include "common/format.hpp"

namespace vorlix::servo_bus {
namespace {

constexpr std::uint8_t kHeader = 0xFF;

ServoBusError parsing_error() { return ServoBusError(CommunicationErrorKind::ParsingError); }

// Error-byte bits 0, 1, 2, 3 and 5 in ascending order; bits 4, 6 and 7 carry nothing for us.
std::vector<StatusFlag> flags_of(std::uint8_t error_byte) {
  constexpr std::array<std::uint8_t, 5> kBits{0, 1, 2, 3, 5};
  std::vector<StatusFlag> flags;
  for (std::size_t value = 0; value < kBits.size(); ++value) {
    if (((error_byte >> kBits[value]) & 1) != 0) flags.push_back(static_cast<StatusFlag>(value));
  }
  return flags;
}

void print_checksum_mismatch(std::uint8_t read, std::uint8_t computed,
                             std::span<const std::uint8_t> bytes) {
  const std::string line =
      fmt::format("read crc: {}, computed crc: {} data: {:?}\n", read, computed, bytes);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

std::uint8_t checksum(std::span<const std::uint8_t> bytes) {
  std::uint8_t sum = 0;
  for (const std::uint8_t byte : bytes) sum = static_cast<std::uint8_t>(sum + byte);
  return static_cast<std::uint8_t>(~sum);
}

InstructionPacketFeetech::InstructionPacketFeetech(std::uint8_t id, Instruction instruction,
                                                   std::vector<std::uint8_t> params)
    : params_(std::move(params)), instruction_(instruction), id_(id) {}

ServoResult<std::unique_ptr<InstructionPacketFeetech>> InstructionPacketFeetech::create(
    std::uint8_t id, Instruction instruction, std::vector<std::uint8_t> params) {
  if (params.size() > kMaxParams) {
    return std::unexpected(ServoBusError(InvalidRequest{fmt::format(
        "instruction packet has {} parameter bytes, at most {} fit", params.size(), kMaxParams)}));
  }
  return std::unique_ptr<InstructionPacketFeetech>(
      new InstructionPacketFeetech(id, instruction, std::move(params)));
}

void frame_instruction(std::uint8_t id, Instruction instruction,
                       std::span<const std::uint8_t> params, std::span<std::uint8_t> out) {
  out[0] = kHeader;
  out[1] = kHeader;
  out[2] = id;
  out[3] = static_cast<std::uint8_t>(params.size() + 2);
  out[4] = static_cast<std::uint8_t>(instruction);
  std::ranges::copy(params, out.begin() + 5);
  out.back() = checksum(out.subspan(2, out.size() - 3));
}

std::vector<std::uint8_t> InstructionPacketFeetech::to_bytes() const {
  std::vector<std::uint8_t> bytes(params_.size() + kFrameBytes);
  frame_instruction(id_, instruction_, params_, bytes);
  return bytes;
}

StatusPacketFeetech::StatusPacketFeetech(std::uint8_t id, std::vector<StatusFlag> errors,
                                         std::vector<std::uint8_t> params)
    : errors_(std::move(errors)), params_(std::move(params)), id_(id) {}

ServoResult<void> check_status(std::span<const std::uint8_t> bytes, std::uint8_t expected_id) {
  const std::size_t total = bytes.size();
  if (total < kFrameBytes) return std::unexpected(parsing_error());
  // The checksum comes first, so a corrupted reply reports ChecksumError whatever its id says.
  const std::uint8_t read = bytes.back();
  const std::uint8_t computed = checksum(bytes.subspan(2, total - 3));
  if (read != computed) {
    print_checksum_mismatch(read, computed, bytes);
    return std::unexpected(ServoBusError(CommunicationErrorKind::ChecksumError));
  }
  if (bytes[0] != kHeader || bytes[1] != kHeader) return std::unexpected(parsing_error());
  if (bytes[2] != expected_id) return std::unexpected(parsing_error());
  if (bytes[3] != total - 4) return std::unexpected(parsing_error());
  return {};
}

std::span<const std::uint8_t> status_data(std::span<const std::uint8_t> bytes) {
  return bytes.subspan(5, bytes.size() - kFrameBytes);
}

ServoResult<std::unique_ptr<StatusPacketFeetech>> StatusPacketFeetech::from_bytes(
    std::span<const std::uint8_t> bytes, std::uint8_t expected_id) {
  if (auto valid = check_status(bytes, expected_id); !valid) {
    return std::unexpected(valid.error());
  }
  const auto data = status_data(bytes);
  return std::unique_ptr<StatusPacketFeetech>(new StatusPacketFeetech(
      expected_id, flags_of(bytes[4]), std::vector<std::uint8_t>(data.begin(), data.end())));
}

ServoResult<std::unique_ptr<InstructionPacketFeetech>> PacketFeetech::read_packet(
    std::uint8_t id, std::uint8_t address, std::uint8_t count) {
  return InstructionPacketFeetech::create(id, Instruction::Read, {address, count});
}

ServoResult<std::unique_ptr<InstructionPacketFeetech>> PacketFeetech::write_packet(
    std::uint8_t id, std::uint8_t address, std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> params{address};
  params.insert(params.end(), data.begin(), data.end());
  return InstructionPacketFeetech::create(id, Instruction::Write, std::move(params));
}

ServoResult<std::unique_ptr<InstructionPacketFeetech>> PacketFeetech::sync_read_packet(
    std::span<const std::uint8_t> ids, std::uint8_t address, std::uint8_t count) {
  std::vector<std::uint8_t> params{address, count};
  params.insert(params.end(), ids.begin(), ids.end());
  return InstructionPacketFeetech::create(kBroadcastId, Instruction::SyncRead, std::move(params));
}

ServoResult<std::unique_ptr<InstructionPacketFeetech>> PacketFeetech::sync_write_packet(
    std::span<const std::uint8_t> ids, std::uint8_t address,
    std::span<const std::vector<std::uint8_t>> values) {
  // Ids and values pair up to the shorter list; the width is taken over the pairs formed, so
  // that an unpaired id cannot shrink it.
  const std::size_t servos = std::min(ids.size(), values.size());
  if (servos == 0) {
    return std::unexpected(
        ServoBusError(InvalidRequest{"sync write needs at least one servo id with a value"}));
  }
  std::vector<std::uint8_t> groups;
  for (std::size_t i = 0; i < servos; ++i) {
    groups.push_back(ids[i]);
    groups.insert(groups.end(), values[i].begin(), values[i].end());
  }
  const std::size_t width = groups.size() / servos - 1;
  if (width > 0xFF) {
    return std::unexpected(ServoBusError(
        InvalidRequest{fmt::format("sync write data width {} does not fit in 8 bits", width)}));
  }
  std::vector<std::uint8_t> params{address, static_cast<std::uint8_t>(width)};
  params.insert(params.end(), groups.begin(), groups.end());
  return InstructionPacketFeetech::create(kBroadcastId, Instruction::SyncWrite, std::move(params));
}

ServoResult<std::unique_ptr<StatusPacketFeetech>> PacketFeetech::status_packet(
    std::span<const std::uint8_t> bytes, std::uint8_t expected_id) {
  return StatusPacketFeetech::from_bytes(bytes, expected_id);
}

}  // namespace vorlix::servo_bus
