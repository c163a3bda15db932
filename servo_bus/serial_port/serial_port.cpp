#include "servo_bus/serial_port/serial_port.hpp"

// termios2 and BOTHER come from the kernel headers, which clash with <termios.h>: this file
// talks to the terminal through ioctl only and must never include <termios.h>.
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "common/format.hpp"
#include "common/poll_for.hpp"

namespace vorlix::servo_bus {
namespace {

constexpr speed_t kBaudRate = 1'000'000;

SerialError system_error(int error) { return SerialError{IoError::from_errno(error).text}; }
// The system's text alone ("No such file or directory") would not say which port.
SerialError open_error(const std::string& path, int error) {
  return SerialError{fmt::format("{}: {}", path, IoError::from_errno(error).text)};
}

// Owns a descriptor until it becomes a port. Closing here never clears exclusive mode: before
// the lock is ours, that mode may belong to the port's current holder.
class PendingFd {
 public:
  explicit PendingFd(int fd) : fd_(fd) {}
  PendingFd(const PendingFd&) = delete;
  PendingFd& operator=(const PendingFd&) = delete;
  ~PendingFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

void close_port(int fd) {
  if (fd < 0) return;
  ::ioctl(fd, TIOCNXCL);
  ::close(fd);
}

// What cfmakeraw does, on a termios2.
void make_raw(termios2& t) {
  t.c_iflag &= ~tcflag_t{IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON};
  t.c_oflag &= ~tcflag_t{OPOST};
  t.c_lflag &= ~tcflag_t{ECHO | ECHONL | ICANON | ISIG | IEXTEN};
  t.c_cflag &= ~tcflag_t{CSIZE | PARENB};
  t.c_cflag |= CS8;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
}

// 1,000,000 baud as an arbitrary rate, 8N1, no flow control, receiver on, modem lines ignored.
// DTR is left as it is.
void apply_line_settings(termios2& t) {
  t.c_cflag &= ~tcflag_t{CBAUD | CIBAUD | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS};
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT) | CS8 | CREAD | CLOCAL;
  t.c_iflag &= ~tcflag_t{IXON | IXOFF | IXANY};
  t.c_ispeed = kBaudRate;
  t.c_ospeed = kBaudRate;
}

// A driver may re-encode an exact arbitrary rate as the matching standard rate bits
// (BOTHER becomes B1000000), so the rate is compared through the speeds, not the rate bits.
bool same_settings(const termios2& written, const termios2& read) {
  constexpr tcflag_t kRateBits = CBAUD | CIBAUD;
  return written.c_iflag == read.c_iflag && written.c_oflag == read.c_oflag &&
         written.c_lflag == read.c_lflag &&
         (written.c_cflag & ~kRateBits) == (read.c_cflag & ~kRateBits) &&
         written.c_ispeed == read.c_ispeed && written.c_ospeed == read.c_ospeed &&
         written.c_cc[VMIN] == read.c_cc[VMIN] && written.c_cc[VTIME] == read.c_cc[VTIME];
}

// Without low latency an FTDI adapter holds every reply for its 16 ms latency timer, longer
// than our 10 ms wait. Ports without the request (ptys, CDC-ACM) are fine as they are.
void request_low_latency(int fd) {
  serial_struct serial{};
  if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) return;
  constexpr int kLowLatency = static_cast<int>(ASYNC_LOW_LATENCY);
  if ((serial.flags & kLowLatency) != 0) return;
  serial.flags |= kLowLatency;
  ::ioctl(fd, TIOCSSERIAL, &serial);
}

// Waits at most `wait` for `events`: false when the time ran out. A signal does not stretch
// the wait.
std::expected<bool, IoError> ready_within(int fd, short events, std::chrono::nanoseconds wait) {
  const auto ready = poll_for(fd, events, wait);
  if (!ready) return std::unexpected(IoError::from_errno(ready.error()));
  if (*ready == 0) return false;
  // Input that arrived before a hang-up is still delivered; the read after it reports the end.
  if ((*ready & events) != 0) return true;
  if ((*ready & POLLNVAL) != 0) return std::unexpected(IoError::from_errno(EBADF));
  return std::unexpected(IoError::from_errno(EIO));  // POLLHUP or POLLERR: unplugged
}

std::expected<void, IoError> wait_for(int fd, short events, std::chrono::nanoseconds wait) {
  const auto ready = ready_within(fd, events, wait);
  if (!ready) return std::unexpected(ready.error());
  if (!*ready) return std::unexpected(IoError::timed_out());
  return {};
}

}  // namespace

std::expected<SerialPort, SerialError> SerialPort::open(const std::string& path,
                                                       std::chrono::nanoseconds wait) {
  PendingFd pending(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  const int fd = pending.get();
  if (fd < 0) return std::unexpected(open_error(path, errno));
  if (::ioctl(fd, TIOCEXCL) != 0) return std::unexpected(open_error(path, errno));
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    return std::unexpected(SerialError{"Unable to acquire exclusive lock on serial port"});
  }
  SerialPort port(pending.release(), wait);

  termios2 settings{};
  if (::ioctl(fd, TCGETS2, &settings) != 0) return std::unexpected(open_error(path, errno));
  make_raw(settings);
  if (::ioctl(fd, TCSETS2, &settings) != 0) return std::unexpected(open_error(path, errno));

  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return std::unexpected(open_error(path, errno));
  }

  apply_line_settings(settings);
  if (::ioctl(fd, TCSETS2, &settings) != 0) return std::unexpected(open_error(path, errno));
  termios2 applied{};
  if (::ioctl(fd, TCGETS2, &applied) != 0) return std::unexpected(open_error(path, errno));
  if (!same_settings(settings, applied)) {
    return std::unexpected(SerialError{"Settings did not apply correctly"});
  }

  request_low_latency(fd);
  return port;
}

SerialPort::SerialPort(SerialPort&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      wait_(other.wait_),
      read_ahead_(other.read_ahead_),
      read_ahead_begin_(std::exchange(other.read_ahead_begin_, 0)),
      read_ahead_end_(std::exchange(other.read_ahead_end_, 0)) {}

SerialPort& SerialPort::operator=(SerialPort&& other) noexcept {
  if (this != &other) {
    close_port(fd_);
    fd_ = std::exchange(other.fd_, -1);
    wait_ = other.wait_;
    read_ahead_ = other.read_ahead_;
    read_ahead_begin_ = std::exchange(other.read_ahead_begin_, 0);
    read_ahead_end_ = std::exchange(other.read_ahead_end_, 0);
  }
  return *this;
}

SerialPort::~SerialPort() { close_port(fd_); }

std::expected<std::size_t, SerialError> SerialPort::bytes_to_read() const {
  int waiting = 0;
  if (::ioctl(fd_, FIONREAD, &waiting) != 0) return std::unexpected(system_error(errno));
  return static_cast<std::size_t>(waiting) + (read_ahead_end_ - read_ahead_begin_);
}

std::expected<std::size_t, IoError> SerialPort::wait_readable(std::chrono::nanoseconds wait) {
  // A failed query of the input queue keeps its text, as an I/O error of no particular kind.
  const auto waiting = [this]() -> std::expected<std::size_t, IoError> {
    auto count = bytes_to_read();
    if (!count) return std::unexpected(IoError{IoErrorKind::Other, count.error().text});
    return *count;
  };
  if (auto count = waiting(); !count || *count > 0) return count;
  const auto ready = ready_within(fd_, POLLIN, wait);
  if (!ready) return std::unexpected(ready.error());
  if (!*ready) return 0;
  return waiting();
}

std::size_t SerialPort::take_read_ahead(std::span<std::uint8_t> buffer) {
  const std::size_t taken = std::min(buffer.size(), read_ahead_end_ - read_ahead_begin_);
  std::copy_n(read_ahead_.begin() + static_cast<std::ptrdiff_t>(read_ahead_begin_), taken,
              buffer.begin());
  read_ahead_begin_ += taken;
  return taken;
}

std::expected<void, IoError> SerialPort::read_exact(std::span<std::uint8_t> buffer) {
  std::size_t done = take_read_ahead(buffer);
  // The read-ahead is empty whenever more is needed, so each read may fill all of it.
  while (done < buffer.size()) {
    if (auto ready = wait_for(fd_, POLLIN, wait_); !ready) return ready;
    const ssize_t got = ::read(fd_, read_ahead_.data(), read_ahead_.size());
    if (got > 0) {
      read_ahead_begin_ = 0;
      read_ahead_end_ = static_cast<std::size_t>(got);
      done += take_read_ahead(buffer.subspan(done));
    } else if (got == 0) {
      return std::unexpected(IoError::from_errno(EIO));  // end of file: the line hung up
    } else if (errno != EINTR) {
      return std::unexpected(IoError::from_errno(errno));
    }
  }
  return {};
}

std::expected<void, IoError> SerialPort::write_all(std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    if (auto ready = wait_for(fd_, POLLOUT, wait_); !ready) return ready;
    const ssize_t put = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (put >= 0) {
      done += static_cast<std::size_t>(put);
    } else if (errno != EINTR) {
      return std::unexpected(IoError::from_errno(errno));
    }
  }
  return {};
}

std::expected<void, IoError> SerialPort::flush() {
  // TCSBRK with a nonzero argument is tcdrain().
  while (::ioctl(fd_, TCSBRK, 1) != 0) {
    if (errno != EINTR) return std::unexpected(IoError::from_errno(errno));
  }
  return {};
}

}  // namespace vorlix::servo_bus
