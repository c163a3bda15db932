// A pseudo-terminal pair standing in for a USB serial adapter: the code under test opens the
// slave path as it would /dev/ttyUSB0, and the test plays the devices on the master.
#pragma once

#include <string>

namespace vorlix::test_support {

class Pty {
 public:
  // Throws std::system_error when the system has no pty to give.
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  int master() const { return master_; }
  const std::string& slave_path() const { return slave_path_; }
  // The adapter is unplugged: reads on the slave then end.
  void close_master();

 private:
  int master_ = -1;
  std::string slave_path_;
};

}  // namespace vorlix::test_support
