// Storage for large arrays of plain numbers. Growing such an array is
// dominated by the kernel faulting in fresh pages, so big allocations are
// aligned to and marked for transparent huge pages, and elements added by
// resize() are left uninitialised (they are always overwritten right away).
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
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

// A growable array of plain numbers whose large blocks are mappings of their
// own, grown by mremap: growing moves page tables, never the bytes, and the
// kernel zeroes each page once, when it is first written. A std::vector
// copies everything into a fresh block at every doubling, so filling a store
// of a gigabyte paused for up to a second at each power of two, faulting in
// (and zeroing) as many fresh pages as the store already held. Elements added
// by resize() without a value are left uninitialised, as with BulkAllocator.
template <class T>
class GrowBuffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  using value_type = T;
  using iterator = T*;
  using const_iterator = const T*;

  GrowBuffer() = default;
  explicit GrowBuffer(size_t n) { resize(n); }
  GrowBuffer(size_t n, const T& value) { resize(n, value); }
  GrowBuffer(const GrowBuffer& other) { assign(other.begin(), other.end()); }
  GrowBuffer(GrowBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  GrowBuffer& operator=(const GrowBuffer& other) {
    if (this != &other) assign(other.begin(), other.end());
    return *this;
  }
  GrowBuffer& operator=(GrowBuffer&& other) noexcept {
    if (this != &other) {
      release(data_, capacity_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ~GrowBuffer() { release(data_, capacity_); }

  T* data() { return data_; }
  const T* data() const { return data_; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  T& back() { return data_[size_ - 1]; }

  void reserve(size_t n) {
    if (n > capacity_) set_capacity(n);
  }
  void resize(size_t n) {
    if (n > capacity_) grow(n);
    size_ = n;
  }
  void resize(size_t n, const T& value) {
    const size_t old = size_;
    resize(n);
    if (n > old) std::fill(data_ + old, data_ + n, value);
  }
  void push_back(const T& value) {
    if (size_ == capacity_) grow(size_ + 1);
    data_[size_++] = value;
  }
  // Appends [first, last); only the end is a valid position.
  T* insert(const T* pos, const T* first, const T* last) {
    const size_t at = static_cast<size_t>(pos - data_);
    const size_t n = static_cast<size_t>(last - first);
    if (n == 0) return data_ + at;
    if (size_ + n > capacity_) {
      // A source inside this buffer moves with it.
      const bool inside = first >= data_ && first < data_ + size_;
      const size_t offset = inside ? static_cast<size_t>(first - data_) : 0;
      grow(size_ + n);
      if (inside) first = data_ + offset;
    }
    std::memcpy(data_ + size_, first, n * sizeof(T));
    size_ += n;
    return data_ + at;
  }
  void assign(const T* first, const T* last) {
    size_ = 0;
    insert(data_, first, last);
  }
  void clear() { size_ = 0; }
  void shrink_to_fit() {
    if (size_ < capacity_) set_capacity(size_);
  }
  friend bool operator==(const GrowBuffer& a, const GrowBuffer& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }
  void swap(GrowBuffer& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

 private:
  // Blocks from this size on are mappings of their own, returned to the
  // system whole when they grow or are freed. Smaller blocks come from malloc,
  // whose freed blocks stay in the heap: once a process has freed a large
  // block (NumPy does), glibc serves requests up to 32 MiB from the heap and
  // keeps what they leave behind, so a table rebuilt at every doubling would
  // leave its old copies resident.
  static constexpr size_t kMapThreshold = size_t(256) << 10;
  // Mappings from this size on are marked for huge pages and start on a huge
  // page boundary. A huge page is resident whole once touched, so a smaller
  // array would carry up to 2 MiB of untouched tail for little gain in its
  // scan; for the same reason a mapping ends at its last small page: the
  // kernel backs only whole aligned 2 MiB spans with huge pages, so a partial
  // last span stays on small pages. The boundary matters: a mapping moved by
  // mremap to an address of another alignment has its huge pages split back
  // into small ones. A graph built batch by batch then ended up mostly on
  // 4 KiB pages, and its searches, which hop across the whole store, ran at a
  // quarter of the speed of the same graph loaded from a file once the
  // caches were cold.
  static constexpr size_t kHugeThreshold = size_t(4) << 20;
  static constexpr size_t kHugePage = size_t(2) << 20;
  static size_t round_to(size_t bytes, size_t unit) { return (bytes + unit - 1) & ~(unit - 1); }
  static size_t block_bytes(size_t capacity) {
    const size_t bytes = capacity * sizeof(T);
    return bytes >= kMapThreshold ? round_to(bytes, 4096) : bytes;
  }
  static bool mapped(size_t capacity) { return capacity * sizeof(T) >= kMapThreshold; }
  static bool huge(size_t bytes) { return bytes >= kHugeThreshold; }

  static void release(T* p, size_t capacity) noexcept {
    if (!p) return;
    if (mapped(capacity)) {
      ::munmap(p, block_bytes(capacity));
    } else {
      std::free(p);
    }
  }

  // Address space for `bytes` on a huge page boundary: an over-sized mapping
  // with its ragged ends cut off.
  static void* map_aligned(size_t bytes) {
    const size_t span = bytes + kHugePage;
    void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return MAP_FAILED;
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = round_to(start, kHugePage);
    if (aligned > start) ::munmap(raw, aligned - start);
    const uintptr_t end = start + span;
    if (end > aligned + bytes) ::munmap(reinterpret_cast<void*>(aligned + bytes), end - aligned - bytes);
    return reinterpret_cast<void*>(aligned);
  }

  static void* map_block(size_t bytes) {
    if (huge(bytes)) return map_aligned(bytes);
    return ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  }

  // Grows or shrinks a mapping. It stays where it is when the address space
  // past it is free (and, for a huge one, it already starts on a boundary);
  // otherwise a huge one moves to a huge page boundary, where its huge pages
  // move whole.
  static void* remap_block(void* p, size_t old_bytes, size_t bytes) {
    const bool on_boundary = (reinterpret_cast<uintptr_t>(p) & (kHugePage - 1)) == 0;
    if (!huge(bytes) || on_boundary) {
      void* q = ::mremap(p, old_bytes, bytes, 0);
      if (q != MAP_FAILED) return q;
    }
    if (huge(bytes)) {
      void* target = map_aligned(bytes);
      if (target != MAP_FAILED) {
        void* q = ::mremap(p, old_bytes, bytes, MREMAP_MAYMOVE | MREMAP_FIXED, target);
        if (q != MAP_FAILED) return q;
        ::munmap(target, bytes);
      }
    }
    return ::mremap(p, old_bytes, bytes, MREMAP_MAYMOVE);
  }

  // Large stores are scanned end to end: huge pages spare the TLB. The hint
  // covers the whole mapping: marking only part of it would split it in two,
  // and mremap moves only what one mapping holds.
  static void advise(void* p, size_t bytes) {
#ifdef MADV_HUGEPAGE
    if (huge(bytes)) ::madvise(p, bytes, MADV_HUGEPAGE);  // a hint; failure changes nothing
#else
    (void)p;
    (void)bytes;
#endif
  }

  void grow(size_t need) { set_capacity(std::max(need, capacity_ + capacity_ / 2)); }

  void set_capacity(size_t n) {
    if (n > SIZE_MAX / sizeof(T) / 2) throw std::bad_alloc();
    if (n == capacity_) return;
    const size_t bytes = block_bytes(n);
    void* p = nullptr;
    if (!mapped(n)) {
      if (mapped(capacity_)) {  // shrinking out of a mapping
        p = std::malloc(bytes ? bytes : 1);
        if (!p) throw std::bad_alloc();
        std::memcpy(p, data_, std::min(size_, n) * sizeof(T));
        release(data_, capacity_);
      } else {
        p = std::realloc(data_, bytes ? bytes : 1);
        if (!p) throw std::bad_alloc();
      }
    } else if (mapped(capacity_)) {
      p = remap_block(data_, block_bytes(capacity_), bytes);
      if (p == MAP_FAILED) throw std::bad_alloc();
      advise(p, bytes);
    } else {
      p = map_block(bytes);
      if (p == MAP_FAILED) throw std::bad_alloc();
      advise(p, bytes);
      if (data_) std::memcpy(p, data_, std::min(size_, n) * sizeof(T));
      std::free(data_);
    }
    data_ = static_cast<T*>(p);
    capacity_ = n;
    size_ = std::min(size_, n);
  }

  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

using FloatBuffer = GrowBuffer<float>;

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
