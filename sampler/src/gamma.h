// Gamma variates.  For shape s >= 1, Marsaglia and Tsang (2000): a cubed
// normal with two squeezes and an exact logarithmic acceptance test.  For
// s < 1 with 1/s a whole number n up to 64 (s = 0.5, 0.25, 0.2, 0.1, ...),
// Ahrens and Dieter's (1974) rejection from x^(s-1) on [0, 1] and e^-x
// beyond: x = P^n by multiplications on [0, 1], x = 1 + E beyond, with
// squeezes before any logarithm.  These are most draws of a sparse fit.
// Other s < 1: Gamma(s + 1) * exp(-E / s), E standard exponential.
// Per-shape constants are computed once.
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
  double b = 0, shape_minus_one = 0;  // 1 + s / e, s - 1 (for that case)
  explicit GammaShape(double shape = 1.0) {
    const double s = shape < 1.0 ? shape + 1.0 : shape;
    d = s - 1.0 / 3.0;
    c = 1.0 / std::sqrt(9.0 * d);
    inv_shape = shape < 1.0 ? 1.0 / shape : 0.0;
    if (inv_shape != 0.0 && inv_shape <= 64 && inv_shape == std::floor(inv_shape)) power = static_cast<int>(inv_shape);
    b = 1.0 + shape / 2.718281828459045;
    shape_minus_one = shape - 1.0;
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

// Shapes s = 1/n: Ahrens and Dieter's GS rejection.
[[gnu::always_inline]] inline double gamma_draw_reciprocal(Rng &rng, const GammaShape &g) {
  for (;;) {
    const double p = g.b * rng.uniform_pos();
    if (p <= 1.0) {  // x^(s-1) on [0, 1], kept with probability e^-x
      const double x = whole_power(p, g.power);
      if (rng.exponential() >= x) return x;
    } else {  // e^-x on (1, inf), that is 1 + E, kept with probability x^(s-1)
      const double x = 1.0 + rng.exponential();
      const double u = rng.uniform();
      // x^(s-1) >= 1 + (s-1)(x-1), as log x <= x - 1 and s < 1.
      if (u <= 1.0 + g.shape_minus_one * (x - 1.0) || std::log(u) <= g.shape_minus_one * std::log(x)) return x;
    }
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
  const GammaShape &shape(size_t n) const { return table_[n]; }

 private:
  double base_;
  std::vector<GammaShape> table_;
};

}  // namespace sk_nmf
