// Test executables that link this define rand, malloc and free themselves, so
// the library's imports resolve to them: each test scripts the rand stream,
// counts the calls and can make an allocation fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace libc_script {

// Where rand() takes its values from.
void use_real_rand();                                  // libc's own stream
void use_constant(int value);                          // the same value forever
void use_values(std::vector<int> values, bool cycle);  // a list, then 0 or repeat
// An independent 31-bit stream from a seed (for many random tests quickly).
void use_seeded(uint64_t seed);

// Calls made since the last reset().
void reset();
int64_t rand_calls();
int64_t malloc_calls();
int64_t free_calls();
std::size_t last_malloc_size();
void fail_next_malloc();  // the next malloc returns null
// False in the sanitizer build, whose allocator the shim leaves alone: malloc
// and free are then not counted and fail_next_malloc() has no effect.
bool heap_scripted();

// The values handed out since the last reset(), when recording is on.
void record_values(bool on);
const std::vector<int> &recorded();

}  // namespace libc_script

// For GoogleTest bodies that count or fail allocations.
#define SK_SKIP_UNLESS_HEAP_SCRIPTED()                                   \
  do {                                                                  \
    if (!libc_script::heap_scripted())                                  \
      GTEST_SKIP() << "malloc/free are not scripted in the sanitizer build"; \
  } while (0)
