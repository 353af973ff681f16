#include "decomposition.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "errors.h"

namespace sk_nmf {

Decomposition decompose(int32_t rows, int32_t cols, int64_t nnz) {
  Decomposition d;
  d.rows = rows;
  d.cols = cols;
  const double per_row = std::max(static_cast<double>(nnz) / std::max(rows, 1), 1e-3);
  const double tasks = std::ceil(64.0 * cols / (per_row * kTaskRows));
  d.block_rows = kTaskRows * static_cast<int32_t>(std::clamp(tasks, 1.0, 64.0));
  return d;
}

Rng part_stream(uint64_t seed, int64_t sweep, uint64_t part) {
  // (sweep, part) fits in 55 bits (sweeps below 2^31, parts below 2^24:
  // row tasks below 2^21, column blocks 2^23 + b with b below 2^22), so
  // distinct parts get distinct seeds, mixed with the fit's seed.
  uint64_t s = seed;
  uint64_t key = splitmix64(s) ^ ((static_cast<uint64_t>(sweep) << 24) | part);
  return Rng(splitmix64(key));
}

namespace {

// splitmix64's finaliser: a bijection of 64-bit words.
uint64_t mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

constexpr int kType3 = 3;  // glibc's 31-word type; position 0 in word 0

}  // namespace

RandState allocation_stream(uint64_t seed, int64_t sweep, int32_t block) {
  // Each word of the starting state is a bijection of one key, so distinct
  // keys start xoshiro at distinct states; the fourth word is never zero.
  Rng g(mix(seed), mix(static_cast<uint64_t>(sweep) ^ 0x243f6a8885a308d3ULL),
        mix(static_cast<uint64_t>(static_cast<uint32_t>(block)) ^ 0x13198a2e03707344ULL),
        0xa4093822299f31d0ULL);
  for (int n = 0; n < 8; ++n) g.next();
  RandState s;
  s.words[0] = kType3;
  for (int n = 1; n < 32; ++n) s.words[n] = static_cast<int32_t>(static_cast<uint32_t>(g.next() >> 32));
  s.words[1] |= 1;  // an odd value keeps the generator on its long cycle
  return s;
}

RandStream::RandStream(const RandState &s) {
  for (int n = 0; n < 31; ++n) r_[n] = static_cast<uint32_t>(s.words[n + 1]);
  rear_ = s.words[0] / 5;  // glibc keeps type + 5 x position in word 0
  front_ = (rear_ + 3) % 31;
}

int32_t RandStream::next() {
  r_[front_] += r_[rear_];
  const auto result = static_cast<int32_t>(r_[front_] >> 1);
  front_ = front_ == 30 ? 0 : front_ + 1;
  rear_ = rear_ == 30 ? 0 : rear_ + 1;
  return result;
}

RandStreamScope::RandStreamScope() = default;

RandStreamScope::~RandStreamScope() {
  if (previous_) ::setstate(previous_);
}

void RandStreamScope::install(const RandState &s) {
  // setstate() writes the position of the state it leaves into that state's
  // word 0, so each state goes into the buffer not in use.
  RandState &next = buffers_[installed_ == &buffers_[0] ? 1 : 0];
  next = s;
  char *old = ::setstate(reinterpret_cast<char *>(next.words));
  if (!previous_) previous_ = old;
  installed_ = &next;
}

void check_rand_streams() {
  RandState s = allocation_stream(0x5eed, 1, 1);
  RandStream expected(s);
  bool same = true;
  {
    RandStreamScope scope;
    scope.install(s);
    for (int n = 0; n < 64; ++n) same = (std::rand() == expected.next()) && same;
  }
  if (!same) {
    throw Error("this C library's rand() does not follow a state given to setstate() as glibc's does, "
                "so a fit cannot give its pieces streams of their own");
  }
}

}  // namespace sk_nmf
