// What the doctor asks of the operating system beside the buses: sysfs, /proc and netlink.
// None of it touches a motor.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vorlix::doctor {

// Owns a descriptor the doctor opens for a question of its own.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

// The text of `errno`-style error code `error`.
std::string system_error_text(int error);

// A small text file's first line (sysfs attributes, /proc/PID/comm), or nothing.
std::optional<std::string> read_first_line(const std::filesystem::path& path);

// "pid 1234 (python3)" for each process that holds the exclusive lock on the file, or else
// has it open; the doctor itself is left out.
std::vector<std::string> file_holders(const std::filesystem::path& path);

// What the kernel says of a network interface through rtnetlink.
struct LinkInfo {
  bool up = false;
  std::uint16_t type = 0;  // ARPHRD_*
  std::string kind;        // "can", "vcan", ...; empty when the driver names none
  std::optional<std::uint32_t> bitrate;
  std::optional<std::uint32_t> can_state;  // enum can_state
  std::optional<std::uint16_t> tx_errors;  // the controller's error counters
  std::optional<std::uint16_t> rx_errors;
};

std::expected<LinkInfo, std::string> query_link(unsigned interface_index);

}  // namespace vorlix::doctor
