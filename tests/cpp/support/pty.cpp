#include "support/pty.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace vorlix::test_support {

Pty::Pty() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) throw std::system_error(errno, std::generic_category(), "posix_openpt");
  char name[64];
  if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
      ::ptsname_r(master_, name, sizeof name) != 0) {
    const int error = errno;
    close_master();
    throw std::system_error(error, std::generic_category(), "pty set-up");
  }
  slave_path_ = name;
}

Pty::~Pty() { close_master(); }

void Pty::close_master() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

}  // namespace vorlix::test_support
