// An allocator for the large stores of an index (vectors, neighbour blocks).
// A search reads these in long stretches or at random; backing a large block
// with huge pages where the system allows it cuts the address-translation
// misses that otherwise slow both down.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tamsel {

template <class T>
struct LargeBufferAllocator {
  using value_type = T;
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;

  LargeBufferAllocator() = default;
  template <class U>
  LargeBufferAllocator(const LargeBufferAllocator<U>&) noexcept {}

  T* allocate(std::size_t count) {
    if (count > (static_cast<std::size_t>(-1) - kHugePage) / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = count * sizeof(T);
    if (bytes < kHugePage) {
      if (void* block = std::malloc(bytes == 0 ? 1 : bytes)) return static_cast<T*>(block);
      throw std::bad_alloc();
    }
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* block = std::aligned_alloc(kHugePage, rounded);
    if (block == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Only the huge pages the block fills: a partly used last one would be
    // resident whole, up to 2 MiB per buffer that nothing reads.
    madvise(block, bytes / kHugePage * kHugePage, MADV_HUGEPAGE);  // advice only: a refusal changes nothing
#endif
    return static_cast<T*>(block);
  }

  void deallocate(T* block, std::size_t) noexcept { std::free(block); }

  template <class U>
  bool operator==(const LargeBufferAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using LargeBuffer = std::vector<T, LargeBufferAllocator<T>>;

}  // namespace tamsel
