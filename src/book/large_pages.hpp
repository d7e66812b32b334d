#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

namespace kestrova {

// An allocator for tables that are probed at random: from 2 MiB on, their
// memory is aligned to 2 MiB and the kernel is asked to back it with huge
// pages, so that a probe does not also miss the TLB. Smaller tables come
// from the heap as usual.
template <class T>
struct LargePageAllocator {
  using value_type = T;
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;

  LargePageAllocator() = default;
  template <class U>
  LargePageAllocator(const LargePageAllocator<U>&) {}

  T* allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kHugePage) return std::allocator<T>().allocate(n);
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* memory = std::aligned_alloc(kHugePage, rounded);
    if (memory == nullptr) throw std::bad_alloc();
    ::madvise(memory, rounded, MADV_HUGEPAGE);  // a hint: failure costs only speed
    return static_cast<T*>(memory);
  }

  void deallocate(T* p, std::size_t n) {
    if (n * sizeof(T) < kHugePage) {
      std::allocator<T>().deallocate(p, n);
    } else {
      std::free(p);
    }
  }

  template <class U>
  bool operator==(const LargePageAllocator<U>&) const {
    return true;
  }
};

}  // namespace kestrova
