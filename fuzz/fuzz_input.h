// Turns a fuzzer's input into the values of one test case.  Bytes are taken
// from the front of the input; once it is used up, a generator seeded from
// the input's length and first bytes carries on, so that short inputs still
// describe large matrices and every input describes a complete case.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace fuzz {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

inline uint64_t splitmix(uint64_t &state) {
  state += 0x9e3779b97f4a7c15ull;
  uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

class Input {
 public:
  Input(const uint8_t *data, std::size_t size) : data_(data), size_(size) {
    state_ = 0x5eed0000u + size;
    for (std::size_t i = 0; i < size && i < 8; ++i) state_ = state_ * 131 + data[i];
  }

  uint8_t byte() {
    if (pos_ < size_) return data_[pos_++];
    // Eight bytes per generator step: large cases are mostly generated.
    if (spare_ == 0) {
      bits_ = splitmix(state_);
      spare_ = 8;
    }
    --spare_;
    const uint8_t b = static_cast<uint8_t>(bits_ >> 56);
    bits_ <<= 8;
    return b;
  }
  uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
  uint32_t u32() { return uint32_t(u16()) | uint32_t(u16()) << 16; }
  uint64_t u64() { return uint64_t(u32()) | uint64_t(u32()) << 32; }
  double raw_double() {
    const uint64_t bits = u64();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }
  // A double uniform in [0, 1) with 53 random bits.
  double unit() { return double(u64() >> 11) * 0x1p-53; }
  bool exhausted() const { return pos_ >= size_; }

 private:
  const uint8_t *data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  uint64_t state_;
  uint64_t bits_ = 0;
  int spare_ = 0;
};

// Kinds of weight matrices.  Non-negative kinds give ascending running sums;
// the others give unsorted sums, NaN and infinite totals.
enum WeightKind : uint8_t {
  kSmallExact,  // multiples of 1/64: many ties among running sums
  kPositive,    // uniform in (0, 4)
  kSparse,      // mostly zeros
  kSpecials,    // NaN, infinities, negatives, subnormals, huge values mixed in
  kSigned,      // negative and positive: unsorted running sums
  kRawBits,     // any 64-bit pattern
  kSubnormal,   // totals in the subnormal range
  kHuge,        // totals that overflow to infinity
  kWeightKinds
};

inline double special_value(uint8_t b) {
  static const double values[] = {0.0,      -0.0,     kNaN,    -kNaN,   kInf,
                                  -kInf,    -1.5,     -1e-300, 5e-324,  1e-310,
                                  2.2e-308, 1e300,    1e308,   1.7976931348623157e308,
                                  1.0,      2.0,      0.5,     3.0};
  return values[b % (sizeof values / sizeof *values)];
}

inline double weight(Input &in, WeightKind kind) {
  switch (kind) {
    case kSmallExact:
      return double(in.byte() % 65) / 64.0;
    case kPositive:
      return 4.0 * in.unit() + 0x1p-40;
    case kSparse:
      return in.byte() < 200 ? 0.0 : 1.0 + in.byte() % 8;
    case kSpecials: {
      const uint8_t b = in.byte();
      return b < 64 ? special_value(b) : 3.0 * in.unit();
    }
    case kSigned:
      return (in.byte() % 16 - 7.5) / 2.0;
    case kRawBits:
      return in.raw_double();
    case kSubnormal:
      return double(in.byte()) * 5e-324;
    case kHuge:
      return (1.0 + in.unit()) * 1e306;
    default:
      return 0.0;
  }
}

// A count: mostly small, with every boundary of the draw rule and the values
// that must make no draw at all.
inline double count(Input &in) {
  static const double edges[] = {
      0.0,  -0.0, 0.3, 0.49999999999999994, 0.5, 0.5000000000000001, 1.0,
      1.01, 2.5,  -1,  kNaN,                kInf, -kInf,              3e9,
      2147483648.0, 2147483647.5, 1e308, 1e-320, 4.0000000000000001, 7.0};
  const uint8_t b = in.byte();
  if (b < 96) return edges[b % (sizeof edges / sizeof *edges)];
  if (b < 200) return double(b % 12);
  if (b < 240) return double(in.byte() % 32) + in.unit();
  return double(100 + in.u16() % 4901);  // many draws in one cell, up to 5000
}

// A starting tally: zero, a small integer or any bit pattern.
inline double tally(Input &in, uint8_t kind) {
  switch (kind % 4) {
    case 0:
      return 0.0;
    case 1:
      return double(in.byte());
    case 2:
      return in.byte() < 32 ? special_value(in.byte()) : double(in.u16());
    default:
      return in.raw_double();
  }
}

// Number of draws the library makes for one count.
inline int64_t draws_for(double c) {
  if (!(c >= 0.5 && c <= 2147483647.0)) return 0;
  return static_cast<int64_t>(std::ceil(c));
}

}  // namespace fuzz
