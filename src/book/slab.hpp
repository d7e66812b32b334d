#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace kestrova {

// Items addressed by a 32-bit index, kept in fixed pages. Growing adds a
// page and never moves or copies what is there, so a large book neither
// pauses to copy all of its records nor leaves the old copy's memory behind.
template <class T>
class PagedArray {
 public:
  static constexpr std::uint32_t kPageBits = 12;
  static constexpr std::uint32_t kPageSize = 1u << kPageBits;

  T& operator[](std::uint32_t i) { return pages_[i >> kPageBits][i & (kPageSize - 1)]; }
  const T& operator[](std::uint32_t i) const { return pages_[i >> kPageBits][i & (kPageSize - 1)]; }

  // Makes index `i` addressable; indexes are covered in increasing order,
  // each at most one past the last.
  void cover(std::uint32_t i) {
    if ((i >> kPageBits) == pages_.size())
      pages_.push_back(std::make_unique_for_overwrite<T[]>(kPageSize));
  }

 private:
  std::vector<std::unique_ptr<T[]>> pages_;
};

// Records in a paged array, with freed indexes handed out again first.
template <class T>
class Slab {
 public:
  T& operator[](std::uint32_t i) { return items_[i]; }
  const T& operator[](std::uint32_t i) const { return items_[i]; }

  // A slot for a new record; its contents are for the caller to set.
  std::uint32_t allocate() {
    if (!free_.empty()) {
      std::uint32_t i = free_.back();
      free_.pop_back();
      return i;
    }
    items_.cover(size_);
    return size_++;
  }

  void release(std::uint32_t i) { free_.push_back(i); }

 private:
  PagedArray<T> items_;
  std::vector<std::uint32_t> free_;
  std::uint32_t size_ = 0;
};

}  // namespace kestrova
