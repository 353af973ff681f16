// poisson_nmf: Bayesian Poisson matrix factorisation of a count matrix by
// Gibbs sampling, from the command line.  With no --counts it plants known
// factors, draws counts from them and reports how well the fit recovers them.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "errors.h"
#include "formats.h"
#include "model.h"
#include "planted.h"
#include "worker_processes.h"

namespace {

using sk_nmf::Error;

constexpr const char *kProgram = "poisson_nmf";

struct Options {
  long long rows = 300;
  long long cols = 200;
  sk_nmf::FitOptions fit;
  sk_nmf::Checkpointing checkpoints;
  sk_nmf::CsvHeader header = sk_nmf::CsvHeader::automatic;
  double holdout = 0;
  std::string counts_file;  // empty: the planted problem
  std::string out_prefix;
  std::string vocab_file;
  long long top_words = 0;  // 0: none, or 10 with --vocab
  bool quiet = false;
};

// A usage error: exit status 2.
struct UsageError : Error {
  using Error::Error;
};

const char *kUsage =
    "usage: poisson_nmf [options]\n"
    "\n"
    "Fits X ~ Poisson(W H) with Gamma priors by Gibbs sampling.  With no\n"
    "--counts it plants known factors, draws a count matrix from them and\n"
    "reports how well the fit recovers them.\n"
    "\n"
    "  --counts FILE      fit this count matrix: Matrix Market (coordinate or\n"
    "                     array, general) or CSV (one row per line, an optional\n"
    "                     header row, '#' comments); gzip-compressed or not;\n"
    "                     '-' reads standard input (default: a planted problem)\n"
    "  --rows N           rows of the planted matrix (default 300)\n"
    "  --cols N           columns of the planted matrix (default 200)\n"
    "  --components K     number of components (default 5)\n"
    "  --sweeps N|auto    Gibbs sweeps in all (default 200); 'auto' stops by\n"
    "                     itself: the burn-in ends when the complete-data\n"
    "                     log-likelihood per count of the sweeps' splits of the\n"
    "                     counts (every 4th sweep's) gains under 0.002 nats\n"
    "                     from one 20 sweeps to the next (at sweep 40 at the\n"
    "                     earliest, 1000 at the latest), and as many sweeps\n"
    "                     again are kept\n"
    "  --burn-in N        first sweeps left out of the posterior means\n"
    "                     (default: half of --sweeps; at most 1000 with auto,\n"
    "                     which then runs at least twice N)\n"
    "  --shape A          Gamma prior shape of W and H, from 1e-10 to 1e10\n"
    "                     (default 0.2)\n"
    "  --rate B|auto      Gamma prior rate of W and H, from 1e-10 to 1e10; 'auto'\n"
    "                     learns a rate per row and per column under a Gamma\n"
    "                     hyperprior (default auto)\n"
    "  --background yes|no  fit a background beside the K components: a rate per\n"
    "                     column that every row draws on, which takes the words\n"
    "                     common to all rows out of the components (default no)\n"
    "  --background-shape A  Gamma prior shape of the background's row weights\n"
    "                     and column rates, from 1e-10 to 1e10 (default 1)\n"
    "  --holdout F        hold out a fraction F of every count (binomial\n"
    "                     thinning) and report the held-out log-likelihood per\n"
    "                     count (default 0: fit everything)\n"
    "  --seed N           seeds rand() for the allocation step and the\n"
    "                     sampler's own generator; one seed repeats a fit\n"
    "                     exactly (default 1)\n"
    "  --header yes|no|auto  whether a CSV file's first row names the columns;\n"
    "                     'auto' takes it as names when none of its fields is a\n"
    "                     number (an unquoted field that starts with a digit, or\n"
    "                     a sign or point and a digit) (default auto)\n"
    "  --jobs N           worker processes; the fit is the same, to the last bit,\n"
    "                     for every N (default: every core this process may use)\n"
    "  --checkpoint FILE  save the whole state of the fit to FILE (written to a\n"
    "                     temporary file, then renamed) every --checkpoint-every\n"
    "                     sweeps and when the fit ends or stops (default: none)\n"
    "  --checkpoint-every N  sweeps between checkpoints (default 10)\n"
    "  --resume           go on from --checkpoint FILE when it exists; a resumed\n"
    "                     fit gives the same bits as one never stopped (default:\n"
    "                     start afresh)\n"
    "  --out PREFIX       write the posterior-mean factors to PREFIX_W.csv\n"
    "                     (rows x K) and PREFIX_H.csv (K x columns), and the\n"
    "                     background's column rates to PREFIX_background.csv\n"
    "                     (1 x columns): each to a temporary file beside it,\n"
    "                     made before the fit, and all renamed into place only\n"
    "                     when all are complete (default: none)\n"
    "  --vocab FILE       the columns' words, one a line in column order: print\n"
    "                     each component's top words and the background's\n"
    "  --top-words N      how many words for each (default 10; needs --vocab)\n"
    "  --quiet            no progress line (default: progress on stderr)\n"
    "  --help             show this text\n"
    "\n"
    "An option's value follows it as the next word or after '=' (--seed=3); a\n"
    "next word that starts with '--' is taken as a missing value (write\n"
    "--counts=--odd-name for such a file).  --resume, --quiet and --help take\n"
    "no value.\n";

long long parse_whole(const std::string &option, const std::string &text, long long lo, long long hi) {
  errno = 0;
  char *end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE || value < lo || value > hi) {
    throw UsageError(option + " wants a whole number from " + std::to_string(lo) + " to " + std::to_string(hi) +
                     ", not '" + text + "'");
  }
  return value;
}

double parse_real(const std::string &option, const std::string &text, double lo, double hi, bool open_lo,
                  bool open_hi, const char *wanted) {
  char *end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  const bool ok = !text.empty() && *end == '\0' && std::isfinite(value) && (open_lo ? value > lo : value >= lo) &&
                  (open_hi ? value < hi : value <= hi);
  if (!ok) throw UsageError(option + " wants " + wanted + ", not '" + text + "'");
  return value;
}

// Shapes and rates from the range the sampler's numbers stay finite in.
double parse_prior(const std::string &option, const std::string &text, const char *or_else) {
  const std::string wanted = "a number from 1e-10 to 1e10" + std::string(or_else);
  return parse_real(option, text, sk_nmf::kLeastPrior, sk_nmf::kMostPrior, false, false, wanted.c_str());
}

// --help: the text, then exit 0 once standard output is known written.
struct Help {};

Options parse_options(int argc, char **argv) {
  Options o;
  bool burn_in_given = false;
  for (int n = 1; n < argc; ++n) {
    std::string arg = argv[n], value;
    bool has_value = false;
    if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      has_value = true;
    }
    const bool flag = arg == "--help" || arg == "-h" || arg == "--quiet" || arg == "--resume";
    if (flag && has_value) throw UsageError(arg + " takes no value, not '" + value + "'");
    if (arg == "--help" || arg == "-h") throw Help();
    auto next = [&]() -> std::string {
      if (has_value) return value;
      if (n + 1 >= argc) throw UsageError(arg + " needs a value (see --help)");
      // An option where the value should be is a value left out.
      if (std::strncmp(argv[n + 1], "--", 2) == 0)
        throw UsageError(arg + " needs a value, not the option '" + argv[n + 1] + "' (see --help)");
      return argv[++n];
    };
    constexpr long long kMaxDim = std::numeric_limits<int32_t>::max();
    if (arg == "--rows") o.rows = parse_whole(arg, next(), 1, kMaxDim);
    else if (arg == "--cols") o.cols = parse_whole(arg, next(), 1, kMaxDim);
    else if (arg == "--components") o.fit.components = static_cast<int32_t>(parse_whole(arg, next(), 1, kMaxDim));
    else if (arg == "--sweeps") {
      const std::string v = next();
      o.fit.auto_sweeps = v == "auto";
      if (!o.fit.auto_sweeps) {
        try {
          o.fit.sweeps = parse_whole(arg, v, 1, kMaxDim);
        } catch (const UsageError &) {
          throw UsageError("--sweeps wants a whole number from 1 to " + std::to_string(kMaxDim) + " or 'auto', not '" +
                           v + "'");
        }
      }
    }
    else if (arg == "--burn-in") o.fit.burn_in = parse_whole(arg, next(), 0, kMaxDim), burn_in_given = true;
    else if (arg == "--seed") o.fit.seed = static_cast<uint64_t>(parse_whole(arg, next(), 0, 4294967295LL));
    else if (arg == "--shape") o.fit.shape = parse_prior(arg, next(), "");
    else if (arg == "--rate") {
      const std::string v = next();
      o.fit.rate = v == "auto" ? 0.0 : parse_prior(arg, v, " or 'auto'");
    } else if (arg == "--holdout") o.holdout = parse_real(arg, next(), 0, 1, false, true, "a fraction from 0 up to (not including) 1");
    else if (arg == "--counts") {
      o.counts_file = next();
      if (o.counts_file.find_first_not_of(' ') == std::string::npos)
        throw UsageError("--counts wants a file name or '-', not '" + o.counts_file + "'");
    }
    else if (arg == "--jobs") o.fit.jobs = static_cast<int>(parse_whole(arg, next(), 1, 4096));
    else if (arg == "--checkpoint") {
      o.checkpoints.path = next();
      if (o.checkpoints.path.empty()) throw UsageError("--checkpoint wants a file name");
    } else if (arg == "--checkpoint-every") o.checkpoints.every = parse_whole(arg, next(), 1, kMaxDim);
    else if (arg == "--resume") o.checkpoints.resume = true;
    else if (arg == "--header") {
      const std::string v = next();
      if (v == "yes") o.header = sk_nmf::CsvHeader::yes;
      else if (v == "no") o.header = sk_nmf::CsvHeader::no;
      else if (v == "auto") o.header = sk_nmf::CsvHeader::automatic;
      else throw UsageError("--header wants yes, no or auto, not '" + v + "'");
    }
    else if (arg == "--out") {
      o.out_prefix = next();
      if (o.out_prefix.empty()) throw UsageError("--out wants a non-empty prefix");
    } else if (arg == "--background") {
      const std::string v = next();
      if (v != "yes" && v != "no") throw UsageError("--background wants yes or no, not '" + v + "'");
      o.fit.background = v == "yes";
    } else if (arg == "--background-shape") {
      o.fit.background_shape = parse_prior(arg, next(), "");
    } else if (arg == "--vocab") {
      o.vocab_file = next();
      if (o.vocab_file.empty()) throw UsageError("--vocab wants a file name");
    } else if (arg == "--top-words") o.top_words = parse_whole(arg, next(), 1, kMaxDim);
    else if (arg == "--quiet") o.quiet = true;
    else throw UsageError("unknown option '" + arg + "' (see --help)");
  }
  if (burn_in_given && o.fit.auto_sweeps && o.fit.burn_in > sk_nmf::kAutoMostSweeps / 2) {
    throw UsageError("--burn-in (" + std::to_string(o.fit.burn_in) + ") must be at most " +
                     std::to_string(sk_nmf::kAutoMostSweeps / 2) + " with --sweeps auto, which stops by sweep " +
                     std::to_string(sk_nmf::kAutoMostSweeps) + " and keeps at least as many sweeps as it burns in");
  }
  if (burn_in_given && !o.fit.auto_sweeps && o.fit.burn_in >= o.fit.sweeps) {
    throw UsageError("--burn-in (" + std::to_string(o.fit.burn_in) + ") must be below --sweeps (" +
                     std::to_string(o.fit.sweeps) + ")");
  }
  if (o.checkpoints.resume && o.checkpoints.path.empty()) throw UsageError("--resume needs --checkpoint FILE");
  if (o.top_words > 0 && o.vocab_file.empty()) throw UsageError("--top-words needs --vocab FILE");
  if (!o.vocab_file.empty() && o.top_words == 0) o.top_words = 10;
  return o;
}

// On a terminal one line rewritten in place (cleared to its end each time);
// in a log a line after the first sweep, at every tenth of the run, and
// after any sweep that ends a minute or more after the last line (a sweep
// over a few huge counts takes tens of seconds).  Each shows the pace and the
// time left; the log-likelihood, which costs about a sweep's products, is
// evaluated only while that keeps within 2% of the fit's time (and at the end).
class Progress {
 public:
  Progress(long long sweeps, bool quiet) : sweeps_(sweeps), quiet_(quiet), tty_(isatty(STDERR_FILENO) == 1) {}
  void after(const sk_nmf::Sampler &s, double total) {
    const long long sweep = s.sweeps_done();
    sweeps_ = s.planned_sweeps();  // an automatic fit's cap until it knows its stop
    if (first_ < 0) first_ = sweep - 1;  // the pace of this run's sweeps, after a resume too
    if (quiet_ || !due(sweep)) return;
    const double elapsed = seconds_since(start_);
    if (sweep == sweeps_ || likelihood_seconds_ + likelihood_cost_ <= 0.02 * elapsed) {
      const auto t = clock::now();
      loglik_ = s.log_likelihood() / std::max(total, 1.0);
      likelihood_cost_ = seconds_since(t);
      likelihood_seconds_ += likelihood_cost_;
      loglik_sweep_ = sweep;
    }
    const double pace = static_cast<double>(sweep - first_) / std::max(elapsed, 1e-9);
    char left[32] = "";
    if (sweep < sweeps_) std::snprintf(left, sizeof left, "  %s left", duration(static_cast<double>(sweeps_ - sweep) / pace).c_str());
    char loglik[96] = "";
    if (loglik_sweep_ > 0) {
      std::snprintf(loglik, sizeof loglik, "  log-likelihood per count %.4f%s", loglik_,
                    loglik_sweep_ == sweep ? "" : (" (sweep " + std::to_string(loglik_sweep_) + ")").c_str());
    }
    std::fprintf(stderr, "%ssweep %lld/%lld%s  %.3g sweeps/s%s%s%s", tty_ ? "\r" : "", sweep, sweeps_,
                 s.burning_in() ? " (burn-in)" : "", pace, left, loglik, tty_ ? "\033[K" : "\n");
    if (tty_ && sweep == sweeps_) std::fputc('\n', stderr);
    std::fflush(stderr);
  }

 private:
  using clock = std::chrono::steady_clock;
  static double seconds_since(clock::time_point t) { return std::chrono::duration<double>(clock::now() - t).count(); }
  static std::string duration(double seconds) {
    char text[32];
    if (seconds < 90) std::snprintf(text, sizeof text, "%.0f s", seconds);
    else if (seconds < 5400) std::snprintf(text, sizeof text, "%.0f min", seconds / 60);
    else std::snprintf(text, sizeof text, "%.1f h", seconds / 3600);
    return text;
  }
  bool due(long long sweep) {
    const auto now = clock::now();
    const bool tenth = sweep % std::max(1LL, sweeps_ / 10) == 0;
    const auto gap = tty_ ? std::chrono::milliseconds(250) : std::chrono::milliseconds(60000);
    if (sweep != sweeps_ && (tty_ || !tenth) && now - last_ < gap) return false;
    last_ = now;
    return true;
  }

  long long sweeps_;
  bool quiet_, tty_;
  long long first_ = -1, loglik_sweep_ = 0;
  double loglik_ = 0, likelihood_seconds_ = 0, likelihood_cost_ = 0;
  clock::time_point start_ = clock::now(), last_{};  // the first sweep's line comes at once
};

// One word a line (a final newline optional, CRLF taken as LF), one line per
// column: Matrix Market files carry no names, so the count is checked here.
std::vector<std::string> read_vocabulary(const std::string &path, int32_t cols) {
  std::FILE *f = path == "-" ? nullptr : std::fopen(path.c_str(), "rb");
  if (!f) throw Error(path == "-" ? "--vocab cannot be standard input" : "cannot read --vocab " + path + ": " + std::strerror(errno));
  std::vector<std::string> words;
  std::string line;
  bool ok = true;
  for (int c; ok && (c = std::fgetc(f)) != EOF;) {
    if (c != '\n') {
      line.push_back(static_cast<char>(c));
      continue;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    words.push_back(std::move(line));
    line.clear();
    ok = words.size() <= static_cast<size_t>(cols);
  }
  std::fclose(f);
  if (!line.empty()) words.push_back(line);
  for (size_t n = 0; n < words.size(); ++n) {
    if (words[n].empty()) {
      Error e("an empty line where a word should be");
      e.where = path + ":" + std::to_string(n + 1);
      throw e;
    }
  }
  if (!ok || words.size() != static_cast<size_t>(cols)) {
    throw Error("--vocab " + path + " has " + (ok ? std::to_string(words.size()) : "more than " + std::to_string(cols)) +
                " words, but the counts have " + std::to_string(cols) + " columns");
  }
  return words;
}

// The n largest of a row of H, largest first (ties by column).
std::vector<int32_t> top_columns(const double *h, int32_t cols, int32_t n) {
  std::vector<int32_t> order(static_cast<size_t>(cols));
  for (int32_t j = 0; j < cols; ++j) order[static_cast<size_t>(j)] = j;
  std::partial_sort(order.begin(), order.begin() + n, order.end(),
                    [h](int32_t a, int32_t b) { return h[a] > h[b] || (h[a] == h[b] && a < b); });
  order.resize(static_cast<size_t>(n));
  return order;
}

// The first K of F columns of a rows x F matrix.
std::vector<double> first_columns(const std::vector<double> &w, int32_t rows, int32_t F, int32_t K) {
  std::vector<double> out;
  out.reserve(static_cast<size_t>(rows) * static_cast<size_t>(K));
  for (size_t i = 0; i < static_cast<size_t>(rows); ++i)
    out.insert(out.end(), w.begin() + static_cast<ptrdiff_t>(i * F), w.begin() + static_cast<ptrdiff_t>(i * F + K));
  return out;
}

// The temporary files of --out, for the signal handler: a signal that ends
// the program removes them first.
constexpr int kMostOutputs = 3;
char temporary_names[kMostOutputs][PATH_MAX];
volatile sig_atomic_t temporaries = 0;

extern "C" void remove_temporaries_and_die(int signal_number) {
  for (sig_atomic_t n = 0; n < temporaries; ++n) ::unlink(temporary_names[n]);
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

// The file a path names once its symbolic links are followed: a link's
// target is written, as `>` would, and a link into nowhere fails up front.
std::string followed(std::string path) {
  for (int hops = 0;; ++hops) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    if (hops == 40) throw Error("cannot write " + path + ": " + std::strerror(ELOOP));
    std::vector<char> target(static_cast<size_t>(PATH_MAX) + 1);
    const ssize_t n = ::readlink(path.c_str(), target.data(), PATH_MAX);
    if (n < 0) throw Error("cannot write " + path + ": " + std::strerror(errno));
    const std::string to(target.data(), static_cast<size_t>(n));
    const auto slash = path.rfind('/');
    path = to[0] == '/' || slash == std::string::npos ? to : path.substr(0, slash + 1) + to;
  }
}

// The --out files, whole or not at all.  Each is written to a temporary
// file beside it, made before the fit, so that a path the fit could not
// write fails before the work; all are renamed into place only when all are
// complete.  Until then a failure, or a signal that ends the program,
// removes the temporary files and leaves what was there before.
class Outputs {
 public:
  ~Outputs() {
    for (const File &f : files_)
      if (!f.temporary.empty()) ::unlink(f.temporary.c_str());
    temporaries = 0;
  }
  void add(const std::string &path) {
    const std::string target = followed(path);
    const auto slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) throw Error("cannot write " + path + ": it is a directory");
      if (::access(target.c_str(), W_OK) != 0) throw Error("cannot write " + path + ": " + std::strerror(errno));
    } else if (::stat(dir.c_str(), &st) != 0) {
      throw Error("cannot write " + path + ": directory " + dir + ": " + std::strerror(errno));
    } else if (!S_ISDIR(st.st_mode)) {
      throw Error("cannot write " + path + ": " + dir + " is not a directory");
    }
    std::string temporary = target + ".tmpXXXXXX";
    if (temporary.size() >= PATH_MAX) throw Error("cannot write " + path + ": " + std::strerror(ENAMETOOLONG));
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) throw Error("cannot write " + path + ": " + std::strerror(errno));
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);  // as a file made by open(2) would be
    ::close(fd);
    files_.push_back(File{path, target, temporary});
    std::snprintf(temporary_names[temporaries], PATH_MAX, "%s", temporary.c_str());
    temporaries = temporaries + 1;
    if (temporaries == 1) {
      for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ}) {
        struct sigaction was {};
        if (::sigaction(signal_number, nullptr, &was) == 0 && was.sa_handler == SIG_DFL)
          ::signal(signal_number, remove_temporaries_and_die);
      }
    }
  }
  // The n-th file added.
  void write(size_t n, const std::vector<double> &m, int32_t rows, int32_t cols) {
    sk_nmf::write_csv(files_[n].temporary, m, rows, cols, files_[n].path);
  }
  void commit() {
    for (File &f : files_) {
      if (::rename(f.temporary.c_str(), f.target.c_str()) != 0)
        throw Error("cannot write " + f.path + ": " + std::strerror(errno));
      f.temporary.clear();
    }
  }

 private:
  struct File {
    std::string path, target, temporary;
  };
  std::vector<File> files_;
};

int run(const Options &o) {
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  const std::string w_path = o.out_prefix + "_W.csv", h_path = o.out_prefix + "_H.csv";
  const std::string background_path = o.out_prefix + "_background.csv";
  Outputs outputs;
  if (!o.out_prefix.empty()) {  // before any work
    outputs.add(w_path);
    outputs.add(h_path);
    if (o.fit.background) outputs.add(background_path);
  }
  const bool planted = o.counts_file.empty();
  const int32_t K = o.fit.components;
  sk_nmf::Planted truth;
  sk_nmf::Csr counts;
  if (planted) {
    // Gamma(0.5) factors with mean 1 keep the components distinct; a cell's
    // mean count is K.
    truth = sk_nmf::plant(static_cast<int32_t>(o.rows), static_cast<int32_t>(o.cols), K, 0.5, o.fit.seed + 1);
    counts = std::move(truth.x);
  } else {
    sk_nmf::ReadOptions reading;
    reading.threads = o.fit.jobs > 0 ? o.fit.jobs : sk_nmf::available_cores();
    reading.header = o.header;
    reading.check_shape = [&](int64_t rows, int64_t cols) { sk_nmf::plan_memory(rows, cols, o.fit); };
    counts = sk_nmf::read_counts(o.counts_file, reading);
  }
  const double read_seconds = std::chrono::duration<double>(clock::now() - start).count();
  std::vector<std::string> vocabulary;
  if (!o.vocab_file.empty()) {
    vocabulary = read_vocabulary(o.vocab_file, counts.cols);
    if (o.top_words > counts.cols) {
      throw UsageError("--top-words " + std::to_string(o.top_words) + " is more than the " +
                       std::to_string(counts.cols) + " columns");
    }
  }
  sk_nmf::Split split;
  const sk_nmf::Csr *train = &counts;
  if (o.holdout > 0) {
    split = sk_nmf::split_holdout(counts, o.holdout, o.fit.seed);
    train = &split.train;
  }
  const double total = train->total();
  const std::string source = planted ? "planted" : o.counts_file == "-" ? "<stdin>" : o.counts_file;
  // Refused here, with the figure, when this process cannot have it.
  const sk_nmf::FitMemory memory = sk_nmf::plan_memory(*train, o.fit);
  if (!o.quiet) {
    char sweeps[96];
    if (!o.fit.auto_sweeps) {
      std::snprintf(sweeps, sizeof sweeps, "%lld sweeps (%lld burn-in)", static_cast<long long>(o.fit.sweeps),
                    static_cast<long long>(o.fit.effective_burn_in()));
    } else if (o.fit.burn_in < 0) {
      std::snprintf(sweeps, sizeof sweeps, "sweeps auto (at most %lld)", static_cast<long long>(sk_nmf::kAutoMostSweeps));
    } else {
      std::snprintf(sweeps, sizeof sweeps, "sweeps auto (at most %lld, %lld burn-in)",
                    static_cast<long long>(sk_nmf::kAutoMostSweeps), static_cast<long long>(o.fit.burn_in));
    }
    std::fprintf(stderr, "%s: fitting %s %d x %d counts (%.0f in %lld non-zero cells%s), K = %d, %s, seed %llu\n"
                 "%s: the fit needs %s\n",
                 kProgram, source.c_str(), train->rows, train->cols, total, static_cast<long long>(train->nnz()),
                 o.holdout > 0 ? ", after the holdout" : "", K, sweeps, static_cast<unsigned long long>(o.fit.seed),
                 kProgram, memory.text().c_str());
  }

  Progress progress(o.fit.most_sweeps(), o.quiet);
  const auto fit = sk_nmf::fit(*train, o.fit, nullptr, [&](const sk_nmf::Sampler &s) {
    progress.after(s, total);
    return true;
  }, o.checkpoints);
  const double seconds = std::chrono::duration<double>(clock::now() - start).count();
  if (!o.quiet && !fit.shortfall.empty())
    std::fprintf(stderr, "%s: %s; the fit is the same on fewer\n", kProgram, fit.shortfall.c_str());

  // Every factor, the background too, makes the rates.
  const int32_t F = fit.factors;
  const double loglik = fit.loglik_of_means;
  std::printf("log-likelihood of the posterior-mean fit: %.1f (%.4f per count)\n", loglik, loglik / std::max(total, 1.0));
  if (o.holdout > 0) {
    // The fit's rates are those of the kept (1 - F) of every count.
    const double held = split.test.total();
    if (held > 0) {
      const double test = sk_nmf::log_likelihood(split.test, fit.w_mean.data(), fit.h_mean.data(), F,
                                                 o.holdout / (1.0 - o.holdout));
      std::printf("held-out log-likelihood: %.1f (%.4f per count, %.0f held-out counts)\n", test, test / held, held);
    } else {
      std::printf("held-out log-likelihood: none, since --holdout %g held out none of the %.0f counts\n", o.holdout,
                  counts.total());
    }
  }
  if (planted) {
    const double truth_loglik = sk_nmf::log_likelihood(*train, truth.w.data(), truth.h.data(), K, 1.0 - o.holdout);
    std::printf("log-likelihood of the planted factors:    %.1f (%.4f per count)\n", truth_loglik,
                truth_loglik / std::max(total, 1.0));
    const auto r = sk_nmf::recovery(truth.w, truth.h, first_columns(fit.w_mean, counts.rows, F, K), fit.h_mean,
                                    counts.rows, counts.cols, K);
    std::printf("recovery of the planted components (mean cosine similarity of matched components): W %.3f, H %.3f\n",
                r.w, r.h);
  }
  if (o.fit.auto_sweeps) {
    std::printf("sweeps: %lld, of which %lld burn-in (auto)\n", static_cast<long long>(fit.sweeps_done),
                static_cast<long long>(fit.burn_in));
  }
  const int64_t ran = fit.sweeps_done - std::max<int64_t>(fit.resumed_from, 0);
  if (!o.quiet && fit.times.sweeps > 0) {
    const sk_nmf::SweepTimes &t = fit.times;
    const double n = static_cast<double>(t.sweeps);
    std::fprintf(stderr, "%s: reading %.2f s; per sweep, on %d process%s and %d row blocks: rows %.4f s "
                 "(waiting for workers %.4f s), columns %.4f s, sums %.4f s\n", kProgram,
                 planted ? 0.0 : read_seconds, fit.workers, fit.workers == 1 ? "" : "es", fit.row_blocks, t.rows / n,
                 t.waiting / n, t.columns / n, t.sums / n);
  }
  std::printf("time %.2f s, %.3g sweeps/s on %d process%s%s\n", seconds, static_cast<double>(ran) / seconds, fit.workers,
              fit.workers == 1 ? "" : "es",
              fit.resumed_from >= 0 ? (", resumed at sweep " + std::to_string(fit.resumed_from)).c_str() : "");
  if (!vocabulary.empty()) {
    const auto n = static_cast<int32_t>(o.top_words);
    std::printf("top %d words of each component (by H's posterior mean):\n", n);
    for (int32_t k = 0; k < F; ++k) {
      const bool background = k == K;
      std::printf(background ? "  background:" : "  %d:", k + 1);
      for (const int32_t j : top_columns(fit.h_mean.data() + static_cast<size_t>(k) * counts.cols, counts.cols, n))
        std::printf(" %s", vocabulary[static_cast<size_t>(j)].c_str());
      std::printf("\n");
    }
  }
  if (!o.out_prefix.empty()) {
    outputs.write(0, first_columns(fit.w_mean, counts.rows, F, K), counts.rows, K);
    const std::vector<double> h(fit.h_mean.begin(), fit.h_mean.begin() + static_cast<ptrdiff_t>(K) * counts.cols);
    outputs.write(1, h, K, counts.cols);
    if (F > K) {
      outputs.write(2, std::vector<double>(fit.h_mean.begin() + static_cast<ptrdiff_t>(K) * counts.cols, fit.h_mean.end()),
                    1, counts.cols);
    }
    outputs.commit();
    std::printf("posterior means written to %s (%d x %d) and %s (%d x %d)\n", w_path.c_str(), counts.rows, K,
                h_path.c_str(), K, counts.cols);
  }
  return 0;
}

}  // namespace

// Results on standard output count only once they are written: a full
// disk or a closed pipe there is an error too.
int finish_output(int status) {
  const bool ok = std::fflush(stdout) == 0 && !std::ferror(stdout);
  const int error = errno;
  if (std::fclose(stdout) == 0 && ok) return status;
  std::fprintf(stderr, "%s: cannot write standard output: %s\n", kProgram, std::strerror(ok ? errno : error));
  return status == 0 ? 1 : status;
}

int main(int argc, char **argv) {
  int status = 0;
  try {
    status = run(parse_options(argc, argv));
  } catch (const Help &) {
    std::fputs(kUsage, stdout);
  } catch (const UsageError &e) {
    std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
    status = 2;
  } catch (const Error &e) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s%s%s\n", kProgram, e.where.c_str(), e.where.empty() ? "" : ": ", e.what());
    status = 1;
  } catch (const std::bad_alloc &) {
    std::fprintf(stderr, "%s: out of memory\n", kProgram);
    status = 1;
  } catch (const std::exception &e) {  // the system refused a resource (a thread, a lock)
    std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
    status = 1;
  }
  return finish_output(status);
}
