// The instruction builders with arbitrary ids, addresses and parameter lengths: a packet is
// either refused as too long (or, for a sync write, with no servo or a width past 8 bits) or
// framed so that the status checks take it back with its id and parameters.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <variant>
#include <vector>

#include "fuzz/check.hpp"
#include "servo_bus/feetech_protocol/feetech.hpp"

using namespace vorlix::servo_bus;
using vorlix::fuzz::require;

namespace {

using Built = BuiltInstruction;

std::vector<std::uint8_t> some_bytes(FuzzedDataProvider& input) {
  return input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 300));
}

void require_refused(const Built& built, const char* property) {
  require(!built && std::holds_alternative<InvalidRequest>(built.error().cause()), property);
}

// The parameters the packet should carry, or nothing when the builder must refuse it.
struct Expected {
  std::uint8_t id;
  Instruction instruction;
  std::vector<std::uint8_t> params;
};

Expected sync_write_params(std::uint8_t address, const std::vector<std::uint8_t>& ids,
                           const std::vector<std::vector<std::uint8_t>>& values) {
  const std::size_t servos = std::min(ids.size(), values.size());
  std::vector<std::uint8_t> groups;
  for (std::size_t i = 0; i < servos; ++i) {
    groups.push_back(ids[i]);
    groups.insert(groups.end(), values[i].begin(), values[i].end());
  }
  std::vector<std::uint8_t> params{address,
                                   static_cast<std::uint8_t>(groups.size() / servos - 1)};
  params.insert(params.end(), groups.begin(), groups.end());
  return {kBroadcastId, Instruction::SyncWrite, std::move(params)};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  require(std::freopen("/dev/null", "w", stdout) != nullptr, "stdout goes to /dev/null");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto id = input.ConsumeIntegral<std::uint8_t>();
  const auto address = input.ConsumeIntegral<std::uint8_t>();
  Built built = std::unexpected(ServoBusError(InvalidRequest{}));
  Expected expected{};
  switch (input.ConsumeIntegralInRange(0, 4)) {
    case 0: {
      const auto instruction = static_cast<Instruction>(input.ConsumeIntegral<std::uint8_t>());
      const auto params = some_bytes(input);
      expected = {id, instruction, params};
      built = FramedInstruction::frame(id, instruction, {params});
      break;
    }
    case 1: {
      const auto count = input.ConsumeIntegral<std::uint8_t>();
      expected = {id, Instruction::Read, {address, count}};
      built = read_packet(id, address, count);
      break;
    }
    case 2: {
      const auto bytes = some_bytes(input);
      expected = {id, Instruction::Write, {address}};
      expected.params.insert(expected.params.end(), bytes.begin(), bytes.end());
      built = write_packet(id, address, bytes);
      break;
    }
    case 3: {
      const auto count = input.ConsumeIntegral<std::uint8_t>();
      const auto ids = some_bytes(input);
      expected = {kBroadcastId, Instruction::SyncRead, {address, count}};
      expected.params.insert(expected.params.end(), ids.begin(), ids.end());
      built = sync_read_packet(ids, address, count);
      break;
    }
    default: {
      const auto ids = some_bytes(input);
      std::vector<std::vector<std::uint8_t>> values(
          input.ConsumeIntegralInRange<std::size_t>(0, 40));
      for (auto& value : values) {
        value = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 3));
      }
      built = sync_write_packet(ids, address, values);
      const std::size_t servos = std::min(ids.size(), values.size());
      if (servos == 0) {
        require_refused(built, "a sync write with no servo is refused");
        return 0;
      }
      expected = sync_write_params(address, ids, values);
      if ((expected.params.size() - 2) / servos - 1 > 0xFF) {
        require_refused(built, "a sync write width past 8 bits is refused");
        return 0;
      }
    }
  }

  if (expected.params.size() > kMaxParams) {
    require_refused(built, "more than 253 parameter bytes are refused");
    return 0;
  }
  require(built.has_value(), "a packet that fits is built");
  const auto wire = built->bytes();
  require(built->id() == expected.id && wire.size() == expected.params.size() + 6 &&
              wire[0] == 0xFF && wire[1] == 0xFF && wire[2] == expected.id &&
              wire[3] == expected.params.size() + 2 &&
              wire[4] == static_cast<std::uint8_t>(expected.instruction),
          "header, id, length byte and instruction frame the parameters");
  // Same layout both ways: the status checks take it back, checksum included.
  require(check_status(wire, expected.id).has_value() &&
              std::ranges::equal(status_data(wire), expected.params),
          "the status checks read the parameters back");
  return 0;
}
