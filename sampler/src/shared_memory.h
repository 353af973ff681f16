// Memory that the worker processes of a fit can map.  Every large array of a
// fit (the counts, the factors, the tallies) lives in the pages of a memfd,
// so the workers share them instead of holding a copy each.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace sk_nmf {

// What this process can still be given, in bytes: the machine's
// MemAvailable, bounded by its cgroup's limit and its address-space limit.
size_t available_memory();

// The memfd behind an allocation, and its size in bytes.
struct SharedRegion {
  int fd = -1;
  size_t bytes = 0;
};

// Zero-filled pages of a new memfd; throws std::bad_alloc.  With `commit`
// the pages are taken now, so that want of memory shows here and not as a
// fault when they are first touched.
void *shared_allocate(size_t bytes, bool commit = false);
void shared_free(void *p) noexcept;
// The region that shared_allocate returned at p; fd -1 if none did.
SharedRegion shared_region(const void *p);

template <class T>
struct SharedAllocator {
  using value_type = T;
  SharedAllocator() = default;
  template <class U>
  SharedAllocator(const SharedAllocator<U> &) {}
  T *allocate(size_t n) {
    if (n > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T *>(shared_allocate(n * sizeof(T)));
  }
  void deallocate(T *p, size_t) noexcept { shared_free(p); }
  template <class U>
  bool operator==(const SharedAllocator<U> &) const { return true; }
};

// A vector whose elements worker processes can map.
template <class T>
using Array = std::vector<T, SharedAllocator<T>>;

}  // namespace sk_nmf
