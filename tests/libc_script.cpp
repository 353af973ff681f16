#include "libc_script.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <utility>

extern "C" void *__libc_malloc(std::size_t);
extern "C" void __libc_free(void *);

namespace {

enum class Mode { real, constant, values, seeded };

Mode mode = Mode::real;
int constant_value = 0;
std::vector<int> values;
std::size_t next_value = 0;
bool cycle_values = false;
uint64_t seeded_state = 0;
bool recording = false;
std::vector<int> record;

std::atomic<int64_t> n_rand{0}, n_malloc{0}, n_free{0};
std::atomic<std::size_t> last_size{0};
std::atomic<bool> fail_malloc{false};
// Set while the shim itself allocates, so that only the caller's heap traffic
// is counted.
bool in_shim = false;

int real_rand() {
  using Fn = int (*)();
  static Fn fn = nullptr;
  if (fn == nullptr) {
    in_shim = true;
    fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "rand"));
    in_shim = false;
  }
  return fn();
}

int next() {
  switch (mode) {
    case Mode::real:
      return real_rand();
    case Mode::constant:
      return constant_value;
    case Mode::values:
      if (next_value == values.size()) {
        if (!cycle_values || values.empty()) return 0;
        next_value = 0;
      }
      return values[next_value++];
    case Mode::seeded:
      // splitmix64, top 31 bits
      seeded_state += 0x9e3779b97f4a7c15ull;
      uint64_t z = seeded_state;
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
      return static_cast<int>((z ^ (z >> 31)) >> 33);
  }
  return 0;
}

}  // namespace

extern "C" int rand() {
  n_rand.fetch_add(1, std::memory_order_relaxed);
  const int r = next();
  if (recording) {
    in_shim = true;
    record.push_back(r);
    in_shim = false;
  }
  return r;
}

// Under AddressSanitizer its own allocator must serve every allocation, so the
// heap is then neither counted nor failed on request.
#ifndef SAMPLING_KERNELS_SANITIZE
extern "C" void *malloc(std::size_t size) {
  if (in_shim) return __libc_malloc(size);
  n_malloc.fetch_add(1, std::memory_order_relaxed);
  last_size.store(size, std::memory_order_relaxed);
  if (fail_malloc.exchange(false)) return nullptr;
  return __libc_malloc(size);
}

extern "C" void free(void *p) {
  if (p != nullptr && !in_shim) n_free.fetch_add(1, std::memory_order_relaxed);
  __libc_free(p);
}
#endif

namespace libc_script {

void use_real_rand() { mode = Mode::real; }
void use_constant(int value) {
  mode = Mode::constant;
  constant_value = value;
}
void use_values(std::vector<int> v, bool cycle) {
  mode = Mode::values;
  values = std::move(v);
  next_value = 0;
  cycle_values = cycle;
}
void use_seeded(uint64_t seed) {
  mode = Mode::seeded;
  seeded_state = seed;
}
void reset() {
  n_rand = 0;
  n_malloc = 0;
  n_free = 0;
  last_size = 0;
  record.clear();
}
int64_t rand_calls() { return n_rand; }
int64_t malloc_calls() { return n_malloc; }
int64_t free_calls() { return n_free; }
std::size_t last_malloc_size() { return last_size; }
void fail_next_malloc() { fail_malloc = true; }
bool heap_scripted() {
#ifdef SAMPLING_KERNELS_SANITIZE
  return false;
#else
  return true;
#endif
}
void record_values(bool on) { recording = on; }
const std::vector<int> &recorded() { return record; }

}  // namespace libc_script
