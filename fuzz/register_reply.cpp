// Register reads on a bus scripted by the fuzzer: an unknown register is refused before
// anything is sent; otherwise the answer is the first 8-byte reply that names the read
// command and the register, whatever its identifier, read as the table's type.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>

#include "can_motor/damiao/driver.hpp"
#include "fuzz/check.hpp"
#include "fuzz/scripted_bus.hpp"

using namespace vorlix::can_motor;
using namespace vorlix::can_motor::damiao;
using vorlix::fuzz::require;
using vorlix::fuzz::ScriptedBus;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto id = input.ConsumeIntegral<std::uint8_t>();
  const auto can_id = input.ConsumeIntegral<std::uint16_t>();
  ScriptedBus bus(input);
  // No deadline: a descheduled run must not time out with the reply still queued.
  const Damiao motor{.timeout = Duration::max(),
                     .limits = {12.5f, 10.0f, 500.0f, 5.0f, 28.0f},
                     .can_id = can_id,
                     .master_id = 0};
  const auto value = motor.read_register(bus, id);

  const RegisterInfo* info = lookup(id);
  if (info == nullptr) {
    require(!value && value.error() == DamiaoError(UnknownRegister{id}) && bus.sent().empty(),
            "an unknown register is refused with nothing sent");
    return 0;
  }
  require(bus.sent().size() == 1, "one request is sent");
  const auto reply = bus.first([&](const CanFrame& frame) {
    return frame.data.size() == 8 && frame.data[2] == 0x33 && frame.data[3] == id;
  });
  if (!reply) {
    require(!value && value.error() == DamiaoError(CanError::timeout()),
            "no matching reply times out");
    return 0;
  }
  const auto& bytes = reply->data;
  const std::uint32_t bits = std::uint32_t{bytes[4]} | std::uint32_t{bytes[5]} << 8 |
                             std::uint32_t{bytes[6]} << 16 | std::uint32_t{bytes[7]} << 24;
  require(value.has_value() && *value == RegisterValue{info->type, bits},
          "the first matching reply is read little-endian as the table's type");
  return 0;
}
