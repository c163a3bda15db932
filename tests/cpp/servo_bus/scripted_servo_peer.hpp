// The servo end of a pty for byte-exact tests: the port under test opens the slave, and the
// test plays the servos on the master with a short script.
#pragma once

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "servo_bus/serial_port/serial_port.hpp"
#include "support/test_support.hpp"
#include "support/pty.hpp"

namespace vorlix::servo_bus::testing {

using Bytes = std::vector<std::uint8_t>;

// "FF FF 01" -> {0xFF, 0xFF, 0x01}, the reverse of test_support::hex.
Bytes bytes_of(std::string_view hex);

using test_support::eventually;

// The port's wait in tests unless they set their own: a pty hands the peer's reply over on a
// kernel worker of ordinary priority, which a busy host can hold back well past the torso's
// 10 ms, never this long.
inline constexpr std::chrono::milliseconds kReplyWait{500};

// A well-formed status reply.
Bytes status_reply(std::uint8_t id, const Bytes& data, std::uint8_t error_byte = 0);
// Several packets back to back, as they follow each other on the line.
Bytes joined(std::initializer_list<Bytes> packets);

class ScriptedServoPeer {
 public:
  ScriptedServoPeer() = default;
  ~ScriptedServoPeer();
  ScriptedServoPeer(const ScriptedServoPeer&) = delete;
  ScriptedServoPeer& operator=(const ScriptedServoPeer&) = delete;

  const std::string& slave_path() const { return pty_.slave_path(); }
  // Opens the port under test on the slave, each of its waits bounded by `wait`; the test
  // fails at once if it cannot.
  SerialPort open_port(std::chrono::nanoseconds wait = kReplyWait) const;

  // Script steps, played in order on the peer's thread once start() is called.
  // Reads one request of `request_size` bytes, then writes `reply` (nothing: a silent servo).
  ScriptedServoPeer& answer(std::size_t request_size, Bytes reply = {});
  // Waits `delay`, then writes `bytes` unasked.
  ScriptedServoPeer& send_after(std::chrono::microseconds delay, Bytes bytes);
  // Keeps our side's input full until finish(): input that never stops coming, whenever
  // our side reads.
  ScriptedServoPeer& flood();
  // Plays the steps on a thread of real-time priority where the system allows it, so that the
  // script keeps its timing on a busy machine.
  void start();
  // Waits until every answer step has read its request (or waited a generous time for it),
  // ends a flood and returns the requests read, one per answer step.
  std::vector<Bytes> finish();

  // Writes bytes to our side now.
  void send(const Bytes& bytes);
  // Sends, then waits until `port` sees all of them waiting.
  void inject(const SerialPort& port, const Bytes& bytes);
  // The next `count` bytes our side wrote (fewer only after a generous wait for one), then
  // any byte already waiting behind them, so that a byte too many shows.
  Bytes take_written(std::size_t count);
  // The adapter is unplugged.
  void close_master() { pty_.close_master(); }

 private:
  struct Step {
    enum class Kind { Answer, SendAfter, Flood } kind;
    std::size_t request_size;
    Bytes bytes;
    std::chrono::microseconds delay;  // of SendAfter
  };
  void play();
  void keep_full();
  Bytes read_request(std::size_t size);

  test_support::Pty pty_;
  std::vector<Step> steps_;
  std::vector<Bytes> requests_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace vorlix::servo_bus::testing
