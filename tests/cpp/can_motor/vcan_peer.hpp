// The other end of the bus in tests: raw sockets on the vcan interface named by
// tools/with-vcan, built on the kernel's structures alone so they check the transport
// rather than share its code.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "can_motor/transport/socketcan_backend.hpp"
#include "support/test_support.hpp"

namespace vorlix::can_motor::test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct WireFrame {
  std::uint32_t can_id = 0;         // the kernel's identifier word, flags included
  std::vector<std::uint8_t> data;   // as many bytes as the length byte says
  bool fd = false;
  std::uint8_t flags = 0;           // CAN FD flags byte
  // When the kernel queued it for us (received frames only): immune to our thread's delays.
  std::chrono::system_clock::time_point at{};

  std::string hex() const { return test_support::hex(data); }
};

// Classic frames; `can_id` is the kernel's identifier word.
WireFrame classic(std::uint32_t can_id, std::vector<std::uint8_t> data);

class VcanPeer {
 public:
  explicit VcanPeer(const std::string& interface_name);
  VcanPeer(const VcanPeer&) = delete;
  VcanPeer& operator=(const VcanPeer&) = delete;
  ~VcanPeer();

  void send(const WireFrame& frame);
  std::optional<WireFrame> receive(std::chrono::milliseconds timeout);
  // Everything that arrives until the bus has been quiet for `quiet`.
  std::vector<WireFrame> drain(std::chrono::milliseconds quiet = 30ms);

 private:
  int fd_;
};

// A scripted device in its own thread: answers each frame it sees with `answer`'s frames
// and records what it saw.
class Responder {
 public:
  using Answer = std::function<std::vector<WireFrame>(const WireFrame&)>;

  Responder(const std::string& interface_name, Answer answer);
  // Waits until the bus has been quiet for a while, stops and returns what was seen.
  std::vector<WireFrame> finish();

 private:
  VcanPeer peer_;
  Answer answer_;
  std::mutex mutex_;
  std::vector<WireFrame> seen_;
  Clock::time_point last_ = Clock::now();
  std::jthread thread_;
};

// Opens our transport and a peer on the interface; fails (never skips) outside with-vcan.
class VcanTest : public ::testing::Test {
 protected:
  void SetUp() override;

  std::string interface_name_;
  std::optional<SocketCanTransport> transport_;
  std::optional<VcanPeer> peer_;
};

}  // namespace vorlix::can_motor::test
