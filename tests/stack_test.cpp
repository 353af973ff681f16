// How much stack Multi_Sample takes below its caller, measured on a painted
// thread stack, and calls on threads whose whole stack is small.  glibc keeps
// only a 4 KiB guard below a thread's stack, so a call that reaches further
// down writes into whatever lies below instead of faulting.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "libc_script.h"
#include "reference.h"
#include "sampling_kernels.h"

namespace {

// The bound the header promises, for the call and everything it calls
// (rand, malloc, free) together.
constexpr std::size_t kBound = 8192;
constexpr unsigned char kPaint = 0xa5;

struct Problem {
  int32_t rows, components, cols;
  std::vector<double> counts, row_factors, col_factors, row_tallies, col_tallies;
};

// Dense: every cell draws (1 to 6 times); sparse: one cell in seven draws.
// Rows are wide enough for full and partial blocks of eight columns.
Problem make_problem(int32_t K, bool dense) {
  const int32_t C = K > 1000 ? 12 : 37;
  Problem p{3, K, C, {}, {}, {}, {}, {}};
  const auto R = std::size_t(p.rows), KK = std::size_t(K), CC = std::size_t(C);
  for (std::size_t c = 0; c < R * CC; ++c)
    p.counts.push_back(dense ? double(1 + (c * 5) % 6) : (c % 7 == 3 ? 2.5 : 0.0));
  for (std::size_t e = 0; e < R * KK; ++e) p.row_factors.push_back(0.25 + double(e % 5));
  for (std::size_t e = 0; e < KK * CC; ++e) p.col_factors.push_back(1.0 + double(e % 3));
  p.row_tallies.assign(R * KK, 0.0);
  p.col_tallies.assign(KK * CC, 0.0);
  return p;
}

double units_expected(const Problem &p) {
  double n = 0;
  for (double c : p.counts)
    if (c >= 0.5) n += std::ceil(c);
  return n;
}

double sum(const std::vector<double> &v) {
  double s = 0;
  for (double x : v) s += x;
  return s;
}

struct Measurement {
  Problem *problem;
  unsigned char *stack;
  std::size_t stack_size;
  std::size_t used;
};

// Runs on a thread whose stack is `stack`: paints everything below the
// current frame, calls the library and finds the lowest byte it changed.
__attribute__((noinline)) void *measure(void *arg) {
  auto *m = static_cast<Measurement *>(arg);
  Problem &p = *m->problem;
  // The thread's first malloc sets up its arena, deep inside libc; that is
  // not the library's doing, so it happens before the measurement.
  std::free(std::malloc(64));
  uintptr_t sp;
  asm volatile("mov %%rsp, %0" : "=r"(sp));
  unsigned char *const paint_end = reinterpret_cast<unsigned char *>(sp) - 256;
  for (unsigned char *b = m->stack; b < paint_end; ++b) *reinterpret_cast<volatile unsigned char *>(b) = kPaint;
  void (*volatile call)(const double *, const double *, const double *, double *, double *,
                        int32_t, int32_t, int32_t) = Multi_Sample;
  uintptr_t at_call;
  asm volatile("mov %%rsp, %0" : "=r"(at_call));
  call(p.counts.data(), p.row_factors.data(), p.col_factors.data(), p.row_tallies.data(),
       p.col_tallies.data(), p.rows, p.components, p.cols);
  unsigned char *lowest = m->stack;
  while (lowest < paint_end && *lowest == kPaint) ++lowest;
  m->used = at_call - reinterpret_cast<uintptr_t>(lowest);
  return nullptr;
}

// Runs fn(arg) on a new thread with a stack of `size` bytes that the test owns.
void run_on_stack(void *(*fn)(void *), void *arg, unsigned char *stack, std::size_t size) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstack(&attr, stack, size), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, fn, arg), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attr);
}

struct StackCase {
  int32_t components;
  bool dense;
};

void PrintTo(const StackCase &c, std::ostream *os) {
  *os << "K " << c.components << (c.dense ? " dense" : " sparse");
}

std::string case_name(const ::testing::TestParamInfo<StackCase> &info) {
  return std::string("K")
      .append(std::to_string(info.param.components))
      .append(info.param.dense ? "_dense" : "_sparse");
}

class StackUse : public ::testing::TestWithParam<StackCase> {};

// Against the reference too, so that a change that saves stack by skipping
// work cannot pass.  Under the scripted stream and under glibc's own rand(),
// whose frames count towards the bound as well.
TEST_P(StackUse, StaysWithinTheBound) {
#ifdef SAMPLING_KERNELS_SANITIZE
  GTEST_SKIP() << "AddressSanitizer's redzones enlarge every frame";
#endif
  const StackCase c = GetParam();
  const unsigned seed = unsigned(c.components) * 2 + c.dense;
  for (const bool real : {false, true}) {
    auto start = [&] {
      if (real) {
        libc_script::use_real_rand();
        srand(seed);
      } else {
        libc_script::use_seeded(seed);
      }
    };
    const char *stream = real ? "glibc's rand()" : "the scripted stream";
    Problem p = make_problem(c.components, c.dense);
    Problem want = p;
    std::vector<double> cumulative(std::size_t(c.components));
    start();
    reference::multi_sample(want.counts.data(), want.row_factors.data(), want.col_factors.data(),
                            want.row_tallies.data(), want.col_tallies.data(), want.rows,
                            want.components, want.cols, cumulative.data(), [] { return rand(); });
    start();

    constexpr std::size_t kStackSize = 1 << 18;
    std::vector<unsigned char> stack(kStackSize + 4096);
    auto *base = reinterpret_cast<unsigned char *>(
        (reinterpret_cast<uintptr_t>(stack.data()) + 4095) & ~uintptr_t(4095));
    Measurement m{&p, base, kStackSize, 0};
    run_on_stack(measure, &m, base, kStackSize);
    libc_script::use_real_rand();

    EXPECT_LE(m.used, kBound) << "K = " << c.components << ", " << stream;
    EXPECT_GT(m.used, 0u) << stream;
    EXPECT_EQ(0, std::memcmp(p.row_tallies.data(), want.row_tallies.data(),
                             p.row_tallies.size() * sizeof(double)))
        << stream;
    EXPECT_EQ(0, std::memcmp(p.col_tallies.data(), want.col_tallies.data(),
                             p.col_tallies.size() * sizeof(double)))
        << stream;
    RecordProperty(real ? "stack_bytes_glibc_rand" : "stack_bytes", std::to_string(m.used));
    std::printf("K %d %s, %s: %zu bytes of stack\n", c.components, c.dense ? "dense" : "sparse",
                stream, m.used);
  }
}

std::vector<StackCase> stack_cases() {
  std::vector<StackCase> cases;
  // Each side of every change of strategy: the single and two-level counts,
  // the stored sums and the kept block ends, each doubling of the block
  // size, and lone many-draw cells from 2048 components.
  for (int32_t K : {1, 2, 4, 5, 16, 17, 80, 81, 352, 353, 416, 417, 704, 705, 832, 833, 1408,
                    1409, 2047, 2048, 2816, 2817, 3000, 5632, 5633, 11264, 11265})
    for (bool dense : {true, false}) cases.push_back({K, dense});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Components, StackUse, ::testing::ValuesIn(stack_cases()), case_name);

// A whole thread stack of 24 KiB, as a host with many threads might give:
// glibc carves the thread's descriptor and TLS out of it, and the test's own
// frames take some more.
struct SmallThread {
  Problem *problem;
};

void *call_library(void *arg) {
  Problem &p = *static_cast<SmallThread *>(arg)->problem;
  Multi_Sample(p.counts.data(), p.row_factors.data(), p.col_factors.data(), p.row_tallies.data(),
               p.col_tallies.data(), p.rows, p.components, p.cols);
  return nullptr;
}

class SmallStack : public ::testing::TestWithParam<int32_t> {};

TEST_P(SmallStack, LosesNoUnit) {
  const int32_t K = GetParam();
  for (bool dense : {true, false}) {
    Problem p = make_problem(K, dense);
    libc_script::use_real_rand();
    SmallThread arg{&p};
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, 24 * 1024), 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, call_library, &arg), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    pthread_attr_destroy(&attr);
    const double want = units_expected(p);
    EXPECT_EQ(sum(p.row_tallies), want) << "K = " << K;
    EXPECT_EQ(sum(p.col_tallies), want) << "K = " << K;
  }
}

INSTANTIATE_TEST_SUITE_P(Components, SmallStack, ::testing::Values(1, 50, 200, 800, 3000),
                         [](const ::testing::TestParamInfo<int32_t> &info) {
                           return std::string("K").append(std::to_string(info.param));
                         });

}  // namespace
