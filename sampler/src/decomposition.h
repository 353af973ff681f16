// How a fit is cut into pieces that any number of workers can share without
// changing a bit of the result.
//
// Rows go in blocks of a fixed number of rows: a multiple of kTaskRows chosen
// from the data alone, never from the number of workers.  In each sweep a
// block's allocation draws from a rand() stream of its own, each task of
// kTaskRows rows draws its W from a generator of its own, and so does each
// block of kColumnBlock columns for H.  Partial sums are combined in block
// order.  The pieces may then run anywhere and in any order.
#pragma once

#include <algorithm>
#include <cstdint>

#include "random.h"

namespace sk_nmf {

constexpr int32_t kTaskRows = 1024;
constexpr int32_t kColumnBlock = 512;

struct Decomposition {
  int32_t rows = 0, cols = 0;
  int32_t block_rows = kTaskRows;  // a multiple of kTaskRows

  int32_t blocks() const { return static_cast<int32_t>((int64_t{rows} + block_rows - 1) / block_rows); }
  int32_t tasks() const { return static_cast<int32_t>((int64_t{rows} + kTaskRows - 1) / kTaskRows); }
  int32_t column_blocks() const { return static_cast<int32_t>((int64_t{cols} + kColumnBlock - 1) / kColumnBlock); }
  int32_t block_begin(int32_t b) const { return static_cast<int32_t>(int64_t{b} * block_rows); }
  int32_t block_end(int32_t b) const {
    return static_cast<int32_t>(std::min<int64_t>(rows, (int64_t{b} + 1) * block_rows));
  }
};

// Blocks large enough that a block's stored cells (about 64 x cols of them)
// outweigh what each allocation call costs whatever its size (a working copy
// of H and of the column tallies), from 1 to 64 tasks.
Decomposition decompose(int32_t rows, int32_t cols, int64_t nnz);

// The generator of one part of one sweep: W's task t is part t, H's column
// block b is part column_part(b).
Rng part_stream(uint64_t seed, int64_t sweep, uint64_t part);
constexpr uint64_t column_part(int32_t block) { return (uint64_t{1} << 23) + static_cast<uint64_t>(block); }

// A state of glibc's rand(), the additive feedback generator
// r[n] = r[n-3] + r[n-31] (mod 2^32) whose results are r[n] >> 1: word 0
// says the type and position (as setstate() reads it), words 1 to 31 are
// the 31 values of r.
struct RandState {
  int32_t words[32];
};

// The rand() state of one block's allocation in one sweep.  Its 992 bits
// come from xoshiro256** started at a one-to-one function of (seed, sweep,
// block), so distinct pieces get distinct streams with overwhelming
// probability; srand()'s 32-bit seeds would repeat among a few hundred
// thousand pieces.
RandState allocation_stream(uint64_t seed, int64_t sweep, int32_t block);

// The values rand() gives from a state, computed here: what the tests and
// check_rand_streams compare the C library with.
class RandStream {
 public:
  explicit RandStream(const RandState &s);
  int32_t next();

 private:
  uint32_t r_[31];
  int front_ = 3, rear_ = 0;
};

// Installs rand() states while it lives and gives the process its own state
// back at the end, so a host's rand() stream goes on where it was.
class RandStreamScope {
 public:
  RandStreamScope();
  ~RandStreamScope();
  RandStreamScope(const RandStreamScope &) = delete;
  RandStreamScope &operator=(const RandStreamScope &) = delete;
  // rand() draws from a copy of `s` until the next call.
  void install(const RandState &s);

 private:
  char *previous_ = nullptr;
  RandState buffers_[2];
  const RandState *installed_ = nullptr;
};

// Throws Error unless rand() follows a state that setstate() installs, as
// glibc's does.
void check_rand_streams();

}  // namespace sk_nmf
