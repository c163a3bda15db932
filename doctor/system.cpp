#include "doctor/system.hpp"

#include <linux/can/netlink.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <span>
#include <sstream>
#include <system_error>

#include "common/format.hpp"

namespace vorlix::doctor {
namespace {

namespace fs = std::filesystem;

std::string describe_process(const std::string& pid) {
  const auto comm = read_first_line(fs::path("/proc") / pid / "comm");
  return fmt::format("pid {} ({})", pid, comm.value_or("?"));
}

// /proc/locks rows are "N: FLOCK  ADVISORY  WRITE PID MAJ:MIN:INODE START END", the device
// numbers in hex; a waiting lock has "->" after N and holds nothing.
std::vector<std::string> lock_holders(const struct stat& file) {
  std::vector<std::string> holders;
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, type, mode, access, pid, where;
    fields >> number >> type;
    if (type != "FLOCK" || !(fields >> mode >> access >> pid >> where)) continue;
    unsigned maj = 0, min = 0;
    unsigned long inode = 0;
    if (std::sscanf(where.c_str(), "%x:%x:%lu", &maj, &min, &inode) != 3) continue;
    if (maj == major(file.st_dev) && min == minor(file.st_dev) && inode == file.st_ino) {
      holders.push_back(describe_process(pid));
    }
  }
  return holders;
}

std::vector<std::string> openers(const struct stat& file) {
  std::vector<std::string> holders;
  const std::string self = std::to_string(::getpid());
  std::error_code error;
  for (const auto& process : fs::directory_iterator("/proc", error)) {
    const std::string pid = process.path().filename();
    if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
    for (const auto& fd : fs::directory_iterator(process.path() / "fd", error)) {
      struct stat target {};
      if (::stat(fd.path().c_str(), &target) == 0 && target.st_dev == file.st_dev &&
          target.st_ino == file.st_ino) {
        holders.push_back(describe_process(pid));
        break;
      }
    }
  }
  return holders;
}

// The kernel's netlink macros compute in int; these are the same sizes, unsigned.
constexpr std::size_t kAlignTo = 4;
constexpr std::size_t aligned(std::size_t length) {
  return (length + kAlignTo - 1) & ~(kAlignTo - 1);
}
constexpr std::size_t kMessageHeader = aligned(sizeof(nlmsghdr));
constexpr std::size_t kAttributeHeader = aligned(sizeof(nlattr));
constexpr unsigned kAttributeTypeMask = 0xFFFFu & ~unsigned{NLA_F_NESTED | NLA_F_NET_BYTEORDER};

// Walks the attributes of a netlink message part: calls `visit(type, payload)` for each.
template <class Visit>
void for_each_attribute(std::span<const std::byte> bytes, Visit visit) {
  while (bytes.size() >= sizeof(nlattr)) {
    nlattr header{};
    std::memcpy(&header, bytes.data(), sizeof header);
    if (header.nla_len < kAttributeHeader || header.nla_len > bytes.size()) return;
    visit(header.nla_type & kAttributeTypeMask,
          bytes.subspan(kAttributeHeader, header.nla_len - kAttributeHeader));
    bytes = bytes.subspan(std::min(aligned(header.nla_len), bytes.size()));
  }
}

template <class T>
std::optional<T> value_of(std::span<const std::byte> payload) {
  if (payload.size() < sizeof(T)) return std::nullopt;
  T value{};
  std::memcpy(&value, payload.data(), sizeof value);
  return value;
}

void read_can_data(std::span<const std::byte> data, LinkInfo& link) {
  for_each_attribute(data, [&](unsigned type, std::span<const std::byte> payload) {
    if (type == IFLA_CAN_BITTIMING) {
      if (auto timing = value_of<can_bittiming>(payload)) link.bitrate = timing->bitrate;
    } else if (type == IFLA_CAN_STATE) {
      link.can_state = value_of<std::uint32_t>(payload);
    } else if (type == IFLA_CAN_BERR_COUNTER) {
      if (auto counter = value_of<can_berr_counter>(payload)) {
        link.tx_errors = counter->txerr;
        link.rx_errors = counter->rxerr;
      }
    }
  });
}

void read_link_attributes(std::span<const std::byte> attributes, LinkInfo& link) {
  for_each_attribute(attributes, [&](unsigned type, std::span<const std::byte> payload) {
    if (type != IFLA_LINKINFO) return;
    for_each_attribute(payload, [&](unsigned info_type, std::span<const std::byte> info) {
      if (info_type == IFLA_INFO_KIND) {
        const auto* text = reinterpret_cast<const char*>(info.data());
        link.kind.assign(text, ::strnlen(text, info.size()));
      } else if (info_type == IFLA_INFO_DATA) {
        read_can_data(info, link);
      }
    });
  });
}

}  // namespace

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

std::string system_error_text(int error) { return std::generic_category().message(error); }

std::optional<std::string> read_first_line(const fs::path& path) {
  std::ifstream file(path);
  std::string line;
  if (!file || !std::getline(file, line)) return std::nullopt;
  return line;
}

std::vector<std::string> file_holders(const fs::path& path) {
  struct stat file {};
  if (::stat(path.c_str(), &file) != 0) return {};
  auto holders = lock_holders(file);
  return holders.empty() ? openers(file) : holders;
}

std::expected<LinkInfo, std::string> query_link(unsigned interface_index) {
  const FileDescriptor socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (!socket.valid()) return std::unexpected(system_error_text(errno));
  struct {
    nlmsghdr header;
    ifinfomsg link;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = RTM_GETLINK;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.link.ifi_family = AF_UNSPEC;
  request.link.ifi_index = static_cast<int>(interface_index);
  if (::send(socket.get(), &request, sizeof request, 0) < 0) {
    return std::unexpected(system_error_text(errno));
  }

  alignas(nlmsghdr) std::array<std::byte, 16384> buffer{};
  const ssize_t got = ::recv(socket.get(), buffer.data(), buffer.size(), 0);
  if (got < 0) return std::unexpected(system_error_text(errno));
  const auto reply = std::span(buffer).first(static_cast<std::size_t>(got));
  nlmsghdr header{};
  if (reply.size() < kMessageHeader) return std::unexpected(std::string("short netlink reply"));
  std::memcpy(&header, reply.data(), sizeof header);
  const std::size_t message_end =
      std::clamp<std::size_t>(header.nlmsg_len, kMessageHeader, reply.size());
  const auto body = reply.first(message_end).subspan(kMessageHeader);
  if (header.nlmsg_type == NLMSG_ERROR) {
    const auto error = value_of<nlmsgerr>(body);
    return std::unexpected(system_error_text(error ? -error->error : EPROTO));
  }
  const auto link_header = value_of<ifinfomsg>(body);
  if (header.nlmsg_type != RTM_NEWLINK || !link_header) {
    return std::unexpected(std::string("unexpected netlink reply"));
  }
  LinkInfo link;
  link.up = (link_header->ifi_flags & IFF_UP) != 0;
  link.type = link_header->ifi_type;
  read_link_attributes(body.subspan(std::min(aligned(sizeof(ifinfomsg)), body.size())), link);
  return link;
}

}  // namespace vorlix::doctor
