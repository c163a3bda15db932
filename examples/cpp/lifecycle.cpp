// What a hardware interface's lifecycle asks of the core, in one run:
//   vorlix_lifecycle SERIAL_PATH CAN_IFACE
// its own log sink (the library's records on standard error), a neck homing that the
// program cancels, errors told apart by kind, then the control loop started on the same
// controller, read, refused and closed. Prints one line per step on standard output; exits 0
// when every step ended as expected.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include <vorlix/control_loop.hpp>
#include <vorlix/log.hpp>

namespace {

namespace controller = vorlix::controller;
namespace loop_api = vorlix::control_loop;
namespace log = vorlix::log;
using controller::ErrorKind;

std::string_view name_of(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Refused: return "refused";
    case ErrorKind::TimedOut: return "timed out";
    case ErrorKind::Interrupted: return "interrupted";
    case ErrorKind::NoServoLine: return "no servo line";
    case ErrorKind::BusIo: return "bus I/O";
    case ErrorKind::Protocol: return "protocol";
    case ErrorKind::Closed: return "closed";
  }
  return "?";
}

// Called on the thread that logs, the loop's worker included, so it serialises its own
// output and does nothing slow.
class StderrSink final : public log::Sink {
 public:
  void write(const log::Record& record) override {
    const std::lock_guard lock(mutex_);
    std::fprintf(stderr, "[%d %.*s %.*s:%u] %.*s\n", static_cast<int>(record.level),
                 static_cast<int>(record.target.size()), record.target.data(),
                 static_cast<int>(record.file.size()), record.file.data(), record.line,
                 static_cast<int>(record.message.size()), record.message.data());
  }

 private:
  std::mutex mutex_;
};

bool step(bool ok, const char* what, std::string_view detail) {
  std::printf("%s %s: %.*s\n", ok ? "ok" : "FAILED", what, static_cast<int>(detail.size()),
              detail.data());
  std::fflush(stdout);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: vorlix_lifecycle SERIAL_PATH CAN_IFACE\n");
    return 2;
  }
  StderrSink sink;
  log::install(sink, log::Level::Info);
  bool all = true;
  {
    auto torso = controller::VorlixMotorController::create(std::string(argv[1]), argv[2]);
    if (!torso) {
      step(false, "open", torso.error().text());
      return 1;
    }

    // A refusal: nothing is sent.
    const auto nan = torso->set_single_neck_joint(vorlix::torso::NeckJoint::Yaw, NAN);
    all &= step(!nan && nan.error().kind() == ErrorKind::Refused, "refused",
                nan ? "sent" : name_of(nan.error().kind()));

    // The motors take their time to leave home: a homing started before they have would
    // settle at once, with nothing to cancel.
    bool moved = torso->enable_neck(true) && torso->set_neck_position({0.4, 0.4, 0.3});
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (moved) {
      const auto at = torso->read_neck_positions();
      if (at && std::abs((*at)[0]) > 0.1) break;
      moved = at.has_value() && std::chrono::steady_clock::now() < give_up;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    all &= step(moved, "neck moved", "");

    // Homing from off its goal at a slow speed, ended by the program: the jthread's
    // destruction requests the stop, and the homing ends at its next pause.
    std::optional<controller::ControllerResult<controller::NeckArray>> homed;
    {
      std::jthread homing([&](std::stop_token stop) {
        homed = torso->neck_home(0.01, 0.01, std::nullopt, std::nullopt, stop);
      });
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    const bool interrupted =
        !homed->has_value() && homed->error().kind() == ErrorKind::Interrupted;
    all &= step(interrupted, "homing cancelled",
                homed->has_value() ? "settled" : homed->error().text());

    // The loop on the same controller, which it owns from now on.
    loop_api::ControlLoopSettings settings;
    auto loop = loop_api::ControlLoop::create(std::move(*torso), settings);
    if (!loop) {
      all &= step(false, "loop", loop.error().text());
    } else {
      const auto reading = loop->get_last_position();
      all &= step(reading.has_value(), "reading",
                  reading ? std::to_string(reading->neck[0]) : reading.error().text());
      auto refused = loop->post(loop_api::SetNeckYawPosition{NAN});
      all &= step(!refused && loop_api::kind_of(refused.error().failure) == ErrorKind::Refused,
                  "post refused", refused ? "queued" : refused.error().text);
      loop->close();
      auto closed = loop->post(loop_api::EnableNeck{false});
      all &= step(!closed && loop_api::kind_of(closed.error().failure) == ErrorKind::Closed,
                  "post after close", closed ? "queued" : closed.error().text);
    }
  }
  log::uninstall();
  return all ? 0 : 1;
}
