// An allocator for the large flat arrays built once per run (the edge list being read, the search
// index): blocks of several megabytes are mapped directly and marked for transparent huge pages,
// which spares one page fault per 4 KiB on first touch; smaller blocks come from operator new.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

template <typename T>
struct HugePageAllocator {
  using value_type = T;
  static constexpr size_t mappedFrom = size_t{4} << 20;

  HugePageAllocator() = default;
  template <typename U>
  HugePageAllocator(const HugePageAllocator<U>&) {}

  T* allocate(size_t n) {
    if (n > std::numeric_limits<size_t>::max() / sizeof(T)) throw std::bad_alloc();
    const size_t bytes = n * sizeof(T);
    if (bytes < mappedFrom) return static_cast<T*>(::operator new(bytes));
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    madvise(block, bytes, MADV_HUGEPAGE);  // advice only: without huge pages it still works
    return static_cast<T*>(block);
  }

  void deallocate(T* block, size_t n) {
    const size_t bytes = n * sizeof(T);
    if (bytes < mappedFrom) {
      ::operator delete(block);
    } else {
      munmap(block, bytes);
    }
  }

  template <typename U>
  bool operator==(const HugePageAllocator<U>&) const { return true; }
  template <typename U>
  bool operator!=(const HugePageAllocator<U>&) const { return false; }
};

template <typename T>
using HugeVector = std::vector<T, HugePageAllocator<T>>;

/// The same allocator, but resize() leaves new elements of trivial types unwritten: an array that
/// is filled front to back after being sized then takes its pages one at a time as it is filled,
/// rather than all at once by zeroing, so that memory freed meanwhile makes room for it.
template <typename T>
struct UnwrittenHugePageAllocator : HugePageAllocator<T> {
  using value_type = T;
  template <typename U>
  struct rebind {
    using other = UnwrittenHugePageAllocator<U>;
  };
  UnwrittenHugePageAllocator() = default;
  template <typename U>
  UnwrittenHugePageAllocator(const UnwrittenHugePageAllocator<U>&) {}

  template <typename U>
  void construct(U* place) noexcept(std::is_nothrow_default_constructible<U>::value) {
    ::new (static_cast<void*>(place)) U;
  }
  template <typename U, typename... Args>
  void construct(U* place, Args&&... args) {
    ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
  }
};

template <typename T>
using UnwrittenHugeVector = std::vector<T, UnwrittenHugePageAllocator<T>>;

/// A fixed-size array of zeros taken straight from the kernel, never written in bulk, on huge pages:
/// searches touch scattered entries, and one fault per 2 MiB is far cheaper than one per 4 KiB.
template <typename T>
class ZeroedArray {
 public:
  ZeroedArray() = default;
  ZeroedArray(const ZeroedArray&) = delete;
  ZeroedArray& operator=(const ZeroedArray&) = delete;
  ~ZeroedArray() { release(); }

  /// Replaces the contents by `n` zeros; throws std::bad_alloc when the memory is not there.
  /// The first `smallPageBytes` bytes lie on ordinary pages and the rest starts on a huge page
  /// boundary: an array whose use stops early costs a few small faults, and one used far costs one
  /// fault per 2 MiB after that.
  void reset(size_t n, size_t smallPageBytes = 0) {
    release();
    if (n == 0) return;
    if (n > (std::numeric_limits<size_t>::max() - 2 * hugePage) / sizeof(T)) throw std::bad_alloc();
    const size_t bytes = n * sizeof(T);
    const size_t prefix = std::min(bytes, (smallPageBytes + smallPage - 1) / smallPage * smallPage);
    const bool aligned = prefix != 0 || bytes >= hugePage;
    const size_t mapped = bytes + (aligned ? hugePage : 0);
    void* block = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    const uintptr_t start = reinterpret_cast<uintptr_t>(block);
    const uintptr_t huge = aligned ? (start + prefix + hugePage - 1) & ~(uintptr_t{hugePage} - 1) : start;
    if (bytes > prefix) madvise(reinterpret_cast<void*>(huge), bytes - prefix, MADV_HUGEPAGE);
    mapping = block;
    mappedBytes = mapped;
    values = reinterpret_cast<T*>(huge - prefix);
    count = n;
  }

  size_t size() const { return count; }
  T* data() { return values; }
  T& operator[](size_t i) {
    assert(i < count);
    return values[i];
  }
  const T& operator[](size_t i) const {
    assert(i < count);
    return values[i];
  }

 private:
  static constexpr size_t smallPage = 4096;
  static constexpr size_t hugePage = size_t{2} << 20;

  void release() {
    if (mapping != nullptr) munmap(mapping, mappedBytes);
    mapping = nullptr;
    mappedBytes = 0;
    values = nullptr;
    count = 0;
  }

  void* mapping = nullptr;
  size_t mappedBytes = 0;
  T* values = nullptr;
  size_t count = 0;
};
