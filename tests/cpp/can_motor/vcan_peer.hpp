// The other end of the bus in tests: raw sockets on the vcan interface named by
// tools/with-vcan, built on the kernel's structures alone so they check the transport
// rather than share its code.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
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

// Long enough that a peer on a busy machine always answers in time: every wait for an answer
// that comes uses it, and ends as soon as the answer is there.
constexpr auto kAnswerWait = 2s;

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
  // A zero time-out only takes a frame that is already waiting.
  std::optional<WireFrame> receive(std::chrono::milliseconds timeout);
  // The next `count` frames (fewer only after a generous wait for one), then any frame
  // already waiting behind them, so that a frame too many shows.
  std::vector<WireFrame> take(std::size_t count);

 private:
  int fd_;
};

// A scripted device in its own thread: answers each frame it sees with `answer`'s frames
// and records what it saw.
class Responder {
 public:
  using Answer = std::function<std::vector<WireFrame>(const WireFrame&)>;

  Responder(const std::string& interface_name, Answer answer);
  // Waits until it has seen `at_least` frames (a missing one fails the test after a generous
  // wait), then stops once every frame already waiting is answered, and returns all it saw.
  std::vector<WireFrame> finish(std::size_t at_least = 0);

 private:
  VcanPeer peer_;
  Answer answer_;
  std::mutex mutex_;
  std::condition_variable seen_more_;
  std::vector<WireFrame> seen_;
  std::jthread thread_;
};

// Opens our transport and a peer on the interface; fails (never skips) outside with-vcan.
class VcanTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Sends from the peer and returns once the frame waits in the transport's queue.
  void deliver(const WireFrame& frame);

  std::string interface_name_;
  // Opened before the transport: the kernel hands a frame to the newest socket first, so once
  // the witness holds a frame, the transport's socket holds it too.
  std::optional<VcanPeer> witness_;
  std::optional<SocketCanTransport> transport_;
  std::optional<VcanPeer> peer_;
};

}  // namespace vorlix::can_motor::test
