#include "servo_bus/scripted_servo_peer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "servo_bus/feetech_protocol/feetech.hpp"

namespace vorlix::servo_bus::testing {
namespace {

// Generous: the peer must never be the one that times out.
constexpr int kPeerWaitMs = 1000;

[[noreturn]] void fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

Bytes bytes_of(std::string_view hex_text) {
  Bytes bytes;
  for (std::size_t i = 0; i < hex_text.size(); ++i) {
    if (hex_text[i] == ' ') continue;
    bytes.push_back(static_cast<std::uint8_t>(
        std::stoul(std::string(hex_text.substr(i, 2)), nullptr, 16)));
    ++i;
  }
  return bytes;
}

Bytes status_reply(std::uint8_t id, const Bytes& data, std::uint8_t error_byte) {
  Bytes bytes(data.size() + 6);
  bytes[0] = 0xFF;
  bytes[1] = 0xFF;
  bytes[2] = id;
  bytes[3] = static_cast<std::uint8_t>(data.size() + 2);
  bytes[4] = error_byte;
  std::copy(data.begin(), data.end(), bytes.begin() + 5);
  bytes.back() = checksum(std::span(bytes).subspan(2, bytes.size() - 3));
  return bytes;
}

Bytes joined(std::initializer_list<Bytes> packets) {
  Bytes bytes;
  for (const Bytes& packet : packets) bytes.insert(bytes.end(), packet.begin(), packet.end());
  return bytes;
}

ScriptedServoPeer::~ScriptedServoPeer() {
  if (thread_.joinable()) finish();
}

SerialPort ScriptedServoPeer::open_port(std::chrono::nanoseconds wait) const {
  auto port = SerialPort::open(slave_path(), wait);
  if (!port) throw std::runtime_error("cannot open " + slave_path() + ": " + port.error().text);
  return std::move(*port);
}

ScriptedServoPeer& ScriptedServoPeer::answer(std::size_t request_size, Bytes reply) {
  steps_.push_back(Step{Step::Kind::Answer, request_size, std::move(reply), {}});
  return *this;
}

ScriptedServoPeer& ScriptedServoPeer::send_after(std::chrono::microseconds delay, Bytes bytes) {
  steps_.push_back(Step{Step::Kind::SendAfter, 0, std::move(bytes), delay});
  return *this;
}

ScriptedServoPeer& ScriptedServoPeer::flood() {
  steps_.push_back(Step{Step::Kind::Flood, 0, {}, {}});
  return *this;
}

void ScriptedServoPeer::start() {
  thread_ = std::thread([this] { play(); });
  const sched_param realtime{1};
  ::pthread_setschedparam(thread_.native_handle(), SCHED_FIFO, &realtime);
}

std::vector<Bytes> ScriptedServoPeer::finish() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  return requests_;
}

void ScriptedServoPeer::play() {
  for (const Step& step : steps_) {
    switch (step.kind) {
      case Step::Kind::Answer:
        requests_.push_back(read_request(step.request_size));
        if (requests_.back().size() < step.request_size) return;  // our side never asked
        send(step.bytes);
        break;
      case Step::Kind::SendAfter:
        std::this_thread::sleep_for(step.delay);
        send(step.bytes);
        break;
      case Step::Kind::Flood:
        keep_full();
        break;
    }
  }
}

// Writes whenever the line takes more, without blocking, so that finish() ends it promptly.
void ScriptedServoPeer::keep_full() {
  const int blocking = ::fcntl(pty_.master(), F_GETFL);
  ::fcntl(pty_.master(), F_SETFL, blocking | O_NONBLOCK);
  const Bytes chunk(256, 0x55);
  while (!stop_) {
    pollfd entry{pty_.master(), POLLOUT, 0};
    if (::poll(&entry, 1, 1) > 0 && ::write(pty_.master(), chunk.data(), chunk.size()) < 0 &&
        errno != EAGAIN) {
      break;
    }
  }
  ::fcntl(pty_.master(), F_SETFL, blocking);
}

Bytes ScriptedServoPeer::read_request(std::size_t size) {
  Bytes request(size);
  std::size_t done = 0;
  while (done < size) {
    pollfd entry{pty_.master(), POLLIN, 0};
    if (::poll(&entry, 1, kPeerWaitMs) <= 0) break;
    const ssize_t got = ::read(pty_.master(), request.data() + done, size - done);
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  request.resize(done);
  return request;
}

void ScriptedServoPeer::send(const Bytes& bytes) {
  if (bytes.empty()) return;
  if (::write(pty_.master(), bytes.data(), bytes.size()) != ssize_t(bytes.size())) {
    fail("peer write");
  }
}

void ScriptedServoPeer::inject(const SerialPort& port, const Bytes& bytes) {
  send(bytes);
  // The pty hands bytes to the slave asynchronously.
  if (!eventually([&] { return port.bytes_to_read().value_or(0) >= bytes.size(); })) {
    throw std::runtime_error("injected bytes never reached the port");
  }
}

Bytes ScriptedServoPeer::take_written(std::size_t count) {
  Bytes written;
  std::uint8_t chunk[512];
  pollfd entry{pty_.master(), POLLIN, 0};
  for (;;) {
    const int wait = written.size() < count ? kPeerWaitMs : 0;
    if (::poll(&entry, 1, wait) <= 0) break;
    const ssize_t got = ::read(pty_.master(), chunk, sizeof chunk);
    if (got <= 0) break;
    written.insert(written.end(), chunk, chunk + got);
  }
  return written;
}

}  // namespace vorlix::servo_bus::testing
