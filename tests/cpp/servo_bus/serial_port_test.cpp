// termios2 comes from the kernel headers; this file must not include <termios.h>.
#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <numeric>
#include <optional>

#include "servo_bus/scripted_servo_peer.hpp"
#include "servo_bus/serial_port/serial_port.hpp"
#include "support/test_support.hpp"

namespace vorlix::servo_bus {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::ScriptedServoPeer;
using Clock = std::chrono::steady_clock;

// A second look at the terminal, taken before the port makes it exclusive.
class SlaveView {
 public:
  explicit SlaveView(const std::string& path)
      : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
  ~SlaveView() { ::close(fd_); }
  termios2 settings() const {
    termios2 t{};
    EXPECT_EQ(::ioctl(fd_, TCGETS2, &t), 0);
    return t;
  }
  bool exclusive() const {
    int excl = -1;
    EXPECT_EQ(::ioctl(fd_, TIOCGEXCL, &excl), 0);
    return excl != 0;
  }

 private:
  int fd_;
};

TEST(SerialPortOpen, MissingPathGivesTheSystemText) {
  const auto port = SerialPort::open("/dev/vorlix-no-such-port");
  ASSERT_FALSE(port);
  EXPECT_EQ(port.error().text, "/dev/vorlix-no-such-port: No such file or directory");
}

TEST(SerialPortOpen, SecondOpenIsLockedOutAndLeavesTheHolderExclusive) {
  ScriptedServoPeer peer;
  const SlaveView view(peer.slave_path());
  {
    SerialPort holder = peer.open_port();
    const auto second = SerialPort::open(peer.slave_path());
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().text, "Unable to acquire exclusive lock on serial port");
    EXPECT_TRUE(view.exclusive());
  }
  EXPECT_FALSE(view.exclusive());
  EXPECT_TRUE(SerialPort::open(peer.slave_path())) << "closing released the lock";
}

TEST(SerialPortOpen, AppliesRawOneMegabaudEightNOne) {
  ScriptedServoPeer peer;
  const SlaveView view(peer.slave_path());
  const SerialPort port = peer.open_port();
  const termios2 t = view.settings();
  EXPECT_EQ(t.c_ispeed, 1'000'000U);
  EXPECT_EQ(t.c_ospeed, 1'000'000U);
  EXPECT_EQ(t.c_cflag & CBAUD, tcflag_t{BOTHER});
  EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL),
            tcflag_t{CS8 | CREAD | CLOCAL});
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | ISTRIP), 0U);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0U);
  EXPECT_EQ(t.c_oflag & OPOST, 0U);
}

TEST(SerialPortIo, EveryByteValuePassesUnchangedBothWays) {
  ScriptedServoPeer peer;
  SerialPort port = peer.open_port();
  Bytes all(256);
  std::iota(all.begin(), all.end(), std::uint8_t{0});

  ASSERT_TRUE(port.write_all(all));
  EXPECT_EQ(peer.take_written(all.size()), all);

  peer.inject(port, all);
  EXPECT_EQ(port.bytes_to_read().value(), all.size());
  Bytes read(all.size());
  ASSERT_TRUE(port.read_exact(read));
  EXPECT_EQ(read, all);
  EXPECT_EQ(port.bytes_to_read().value(), 0U);
  EXPECT_TRUE(port.flush());
}

// The timing tests set waits far longer than any delay of a busy host, so that one wait more
// or less cannot pass unseen.
TEST(SerialPortIo, SilentLineTimesOutAfterOneWait) {
  constexpr auto kWait = 400ms;
  ScriptedServoPeer peer;
  SerialPort port = peer.open_port(kWait);
  Bytes buffer(4);
  const auto start = Clock::now();
  const auto read = port.read_exact(buffer);
  const auto elapsed = Clock::now() - start;
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error(), IoError::timed_out());
  EXPECT_EQ(read.error().text, "Operation timed out");
  EXPECT_GE(elapsed, kWait);
  EXPECT_LT(elapsed, 2 * kWait);
}

TEST(SerialPortIo, EachWaitIsBoundedNotTheWholeRead) {
  constexpr std::chrono::milliseconds kWait = 1s;
  ScriptedServoPeer peer;
  SerialPort port = peer.open_port(kWait);
  // Six pieces a quarter of the wait apart: the read lasts one and a half waits.
  for (std::uint8_t piece = 0; piece < 6; ++piece) peer.send_after(kWait / 4, {0xA0, piece});
  peer.start();
  Bytes buffer(12);
  const auto start = Clock::now();
  const auto read = port.read_exact(buffer);
  const auto elapsed = Clock::now() - start;
  peer.finish();
  ASSERT_TRUE(read) << read.error().text;
  EXPECT_GT(elapsed, kWait);
  EXPECT_EQ(buffer, (Bytes{0xA0, 0, 0xA0, 1, 0xA0, 2, 0xA0, 3, 0xA0, 4, 0xA0, 5}));
}

TEST(SerialPortIo, UnpluggedLineFailsAtOnceWithoutTimingOut) {
  constexpr auto kWait = 2s;
  ScriptedServoPeer peer;
  SerialPort port = peer.open_port(kWait);
  peer.close_master();
  Bytes buffer(4);
  const auto start = Clock::now();
  const auto read = port.read_exact(buffer);
  EXPECT_LT(Clock::now() - start, kWait);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().kind, IoErrorKind::Other) << read.error().text;

  const auto write = port.write_all(Bytes{0xFF, 0xFF});
  ASSERT_FALSE(write);
  EXPECT_EQ(write.error().kind, IoErrorKind::Other) << write.error().text;
}

struct ReadableCase {
  std::string name;
  std::function<void(ScriptedServoPeer&, SerialPort&)> set_up;
  std::optional<std::size_t> waiting;  // none: fails, as a hang-up
  bool waits_out;                      // the whole wait passes
};

class WaitReadable : public ::testing::TestWithParam<ReadableCase> {};

TEST_P(WaitReadable, ReturnsOnceBytesWaitOrTheWaitIsOver) {
  constexpr auto kWait = 1s;
  const ReadableCase& c = GetParam();
  ScriptedServoPeer peer;
  SerialPort port = peer.open_port();
  c.set_up(peer, port);
  const auto start = Clock::now();
  const auto waiting = port.wait_readable(kWait);
  const auto elapsed = Clock::now() - start;
  peer.finish();
  if (c.waiting) {
    ASSERT_TRUE(waiting) << waiting.error().text;
    EXPECT_EQ(*waiting, *c.waiting);
  } else {
    ASSERT_FALSE(waiting);
    EXPECT_EQ(waiting.error().kind, IoErrorKind::Other) << waiting.error().text;
  }
  EXPECT_EQ(elapsed >= kWait, c.waits_out);
  EXPECT_LT(elapsed, 2 * kWait);
}

INSTANTIATE_TEST_SUITE_P(
    Pty, WaitReadable,
    ::testing::Values(
        ReadableCase{"Silent", [](ScriptedServoPeer&, SerialPort&) {}, 0, true},
        ReadableCase{"AlreadyWaiting",
                     [](ScriptedServoPeer& peer, SerialPort& port) { peer.inject(port, {1, 2, 3}); },
                     3, false},
        // Bytes the port read ahead count as waiting, though the terminal holds none.
        ReadableCase{"ReadAhead",
                     [](ScriptedServoPeer& peer, SerialPort& port) {
                       peer.inject(port, {1, 2, 3, 4, 5, 6});
                       Bytes two(2);
                       ASSERT_TRUE(port.read_exact(two));
                     },
                     4, false},
        ReadableCase{"ArrivingDuringTheWait",
                     [](ScriptedServoPeer& peer, SerialPort&) {
                       peer.send_after(100ms, {1, 2}).start();
                     },
                     2, false},
        ReadableCase{"HungUp", [](ScriptedServoPeer& peer, SerialPort&) { peer.close_master(); },
                     std::nullopt, false}),
    test_support::ByName());

}  // namespace
}  // namespace vorlix::servo_bus
