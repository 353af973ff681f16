#include "random.h"

#include <mutex>

namespace sk_nmf {
namespace {

// Layer edges for 256 layers of equal area v under f, from the base edge r.
void build(double r, double v, double (*f)(double), double (*f_inverse)(double), double *x, double *fx) {
  x[0] = v / f(r);
  x[1] = r;
  for (int i = 1; i < 255; ++i) x[i + 1] = f_inverse(v / x[i] + f(x[i]));
  x[256] = 0.0;
  for (int i = 0; i <= 256; ++i) fx[i] = f(x[i]);
  fx[0] = f(r);  // the base strip has the tail's height
}

ZigguratTables make_tables() {
  ZigguratTables t{};
  build(3.6541528853610088, 0.00492867323399,
        [](double x) { return std::exp(-0.5 * x * x); },
        [](double y) { return std::sqrt(-2.0 * std::log(y)); }, t.nx, t.nf);
  build(7.69711747013104972, 0.0039496598225815571993,
        [](double x) { return std::exp(-x); },
        [](double y) { return -std::log(y); }, t.ex, t.ef);
  return t;
}

// Q(a, x), the upper regularised incomplete gamma function: its continued
// fraction (modified Lentz) for x > a + 1, else 1 minus the series.
double gamma_q(double a, double x) {
  const double front = std::exp(a * std::log(x) - x - std::lgamma(a));
  if (x < a + 1.0) {
    double term = 1.0 / a, sum = term;
    for (int n = 1; n < 100000 && term > sum * 1e-17; ++n) {
      term *= x / (a + n);
      sum += term;
    }
    return 1.0 - front * sum;
  }
  const double tiny = 1e-300;
  double b = x + 1.0 - a, c = 1.0 / tiny, d = 1.0 / b, h = d;
  for (int i = 1; i < 100000; ++i) {
    const double an = -i * (i - a);
    b += 2.0;
    d = an * d + b;
    if (std::fabs(d) < tiny) d = tiny;
    c = b + an / c;
    if (std::fabs(c) < tiny) c = tiny;
    d = 1.0 / d;
    const double delta = d * c;
    h *= delta;
    if (std::fabs(delta - 1.0) < 1e-16) break;
  }
  return front * h;
}

// Layers for exp(-y^m) from the tail start r; returns v / x[255] + f(x[255])
// - 1, zero when the top layer has the common area too (above zero, or the
// recursion leaving [0, 1], when r is too small).
double build_reciprocal(double r, int m, ReciprocalZiggurat &z) {
  const double a = 1.0 / m;
  auto f = [m](double y) { return std::exp(-std::pow(y, m)); };
  const double tail = a * std::exp(std::lgamma(a)) * gamma_q(a, std::pow(r, m));
  const double v = r * f(r) + tail;
  z.x[0] = v / f(r);
  z.x[1] = r;
  for (int i = 1; i < 255; ++i) {
    const double arg = v / z.x[i] + f(z.x[i]);
    if (!(arg < 1.0)) return 1.0;
    z.x[i + 1] = std::pow(-std::log(arg), a);
  }
  z.x[256] = 0.0;
  for (int i = 1; i <= 256; ++i) z.f[i] = f(z.x[i]);
  z.f[0] = f(r);
  z.r_m = std::pow(r, m);
  return v / z.x[255] + f(z.x[255]) - 1.0;
}

}  // namespace

const ReciprocalZiggurat &reciprocal_ziggurat(int m) {
  static ReciprocalZiggurat tables[65];
  static std::once_flag once[65];
  std::call_once(once[m], [m] {
    // v falls as r grows: bisect for the r whose 256 layers just reach f = 1.
    double lo = 0.05, hi = 40.0;
    for (int it = 0; it < 200; ++it) {
      const double mid = 0.5 * (lo + hi);
      if (build_reciprocal(mid, m, tables[m]) > 0.0) lo = mid; else hi = mid;
    }
    build_reciprocal(hi, m, tables[m]);
  });
  return tables[m];
}

const ZigguratTables &ziggurat_tables() {
  static const ZigguratTables tables = make_tables();
  return tables;
}

}  // namespace sk_nmf
