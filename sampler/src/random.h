// The sampler's own random source: xoshiro256** seeded through splitmix64,
// with ziggurat normal and exponential variates (256 layers, Marsaglia and
// Tsang 2000; layer index and uniform taken from disjoint bits).  Exact in
// distribution; a seed fixes every value.  The allocation step does not use
// it: that step draws from libc's rand(), which the sampler seeds separately.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

namespace sk_nmf {

inline uint64_t splitmix64(uint64_t &state) {
  uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

struct ZigguratTables {
  // x[i] is the right edge of layer i (x[0] the base strip's equivalent
  // width, x[256] = 0); f[i] = density at x[i], unnormalised.
  double nx[257], nf[257];
  double ex[257], ef[257];
};
const ZigguratTables &ziggurat_tables();

// A ziggurat (256 layers) for the density exp(-y^m) on [0, inf): if Y has
// it, Y^m is Gamma(1/m).  x[0] is the base strip's equivalent width, x[1] = r
// where the tail starts, x[256] = 0; f[i] = exp(-x[i]^m), f[0] = f(r);
// r_m = r^m.  Built once per m (2 to 64), on first use.
struct ReciprocalZiggurat {
  double x[257], f[257];
  double r_m;
};
const ReciprocalZiggurat &reciprocal_ziggurat(int m);

class Rng {
 public:
  explicit Rng(uint64_t seed) : z_(&ziggurat_tables()) {
    uint64_t s = seed;
    for (uint64_t &w : s_) w = splitmix64(s);
  }
  // A given starting state, not all zero.
  Rng(uint64_t a, uint64_t b, uint64_t c, uint64_t d) : s_{a, b, c, d}, z_(&ziggurat_tables()) {}

  uint64_t next() {
    const uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }

  // Uniform on [0, 1), 53 bits.
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  // Uniform on (0, 1], for logarithms.
  double uniform_pos() { return static_cast<double>((next() >> 11) + 1) * 0x1.0p-53; }

  double normal() {
    for (;;) {
      const uint64_t u = next();
      const unsigned i = static_cast<unsigned>(u & 0xff);
      const uint64_t sign = (u & 0x100) << 55;  // bit 8 to the sign bit, without a branch
      const double x = static_cast<double>(u >> 11) * 0x1.0p-53 * z_->nx[i];
      if (x < z_->nx[i + 1]) return std::bit_cast<double>(std::bit_cast<uint64_t>(x) ^ sign);
      const bool negative = sign != 0;
      if (i == 0) {  // the tail beyond r
        const double r = z_->nx[1];
        for (;;) {
          const double a = -std::log(uniform_pos()) / r;
          const double b = -std::log(uniform_pos());
          if (b + b > a * a) return negative ? -(r + a) : r + a;
        }
      }
      const double y = z_->nf[i] + uniform() * (z_->nf[i + 1] - z_->nf[i]);
      if (y < std::exp(-0.5 * x * x)) return negative ? -x : x;
    }
  }

  // Standard exponential.
  double exponential() {
    for (;;) {
      const uint64_t u = next();
      const unsigned i = static_cast<unsigned>(u & 0xff);
      const double x = static_cast<double>(u >> 11) * 0x1.0p-53 * z_->ex[i];
      if (x < z_->ex[i + 1]) return x;
      if (i == 0) return z_->ex[1] - std::log(uniform_pos());  // memoryless tail
      const double y = z_->ef[i] + uniform() * (z_->ef[i + 1] - z_->ef[i]);
      if (y < std::exp(-x)) return x;
    }
  }

 private:
  static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t s_[4];
  const ZigguratTables *z_;
};

}  // namespace sk_nmf
