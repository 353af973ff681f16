// A fit's checkpoint: everything a sweep reads that a later sweep cannot
// rebuild.  Every stream is keyed by (seed, sweep, piece), so the factors,
// their running sums, the rates and the sweep count are the whole state.
//
//   header (fixed size: what the data and the options were)
//   W, sum of W, xi, H, sum of H, eta (doubles, in the arena's order)
//   with an automatic number of sweeps (header sweeps -1): the stopping
//   rule's window sum, last window's mean and levelling sweep (or -1)
//   a 64-bit checksum of all the bytes before it
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "errors.h"
#include "model.h"

namespace sk_nmf {
namespace {

constexpr char kMagic[8] = {'S', 'K', 'N', 'M', 'F', 'C', 'K', '\n'};
constexpr uint32_t kVersion = 2;  // 2: the background factor

struct Header {
  char magic[8];
  uint32_t version, header_bytes;
  int32_t rows, cols, components, fixed_h;
  int32_t background, unused;
  double background_shape;
  int64_t nnz;
  uint64_t data_hash;
  int64_t sweeps, burn_in;
  double shape, rate;
  uint64_t seed;
  int64_t done, kept;
};

// A word-at-a-time hash: fast enough for the counts of a large fit.
struct Hasher {
  uint64_t h = 0x9e3779b97f4a7c15ULL;
  void add(const void *data, size_t bytes) {
    const auto *p = static_cast<const unsigned char *>(data);
    for (; bytes >= 8; bytes -= 8, p += 8) {
      uint64_t word;
      std::memcpy(&word, p, 8);
      step(word);
    }
    if (bytes) {
      uint64_t word = 0;
      std::memcpy(&word, p, bytes);
      step(word ^ (uint64_t{bytes} << 56));
    }
  }
  void step(uint64_t word) {
    h = (h ^ word) * 0xff51afd7ed558ccdULL;
    h ^= h >> 29;
  }
};

struct Part {
  double *data;
  size_t count;
};

}  // namespace

uint64_t Sampler::data_hash() const {
  Hasher hash;
  hash.add(x_.offsets.data(), x_.offsets.size() * sizeof(int64_t));
  hash.add(x_.indices.data(), x_.indices.size() * sizeof(int32_t));
  hash.add(x_.values.data(), x_.values.size() * sizeof(double));
  return hash.h;
}

namespace {

// burn_in: the fit's; an automatic fit's header keeps the option's, which
// the rule's state then completes.
Header header_of(const Csr &x, const FitOptions &o, int64_t burn_in, bool fixed_h, uint64_t hash) {
  Header h{};
  std::memcpy(h.magic, kMagic, sizeof kMagic);
  h.version = kVersion;
  h.header_bytes = sizeof(Header);
  h.rows = x.rows, h.cols = x.cols, h.components = o.components, h.fixed_h = fixed_h;
  h.background = o.background, h.background_shape = o.background ? o.background_shape : 0;
  h.nnz = x.nnz(), h.data_hash = hash;
  h.sweeps = o.auto_sweeps ? -1 : o.sweeps, h.burn_in = o.auto_sweeps ? o.burn_in : burn_in, h.shape = o.shape, h.rate = o.rate, h.seed = o.seed;
  return h;
}

// The arrays after the header, in order; `rule` holds an automatic fit's
// stopping rule (window sum, last window's mean, levelling sweep).
std::array<Part, 7> parts_of(const FitArena &f, size_t R, size_t C, size_t K, double *rule, bool automatic) {
  return {{{f.w, R * K}, {f.w_sum, R * K}, {f.xi, R}, {f.h, K * C}, {f.h_sum, K * C}, {f.eta, C},
           {rule, automatic ? 3u : 0u}}};
}

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

// The first difference between what a checkpoint was made for and this fit.
std::string mismatch(const Header &saved, const Header &now) {
  if (saved.rows != now.rows || saved.cols != now.cols || saved.nnz != now.nnz || saved.data_hash != now.data_hash) {
    return "it is of other data (a " + std::to_string(saved.rows) + " x " + std::to_string(saved.cols) + " matrix with " +
           std::to_string(saved.nnz) + " non-zero cells" +
           (saved.rows == now.rows && saved.cols == now.cols && saved.nnz == now.nnz ? ", other counts" : "") + ")";
  }
  auto differs = [](const char *what, const std::string &a, const std::string &b) {
    return std::string("it was made with ") + what + " " + a + ", not " + b;
  };
  if (saved.components != now.components)
    return differs("components", std::to_string(saved.components), std::to_string(now.components));
  if (saved.background != now.background)
    return saved.background ? "it was made with a background, not without" : "it was made without a background, not with";
  if (saved.background_shape != now.background_shape)
    return differs("background shape", number(saved.background_shape), number(now.background_shape));
  // Below 0: an automatic fit's sweeps, or its burn-in not chosen yet.
  const auto or_auto = [](int64_t n) { return n < 0 ? std::string("auto") : std::to_string(n); };
  if (saved.sweeps != now.sweeps) return differs("sweeps", or_auto(saved.sweeps), or_auto(now.sweeps));
  if (saved.burn_in != now.burn_in) return differs("burn-in", or_auto(saved.burn_in), or_auto(now.burn_in));
  if (saved.shape != now.shape) return differs("shape", number(saved.shape), number(now.shape));
  if (saved.rate != now.rate)
    return differs("rate", saved.rate == 0 ? "auto" : number(saved.rate), now.rate == 0 ? "auto" : number(now.rate));
  if (saved.seed != now.seed) return differs("seed", std::to_string(saved.seed), std::to_string(now.seed));
  if (saved.fixed_h != now.fixed_h) return saved.fixed_h ? "it is of a transform, not a fit" : "it is of a fit, not a transform";
  return "";
}

}  // namespace

void Sampler::save(const std::string &path) const {
  Header h = header_of(x_, o_, burn_in_, fixed_h_, data_hash());
  h.done = done_, h.kept = kept_;
  const auto R = static_cast<size_t>(x_.rows), C = static_cast<size_t>(x_.cols), K = static_cast<size_t>(settings_.components);
  double rule[3] = {rule_.window_sum, rule_.last_window, static_cast<double>(rule_.levelled)};
  const auto parts = parts_of(f_, R, C, K, rule, o_.auto_sweeps);
  // One name, not one per process: a fit killed while writing leaves its
  // temporary file behind, and the next save (a resumed fit's) replaces it.
  const std::string temporary = path + ".tmp";
  auto fail = [&](const char *doing) {
    const std::string why = std::strerror(errno);
    ::unlink(temporary.c_str());
    throw RunError("cannot " + std::string(doing) + " the checkpoint " + path + ": " + why);
  };
  std::FILE *f = std::fopen(temporary.c_str(), "wb");
  if (!f) fail("write");
  Hasher sum;
  bool ok = std::fwrite(&h, sizeof h, 1, f) == 1;
  sum.add(&h, sizeof h);
  for (const Part &p : parts) {
    ok = ok && std::fwrite(p.data, sizeof(double), p.count, f) == p.count;
    sum.add(p.data, p.count * sizeof(double));
  }
  ok = ok && std::fwrite(&sum.h, sizeof sum.h, 1, f) == 1;
  ok = ok && std::fflush(f) == 0 && ::fsync(::fileno(f)) == 0;
  if (std::fclose(f) != 0 || !ok) fail("write");
  if (::rename(temporary.c_str(), path.c_str()) != 0) fail("replace");
}

void Sampler::restore(const std::string &path) {
  const auto R = static_cast<size_t>(x_.rows), C = static_cast<size_t>(x_.cols), K = static_cast<size_t>(settings_.components);
  double rule[3] = {};
  const auto parts = parts_of(f_, R, C, K, rule, o_.auto_sweeps);
  size_t expected = sizeof(Header) + sizeof(uint64_t);
  for (const Part &p : parts) expected += p.count * sizeof(double);
  auto refuse = [&](const std::string &why) { throw Error("checkpoint " + path + ": " + why); };

  std::FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) refuse(std::string("cannot read it: ") + std::strerror(errno));
  struct Closer {
    std::FILE *f;
    ~Closer() { std::fclose(f); }
  } closer{f};
  struct stat st {};
  if (::fstat(::fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) refuse("it is not a regular file");
  Header saved{};
  const size_t got = std::fread(&saved, 1, sizeof saved, f);
  if (got < sizeof kMagic || std::memcmp(saved.magic, kMagic, sizeof kMagic) != 0)
    refuse("it is not a checkpoint of this sampler");
  if (got < sizeof saved) refuse("it is truncated");
  if (saved.version != kVersion || saved.header_bytes != sizeof(Header))
    refuse("it was written by another version of this sampler");
  const std::string differs =
      mismatch(saved, header_of(x_, o_, burn_in_, fixed_h_, data_hash()));
  if (!differs.empty()) refuse(differs);
  if (static_cast<size_t>(st.st_size) < expected) refuse("it is truncated");
  if (static_cast<size_t>(st.st_size) > expected) refuse("it is corrupt (longer than its header says)");
  if (saved.done < 0 || saved.done > o_.most_sweeps() || saved.kept < 0 || saved.kept > saved.done)
    refuse("it is corrupt (its sweep count is out of range)");

  // The checksum first, so that a damaged file changes nothing.
  Hasher sum;
  sum.add(&saved, sizeof saved);
  std::vector<double> buffer(1 << 16);
  size_t left = expected - sizeof saved - sizeof(uint64_t);
  while (left > 0) {
    const size_t n = std::min(left / sizeof(double), buffer.size());
    if (std::fread(buffer.data(), sizeof(double), n, f) != n) refuse("it is truncated");
    sum.add(buffer.data(), n * sizeof(double));
    left -= n * sizeof(double);
  }
  uint64_t stored = 0;
  if (std::fread(&stored, sizeof stored, 1, f) != 1) refuse("it is truncated");
  if (stored != sum.h) refuse("it is corrupt (its checksum does not match)");

  if (std::fseek(f, sizeof saved, SEEK_SET) != 0) refuse("cannot read it again");
  for (const Part &p : parts)
    if (std::fread(p.data, sizeof(double), p.count, f) != p.count) refuse("it changed while being read");
  done_ = saved.done;
  kept_ = saved.kept;
  if (o_.auto_sweeps) {
    const auto levelled = static_cast<int64_t>(rule[2]);
    if (rule[2] != static_cast<double>(levelled) || levelled < -1 || levelled > done_ ||
        (levelled < 0 && o_.burn_in < 0 && kept_ != 0))
      refuse("it is corrupt (its stopping rule's state is out of range)");
    rule_.window_sum = rule[0], rule_.last_window = rule[1];
    if (levelled >= 0) levelled_off_at(levelled);
  }
}

}  // namespace sk_nmf
