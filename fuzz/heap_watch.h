// The library's heap calls, for a fuzz target linked with --wrap=malloc and
// --wrap=free: a case counts them and can make the next allocation fail.
// Only calls made on the fuzzing thread while a case watches are looked at.
// Defines the wrappers, so one translation unit of a target includes it.
#pragma once

#include <cstddef>

namespace fuzz {

struct HeapWatch {
  bool watching = false;
  bool fail_next = false;
  int n_malloc = 0, n_free = 0;
  std::size_t malloc_size = 0;  // of the last allocation watched

  // Counts from zero; with fail_first the first allocation fails.
  void start(bool fail_first) {
    n_malloc = n_free = 0;
    malloc_size = 0;
    fail_next = fail_first;
    watching = true;
  }
  void stop() {
    watching = false;
    fail_next = false;
  }
};

inline thread_local HeapWatch heap;

}  // namespace fuzz

extern "C" void *__real_malloc(std::size_t);
extern "C" void __real_free(void *);
extern "C" void *__wrap_malloc(std::size_t size) {
  fuzz::HeapWatch &h = fuzz::heap;
  if (h.watching) {
    ++h.n_malloc;
    h.malloc_size = size;
    if (h.fail_next) {
      h.fail_next = false;
      return nullptr;
    }
  }
  return __real_malloc(size);
}
extern "C" void __wrap_free(void *p) {
  if (fuzz::heap.watching && p != nullptr) ++fuzz::heap.n_free;
  __real_free(p);
}
