// Gamma variates.  For shape s >= 1, Marsaglia and Tsang (2000): a cubed
// normal with two squeezes and an exact logarithmic acceptance test.  For
// s < 1 with 1/s a whole number n up to 64 (s = 0.5, 0.25, 0.2, 0.1, ...),
// a ziggurat for X^s, whose density exp(-y^n) is bounded and falling, then
// X = Y^n by multiplications: about one 64-bit value a draw.  These are most
// draws of a sparse fit.  Other s < 1: Gamma(s + 1) * exp(-E / s), E
// standard exponential.  Per-shape constants are computed once.
#pragma once

#include <cmath>
#include <vector>

#include "random.h"

namespace sk_nmf {

struct GammaShape {
  double d = 0;          // s' - 1/3, with s' = max(s, s + 1 when s < 1)
  double c = 0;          // 1 / sqrt(9 d)
  double inv_shape = 0;  // 1 / s when s < 1, else 0
  int power = 0;         // 1 / s when that is a whole number up to 64
  double shape_minus_one = 0;               // s - 1
  const ReciprocalZiggurat *zig = nullptr;  // when power is set
  explicit GammaShape(double shape = 1.0) {
    const double s = shape < 1.0 ? shape + 1.0 : shape;
    d = s - 1.0 / 3.0;
    c = 1.0 / std::sqrt(9.0 * d);
    inv_shape = shape < 1.0 ? 1.0 / shape : 0.0;
    if (inv_shape != 0.0 && inv_shape <= 64 && inv_shape == std::floor(inv_shape)) power = static_cast<int>(inv_shape);
    shape_minus_one = shape - 1.0;
    if (power != 0) zig = &reciprocal_ziggurat(power);
  }
};

inline double whole_power(double u, int n) {
  // Shapes 0.2 (the default) and 0.1 without the loop's branches, with the
  // loop's roundings.
  if (n == 5) {
    const double u2 = u * u, u4 = u2 * u2;
    return u * u4;
  }
  if (n == 10) {
    const double u2 = u * u, u4 = u2 * u2, u8 = u4 * u4;
    return u2 * u8;
  }
  double p = 1.0;
  for (; n != 0; n >>= 1) {
    if (n & 1) p *= u;
    u *= u;
  }
  return p;
}

// Shapes s = 1/m: Y = X^s has the density exp(-y^m), bounded and falling, so
// a ziggurat draws it: one 64-bit value and a comparison nearly every time,
// then X = Y^m.  Beyond the base strip, X = Y^m itself is drawn: its tail
// from r^m has the density t^(s-1) e^-t, so r^m + E kept with probability
// (t / r^m)^(s-1).
[[gnu::noinline]] inline double gamma_reciprocal_tail(Rng &rng, const GammaShape &g) {
  const double rm = g.zig->r_m;
  for (;;) {
    const double t = rm + rng.exponential();
    if (std::log(rng.uniform_pos()) <= g.shape_minus_one * std::log(t / rm)) return t;
  }
}

[[gnu::always_inline]] inline double gamma_draw_reciprocal(Rng &rng, const GammaShape &g) {
  const ReciprocalZiggurat &z = *g.zig;
  for (;;) {
    const uint64_t u = rng.next();
    const unsigned i = static_cast<unsigned>(u & 0xff);
    const double y = static_cast<double>(u >> 11) * 0x1.0p-53 * z.x[i];
    if (y < z.x[i + 1]) return whole_power(y, g.power);
    if (i == 0) return gamma_reciprocal_tail(rng, g);
    const double x = whole_power(y, g.power);
    if (z.f[i] + rng.uniform() * (z.f[i + 1] - z.f[i]) < std::exp(-x)) return x;
  }
}

// A draw of Gamma(shape, rate 1).
inline double gamma_draw(Rng &rng, const GammaShape &g) {
  if (g.power != 0) return gamma_draw_reciprocal(rng, g);
  double result;
  for (;;) {
    const double x = rng.normal();
    double v = 1.0 + g.c * x;
    if (v <= 0.0) continue;
    v = v * v * v;
    const double u = rng.uniform();
    const double x2 = x * x;
    // log u <= u - 1 and log v >= 1 - 1/v bound the exact test from the
    // safe side; the logarithms are taken only when both squeezes fail.
    if (u < 1.0 - 0.0331 * (x2 * x2) || u - 1.0 < 0.5 * x2 + g.d * (2.0 - v - 1.0 / v) ||
        std::log(u) < 0.5 * x2 + g.d * (1.0 - v + std::log(v))) {
      result = g.d * v;
      break;
    }
  }
  if (g.inv_shape != 0.0) {
    result *= std::exp(-rng.exponential() * g.inv_shape);
  }
  return result;
}

inline double gamma_draw(Rng &rng, double shape) { return gamma_draw(rng, GammaShape(shape)); }

// Shapes base + n for whole n below a bound, prepared once; tallies are whole
// numbers, so nearly every conditional draw hits the table.
class GammaShapeTable {
 public:
  GammaShapeTable(double base, int size) : base_(base) {
    table_.reserve(static_cast<size_t>(size));
    for (int n = 0; n < size; ++n) table_.emplace_back(base + n);
  }
  double draw(Rng &rng, double tally) const {
    // A zero tally (most entries of a sparse fit) takes the inlined path.
    if (tally == 0.0 && table_[0].power != 0) return gamma_draw_reciprocal(rng, table_[0]);
    const double n = tally;
    if (n >= 0 && n < static_cast<double>(table_.size())) {
      const auto index = static_cast<size_t>(n);
      if (static_cast<double>(index) == n) return gamma_draw(rng, table_[index]);
    }
    return gamma_draw(rng, GammaShape(base_ + tally));
  }
  // One draw per tally, in order, into out.  The generator is kept in a
  // local so that it lives in registers: only the draws off the inlined
  // zero-tally path get a copy whose address escapes.
  void draw_each(Rng &rng, const double *tallies, size_t n, double *out) const {
    const GammaShape &zero = table_[0];
    const bool zero_inline = zero.power != 0;
    Rng local = rng;
    for (size_t i = 0; i < n; ++i) {
      if (tallies[i] == 0.0 && zero_inline) {
        out[i] = gamma_draw_reciprocal(local, zero);
      } else {
        Rng escaped = local;
        out[i] = draw(escaped, tallies[i]);
        local = escaped;
      }
    }
    rng = local;
  }

 private:
  double base_;
  std::vector<GammaShape> table_;
};

}  // namespace sk_nmf
