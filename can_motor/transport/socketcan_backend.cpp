#include "can_motor/transport/socketcan_backend.hpp"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <utility>

#include "common/poll_for.hpp"

namespace vorlix::can_motor {
namespace {

std::unexpected<CanError> system_failure(int error) {
  return std::unexpected(CanError::backend(error));
}

std::uint32_t raw_id(CanId id) {
  return id.kind() == CanId::Kind::Extended ? id.value() | CAN_EFF_FLAG : id.value();
}

CanId id_from_raw(canid_t raw) {
  return (raw & CAN_EFF_FLAG) != 0 ? CanId::extended(raw & CAN_EFF_MASK)
                                   : CanId::standard(raw & CAN_SFF_MASK);
}

// CAN FD carries only these payload lengths above 8 bytes.
std::uint8_t padded_fd_length(std::size_t length) {
  constexpr std::array<std::uint8_t, 7> lengths{12, 16, 20, 24, 32, 48, 64};
  if (length <= CAN_MAX_DLEN) return static_cast<std::uint8_t>(length);
  return *std::ranges::find_if(lengths, [&](std::uint8_t valid) { return length <= valid; });
}

}  // namespace

CanResult<SocketCanTransport> SocketCanTransport::open(const std::string& interface_name) {
  if (interface_name.find('\0') != std::string::npos) return system_failure(EINVAL);
  errno = 0;
  const unsigned index = ::if_nametoindex(interface_name.c_str());
  if (index == 0) return system_failure(errno != 0 ? errno : ENODEV);

  const int fd = ::socket(AF_CAN, SOCK_RAW, CAN_RAW);
  if (fd < 0) return system_failure(errno);
  SocketCanTransport transport(fd);  // closes the socket on every failure below

  sockaddr_can address{};
  address.can_family = AF_CAN;
  address.can_ifindex = static_cast<int>(index);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return system_failure(errno);
  }
  const int enable = 1;
  if (::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &enable, sizeof enable) != 0) {
    return system_failure(errno);
  }
  return transport;
}

SocketCanTransport::SocketCanTransport(SocketCanTransport&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

SocketCanTransport& SocketCanTransport::operator=(SocketCanTransport&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

SocketCanTransport::~SocketCanTransport() {
  if (fd_ >= 0) ::close(fd_);
}

CanResult<void> SocketCanTransport::send(const CanFrame& frame) {
  if (!frame.id.is_valid()) return std::unexpected(CanError::invalid_id());
  const std::size_t length = frame.data.size();
  // Both layouts start with the identifier word and the length; the classic one is the
  // first 16 bytes of the FD one.
  canfd_frame out{};
  std::size_t size = 0;
  if (frame.fd) {
    if (length > CANFD_MAX_DLEN) return std::unexpected(CanError::frame_too_large(length));
    out.len = padded_fd_length(length);
    out.flags = static_cast<std::uint8_t>(CANFD_FDF | (frame.brs ? CANFD_BRS : 0));
    size = CANFD_MTU;
  } else {
    if (length > CAN_MAX_DLEN) return std::unexpected(CanError::frame_too_large(length));
    out.len = static_cast<std::uint8_t>(length);
    size = CAN_MTU;
  }
  out.can_id = raw_id(frame.id);
  std::ranges::copy(frame.data, out.data);

  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&out);
  for (std::size_t written = 0; written < size;) {
    const ssize_t n = ::write(fd_, bytes + written, size - written);
    if (n < 0) return system_failure(errno);
    if (n == 0) return system_failure(EIO);
    written += static_cast<std::size_t>(n);
  }
  return {};
}

CanResult<CanFrame> SocketCanTransport::recv(Duration timeout) {
  CanFrame frame;
  if (auto received = recv_into(frame, timeout); !received) {
    return std::unexpected(received.error());
  }
  return frame;
}

CanResult<void> SocketCanTransport::recv_into(CanFrame& frame, Duration timeout) {
  // The wait is a ppoll rather than SO_RCVTIMEO: the socket time-out counts whole scheduler
  // ticks (10 ms on a 100 Hz kernel), so a 20 ms wait could last 30, while ppoll's timer is
  // exact. Under one microsecond nothing is waited for: only a frame already here is taken.
  if (timeout >= std::chrono::microseconds(1)) {
    const auto ready = poll_for(fd_, POLLIN, timeout);
    if (!ready) return system_failure(ready.error());
    if (*ready == 0) return std::unexpected(CanError::timeout());
  }

  canfd_frame in{};
  const ssize_t n = ::recv(fd_, &in, sizeof in, MSG_DONTWAIT);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return std::unexpected(CanError::timeout());
    return system_failure(errno);
  }

  const bool fd = n == CANFD_MTU;
  std::size_t length = 0;
  if (fd) {
    length = std::min<std::size_t>(in.len, CANFD_MAX_DLEN);
  } else if (n == CAN_MTU) {
    // An error frame's report fills its whole data area, whatever its length says.
    length = (in.can_id & CAN_ERR_FLAG) != 0 ? CAN_MAX_DLEN
                                             : std::min<std::size_t>(in.len, CAN_MAX_DLEN);
  } else {
    return system_failure(EPROTO);
  }
  frame.id = id_from_raw(in.can_id);
  frame.data.assign(in.data, in.data + length);
  frame.fd = fd;
  frame.brs = fd && (in.flags & CANFD_BRS) != 0;
  return {};
}

}  // namespace vorlix::can_motor
