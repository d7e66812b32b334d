#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "model/order.hpp"

namespace kestrova {

// The arrival-ordered queue of one price level: a ring buffer that starts
// small and grows slowly. A level of a few orders costs a few records, where a
// std::deque would take half a kilobyte before its first order.
class LevelQueue {
 public:
  LevelQueue() = default;
  LevelQueue(LevelQueue&&) noexcept = default;
  LevelQueue& operator=(LevelQueue&&) noexcept = default;

  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }

  Order& front() { return data_[head_]; }
  const Order& front() const { return data_[head_]; }

  void push_back(const Order& order) {
    if (size_ == capacity_) grow();
    data_[physical(size_)] = order;
    ++size_;
  }

  void pop_front() {
    head_ = head_ + 1 == capacity_ ? 0 : head_ + 1;
    --size_;
  }

  // Removes every record that `matches`, keeping the order of the rest. Each
  // removal shifts the shorter side of the queue.
  template <class Matches>
  void erase_if(Matches&& matches) {
    for (std::size_t i = 0; i < size_;) {
      if (matches(data_[physical(i)])) {
        erase_at(i);
      } else {
        ++i;
      }
    }
  }

  // Visits the records front to back.
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (std::size_t i = 0; i < size_; ++i) visit(data_[physical(i)]);
  }

 private:
  std::size_t physical(std::size_t i) const {
    std::size_t position = head_ + i;
    return position >= capacity_ ? position - capacity_ : position;
  }

  void erase_at(std::size_t i) {
    if (i < size_ / 2) {
      for (std::size_t j = i; j > 0; --j) data_[physical(j)] = data_[physical(j - 1)];
      head_ = head_ + 1 == capacity_ ? 0 : head_ + 1;
    } else {
      for (std::size_t j = i; j + 1 < size_; ++j) data_[physical(j)] = data_[physical(j + 1)];
    }
    --size_;
  }

  void grow() {
    // One slot at a time while small: most levels hold a handful of orders.
    std::uint32_t capacity = capacity_ < 8 ? capacity_ + 1 : capacity_ + capacity_ / 4;
    auto data = std::make_unique_for_overwrite<Order[]>(capacity);
    for (std::size_t i = 0; i < size_; ++i) data[i] = data_[physical(i)];
    data_ = std::move(data);
    head_ = 0;
    capacity_ = capacity;
  }

  std::unique_ptr<Order[]> data_;
  std::uint32_t head_ = 0;
  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = 0;
};

}  // namespace kestrova
