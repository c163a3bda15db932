// Full readings (read_pos: seven servos on a pty, three neck motors on CAN), one after another,
// against peers that answer at once. The peers are programs of their own (this one, started
// again with --serve-servos or --serve-neck), so that a profiler of this process sees only our
// side and a slow profiler never makes a peer miss a time-out.
//
//   reading_bench --readings N        (next to a vcan interface named in VORLIX_CAN_IFACE)
#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "src/control_loop/reading.hpp"
#include "support/instant_peers.hpp"

namespace {

constexpr int kPeerPatienceMs = 5000;

// Answers every sync read with one reply per id until killed.
int serve_servos(int master) {
  std::vector<std::uint8_t> input;
  for (;;) {
    pollfd entry{master, POLLIN, 0};
    if (::poll(&entry, 1, kPeerPatienceMs) <= 0) return 1;
    if ((entry.revents & POLLIN) == 0) {
      ::usleep(100);  // hang-up while the slave is not open
      continue;
    }
    std::uint8_t chunk[256];
    const ssize_t got = ::read(master, chunk, sizeof chunk);
    if (got <= 0) continue;
    input.insert(input.end(), chunk, chunk + got);
    bool written = true;
    vorlix::test_support::take_sync_reads(input, [&](std::span<const std::uint8_t> request) {
      const auto replies = vorlix::test_support::sync_read_replies(request);
      written = written && ::write(master, replies.data(), replies.size()) >= 0;
    });
    if (!written) return 1;
  }
}

// Answers every feedback request with the motor's state until killed.
int serve_neck(const char* iface) {
  const int fd = ::socket(AF_CAN, SOCK_RAW, CAN_RAW);
  sockaddr_can address{};
  address.can_family = AF_CAN;
  address.can_ifindex = static_cast<int>(::if_nametoindex(iface));
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 1;
  for (;;) {
    can_frame in{};
    if (::read(fd, &in, sizeof in) != sizeof in) return 1;
    if (in.can_id != 0x7FF || in.len < 3 || in.data[2] != 0xCC) continue;
    can_frame out{};
    out.can_id = in.data[0];
    out.len = 8;
    const auto state = vorlix::test_support::neck_state_at_zero(in.data[0]);
    std::memcpy(out.data, state.data(), state.size());
    if (::write(fd, &out, sizeof out) != sizeof out) return 1;
  }
}

pid_t start_peer(const char* self, std::vector<std::string> args) {
  const pid_t peer = ::fork();
  if (peer != 0) return peer;
  std::vector<char*> argv{const_cast<char*>(self)};
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  ::execv(self, argv.data());
  _exit(127);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--serve-servos") == 0) {
    return serve_servos(std::atoi(argv[2]));
  }
  if (argc == 3 && std::strcmp(argv[1], "--serve-neck") == 0) return serve_neck(argv[2]);
  const char* iface = std::getenv("VORLIX_CAN_IFACE");
  const int readings = argc == 3 && std::strcmp(argv[1], "--readings") == 0 ? std::atoi(argv[2]) : 0;
  if (iface == nullptr || readings < 1) {
    std::fprintf(stderr, "usage: VORLIX_CAN_IFACE=can0 %s --readings N\n", argv[0]);
    return 2;
  }

  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  char slave[64];
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
      ::ptsname_r(master, slave, sizeof slave) != 0) {
    std::perror("pty");
    return 1;
  }
  const pid_t servos = start_peer(argv[0], {"--serve-servos", std::to_string(master)});
  const pid_t neck = start_peer(argv[0], {"--serve-neck", iface});
  ::close(master);

  int failures = 0;
  {
    auto controller = vorlix::controller::VorlixMotorController::create(std::string(slave), iface);
    if (!controller) {
      std::fprintf(stderr, "controller: %s\n", controller.error().text().c_str());
      return 1;
    }
    // The peers start on their own: wait until both answer (outside read_pos, which a
    // profiler may be counting).
    for (int tries = 0; !controller->read_neck_positions() || !controller->read_all_positions();
         ++tries) {
      if (tries == 100) {
        std::fprintf(stderr, "the peers do not answer\n");
        return 1;
      }
    }
    for (int i = 0; i < readings; ++i) {
      if (!vorlix::control_loop::read_pos(*controller, 3)) ++failures;
    }
  }
  for (const pid_t peer : {servos, neck}) {
    ::kill(peer, SIGTERM);
    ::waitpid(peer, nullptr, 0);
  }
  std::printf("readings: %d (%d failed)\n", readings, failures);
  return failures == 0 ? 0 : 1;
}
