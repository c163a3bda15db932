#include "common/poll_for.hpp"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>

namespace vorlix {

std::expected<short, int> poll_for(int fd, short events, std::chrono::nanoseconds wait) {
  const auto bounded = std::max(wait, std::chrono::nanoseconds::zero());
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(bounded);
  timespec left{.tv_sec = static_cast<time_t>(seconds.count()),
                .tv_nsec = static_cast<long>((bounded - seconds).count())};
  pollfd entry{fd, events, 0};
  // The system call itself, not the C library's ppoll: the kernel leaves in `left` what an
  // interrupted wait still has to run, which the library's copy would throw away.
  for (;;) {
    const long ready = ::syscall(SYS_ppoll, &entry, 1, &left, nullptr, _NSIG / 8);
    if (ready >= 0) return ready == 0 ? short{0} : entry.revents;
    if (errno != EINTR) return std::unexpected(errno);
  }
}

}  // namespace vorlix
