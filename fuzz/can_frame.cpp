// The transport's classification of what a CAN socket delivers, on arbitrary datagrams:
// 16 bytes is a classic frame (all 8 data bytes for an error frame, the length byte's
// count otherwise), 72 bytes a CAN FD frame, anything else a protocol error. The socket is
// one end of a local datagram pair; the fuzzer writes on the other. Every frame received
// goes back out unchanged, identifier and data.
#include <linux/can.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <span>

#include "can_motor/transport/socketcan_backend.hpp"
#include "fuzz/check.hpp"

using namespace vorlix::can_motor;
using vorlix::fuzz::require;

namespace {
int peer = -1;  // the fuzzer's end of the pair
}  // namespace

// Stand-ins for what SocketCanTransport::open asks of the C library (linked with --wrap).
extern "C" unsigned __wrap_if_nametoindex(const char*) { return 1; }
extern "C" int __wrap_socket(int, int, int) {
  int ends[2];
  require(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends) == 0, "a socket pair opens");
  peer = ends[1];
  return ends[0];
}
extern "C" int __wrap_bind(int, const sockaddr*, socklen_t) { return 0; }
extern "C" int __wrap_setsockopt(int, int, int, const void*, socklen_t) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static SocketCanTransport transport = [] {
    auto opened = SocketCanTransport::open("fuzz0");
    require(opened.has_value(), "the transport opens on the socket pair");
    return std::move(*opened);
  }();
  require(::send(peer, data, size, 0) == static_cast<ssize_t>(size), "the datagram is queued");
  const auto frame = transport.recv(std::chrono::seconds(1));

  // A longer datagram is cut to the 72 bytes read.
  std::array<std::uint8_t, CANFD_MTU> wire{};
  const std::size_t read = std::min(size, wire.size());
  std::copy_n(data, read, wire.begin());
  canfd_frame raw{};
  std::memcpy(&raw, wire.data(), sizeof raw);
  if (read != CAN_MTU && read != CANFD_MTU) {
    require(!frame && frame.error() == CanError::backend(EPROTO),
            "a datagram of another size is a protocol error");
    return 0;
  }
  require(frame.has_value(), "a classic or FD frame is received");
  const bool fd = read == CANFD_MTU;
  const bool error_frame = !fd && (raw.can_id & CAN_ERR_FLAG) != 0;
  const std::size_t length = error_frame ? CAN_MAX_DLEN
                                         : std::min<std::size_t>(raw.len, fd ? CANFD_MAX_DLEN
                                                                             : CAN_MAX_DLEN);
  const bool extended = (raw.can_id & CAN_EFF_FLAG) != 0;
  require(frame->id == (extended ? CanId::extended(raw.can_id & CAN_EFF_MASK)
                                 : CanId::standard(raw.can_id & CAN_SFF_MASK)),
          "the identifier is extended by its flag, masked to its width");
  require(frame->fd == fd && frame->brs == (fd && (raw.flags & CANFD_BRS) != 0),
          "FD and bit-rate switch as the frame says");
  require(std::ranges::equal(frame->data, std::span(raw.data, length)),
          "the data are the frame's first bytes");

  require(transport.send(*frame).has_value(), "a received frame can be sent");
  canfd_frame out{};
  const ssize_t sent = ::recv(peer, &out, sizeof out, 0);
  require(sent == static_cast<ssize_t>(fd ? CANFD_MTU : CAN_MTU), "sent in its own layout");
  // The error and remote flags are the kernel's, not part of the identifier.
  require(out.can_id == (extended ? (raw.can_id & CAN_EFF_MASK) | CAN_EFF_FLAG
                                  : raw.can_id & CAN_SFF_MASK),
          "the identifier goes back out");
  require(std::ranges::equal(std::span(out.data, length), frame->data),
          "the data go back out");
  return 0;
}
