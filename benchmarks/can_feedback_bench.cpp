// Round trip of Damiao::request_feedback against a minimal responder on a vcan interface.
//
//   can_feedback_bench [EXCHANGES] [--untimed]
//
// VORLIX_CAN_IFACE names the interface (run it through tools/with-vcan). --untimed skips the
// per-exchange clock reads, so that a system-call count sees only the driver's own calls, and
// allows a reply 1 s instead of the neck's 20 ms.
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "can_motor/damiao/driver.hpp"
#include "can_motor/transport/socketcan_backend.hpp"

namespace {

using namespace std::chrono_literals;
using vorlix::can_motor::Duration;
using vorlix::can_motor::SocketCanTransport;
using vorlix::can_motor::damiao::Damiao;

constexpr std::uint16_t kCanId = 1;
constexpr std::uint16_t kMasterId = 0x11;
constexpr int kWarmUp = 100;

// Answers every feedback request with a fixed 8-byte state frame, as a motor would.
class Responder {
 public:
  explicit Responder(const char* interface_name) : fd_(::socket(AF_CAN, SOCK_RAW, CAN_RAW)) {
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = static_cast<int>(::if_nametoindex(interface_name));
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      std::perror("responder socket");
      std::exit(1);
    }
    thread_ = std::jthread([this](std::stop_token stop) { serve(stop); });
  }
  Responder(const Responder&) = delete;
  Responder& operator=(const Responder&) = delete;
  ~Responder() {
    thread_.request_stop();
    thread_.join();
    ::close(fd_);
  }

 private:
  void serve(const std::stop_token& stop) {
    can_frame state{};
    state.can_id = kMasterId;
    state.len = 8;
    constexpr std::uint8_t kState[8] = {0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x28};
    std::memcpy(state.data, kState, sizeof kState);
    while (!stop.stop_requested()) {
      pollfd readable{.fd = fd_, .events = POLLIN, .revents = 0};
      if (::poll(&readable, 1, 10) <= 0) continue;
      can_frame request{};
      if (::read(fd_, &request, sizeof request) == sizeof request && request.can_id == 0x7FF &&
          request.data[2] == 0xCC) {
        if (::write(fd_, &state, sizeof state) != sizeof state) std::perror("responder write");
      }
    }
  }

  int fd_;
  std::jthread thread_;
};

double micros(std::chrono::nanoseconds d) { return static_cast<double>(d.count()) / 1000.0; }

}  // namespace

int main(int argc, char** argv) {
  const char* interface_name = std::getenv("VORLIX_CAN_IFACE");
  if (interface_name == nullptr) {
    std::fprintf(stderr, "VORLIX_CAN_IFACE is not set: run this through tools/with-vcan\n");
    return 2;
  }
  const int exchanges = argc > 1 ? std::atoi(argv[1]) : 2000;
  const bool timed = !(argc > 2 && std::string_view(argv[2]) == "--untimed");
  if (exchanges <= 0) {
    std::fprintf(stderr, "usage: can_feedback_bench [EXCHANGES] [--untimed]\n");
    return 2;
  }

  auto transport = SocketCanTransport::open(interface_name);
  if (!transport) {
    std::fprintf(stderr, "open %s: %s\n", interface_name, transport.error().text().c_str());
    return 1;
  }
  const Responder responder(interface_name);
  // Under strace every call is slower; a late reply would change the count being taken.
  const Damiao motor{.timeout = timed ? Duration(20ms) : Duration(1s),
                     .limits = {12.5f, 30.0f, 500.0f, 5.0f, 10.0f},
                     .can_id = kCanId,
                     .master_id = kMasterId};

  std::vector<std::chrono::nanoseconds> round_trips;
  round_trips.reserve(static_cast<std::size_t>(exchanges));
  int failures = 0;
  for (int i = 0; i < kWarmUp + exchanges; ++i) {
    const auto start =
        timed ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
    const auto state = motor.request_feedback(*transport);
    if (!state) {
      ++failures;
      continue;
    }
    if (timed && i >= kWarmUp) round_trips.push_back(std::chrono::steady_clock::now() - start);
  }
  if (failures != 0) std::printf("failed exchanges: %d\n", failures);
  if (!timed) return failures == 0 ? 0 : 1;

  std::ranges::sort(round_trips);
  const auto at = [&](double q) {
    const auto last = static_cast<double>(round_trips.size() - 1);
    return micros(round_trips[static_cast<std::size_t>(q * last)]);
  };
  std::printf(
      "request_feedback round trip on %s, %zu exchanges: median %.1f us (p10 %.1f, p90 %.1f, "
      "min %.1f, max %.1f)\n",
      interface_name, round_trips.size(), at(0.5), at(0.1), at(0.9), at(0.0), at(1.0));
  return failures == 0 ? 0 : 1;
}
