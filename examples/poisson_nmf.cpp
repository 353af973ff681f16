// Bayesian Poisson matrix factorisation by Gibbs sampling.
//
//   X[i,j] ~ Poisson(sum_k W[i,k] H[k,j]),  W[i,k], H[k,j] ~ Gamma(a, rate b)
//
// Each sweep splits every count among the components with Multi_Sample (the
// allocation step, done by libsampling_kernels), then draws
//   W[i,k] ~ Gamma(a + A[i,k], rate b + sum_j H[k,j])
//   H[k,j] ~ Gamma(a + B[k,j], rate b + sum_i W[i,k])
// from the row tallies A and column tallies B.
//
// With no arguments it plants known factors, draws counts from them and fits
// them; with --counts FILE it fits a Matrix Market or CSV count matrix.
#include "sampling_kernels.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <numeric>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr const char *kProgram = "poisson_nmf";
constexpr double kMaxCount = 2147483647.0;
// The matrices are dense; beyond this many cells the demo is the wrong tool.
constexpr double kMaxCells = 1e9;

struct Options {
  long rows = 300;
  long cols = 200;
  long components = 5;
  long sweeps = 300;
  long burn_in = 150;
  unsigned long seed = 1;
  double shape = 1.0;
  double rate = 1.0;
  std::string counts_file;
  std::string out_prefix;
};

struct Matrix {
  int32_t rows = 0;
  int32_t cols = 0;
  std::vector<double> v;
  Matrix() = default;
  Matrix(int32_t r, int32_t c)
      : rows(r), cols(c), v(static_cast<size_t>(r) * static_cast<size_t>(c), 0.0) {}
  double &operator()(int32_t i, int32_t j) {
    return v[static_cast<size_t>(i) * static_cast<size_t>(cols) + static_cast<size_t>(j)];
  }
  double operator()(int32_t i, int32_t j) const {
    return v[static_cast<size_t>(i) * static_cast<size_t>(cols) + static_cast<size_t>(j)];
  }
};

// An error the user can act on: printed as one line, then a non-zero exit.
struct UserError : std::runtime_error {
  int status;
  UserError(const std::string &what, int code = 1) : std::runtime_error(what), status(code) {}
};

[[noreturn]] void file_error(const std::string &file, long line, const std::string &what) {
  throw UserError(file + ":" + std::to_string(line) + ": " + what);
}

const char *kUsage =
    "usage: poisson_nmf [options]\n"
    "\n"
    "Fits X ~ Poisson(W H) with Gamma priors by Gibbs sampling.  With no\n"
    "--counts it plants known factors, draws a count matrix from them and\n"
    "reports how well the fit recovers them.\n"
    "\n"
    "  --rows N         rows of the planted matrix (default 300)\n"
    "  --cols N         columns of the planted matrix (default 200)\n"
    "  --components K   number of components (default 5)\n"
    "  --sweeps N       Gibbs sweeps in all (default 300)\n"
    "  --burn-in N      sweeps left out of the posterior means (default 150)\n"
    "  --seed N         seed for the factor draws and for rand() (default 1)\n"
    "  --shape A        Gamma prior shape a (default 1)\n"
    "  --rate B         Gamma prior rate b (default 1)\n"
    "  --counts FILE    fit this count matrix: Matrix Market (coordinate or\n"
    "                   array) or CSV (numbers only, one row per line)\n"
    "  --out PREFIX     write posterior-mean factors to PREFIX_W.csv and\n"
    "                   PREFIX_H.csv\n"
    "  --help           show this text\n";

long parse_long(const std::string &option, const std::string &text, long lo, long hi) {
  errno = 0;
  char *end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE || value < lo || value > hi) {
    throw UserError(option + " wants a whole number from " + std::to_string(lo) + " to " +
                        std::to_string(hi) + ", not '" + text + "'",
                    2);
  }
  return value;
}

double parse_positive(const std::string &option, const std::string &text) {
  char *end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(value > 0) || !std::isfinite(value)) {
    throw UserError(option + " wants a positive number, not '" + text + "'", 2);
  }
  return value;
}

Options parse_options(int argc, char **argv) {
  Options o;
  for (int n = 1; n < argc; ++n) {
    std::string arg = argv[n];
    std::string value;
    bool has_value = false;
    if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      has_value = true;
    }
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    auto next = [&]() -> std::string {
      if (has_value) return value;
      if (n + 1 >= argc) throw UserError(arg + " needs a value (see --help)", 2);
      return argv[++n];
    };
    constexpr long kMaxDim = std::numeric_limits<int32_t>::max();
    if (arg == "--rows") o.rows = parse_long(arg, next(), 1, kMaxDim);
    else if (arg == "--cols") o.cols = parse_long(arg, next(), 1, kMaxDim);
    else if (arg == "--components") o.components = parse_long(arg, next(), 1, kMaxDim);
    else if (arg == "--sweeps") o.sweeps = parse_long(arg, next(), 1, kMaxDim);
    else if (arg == "--burn-in") o.burn_in = parse_long(arg, next(), 0, kMaxDim);
    else if (arg == "--seed") o.seed = static_cast<unsigned long>(parse_long(arg, next(), 0, kMaxDim));
    else if (arg == "--shape") o.shape = parse_positive(arg, next());
    else if (arg == "--rate") o.rate = parse_positive(arg, next());
    else if (arg == "--counts") o.counts_file = next();
    else if (arg == "--out") o.out_prefix = next();
    else throw UserError("unknown option '" + arg + "' (see --help)", 2);
  }
  if (o.burn_in >= o.sweeps) {
    throw UserError("--burn-in (" + std::to_string(o.burn_in) + ") must be below --sweeps (" +
                        std::to_string(o.sweeps) + ")",
                    2);
  }
  return o;
}

// ---- reading count matrices ------------------------------------------------

std::string trim(const std::string &s) {
  const auto b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  const auto e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

std::string lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A count: a non-negative whole number that Multi_Sample draws exactly for.
double parse_count(const std::string &file, long line, const std::string &text) {
  char *end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0') file_error(file, line, "'" + text + "' is not a number");
  if (!(value >= 0) || value > kMaxCount || value != std::floor(value)) {
    file_error(file, line,
               "count '" + text + "' is not a whole number from 0 to 2147483647");
  }
  return value;
}

long parse_index(const std::string &file, long line, const std::string &text,
                 const char *what, long hi) {
  char *end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE || value < 1 || value > hi) {
    file_error(file, line, std::string(what) + " '" + text + "' is not from 1 to " + std::to_string(hi));
  }
  return value;
}

std::vector<std::string> words(const std::string &s) {
  std::istringstream in(s);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

Matrix make_matrix(const std::string &file, long line, long rows, long cols) {
  if (static_cast<double>(rows) * static_cast<double>(cols) > kMaxCells) {
    file_error(file, line, "a " + std::to_string(rows) + " x " + std::to_string(cols) +
                               " matrix is too large for this dense sampler");
  }
  return Matrix(static_cast<int32_t>(rows), static_cast<int32_t>(cols));
}

Matrix read_matrix_market(std::istream &in, const std::string &file, const std::string &banner) {
  const auto head = words(lower(banner));
  if (head.size() != 5 || head[1] != "matrix") {
    file_error(file, 1, "expected '%%MatrixMarket matrix FORMAT FIELD SYMMETRY'");
  }
  const bool coordinate = head[2] == "coordinate";
  if (!coordinate && head[2] != "array") file_error(file, 1, "unknown format '" + head[2] + "'");
  const std::string &field = head[3];
  if (field != "real" && field != "integer" && field != "double" &&
      !(coordinate && field == "pattern")) {
    file_error(file, 1, "field '" + field + "' cannot hold counts");
  }
  if (head[4] != "general") file_error(file, 1, "only 'general' matrices are supported, not '" + head[4] + "'");
  const bool pattern = field == "pattern";
  constexpr long kMaxDim = std::numeric_limits<int32_t>::max();

  long line_no = 1;
  std::string line;
  std::vector<std::string> w;
  auto next_line = [&]() {
    while (std::getline(in, line)) {
      ++line_no;
      const std::string t = trim(line);
      if (t.empty() || t[0] == '%') continue;
      w = words(t);
      return true;
    }
    return false;
  };

  if (!next_line()) file_error(file, line_no, "missing the size line");
  if (w.size() != (coordinate ? 3u : 2u)) {
    file_error(file, line_no, coordinate ? "size line must be 'ROWS COLS ENTRIES'" : "size line must be 'ROWS COLS'");
  }
  const long rows = parse_index(file, line_no, w[0], "row count", kMaxDim);
  const long cols = parse_index(file, line_no, w[1], "column count", kMaxDim);
  Matrix x = make_matrix(file, line_no, rows, cols);
  const double cells = static_cast<double>(rows) * static_cast<double>(cols);

  if (coordinate) {
    char *end = nullptr;
    const long long entries = std::strtoll(w[2].c_str(), &end, 10);
    if (*end != '\0' || entries < 0 || static_cast<double>(entries) > cells) {
      file_error(file, line_no, "entry count '" + w[2] + "' is not from 0 to ROWS x COLS");
    }
    for (long long e = 0; e < entries; ++e) {
      if (!next_line()) {
        file_error(file, line_no, "expected " + std::to_string(entries) + " entries, found " + std::to_string(e));
      }
      if (w.size() != (pattern ? 2u : 3u)) {
        file_error(file, line_no, pattern ? "entry must be 'ROW COL'" : "entry must be 'ROW COL VALUE'");
      }
      const long i = parse_index(file, line_no, w[0], "row", rows);
      const long j = parse_index(file, line_no, w[1], "column", cols);
      const double c = pattern ? 1.0 : parse_count(file, line_no, w[2]);
      double &cell = x(static_cast<int32_t>(i - 1), static_cast<int32_t>(j - 1));
      if (cell + c > kMaxCount) file_error(file, line_no, "repeated entries add up to more than 2147483647");
      cell += c;  // repeated entries add up
    }
  } else {
    // Array format lists the values column by column, one per line.
    const auto n = static_cast<long long>(cells);
    for (long long e = 0; e < n; ++e) {
      if (!next_line()) {
        file_error(file, line_no, "expected " + std::to_string(n) + " values, found " + std::to_string(e));
      }
      if (w.size() != 1) file_error(file, line_no, "expected one value on the line");
      x(static_cast<int32_t>(e % rows), static_cast<int32_t>(e / rows)) = parse_count(file, line_no, w[0]);
    }
  }
  if (next_line()) file_error(file, line_no, "more entries than the size line announced");
  return x;
}

Matrix read_csv(std::istream &in, const std::string &file, const std::string &first) {
  std::vector<double> values;
  long cols = 0;
  long rows = 0;
  long line_no = 0;
  std::string line = first;
  bool have = true;
  do {
    ++line_no;
    const std::string t = trim(line);
    if (t.empty() || t[0] == '#') continue;
    long fields = 0;
    size_t start = 0;
    while (true) {
      const size_t comma = t.find(',', start);
      const std::string field = trim(t.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
      ++fields;
      if (field.empty()) file_error(file, line_no, "field " + std::to_string(fields) + " is empty");
      values.push_back(parse_count(file, line_no, field));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    if (rows == 0) {
      cols = fields;
    } else if (fields != cols) {
      file_error(file, line_no, "expected " + std::to_string(cols) + " fields like the first row, found " + std::to_string(fields));
    }
    ++rows;
    if (rows > std::numeric_limits<int32_t>::max() || static_cast<double>(rows) * static_cast<double>(cols) > kMaxCells) {
      file_error(file, line_no, "too many counts for this dense sampler");
    }
  } while ((have = static_cast<bool>(std::getline(in, line))));
  if (rows == 0) file_error(file, line_no, "no counts in the file");
  Matrix x(static_cast<int32_t>(rows), static_cast<int32_t>(cols));
  x.v = std::move(values);
  return x;
}

Matrix read_counts(const std::string &file) {
  std::ifstream in(file);
  if (!in) throw UserError("cannot open " + file + ": " + std::strerror(errno));
  std::string first;
  if (!std::getline(in, first)) file_error(file, 1, "the file is empty");
  Matrix x = lower(first).rfind("%%matrixmarket", 0) == 0 ? read_matrix_market(in, file, first)
                                                          : read_csv(in, file, first);
  if (in.bad()) throw UserError("cannot read " + file + ": " + std::strerror(errno));
  return x;
}

void write_csv(const std::string &path, const Matrix &m) {
  std::ofstream out(path);
  if (!out) throw UserError("cannot write " + path + ": " + std::strerror(errno));
  out.precision(17);
  for (int32_t i = 0; i < m.rows; ++i) {
    for (int32_t j = 0; j < m.cols; ++j) out << (j ? "," : "") << m(i, j);
    out << '\n';
  }
  if (!out.flush()) throw UserError("cannot write " + path + ": " + std::strerror(errno));
}

// ---- the model ---------------------------------------------------------------

double gamma_draw(std::mt19937_64 &rng, double shape, double rate) {
  return std::gamma_distribution<double>(shape, 1.0 / rate)(rng);
}

// Poisson log-likelihood of the counts under rates W H; lgamma(X + 1) is
// precomputed once as `log_factorials`.
double log_likelihood(const Matrix &x, const Matrix &w, const Matrix &h, double log_factorials) {
  const int32_t K = w.cols;
  double sum = -log_factorials;
  std::vector<double> lambda(static_cast<size_t>(x.cols));
  for (int32_t i = 0; i < x.rows; ++i) {
    std::fill(lambda.begin(), lambda.end(), 0.0);
    for (int32_t k = 0; k < K; ++k) {
      const double wik = w(i, k);
      for (int32_t j = 0; j < x.cols; ++j) lambda[static_cast<size_t>(j)] += wik * h(k, j);
    }
    for (int32_t j = 0; j < x.cols; ++j) {
      const double c = x(i, j);
      const double l = lambda[static_cast<size_t>(j)];
      sum += (c > 0 ? c * std::log(l) : 0.0) - l;
    }
  }
  return sum;
}

double cosine(const std::vector<double> &a, const std::vector<double> &b) {
  const double ab = std::inner_product(a.begin(), a.end(), b.begin(), 0.0);
  const double aa = std::inner_product(a.begin(), a.end(), a.begin(), 0.0);
  const double bb = std::inner_product(b.begin(), b.end(), b.begin(), 0.0);
  return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0.0;
}

std::vector<double> column(const Matrix &m, int32_t k) {
  std::vector<double> c(static_cast<size_t>(m.rows));
  for (int32_t i = 0; i < m.rows; ++i) c[static_cast<size_t>(i)] = m(i, k);
  return c;
}

std::vector<double> row(const Matrix &m, int32_t k) {
  return {m.v.begin() + static_cast<ptrdiff_t>(k) * m.cols, m.v.begin() + static_cast<ptrdiff_t>(k + 1) * m.cols};
}

// Components are found in any order, so each planted one is matched to a
// fitted one: the assignment with the largest summed similarity of W columns
// and H rows (every permutation for small K, greedily beyond).
struct Recovery {
  double w = 0;
  double h = 0;
};

Recovery recovery(const Matrix &w_true, const Matrix &h_true, const Matrix &w_fit, const Matrix &h_fit) {
  const int32_t K = w_true.cols;
  std::vector<std::vector<double>> cw(static_cast<size_t>(K)), ch(static_cast<size_t>(K));
  for (int32_t a = 0; a < K; ++a) {
    for (int32_t b = 0; b < K; ++b) {
      cw[static_cast<size_t>(a)].push_back(cosine(column(w_true, a), column(w_fit, b)));
      ch[static_cast<size_t>(a)].push_back(cosine(row(h_true, a), row(h_fit, b)));
    }
  }
  auto score = [&](const std::vector<int32_t> &p) {
    double s = 0;
    for (int32_t a = 0; a < K; ++a) s += cw[static_cast<size_t>(a)][static_cast<size_t>(p[static_cast<size_t>(a)])] +
                                         ch[static_cast<size_t>(a)][static_cast<size_t>(p[static_cast<size_t>(a)])];
    return s;
  };
  std::vector<int32_t> best(static_cast<size_t>(K));
  std::iota(best.begin(), best.end(), 0);
  if (K <= 8) {
    std::vector<int32_t> p = best;
    double best_score = score(best);
    while (std::next_permutation(p.begin(), p.end())) {
      if (const double s = score(p); s > best_score) best_score = s, best = p;
    }
  } else {
    std::vector<bool> used(static_cast<size_t>(K), false);
    for (int32_t a = 0; a < K; ++a) {
      int32_t pick = -1;
      for (int32_t b = 0; b < K; ++b) {
        if (used[static_cast<size_t>(b)]) continue;
        const double s = cw[static_cast<size_t>(a)][static_cast<size_t>(b)] + ch[static_cast<size_t>(a)][static_cast<size_t>(b)];
        if (pick < 0 || s > cw[static_cast<size_t>(a)][static_cast<size_t>(pick)] + ch[static_cast<size_t>(a)][static_cast<size_t>(pick)]) pick = b;
      }
      used[static_cast<size_t>(pick)] = true;
      best[static_cast<size_t>(a)] = pick;
    }
  }
  Recovery r;
  for (int32_t a = 0; a < K; ++a) {
    r.w += cw[static_cast<size_t>(a)][static_cast<size_t>(best[static_cast<size_t>(a)])] / K;
    r.h += ch[static_cast<size_t>(a)][static_cast<size_t>(best[static_cast<size_t>(a)])] / K;
  }
  return r;
}

// Progress on one line that rewrites itself on a terminal; elsewhere (a log)
// a line every tenth of the run.
class Progress {
 public:
  explicit Progress(long sweeps) : sweeps_(sweeps), tty_(isatty(STDERR_FILENO) == 1) {}
  bool due(long sweep) {
    if (sweep == sweeps_) return true;
    if (!tty_) return sweep % std::max(1L, sweeps_ / 10) == 0;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(100)) return false;
    last_ = now;
    return true;
  }
  void show(long sweep, long burn_in, double loglik, double draws_per_second) {
    std::fprintf(stderr, "%ssweep %ld/%ld%s  log-likelihood %.6g  %.3g draws/s%s", tty_ ? "\r" : "", sweep,
                 sweeps_, sweep <= burn_in ? " (burn-in)" : "          ", loglik, draws_per_second,
                 tty_ ? "   " : "\n");
    if (tty_ && sweep == sweeps_) std::fputc('\n', stderr);
    std::fflush(stderr);
  }

 private:
  long sweeps_;
  bool tty_;
  std::chrono::steady_clock::time_point last_{};
};

int run(const Options &o) {
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  std::mt19937_64 rng(o.seed);
  std::srand(static_cast<unsigned>(o.seed));  // the library draws from rand()

  const bool planted = o.counts_file.empty();
  const auto K = static_cast<int32_t>(o.components);
  Matrix x, w_true, h_true;
  if (planted) {
    if (static_cast<double>(o.rows) * static_cast<double>(o.cols) > kMaxCells) {
      throw UserError("a " + std::to_string(o.rows) + " x " + std::to_string(o.cols) +
                      " matrix is too large for this dense sampler", 2);
    }
    // Sparse-ish planted factors (Gamma shape 0.5) keep the components
    // distinct; each has mean 1, so a cell's mean count is K.
    w_true = Matrix(static_cast<int32_t>(o.rows), K);
    h_true = Matrix(K, static_cast<int32_t>(o.cols));
    for (double &v : w_true.v) v = gamma_draw(rng, 0.5, 0.5);
    for (double &v : h_true.v) v = gamma_draw(rng, 0.5, 0.5);
    x = Matrix(w_true.rows, h_true.cols);
    for (int32_t i = 0; i < x.rows; ++i) {
      for (int32_t j = 0; j < x.cols; ++j) {
        double lambda = 0;
        for (int32_t k = 0; k < K; ++k) lambda += w_true(i, k) * h_true(k, j);
        x(i, j) = static_cast<double>(std::poisson_distribution<long>(lambda)(rng));
      }
    }
  } else {
    x = read_counts(o.counts_file);
  }
  const int32_t R = x.rows, C = x.cols;
  if (static_cast<double>(R) * K > kMaxCells || static_cast<double>(K) * C > kMaxCells) {
    throw UserError("--components " + std::to_string(K) + " makes the factors too large", 2);
  }

  double total = 0, log_factorials = 0;
  for (double c : x.v) total += c, log_factorials += std::lgamma(c + 1);

  // Start from prior-shaped factors scaled to the mean count.
  const double scale = std::sqrt(std::max(total / (static_cast<double>(R) * C), 1e-3) / K);
  Matrix w(R, K), h(K, C), a(R, K), b(K, C), w_mean(R, K), h_mean(K, C);
  for (double &v : w.v) v = scale * gamma_draw(rng, 1.0, 1.0);
  for (double &v : h.v) v = scale * gamma_draw(rng, 1.0, 1.0);

  std::fprintf(stderr, "%s: %s %d x %d counts (%.0f in all), K = %d, %ld sweeps (%ld burn-in), seed %lu\n",
               kProgram, planted ? "fitting planted" : ("fitting " + o.counts_file).c_str(), R, C, total, K,
               o.sweeps, o.burn_in, o.seed);

  Progress progress(o.sweeps);
  double alloc_seconds = 0;
  std::vector<double> sums(static_cast<size_t>(K));
  for (long sweep = 1; sweep <= o.sweeps; ++sweep) {
    std::fill(a.v.begin(), a.v.end(), 0.0);
    std::fill(b.v.begin(), b.v.end(), 0.0);
    const auto t0 = clock::now();
    Multi_Sample(x.v.data(), w.v.data(), h.v.data(), a.v.data(), b.v.data(), R, K, C);
    alloc_seconds += std::chrono::duration<double>(clock::now() - t0).count();

    std::fill(sums.begin(), sums.end(), 0.0);
    for (int32_t k = 0; k < K; ++k)
      for (int32_t j = 0; j < C; ++j) sums[static_cast<size_t>(k)] += h(k, j);
    for (int32_t i = 0; i < R; ++i)
      for (int32_t k = 0; k < K; ++k) w(i, k) = gamma_draw(rng, o.shape + a(i, k), o.rate + sums[static_cast<size_t>(k)]);
    std::fill(sums.begin(), sums.end(), 0.0);
    for (int32_t i = 0; i < R; ++i)
      for (int32_t k = 0; k < K; ++k) sums[static_cast<size_t>(k)] += w(i, k);
    for (int32_t k = 0; k < K; ++k)
      for (int32_t j = 0; j < C; ++j) h(k, j) = gamma_draw(rng, o.shape + b(k, j), o.rate + sums[static_cast<size_t>(k)]);

    if (sweep > o.burn_in) {
      for (size_t n = 0; n < w.v.size(); ++n) w_mean.v[n] += w.v[n];
      for (size_t n = 0; n < h.v.size(); ++n) h_mean.v[n] += h.v[n];
    }
    if (progress.due(sweep)) {
      progress.show(sweep, o.burn_in, log_likelihood(x, w, h, log_factorials),
                    alloc_seconds > 0 ? total * static_cast<double>(sweep) / alloc_seconds : 0.0);
    }
  }
  const double kept = static_cast<double>(o.sweeps - o.burn_in);
  for (double &v : w_mean.v) v /= kept;
  for (double &v : h_mean.v) v /= kept;
  const double seconds = std::chrono::duration<double>(clock::now() - start).count();

  const double fit = log_likelihood(x, w_mean, h_mean, log_factorials);
  std::printf("log-likelihood of the posterior-mean fit: %.1f\n", fit);
  if (planted) {
    std::printf("log-likelihood of the planted factors:    %.1f\n",
                log_likelihood(x, w_true, h_true, log_factorials));
    const Recovery r = recovery(w_true, h_true, w_mean, h_mean);
    std::printf("recovery of the planted components (mean cosine similarity of matched components): W %.3f, H %.3f\n",
                r.w, r.h);
  }
  const double draws = total * static_cast<double>(o.sweeps);
  std::printf("time %.2f s, %.1f sweeps/s; allocation step %.2f s, %.3g draws/s\n", seconds,
              static_cast<double>(o.sweeps) / seconds, alloc_seconds,
              alloc_seconds > 0 ? draws / alloc_seconds : 0.0);
  if (!o.out_prefix.empty()) {
    write_csv(o.out_prefix + "_W.csv", w_mean);
    write_csv(o.out_prefix + "_H.csv", h_mean);
    std::printf("posterior means written to %s_W.csv (%d x %d) and %s_H.csv (%d x %d)\n", o.out_prefix.c_str(), R, K,
                o.out_prefix.c_str(), K, C);
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  try {
    return run(parse_options(argc, argv));
  } catch (const UserError &e) {
    std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
    return e.status;
  } catch (const std::bad_alloc &) {
    std::fprintf(stderr, "%s: out of memory\n", kProgram);
    return 1;
  }
}
