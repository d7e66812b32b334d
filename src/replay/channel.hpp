#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>

namespace kestrova::replay {

// A bounded queue between threads. A full channel makes its writer wait, so
// memory stays bounded whichever side is slower.
template <class T>
class Channel {
 public:
  explicit Channel(std::size_t capacity) : capacity_(capacity) {}

  // Waits for room; false once the channel is closed.
  bool push(T value) {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] { return closed_ || items_.size() < capacity_; });
    if (closed_) return false;
    items_.push_back(std::move(value));
    ready_.notify_one();
    return true;
  }

  // Waits for an item; false once the channel is closed and drained, or cancelled.
  bool pop(T& value) {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return closed_ || !items_.empty(); });
    if (items_.empty()) return false;
    value = std::move(items_.front());
    items_.pop_front();
    room_.notify_one();
    return true;
  }

  // As pop, but gives up after `timeout`: kTaken, kTimedOut or kEnded.
  enum class Wait { kTaken, kTimedOut, kEnded };
  template <class Duration>
  Wait pop_for(T& value, Duration timeout) {
    std::unique_lock lock(mutex_);
    // By the system clock: a wait by the steady clock calls pthread_cond_clockwait,
    // which needs glibc 2.30. A clock step only makes one wait longer or shorter.
    const auto deadline = std::chrono::system_clock::now() + timeout;
    if (!ready_.wait_until(lock, deadline, [&] { return closed_ || !items_.empty(); })) {
      return Wait::kTimedOut;
    }
    if (items_.empty()) return Wait::kEnded;
    value = std::move(items_.front());
    items_.pop_front();
    room_.notify_one();
    return Wait::kTaken;
  }

  // No more items will come; what is queued can still be taken.
  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    ready_.notify_all();
    room_.notify_all();
  }

  // Closes and drops what is queued: every waiter returns at once.
  void cancel() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    items_.clear();
    ready_.notify_all();
    room_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_, room_;
  std::deque<T> items_;
  std::size_t capacity_;
  bool closed_ = false;
};

}  // namespace kestrova::replay
