#include "random.h"

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

}  // namespace

const ZigguratTables &ziggurat_tables() {
  static const ZigguratTables tables = make_tables();
  return tables;
}

}  // namespace sk_nmf
