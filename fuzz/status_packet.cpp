// The status parser on arbitrary bytes: the first input byte is the id it expects. It must
// refuse in its order of checks (length, checksum, header, id, length byte), and a reply it
// takes must serialise back to exactly the bytes it came from.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "fuzz/check.hpp"
#include "servo_bus/feetech_protocol/feetech.hpp"

using namespace vorlix::servo_bus;
using vorlix::fuzz::require;

namespace {

bool fails_with(const ServoResult<std::unique_ptr<StatusPacketFeetech>>& parsed,
                CommunicationErrorKind kind) {
  return !parsed && parsed.error() == ServoBusError(kind);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The parser prints a line for each checksum mismatch; the run needs none of them.
  require(std::freopen("/dev/null", "w", stdout) != nullptr, "stdout goes to /dev/null");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t expected_id = data[0];
  const std::span<const std::uint8_t> bytes(data + 1, size - 1);
  const auto parsed = StatusPacketFeetech::from_bytes(bytes, expected_id);

  if (bytes.size() < 6) {
    require(fails_with(parsed, CommunicationErrorKind::ParsingError), "short is a parsing error");
    return 0;
  }
  if (bytes.back() != checksum(bytes.subspan(2, bytes.size() - 3))) {
    require(fails_with(parsed, CommunicationErrorKind::ChecksumError),
            "a bad checksum is reported before anything else");
    return 0;
  }
  const bool framed = bytes[0] == 0xFF && bytes[1] == 0xFF && bytes[2] == expected_id &&
                      bytes[3] == bytes.size() - 4;
  if (!framed) {
    require(fails_with(parsed, CommunicationErrorKind::ParsingError),
            "a bad header, id or length byte is a parsing error");
    return 0;
  }
  require(parsed.has_value(), "a well-framed reply parses");
  const StatusPacketFeetech& status = **parsed;

  // The error byte in the instruction's place gives the same frame layout and checksum.
  const auto again = InstructionPacketFeetech::create(
      status.id(), static_cast<Instruction>(bytes[4]),
      std::vector<std::uint8_t>(status.params().begin(), status.params().end()));
  require(again.has_value(), "the reply's parameters fit an instruction packet");
  const std::vector<std::uint8_t> serialised = (*again)->to_bytes();
  require(std::ranges::equal(serialised, bytes), "a parsed reply re-serialises to its bytes");

  // Flags 0..4 stand for error-byte bits 0, 1, 2, 3 and 5, ascending, each once.
  constexpr std::uint8_t kBits[] = {0, 1, 2, 3, 5};
  const auto flags = status.errors();
  require(std::cmp_equal(flags.size(), std::popcount(static_cast<unsigned>(bytes[4] & 0x2F))),
          "one flag per meaningful error bit");
  for (std::size_t i = 0; i < flags.size(); ++i) {
    require(flags[i] < 5 && (i == 0 || flags[i - 1] < flags[i]), "flags ascend within 0..4");
    require(((bytes[4] >> kBits[flags[i]]) & 1) != 0, "each flag's bit is set");
  }
  return 0;
}
