// A mutex around a value that remembers an internal failure unwinding through it.
// The mark is never cleared: a value left half-changed by an exception stays suspect.
#pragma once

#include <exception>
#include <mutex>
#include <optional>
#include <utility>

namespace vorlix {

template <class T>
class PoisonedMutex {
 public:
  class Key {
    friend class PoisonedMutex;
    Key() = default;
  };

  class Guard {
   public:
    Guard(Key, PoisonedMutex& owner, std::adopt_lock_t)
        : owner_(&owner),
          lock_(owner.mutex_, std::adopt_lock),
          exceptions_at_entry_(std::uncaught_exceptions()) {}
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() {
      if (std::uncaught_exceptions() > exceptions_at_entry_) owner_->poisoned_ = true;
    }
    // Whether an earlier holder left the value suspect.
    bool poisoned() const { return owner_->poisoned_; }
    T& operator*() { return owner_->value_; }
    T* operator->() { return &owner_->value_; }

   private:
    PoisonedMutex* owner_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_at_entry_;
  };

  explicit PoisonedMutex(T value) : value_(std::move(value)) {}

  // Empty when the mark is set; the caller decides whether to raise, log or skip.
  std::optional<Guard> lock() {
    std::unique_lock<std::mutex> held(mutex_);
    if (poisoned_) return std::nullopt;
    held.release();
    // Built in the return value: a Guard can be neither copied nor moved.
    return std::optional<Guard>(std::in_place, Key{}, *this, std::adopt_lock);
  }

  // For the callers that log the mark and go on with the value anyway.
  Guard lock_ignoring_poison() {
    mutex_.lock();
    return Guard(Key{}, *this, std::adopt_lock);
  }

  // A copy of the value taken under the lock, with the mark as it stood in `poisoned`. A copy
  // leaves the value whole whatever it throws, so it needs no watch for exceptions, which
  // costs more than copying a reading.
  T copy_ignoring_poison(bool& poisoned) {
    const std::lock_guard<std::mutex> held(mutex_);
    poisoned = poisoned_;
    return value_;
  }

 private:
  std::mutex mutex_;
  bool poisoned_ = false;
  T value_;
};

}  // namespace vorlix
