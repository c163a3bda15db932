// The status checks on arbitrary bytes: the first input byte is the id they expect. They must
// refuse in their order of checks (length, checksum, header, id, length byte), and a reply
// they take must frame back to exactly the bytes it came from.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <span>

#include "fuzz/check.hpp"
#include "servo_bus/feetech_protocol/feetech.hpp"

using namespace vorlix::servo_bus;
using vorlix::fuzz::require;

namespace {

bool fails_with(const ServoResult<void>& parsed, CommunicationErrorKind kind) {
  return !parsed && parsed.error() == ServoBusError(kind);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The checks print a line for each checksum mismatch; the run needs none of them.
  require(std::freopen("/dev/null", "w", stdout) != nullptr, "stdout goes to /dev/null");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t expected_id = data[0];
  const std::span<const std::uint8_t> bytes(data + 1, size - 1);
  const auto parsed = check_status(bytes, expected_id);

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
  require(parsed.has_value(), "a well-framed reply is taken");

  // The error byte in the instruction's place gives the same frame layout and checksum.
  const auto again = FramedInstruction::frame(expected_id, static_cast<Instruction>(bytes[4]),
                                              {status_data(bytes)});
  require(again.has_value(), "the reply's data fit an instruction packet");
  require(std::ranges::equal(again->bytes(), bytes), "a taken reply frames back to its bytes");
  return 0;
}
