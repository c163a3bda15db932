#include "servo_bus/feetech_protocol/feetech.hpp"

#include <algorithm>
#include <cstdio>
#include <string>

#include "common/format.hpp"

namespace vorlix::servo_bus {
namespace {

constexpr std::uint8_t kHeader = 0xFF;

ServoBusError parsing_error() { return ServoBusError(CommunicationErrorKind::ParsingError); }

std::unexpected<ServoBusError> invalid(std::string text) {
  return std::unexpected(ServoBusError(InvalidRequest{std::move(text)}));
}

ServoResult<void> check_fits(std::size_t params) {
  if (params <= kMaxParams) return {};
  return invalid(fmt::format("instruction packet has {} parameter bytes, at most {} fit", params,
                             kMaxParams));
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

ServoResult<FramedInstruction> FramedInstruction::frame(
    std::uint8_t id, Instruction instruction,
    std::initializer_list<std::span<const std::uint8_t>> parts) {
  std::size_t params = 0;
  for (const auto part : parts) params += part.size();
  if (auto fits = check_fits(params); !fits) return std::unexpected(fits.error());
  FramedInstruction packet;
  packet.size_ = params + kFrameBytes;
  auto& out = packet.bytes_;
  out[0] = kHeader;
  out[1] = kHeader;
  out[2] = id;
  out[3] = static_cast<std::uint8_t>(params + 2);
  out[4] = static_cast<std::uint8_t>(instruction);
  auto at = out.begin() + 5;
  for (const auto part : parts) at = std::ranges::copy(part, at).out;
  *at = checksum(std::span(out).subspan(2, params + 3));
  return packet;
}

BuiltInstruction read_packet(std::uint8_t id, std::uint8_t address, std::uint8_t count) {
  const std::uint8_t params[] = {address, count};
  return FramedInstruction::frame(id, Instruction::Read, {params});
}

BuiltInstruction write_packet(std::uint8_t id, std::uint8_t address,
                              std::span<const std::uint8_t> data) {
  const std::uint8_t head[] = {address};
  return FramedInstruction::frame(id, Instruction::Write, {head, data});
}

BuiltInstruction sync_read_packet(std::span<const std::uint8_t> ids, std::uint8_t address,
                                  std::uint8_t count) {
  const std::uint8_t head[] = {address, count};
  return FramedInstruction::frame(kBroadcastId, Instruction::SyncRead, {head, ids});
}

BuiltInstruction sync_write_packet(std::span<const std::uint8_t> ids, std::uint8_t address,
                                   std::span<const std::vector<std::uint8_t>> values) {
  // Ids and values pair up to the shorter list; the width is taken over the pairs formed, so
  // that an unpaired id cannot shrink it.
  const std::size_t servos = std::min(ids.size(), values.size());
  if (servos == 0) return invalid("sync write needs at least one servo id with a value");
  std::size_t group_bytes = 0;
  for (std::size_t i = 0; i < servos; ++i) group_bytes += 1 + values[i].size();
  const std::size_t width = group_bytes / servos - 1;
  if (width > 0xFF) {
    return invalid(fmt::format("sync write data width {} does not fit in 8 bits", width));
  }
  const std::uint8_t head[] = {address, static_cast<std::uint8_t>(width)};
  if (auto fits = check_fits(std::size(head) + group_bytes); !fits) {
    return std::unexpected(fits.error());
  }
  std::array<std::uint8_t, kMaxParams> groups;
  auto at = groups.begin();
  for (std::size_t i = 0; i < servos; ++i) {
    *at++ = ids[i];
    at = std::ranges::copy(values[i], at).out;
  }
  return FramedInstruction::frame(kBroadcastId, Instruction::SyncWrite,
                                  {head, std::span(groups).first(group_bytes)});
}

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

}  // namespace vorlix::servo_bus
