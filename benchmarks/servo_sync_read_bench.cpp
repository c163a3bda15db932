// One sync read of four present positions per exchange, against a servo peer on the master
// side of a pty. The peer is a forked child, so that tracing this process alone
// (strace without -f) counts only our side's system calls.
//
//   servo_sync_read_bench [--exchanges N] [--wire-time]
//
// --wire-time makes the peer take 10 us per byte, as a 1,000,000 baud line does, for the
// request and for each reply.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "servo_bus/feetech_protocol/feetech.hpp"
#include "servo_bus/servo/feetech/group_ops.hpp"
#include "servo_bus/serial_port/serial_port.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using vorlix::servo_bus::checksum;

constexpr std::array<std::uint8_t, 4> kIds{1, 2, 3, 4};
constexpr std::size_t kRequestSize = 12;  // sync read of 2 bytes from four ids
constexpr std::size_t kReplySize = 8;
constexpr auto kByteTime = std::chrono::microseconds(10);
constexpr int kPeerPatienceMs = 5000;

// Sleeping would overshoot by more than a reply's whole wire time.
void spin_for(Clock::duration time) {
  const auto until = Clock::now() + time;
  while (Clock::now() < until) {
  }
}

std::array<std::uint8_t, kReplySize> reply_of(std::uint8_t id) {
  std::array<std::uint8_t, kReplySize> reply{0xFF, 0xFF, id, 4, 0, 0x00, 0x08, 0};
  reply.back() = checksum(std::span(reply).subspan(2, kReplySize - 3));
  return reply;
}

// Serves `exchanges` requests, then returns the exit status for the child.
int serve(int master, int exchanges, bool wire_time) {
  std::vector<std::uint8_t> replies;
  for (const std::uint8_t id : kIds) {
    const auto reply = reply_of(id);
    replies.insert(replies.end(), reply.begin(), reply.end());
  }
  std::array<std::uint8_t, kRequestSize> request{};
  for (int served = 0; served < exchanges; ++served) {
    std::size_t got = 0;
    const auto give_up = Clock::now() + std::chrono::milliseconds(kPeerPatienceMs);
    while (got < request.size()) {
      if (Clock::now() > give_up) return 1;
      pollfd entry{master, POLLIN, 0};
      if (::poll(&entry, 1, kPeerPatienceMs) <= 0) return 1;
      if ((entry.revents & POLLIN) == 0) {
        ::usleep(100);  // hang-up until the port is opened on the slave
        continue;
      }
      const ssize_t n = ::read(master, request.data() + got, request.size() - got);
      if (n <= 0) return 1;
      got += static_cast<std::size_t>(n);
    }
    if (!wire_time) {
      if (::write(master, replies.data(), replies.size()) != ssize_t(replies.size())) return 1;
      continue;
    }
    spin_for(kByteTime * kRequestSize);
    for (std::size_t at = 0; at < replies.size(); at += kReplySize) {
      spin_for(kByteTime * kReplySize);
      if (::write(master, replies.data() + at, kReplySize) != ssize_t(kReplySize)) return 1;
    }
  }
  // Closing the master now would hang up the line under the last replies: wait for our side
  // to close the port first.
  pollfd entry{master, POLLIN, 0};
  while (::poll(&entry, 1, kPeerPatienceMs) > 0 && (entry.revents & POLLHUP) == 0) {
    std::uint8_t stray[64];
    if (::read(master, stray, sizeof stray) <= 0) break;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int exchanges = 2000;
  bool wire_time = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--exchanges" && i + 1 < argc) {
      exchanges = std::atoi(argv[++i]);
    } else if (arg == "--wire-time") {
      wire_time = true;
    } else {
      exchanges = 0;
    }
    if (exchanges < 1) {
      std::fprintf(stderr, "usage: %s [--exchanges N] [--wire-time]\n", argv[0]);
      return 2;
    }
  }

  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char slave[64];
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
      ::ptsname_r(master, slave, sizeof slave) != 0) {
    std::perror("pty");
    return 1;
  }
  const pid_t peer = ::fork();
  if (peer < 0) {
    std::perror("fork");
    return 1;
  }
  if (peer == 0) {
    // A real servo does not compete with us for the processor: keep the peer's timing where
    // the system allows it.
    const sched_param realtime{1};
    ::sched_setscheduler(0, SCHED_FIFO, &realtime);
    _exit(serve(master, exchanges, wire_time));
  }
  ::close(master);

  int failures = 0;
  std::vector<double> micros;
  micros.reserve(static_cast<std::size_t>(exchanges));
  {
    auto port = vorlix::servo_bus::SerialPort::open(slave);
    if (!port) {
      std::fprintf(stderr, "open %s: %s\n", slave, port.error().text.c_str());
      return 1;
    }
    const vorlix::servo_bus::FeetechProtocolHandler handler;
    for (int i = 0; i < exchanges; ++i) {
      const auto start = Clock::now();
      const auto positions =
          vorlix::servo_bus::feetech::sync_read_present_position(vorlix::servo_bus::kSm40bl,
                                                                 handler, *port, kIds);
      const auto elapsed = Clock::now() - start;
      if (!positions || positions->size() != kIds.size()) {
        // The next exchange drains what arrives late; count the failure and go on.
        ++failures;
        std::fprintf(stderr, "exchange %d failed: %s\n", i,
                     positions ? "wrong count" : positions.error().text().c_str());
        continue;
      }
      micros.push_back(std::chrono::duration<double, std::micro>(elapsed).count());
    }
  }
  int status = 0;
  ::waitpid(peer, &status, 0);

  if (micros.empty()) return 1;
  std::sort(micros.begin(), micros.end());
  const auto at = [&](double q) {
    return micros[static_cast<std::size_t>(q * static_cast<double>(micros.size() - 1))];
  };
  std::printf("exchanges: %d (%d failed), wire time: %s\n", exchanges, failures,
              wire_time ? "10 us/byte" : "none");
  std::printf("per exchange (us): median %.1f, min %.1f, p90 %.1f, max %.1f\n", at(0.5),
              micros.front(), at(0.9), micros.back());
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
