// Storage for the arrays that grow with the tree: the bodies, the coordinates and the compact pass
// data. A block of 2 MiB or more is aligned to 2 MiB and offered to the kernel for transparent
// huge pages. A pass over a million bodies touches 1.4 GB of body records, one line every
// 1.4 KB: with 4 KiB pages nearly every record costs a page walk, with 2 MiB pages the whole tree
// fits the TLB. Where the kernel declines (huge pages off, other systems), the block is ordinary
// memory.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace large_array {

constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;

inline void* allocate_huge(std::size_t bytes) {
  const std::size_t rounded = (bytes + huge_page_bytes - 1) / huge_page_bytes * huge_page_bytes;
  void* block = std::aligned_alloc(huge_page_bytes, rounded);
  if (!block) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  madvise(block, rounded, MADV_HUGEPAGE);  // advice only: a refusal leaves ordinary pages
#endif
  return block;
}

}  // namespace large_array

template <typename T>
struct LargeArrayAllocator {
  using value_type = T;

  LargeArrayAllocator() = default;
  template <typename U>
  LargeArrayAllocator(const LargeArrayAllocator<U>&) noexcept {}

  static bool is_large(std::size_t n) { return n >= large_array::huge_page_bytes / sizeof(T); }

  T* allocate(std::size_t n) {
    if (!is_large(n)) return std::allocator<T>{}.allocate(n);
    if (n > std::size_t(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(large_array::allocate_huge(n * sizeof(T)));
  }

  void deallocate(T* p, std::size_t n) noexcept {
    if (!is_large(n)) return std::allocator<T>{}.deallocate(p, n);
    std::free(p);
  }

  template <typename U>
  bool operator==(const LargeArrayAllocator<U>&) const noexcept {
    return true;
  }
};

template <typename T>
using LargeArray = std::vector<T, LargeArrayAllocator<T>>;
