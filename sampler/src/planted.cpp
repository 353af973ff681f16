#include "planted.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "errors.h"
#include "gamma.h"
#include "model.h"

namespace sk_nmf {

int64_t poisson_draw(Rng &rng, double mean) {
  // Above 16, Knuth's gamma recursion: the m-th arrival of a unit-rate
  // process is Gamma(m); whether it falls before `mean` splits the count.
  int64_t k = 0;
  while (mean > 16) {
    const auto m = static_cast<int64_t>(std::floor(0.875 * mean));
    const double x = gamma_draw(rng, static_cast<double>(m));
    if (x >= mean) return k + binomial_draw(rng, m - 1, mean / x);
    k += m;
    mean -= x;
  }
  const double limit = std::exp(-mean);
  double p = rng.uniform();
  while (p >= limit) {
    ++k;
    p *= rng.uniform();
  }
  return k;
}

Planted plant(int32_t rows, int32_t cols, int32_t components, double factor_shape, uint64_t seed) {
  Rng rng(seed);
  const auto R = static_cast<size_t>(rows), C = static_cast<size_t>(cols), K = static_cast<size_t>(components);
  Planted p;
  p.w = allocate_vector<double>(static_cast<double>(R) * K, "the planted row factors");
  p.h = allocate_vector<double>(static_cast<double>(K) * C, "the planted column factors");
  const GammaShape g(factor_shape);
  for (double &v : p.w) v = gamma_draw(rng, g) / factor_shape;
  for (double &v : p.h) v = gamma_draw(rng, g) / factor_shape;
  p.x.rows = rows;
  p.x.cols = cols;
  p.x.offsets.reserve(R + 1);
  for (size_t i = 0; i < R; ++i) {
    for (size_t j = 0; j < C; ++j) {
      double mean = 0;
      for (size_t k = 0; k < K; ++k) mean += p.w[i * K + k] * p.h[k * C + j];
      if (const int64_t c = poisson_draw(rng, mean); c > 0) {
        p.x.indices.push_back(static_cast<int32_t>(j));
        p.x.values.push_back(static_cast<double>(std::min<int64_t>(c, 2147483647)));
      }
    }
    p.x.offsets.push_back(p.x.nnz());
  }
  return p;
}

namespace {

double cosine(const std::vector<double> &a, const std::vector<double> &b) {
  const double ab = std::inner_product(a.begin(), a.end(), b.begin(), 0.0);
  const double aa = std::inner_product(a.begin(), a.end(), a.begin(), 0.0);
  const double bb = std::inner_product(b.begin(), b.end(), b.begin(), 0.0);
  return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0.0;
}

}  // namespace

Recovery recovery(const std::vector<double> &w_true, const std::vector<double> &h_true,
                  const std::vector<double> &w_fit, const std::vector<double> &h_fit, int32_t rows,
                  int32_t cols, int32_t components) {
  const auto R = static_cast<size_t>(rows), C = static_cast<size_t>(cols), K = static_cast<size_t>(components);
  auto column = [&](const std::vector<double> &w, size_t k) {
    std::vector<double> c(R);
    for (size_t i = 0; i < R; ++i) c[i] = w[i * K + k];
    return c;
  };
  auto row = [&](const std::vector<double> &h, size_t k) {
    return std::vector<double>(h.begin() + static_cast<ptrdiff_t>(k * C), h.begin() + static_cast<ptrdiff_t>((k + 1) * C));
  };
  std::vector<std::vector<double>> cw(K, std::vector<double>(K)), ch(K, std::vector<double>(K));
  for (size_t a = 0; a < K; ++a)
    for (size_t b = 0; b < K; ++b) {
      cw[a][b] = cosine(column(w_true, a), column(w_fit, b));
      ch[a][b] = cosine(row(h_true, a), row(h_fit, b));
    }
  std::vector<size_t> best(K);
  std::iota(best.begin(), best.end(), 0);
  auto score = [&](const std::vector<size_t> &p) {
    double s = 0;
    for (size_t a = 0; a < K; ++a) s += cw[a][p[a]] + ch[a][p[a]];
    return s;
  };
  if (K <= 8) {
    std::vector<size_t> p = best;
    double best_score = score(best);
    while (std::next_permutation(p.begin(), p.end()))
      if (const double s = score(p); s > best_score) best_score = s, best = p;
  } else {
    std::vector<bool> used(K, false);
    for (size_t a = 0; a < K; ++a) {
      size_t pick = K;
      for (size_t b = 0; b < K; ++b)
        if (!used[b] && (pick == K || cw[a][b] + ch[a][b] > cw[a][pick] + ch[a][pick])) pick = b;
      used[pick] = true;
      best[a] = pick;
    }
  }
  Recovery r;
  for (size_t a = 0; a < K; ++a) {
    r.w += cw[a][best[a]] / static_cast<double>(K);
    r.h += ch[a][best[a]] / static_cast<double>(K);
  }
  return r;
}

}  // namespace sk_nmf
