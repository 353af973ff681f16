// The benchmark's second mode: rand() and srand() defined in the executable
// and exported (-rdynamic), so that the library's rand() calls resolve here.
// The stream is glibc's default one (additive feedback, 31 words, seeded
// through the minimal standard generator), without the lock that glibc 2.36
// takes on every call; glibc 2.42 drops that lock in single-threaded
// processes.  Not thread-safe, which the benchmark does not need.
#include <cstdint>

namespace {

int32_t state[31];
int front = 3, rear = 0;

}  // namespace

// Calls made, so that the benchmark can check the library really uses this.
extern "C" long long sk_bench_fast_rand_calls;
long long sk_bench_fast_rand_calls = 0;

extern "C" void srand(unsigned seed) {
  int64_t word = seed == 0 ? 1 : seed;
  state[0] = static_cast<int32_t>(word);
  for (int i = 1; i < 31; ++i) {
    // 16807 * word % 2147483647 by Schrage's method.
    const int64_t hi = word / 127773, lo = word % 127773;
    word = 16807 * lo - 2836 * hi;
    if (word < 0) word += 2147483647;
    state[i] = static_cast<int32_t>(word);
  }
  front = 3;
  rear = 0;
  for (int i = 0; i < 310; ++i) {
    state[front] = static_cast<int32_t>(static_cast<uint32_t>(state[front]) +
                                        static_cast<uint32_t>(state[rear]));
    if (++front == 31) front = 0;
    if (++rear == 31) rear = 0;
  }
}

extern "C" int rand() {
  ++sk_bench_fast_rand_calls;
  const uint32_t value = static_cast<uint32_t>(state[front]) + static_cast<uint32_t>(state[rear]);
  state[front] = static_cast<int32_t>(value);
  if (++front == 31) front = 0;
  if (++rear == 31) rear = 0;
  return static_cast<int>(value >> 1);
}
