#include "vcan_peer.hpp"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace vorlix::can_motor::test {
namespace {

void check(bool ok, const char* what) {
  if (!ok) throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

WireFrame classic(std::uint32_t can_id, std::vector<std::uint8_t> data) {
  return WireFrame{.can_id = can_id, .data = std::move(data), .fd = false, .flags = 0};
}

VcanPeer::VcanPeer(const std::string& interface_name)
    : fd_(::socket(AF_CAN, SOCK_RAW, CAN_RAW)) {
  check(fd_ >= 0, "socket");
  sockaddr_can address{};
  address.can_family = AF_CAN;
  address.can_ifindex = static_cast<int>(::if_nametoindex(interface_name.c_str()));
  const int on = 1;
  if (address.can_ifindex == 0 ||
      ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::setsockopt(fd_, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) != 0) {
    const int error = errno;
    ::close(fd_);
    throw std::system_error(error, std::generic_category(), "peer on " + interface_name);
  }
}

VcanPeer::~VcanPeer() { ::close(fd_); }

void VcanPeer::send(const WireFrame& frame) {
  canfd_frame out{};
  out.can_id = frame.can_id;
  out.len = static_cast<std::uint8_t>(frame.data.size());
  out.flags = frame.flags;
  // Not memcpy: an empty vector's data() may be null, which memcpy must never be given.
  std::ranges::copy(frame.data, out.data);
  const std::size_t size = frame.fd ? CANFD_MTU : CAN_MTU;
  check(::write(fd_, &out, size) == static_cast<ssize_t>(size), "peer write");
}

std::optional<WireFrame> VcanPeer::receive(std::chrono::milliseconds timeout) {
  // A zero SO_RCVTIMEO would wait for ever.
  const int flags = timeout == 0ms ? MSG_DONTWAIT : 0;
  const timeval limit{static_cast<time_t>(timeout.count() / 1000),
                      static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
  check(::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0, "SO_RCVTIMEO");
  canfd_frame in{};
  const ssize_t n = ::recv(fd_, &in, sizeof in, flags);
  if (n < 0 && errno == EAGAIN) return std::nullopt;
  check(n == CAN_MTU || n == CANFD_MTU, "peer read");
  timeval stamp{};
  check(::ioctl(fd_, SIOCGSTAMP, &stamp) == 0, "SIOCGSTAMP");
  return WireFrame{.can_id = in.can_id,
                   .data = {in.data, in.data + in.len},
                   .fd = n == CANFD_MTU,
                   .flags = in.flags,
                   .at = std::chrono::system_clock::time_point(
                       std::chrono::seconds(stamp.tv_sec) +
                       std::chrono::microseconds(stamp.tv_usec))};
}

std::vector<WireFrame> VcanPeer::take(std::size_t count) {
  std::vector<WireFrame> frames;
  while (frames.size() < count) {
    auto frame = receive(kAnswerWait);
    if (!frame) return frames;
    frames.push_back(std::move(*frame));
  }
  while (auto frame = receive(0ms)) frames.push_back(std::move(*frame));
  return frames;
}

Responder::Responder(const std::string& interface_name, Answer answer)
    : peer_(interface_name), answer_(std::move(answer)), thread_([this](std::stop_token stop) {
        for (;;) {
          // Once asked to stop, it still answers what is already waiting.
          const bool stopping = stop.stop_requested();
          auto frame = peer_.receive(stopping ? 0ms : 2ms);
          if (!frame) {
            if (stopping) return;
            continue;
          }
          for (const WireFrame& reply : answer_(*frame)) peer_.send(reply);
          const std::lock_guard lock(mutex_);
          seen_.push_back(std::move(*frame));
          seen_more_.notify_all();
        }
      }) {}

std::vector<WireFrame> Responder::finish(std::size_t at_least) {
  {
    std::unique_lock lock(mutex_);
    seen_more_.wait_for(lock, kAnswerWait, [&] { return seen_.size() >= at_least; });
  }
  thread_.request_stop();
  thread_.join();
  return std::move(seen_);
}

void VcanTest::SetUp() {
  const char* name = std::getenv("VORLIX_CAN_IFACE");
  ASSERT_NE(name, nullptr) << "VORLIX_CAN_IFACE is not set: run these tests through "
                              "tools/with-vcan, which provides a vcan interface in a real kernel";
  interface_name_ = name;
  witness_.emplace(interface_name_);
  auto opened = SocketCanTransport::open(interface_name_);
  ASSERT_TRUE(opened) << opened.error().text();
  transport_.emplace(std::move(*opened));
  peer_.emplace(interface_name_);
}

void VcanTest::deliver(const WireFrame& frame) {
  peer_->send(frame);
  // The witness also heard whatever the test sent before: skip to this frame.
  while (auto seen = witness_->receive(kAnswerWait)) {
    if (seen->can_id == frame.can_id && seen->data == frame.data) return;
  }
  FAIL() << "the frame never reached the bus";
}

}  // namespace vorlix::can_motor::test
