// Storage for large arrays of plain numbers. Growing such an array is
// dominated by the kernel faulting in fresh pages, so big allocations are
// aligned to and marked for transparent huge pages, and elements added by
// resize() are left uninitialised (they are always overwritten right away).
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <vector>

namespace kovra {

template <class T>
struct BulkAllocator {
  static_assert(std::is_trivially_copyable_v<T>);
  using value_type = T;
  template <class U>
  struct rebind {
    using other = BulkAllocator<U>;
  };

  BulkAllocator() = default;
  template <class U>
  BulkAllocator(const BulkAllocator<U>&) noexcept {}

  static constexpr size_t kHugePage = size_t(2) << 20;
  static constexpr size_t kHugeThreshold = size_t(4) << 20;

  T* allocate(size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    size_t bytes = n * sizeof(T);
    if (bytes < kHugeThreshold) {
      void* p = std::malloc(bytes ? bytes : 1);
      if (!p) throw std::bad_alloc();
      return static_cast<T*>(p);
    }
    size_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    void* p = std::aligned_alloc(kHugePage, rounded);
    if (!p) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    ::madvise(p, rounded, MADV_HUGEPAGE);  // a hint; failure changes nothing
#endif
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t) noexcept { std::free(p); }

  // Value-initialisation (zeroing) only when asked for with an argument.
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }

  template <class U>
  bool operator==(const BulkAllocator<U>&) const noexcept {
    return true;
  }
};

using FloatBuffer = std::vector<float, BulkAllocator<float>>;

// Makes room for `more` elements beyond the current size without defeating
// geometric growth: reserving exactly size + more for every batch would copy
// the whole store on every call, so filling an index batch by batch would
// cost quadratic time. Grows to at least 1.5 times the capacity.
template <class Vector>
void grow_for(Vector& v, size_t more) {
  const size_t need = v.size() + more;
  if (need > v.capacity()) v.reserve(std::max(need, v.capacity() + v.capacity() / 2));
}

// The same for a hash map: rehashing to exactly size + more on every batch
// would rebuild the whole table each time.
template <class Map>
void grow_map_for(Map& m, size_t more) {
  const size_t need = m.size() + more;
  if (static_cast<double>(need) > static_cast<double>(m.bucket_count()) * m.max_load_factor())
    m.reserve(std::max(need, m.size() * 2));
}

}  // namespace kovra
