#include "formats.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#ifdef SK_NMF_HAVE_ZLIB
#include <zlib.h>
#endif

#include "errors.h"

namespace sk_nmf {
namespace {

constexpr double kMaxCount = 2147483647.0;
constexpr long long kMaxDim = std::numeric_limits<int32_t>::max();

// ---- bytes: a file or standard input, plain or gzip ------------------------

class Source {
 public:
  virtual ~Source() = default;
  // Up to n bytes; 0 at the end.
  virtual size_t read(char *out, size_t n) = 0;
};

class FdReader {
 public:
  FdReader(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  ~FdReader() {
    if (fd_ > 0) ::close(fd_);
  }
  size_t read(char *out, size_t n) {
    for (;;) {
      const ssize_t got = ::read(fd_, out, n);
      if (got >= 0) return static_cast<size_t>(got);
      if (errno != EINTR) throw Error("cannot read " + name_ + ": " + std::strerror(errno));
    }
  }
  const std::string &name() const { return name_; }

 private:
  int fd_;
  std::string name_;
};

// The first bytes, read to recognise the format, then the rest.
class PlainSource : public Source {
 public:
  PlainSource(std::unique_ptr<FdReader> in, std::string head) : in_(std::move(in)), head_(std::move(head)) {}
  size_t read(char *out, size_t n) override {
    if (pos_ < head_.size()) {
      const size_t m = std::min(n, head_.size() - pos_);
      std::memcpy(out, head_.data() + pos_, m);
      pos_ += m;
      return m;
    }
    return in_->read(out, n);
  }

 private:
  std::unique_ptr<FdReader> in_;
  std::string head_;
  size_t pos_ = 0;
};

#ifdef SK_NMF_HAVE_ZLIB
class GzipSource : public Source {
 public:
  GzipSource(std::unique_ptr<FdReader> in, std::string head) : plain_(std::move(in), std::move(head)) {
    if (inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK) throw Error("cannot start gzip decompression");
  }
  ~GzipSource() override { inflateEnd(&z_); }
  size_t read(char *out, size_t n) override {
    z_.next_out = reinterpret_cast<Bytef *>(out);
    z_.avail_out = static_cast<uInt>(std::min<size_t>(n, 1u << 30));
    while (z_.avail_out == static_cast<uInt>(std::min<size_t>(n, 1u << 30))) {
      if (z_.avail_in == 0) {
        if (eof_) break;
        const size_t got = plain_.read(buffer_, sizeof buffer_);
        if (got == 0) {
          eof_ = true;
          if (!ended_) throw Error("the gzip data is truncated");
          break;
        }
        z_.next_in = reinterpret_cast<Bytef *>(buffer_);
        z_.avail_in = static_cast<uInt>(got);
      }
      if (ended_) {  // another gzip member follows
        inflateReset(&z_);
        ended_ = false;
      }
      const int status = inflate(&z_, Z_NO_FLUSH);
      if (status == Z_STREAM_END) {
        ended_ = true;
      } else if (status != Z_OK && status != Z_BUF_ERROR) {
        throw Error(std::string("corrupt gzip data: ") + (z_.msg ? z_.msg : "inflate failed"));
      }
    }
    return std::min<size_t>(n, 1u << 30) - z_.avail_out;
  }

 private:
  PlainSource plain_;
  z_stream z_{};
  char buffer_[1 << 16];
  bool eof_ = false, ended_ = false;
};
#endif

const char *compression_of(const std::string &head) {
  auto starts = [&](const char *magic, size_t n) { return head.size() >= n && std::memcmp(head.data(), magic, n) == 0; };
  if (starts("\x1f\x8b", 2)) return "gzip";
  if (starts("BZh", 3)) return "bzip2";
  if (starts("\xfd" "7zXZ\0", 6)) return "xz";
  if (starts("\x28\xb5\x2f\xfd", 4)) return "zstd";
  if (starts("PK\x03\x04", 4)) return "zip";
  return nullptr;
}

std::unique_ptr<Source> open_source(const std::string &path, const std::string &name) {
  int fd = 0;
  if (path != "-") {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw Error("cannot open " + path + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      ::close(fd);
      throw Error("cannot read " + path + ": it is a directory");
    }
  }
  auto in = std::make_unique<FdReader>(fd, name);
  std::string head(6, '\0');
  size_t have = 0;
  while (have < head.size()) {
    const size_t got = in->read(&head[have], head.size() - have);
    if (got == 0) break;
    have += got;
  }
  head.resize(have);
  const char *format = compression_of(head);
  if (format && std::strcmp(format, "gzip") == 0) {
#ifdef SK_NMF_HAVE_ZLIB
    return std::make_unique<GzipSource>(std::move(in), std::move(head));
#else
    throw Error("the file is gzip-compressed, and this build has no gzip support (it was configured "
                "without zlib); decompress it first, e.g. with gunzip -c", name + ":1");
#endif
  }
  if (format) {
    throw Error(std::string("the file is ") + format + "-compressed, which is not supported; decompress it first",
                name + ":1");
  }
  return std::make_unique<PlainSource>(std::move(in), std::move(head));
}

// ---- lines -------------------------------------------------------------------

class Lines {
 public:
  Lines(std::unique_ptr<Source> src, std::string name) : src_(std::move(src)), name_(std::move(name)) {}

  // The next line without its end; false at the end of the input.
  bool next(std::string &line) {
    line.clear();
    for (;;) {
      if (pos_ == end_) {
        try {
          end_ = src_->read(buffer_, sizeof buffer_);
        } catch (const Error &e) {
          if (!e.where.empty()) throw;
          fail_at(number_ + 1, e.what());
        }
        pos_ = 0;
        if (end_ == 0) {
          if (line.empty() && !partial_) return false;
          partial_ = false;
          break;
        }
      }
      const char *start = buffer_ + pos_;
      const void *nl = std::memchr(start, '\n', end_ - pos_);
      if (nl) {
        const size_t n = static_cast<size_t>(static_cast<const char *>(nl) - start);
        line.append(start, n);
        pos_ += n + 1;
        partial_ = false;
        break;
      }
      line.append(start, end_ - pos_);
      partial_ = true;
      pos_ = end_;
    }
    ++number_;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (number_ == 1) {
      if (line.rfind("\xef\xbb\xbf", 0) == 0) line.erase(0, 3);
      else if (line.rfind("\xff\xfe", 0) == 0 || line.rfind("\xfe\xff", 0) == 0) {
        fail("the file is UTF-16 text; save it as UTF-8 or ASCII");
      }
    }
    if (line.find('\0') != std::string::npos) fail("the file holds binary data, not text");
    return true;
  }

  long long number() const { return number_; }
  const std::string &name() const { return name_; }
  [[noreturn]] void fail(const std::string &what) const { fail_at(std::max(number_, 1LL), what); }
  [[noreturn]] void fail_at(long long line, const std::string &what) const {
    throw Error(what, name_ + ":" + std::to_string(line));
  }

 private:
  std::unique_ptr<Source> src_;
  std::string name_;
  char buffer_[1 << 16];
  size_t pos_ = 0, end_ = 0;
  bool partial_ = false;
  long long number_ = 0;
};

std::string trim(const std::string &s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

std::vector<std::string> words(const std::string &s) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    const size_t b = i;
    while (i < s.size() && !std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    if (i > b) out.push_back(s.substr(b, i - b));
  }
  return out;
}

std::string lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool parse_number(const std::string &text, double &value) {
  if (text.empty()) return false;
  char *end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return *end == '\0';
}

double parse_count(const Lines &in, const std::string &text) {
  double value;
  if (!parse_number(text, value)) in.fail("'" + text + "' is not a number");
  if (!(value >= 0) || value > kMaxCount || value != std::floor(value)) {
    in.fail("count '" + text + "' is not a whole number from 0 to 2147483647");
  }
  return value;
}

long long parse_index(const Lines &in, const std::string &text, const char *what, long long hi) {
  char *end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE || value < 1 || value > hi) {
    in.fail(std::string(what) + " '" + text + "' is not from 1 to " + std::to_string(hi));
  }
  return value;
}

// ---- building CSR ------------------------------------------------------------

struct Entry {
  int32_t row, col;
  double value;
};

template <class V>
void push(V &v, const typename V::value_type &x, const char *what) {
  try {
    v.push_back(x);
  } catch (const std::bad_alloc &) {
    out_of_memory(static_cast<double>(v.size()) * 2 * sizeof(x), what);
  }
}

// Entries in any order, repeats summed, zeros dropped.
Csr csr_from_entries(std::vector<Entry> &entries, int32_t rows, int32_t cols, const Lines &in) {
  std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
    return a.row != b.row ? a.row < b.row : a.col < b.col;
  });
  Csr x;
  x.rows = rows;
  x.cols = cols;
  x.offsets = allocate_array<int64_t>(static_cast<double>(rows) + 1, "the row offsets");
  size_t kept = 0;
  for (size_t n = 0; n < entries.size();) {
    Entry e = entries[n++];
    while (n < entries.size() && entries[n].row == e.row && entries[n].col == e.col) {
      e.value += entries[n++].value;
      if (e.value > kMaxCount) {
        throw Error("repeated entries of cell (" + std::to_string(e.row + 1) + ", " + std::to_string(e.col + 1) +
                    ") add up to more than 2147483647", in.name());
      }
    }
    if (e.value > 0) entries[kept++] = e;
  }
  x.indices = allocate_array<int32_t>(static_cast<double>(kept), "the column indices");
  x.values = allocate_array<double>(static_cast<double>(kept), "the counts");
  for (size_t n = 0; n < kept; ++n) {
    x.indices[n] = entries[n].col;
    x.values[n] = entries[n].value;
    ++x.offsets[static_cast<size_t>(entries[n].row) + 1];
  }
  for (size_t i = 0; i < static_cast<size_t>(rows); ++i) x.offsets[i + 1] += x.offsets[i];
  return x;
}

Csr read_matrix_market(Lines &in, const std::string &banner) {
  const auto head = words(lower(banner));
  if (head.size() != 5 || head[1] != "matrix") in.fail("expected '%%MatrixMarket matrix FORMAT FIELD SYMMETRY'");
  const bool coordinate = head[2] == "coordinate";
  if (!coordinate && head[2] != "array") in.fail("unknown format '" + head[2] + "'");
  const std::string &field = head[3];
  if (field != "real" && field != "integer" && field != "double" && !(coordinate && field == "pattern")) {
    in.fail("field '" + field + "' cannot hold counts");
  }
  if (head[4] != "general") in.fail("only 'general' matrices are supported, not '" + head[4] + "'");
  const bool pattern = field == "pattern";

  std::string line;
  std::vector<std::string> w;
  auto next_line = [&]() {
    while (in.next(line)) {
      const std::string t = trim(line);
      if (t.empty() || t[0] == '%') continue;
      w = words(t);
      return true;
    }
    return false;
  };
  if (!next_line()) in.fail("missing the size line");
  if (w.size() != (coordinate ? 3u : 2u)) {
    in.fail(coordinate ? "size line must be 'ROWS COLS ENTRIES'" : "size line must be 'ROWS COLS'");
  }
  const auto rows = static_cast<int32_t>(parse_index(in, w[0], "row count", kMaxDim));
  const auto cols = static_cast<int32_t>(parse_index(in, w[1], "column count", kMaxDim));
  const double cells = static_cast<double>(rows) * static_cast<double>(cols);
  std::vector<Entry> entries;
  if (coordinate) {
    char *end = nullptr;
    errno = 0;
    const long long n = std::strtoll(w[2].c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE || n < 0 || static_cast<double>(n) > cells) {
      in.fail("entry count '" + w[2] + "' is not from 0 to ROWS x COLS");
    }
    try {
      entries.reserve(static_cast<size_t>(n));
    } catch (const std::exception &) {
      out_of_memory(static_cast<double>(n) * sizeof(Entry), "the " + w[2] + " entries the size line announces");
    }
    for (long long e = 0; e < n; ++e) {
      if (!next_line()) in.fail("expected " + std::to_string(n) + " entries, found " + std::to_string(e));
      if (w.size() != (pattern ? 2u : 3u)) in.fail(pattern ? "entry must be 'ROW COL'" : "entry must be 'ROW COL VALUE'");
      const auto i = static_cast<int32_t>(parse_index(in, w[0], "row", rows));
      const auto j = static_cast<int32_t>(parse_index(in, w[1], "column", cols));
      const double c = pattern ? 1.0 : parse_count(in, w[2]);
      entries.push_back({i - 1, j - 1, c});
    }
  } else {
    // Values column by column, one per line; only the non-zeros are kept.
    const auto n = static_cast<long long>(cells);
    for (long long e = 0; e < n; ++e) {
      if (!next_line()) in.fail("expected " + std::to_string(n) + " values, found " + std::to_string(e));
      if (w.size() != 1) in.fail("expected one value on the line");
      const double c = parse_count(in, w[0]);
      if (c > 0) push(entries, Entry{static_cast<int32_t>(e % rows), static_cast<int32_t>(e / rows), c}, "the counts");
    }
  }
  if (next_line()) in.fail("more entries than the size line announced");
  return csr_from_entries(entries, rows, cols, in);
}

std::vector<std::string> csv_fields(const std::string &t) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    const size_t comma = t.find(',', start);
    out.push_back(trim(t.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
    if (comma == std::string::npos) return out;
    start = comma + 1;
  }
}

bool unquoted_number(std::string f) {
  if (f.size() >= 2 && f.front() == '"' && f.back() == '"') return false;
  double v;
  return parse_number(f, v);
}

Csr read_csv(Lines &in, std::string line) {
  Csr x;
  long long cols = 0, rows = 0;
  bool first = true;
  do {
    const std::string t = trim(line);
    if (t.empty() || t[0] == '#') continue;
    const auto fields = csv_fields(t);
    // A first row without a single number names the columns.
    if (first && std::none_of(fields.begin(), fields.end(), unquoted_number)) {
      first = false;
      cols = static_cast<long long>(fields.size());
      continue;
    }
    first = false;
    if (cols == 0) cols = static_cast<long long>(fields.size());
    if (static_cast<long long>(fields.size()) != cols) {
      in.fail("expected " + std::to_string(cols) + " fields like the first row, found " +
              std::to_string(fields.size()));
    }
    if (cols > kMaxDim) in.fail("more than 2147483647 columns");
    for (size_t j = 0; j < fields.size(); ++j) {
      if (fields[j].empty()) in.fail("field " + std::to_string(j + 1) + " is empty");
      const double c = parse_count(in, fields[j]);
      if (c > 0) {
        push(x.indices, static_cast<int32_t>(j), "the column indices");
        push(x.values, c, "the counts");
      }
    }
    if (++rows > kMaxDim) in.fail("more than 2147483647 rows");
    push(x.offsets, x.nnz(), "the row offsets");
  } while (in.next(line));
  if (rows == 0) in.fail("no counts in the file");
  x.rows = static_cast<int32_t>(rows);
  x.cols = static_cast<int32_t>(cols);
  return x;
}

}  // namespace

bool gzip_supported() {
#ifdef SK_NMF_HAVE_ZLIB
  return true;
#else
  return false;
#endif
}

Csr read_counts(const std::string &path) {
  const std::string name = path == "-" ? "<stdin>" : path;
  Lines in(open_source(path, name), name);
  std::string first;
  if (!in.next(first)) throw Error("the file is empty", name + ":1");
  if (lower(first).rfind("%%matrixmarket", 0) == 0) return read_matrix_market(in, first);
  return read_csv(in, first);
}

void write_csv(const std::string &path, const std::vector<double> &m, int32_t rows, int32_t cols) {
  FILE *f = std::fopen(path.c_str(), "w");
  if (!f) throw Error("cannot write " + path + ": " + std::strerror(errno));
  char text[32];
  for (size_t i = 0; i < static_cast<size_t>(rows); ++i) {
    for (size_t j = 0; j < static_cast<size_t>(cols); ++j) {
      const int n = std::snprintf(text, sizeof text, "%s%.17g", j ? "," : "", m[i * static_cast<size_t>(cols) + j]);
      std::fwrite(text, 1, static_cast<size_t>(n), f);
    }
    std::fputc('\n', f);
  }
  const bool ok = !std::ferror(f);
  if (std::fclose(f) != 0 || !ok) throw Error("cannot write " + path + ": " + std::strerror(errno));
}

void check_writable(const std::string &path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw Error("cannot write " + path + ": it is a directory");
    if (::access(path.c_str(), W_OK) != 0) throw Error("cannot write " + path + ": " + std::strerror(errno));
    return;
  }
  const auto slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  if (::stat(dir.c_str(), &st) != 0) throw Error("cannot write " + path + ": directory " + dir + ": " + std::strerror(errno));
  if (!S_ISDIR(st.st_mode)) throw Error("cannot write " + path + ": " + dir + " is not a directory");
  if (::access(dir.c_str(), W_OK | X_OK) != 0) throw Error("cannot write " + path + ": directory " + dir + ": " + std::strerror(errno));
}

}  // namespace sk_nmf
