// The worker's end of a one-shot answer to a request that waits for one. The loop makes the
// pair itself (async_read_raw_bytes, write_raw_packet); dropping this end unanswered wakes the
// requester at once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace vorlix::control_loop {

template <class T>
struct ReplySlot;  // shared by both ends, private to the loop

template <class T>
class ReplySender {
 public:
  explicit ReplySender(std::shared_ptr<ReplySlot<T>> slot) : slot_(std::move(slot)) {}
  ReplySender(ReplySender&&) noexcept = default;
  ReplySender& operator=(ReplySender&&) = delete;
  ReplySender(const ReplySender&) = delete;
  ReplySender& operator=(const ReplySender&) = delete;
  ~ReplySender();

  // False when nobody waits for the answer any more.
  bool send(T value) &&;

 private:
  bool finish(std::optional<T> value);

  std::shared_ptr<ReplySlot<T>> slot_;
};

// The loop's answers are raw bytes; their sender is compiled into the library.
extern template class ReplySender<std::vector<std::uint8_t>>;

}  // namespace vorlix::control_loop
