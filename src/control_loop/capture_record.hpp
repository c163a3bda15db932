// One captured event of the worker, fixed in size so that a ring of them is made once: a tick
// (its reading or the reading's error, with the tick's timing) or an executed command (its
// arguments and outcome).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "src/control_loop/motor_command.hpp"
#include "src/control_loop/reading.hpp"

namespace vorlix::control_loop {

enum class CaptureKind : std::uint8_t { Tick, Command };

inline constexpr std::size_t kCapturedReals = 10;
inline constexpr std::size_t kCapturedBytes = 64;
inline constexpr std::size_t kCapturedTextBytes = 128;

struct CaptureRecord {
  // What a successful tick needs comes first: the ring copies only that much of one.
  double timestamp;  // seconds since the Unix epoch: the reading's own, or when the event ended
  double seconds;    // a tick's period, a command's duration
  double read_dt;    // a tick's reading time
  // A tick: left arm, right arm, nose, neck. A command: its reals, in its own order.
  std::array<double, kCapturedReals> reals;
  std::uint32_t byte_count;
  CaptureKind kind;
  std::uint8_t command;  // the QueuedCommand alternative
  bool ok;               // the reading or the command succeeded; `text` holds the error otherwise
  bool text_truncated;
  std::uint16_t text_length;
  std::array<std::uint8_t, 6> padding;  // whole words, so that a slot copies it word by word
  // A command's flag, ids or bytes (a raw read: id, address, length; a raw write: id, address,
  // then the data). `byte_count` counts them all; the first kCapturedBytes are kept.
  std::array<std::uint8_t, kCapturedBytes> bytes;
  std::array<char, kCapturedTextBytes> text;
};
static_assert(std::is_trivially_copyable_v<CaptureRecord>);
static_assert(sizeof(CaptureRecord) % sizeof(std::uint64_t) == 0);
static_assert(offsetof(CaptureRecord, bytes) % sizeof(std::uint64_t) == 0);

// How many leading bytes of `record` hold what it says: a successful tick ends before `bytes`.
std::size_t captured_size(const CaptureRecord& record);

// The alternative's name, as the command or request is called ("SetNeckPosition").
std::string_view command_name(std::size_t index);

// Records built in place, so that nothing is allocated for them.
// A failed reading is stamped now; a successful one has its own timestamp.
void capture_tick(CaptureRecord& record, const MotorResult<VorlixTorsoPosition>& reading,
                  double period, double read_dt);
void capture_command_arguments(CaptureRecord& record, const QueuedCommand& command);
// Kept whole when it fits, else cut at a character boundary and marked truncated.
void capture_text(CaptureRecord& record, std::string_view text);

}  // namespace vorlix::control_loop
