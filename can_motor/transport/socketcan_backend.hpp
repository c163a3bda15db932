// CanTransport over one Linux SocketCAN raw socket with CAN FD frames enabled.
#pragma once

#include <string>

#include "vorlix/can_transport.hpp"

namespace vorlix::can_motor {

class SocketCanTransport final : public CanTransport {
 public:
  static CanResult<SocketCanTransport> open(const std::string& interface_name);

  SocketCanTransport(SocketCanTransport&& other) noexcept;
  SocketCanTransport& operator=(SocketCanTransport&& other) noexcept;
  SocketCanTransport(const SocketCanTransport&) = delete;
  SocketCanTransport& operator=(const SocketCanTransport&) = delete;
  ~SocketCanTransport() override;

  CanResult<void> send(const CanFrame& frame) override;
  CanResult<CanFrame> recv(Duration timeout) override;
  CanResult<void> recv_into(CanFrame& frame, Duration timeout) override;

 private:
  explicit SocketCanTransport(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace vorlix::can_motor
