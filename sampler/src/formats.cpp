#include "formats.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#ifdef SK_NMF_HAVE_ZLIB
#include <zlib.h>
#endif

#include "errors.h"

namespace sk_nmf {
namespace {

constexpr uint32_t kMaxCount = 2147483647;
constexpr int64_t kMaxDim = std::numeric_limits<int32_t>::max();
// Room for a dense CSV row of 100,000 columns of 10-digit counts and more;
// a longer line is not a row of counts, and a stream with no line end at all
// must not grow without bound.
constexpr size_t kLineCap = size_t{16} << 20;
constexpr size_t kDefaultChunk = size_t{4} << 20;  // pieces are read up to twice this
constexpr size_t kEchoed = 60;  // bytes of a bad field shown in an error
const char *const kTooLong = "the line is longer than 16 MiB, the most a line may hold";

// ---- memory ------------------------------------------------------------------

// Anonymous pages for the reader's own large arrays: the text and the
// entries of each piece.  Reserving what a piece could at most hold costs
// address space only, and huge pages (where the kernel offers them) save
// the page faults that otherwise dominate filling hundreds of megabytes.
template <class T>
class Buffer {
 public:
  Buffer() = default;
  explicit Buffer(size_t n) { allocate(n); }
  Buffer(Buffer &&o) noexcept { *this = std::move(o); }
  Buffer &operator=(Buffer &&o) noexcept {
    if (this != &o) {
      release();
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
      bytes_ = std::exchange(o.bytes_, 0);
      mapped_ = o.mapped_;
    }
    return *this;
  }
  ~Buffer() { release(); }

  // Room for n elements, size 0; throws std::bad_alloc.
  void allocate(size_t n) {
    release();
    if (n == 0) return;
    if (n > (size_t{1} << 60) / sizeof(T)) throw std::bad_alloc();
    const size_t bytes = round(n * sizeof(T));
    if (bytes < kMapped) {  // small pieces: a system call each would cost more than the parsing
      data_ = static_cast<T *>(std::malloc(bytes));
      if (!data_) throw std::bad_alloc();
      bytes_ = bytes;
      return;
    }
    void *p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    if (bytes >= kHuge) ::madvise(p, bytes, MADV_HUGEPAGE);
    data_ = static_cast<T *>(p);
    bytes_ = bytes;
    mapped_ = true;
  }
  // Returns the pages past the elements.
  void trim() {
    const size_t keep = round(size_ * sizeof(T));
    if (mapped_ && keep < bytes_) {
      ::munmap(reinterpret_cast<char *>(data_) + keep, bytes_ - keep);
      bytes_ = keep;
      if (keep == 0) data_ = nullptr;
    }
  }
  void release() {
    if (data_ && !mapped_) std::free(data_);
    else if (data_) ::munmap(data_, bytes_);
    data_ = nullptr;
    size_ = bytes_ = 0;
    mapped_ = false;
  }

  T *get() const { return data_; }
  T *begin() const { return data_; }
  T *end() const { return data_ + size_; }
  size_t size() const { return size_; }
  size_t capacity() const { return bytes_ / sizeof(T); }
  void resize(size_t n) { size_ = n; }  // within the capacity
  void push(const T &v) { data_[size_++] = v; }
  T &operator[](size_t i) const { return data_[i]; }

 private:
  static constexpr size_t kPage = 4096, kMapped = size_t{256} << 10, kHuge = size_t{2} << 20;
  static size_t round(size_t bytes) { return (bytes + kPage - 1) / kPage * kPage; }

  T *data_ = nullptr;
  size_t size_ = 0, bytes_ = 0;
  bool mapped_ = false;
};

// ---- bytes: a file or standard input, plain or gzip ------------------------

class Source {
 public:
  virtual ~Source() = default;
  // Up to n bytes; 0 at the end.  Throws Error without `where`.
  virtual size_t read(char *out, size_t n) = 0;
  // The bytes of text there will be at most; 0 when that is not known.
  uint64_t most_bytes = 0;
};

class FdReader {
 public:
  FdReader(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  ~FdReader() {
    if (fd_ > 0) ::close(fd_);
  }
  size_t read(char *out, size_t n) {
    for (;;) {
      const ssize_t got = ::read(fd_, out, std::min<size_t>(n, size_t{1} << 30));
      if (got >= 0) return static_cast<size_t>(got);
      if (errno != EINTR) throw Error("cannot read " + name_ + ": " + std::strerror(errno));
    }
  }

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
// Every byte inflated before a fault is handed out before the fault is
// reported, so where the error lands never depends on the buffer sizes.
class GzipSource : public Source {
 public:
  GzipSource(std::unique_ptr<FdReader> in, std::string head) : plain_(std::move(in), std::move(head)) {
    if (inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK) throw Error("cannot start gzip decompression");
  }
  ~GzipSource() override { inflateEnd(&z_); }
  size_t read(char *out, size_t n) override {
    if (!fault_.empty()) throw Error(fault_);
    const uInt want = static_cast<uInt>(std::min<size_t>(n, 1u << 30));
    z_.next_out = reinterpret_cast<Bytef *>(out);
    z_.avail_out = want;
    try {
      while (z_.avail_out == want) {
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
    } catch (const Error &e) {
      if (z_.avail_out == want) throw;
      fault_ = e.what();
    }
    return want - z_.avail_out;
  }

 private:
  PlainSource plain_;
  z_stream z_{};
  char buffer_[1 << 16];
  bool eof_ = false, ended_ = false;
  std::string fault_;
};
#endif

// The whole magic of each format, so that text which merely starts with
// the same letters ("BZh,3" in a CSV) is still read as text.
const char *compression_of(const std::string &head) {
  const auto *u = reinterpret_cast<const unsigned char *>(head.data());
  auto starts = [&](const char *magic, size_t n) { return head.size() >= n && std::memcmp(head.data(), magic, n) == 0; };
  if (starts("\x1f\x8b\x08", 3)) return "gzip";
  if (head.size() >= 10 && starts("BZh", 3) && u[3] >= '1' && u[3] <= '9' &&
      (std::memcmp(u + 4, "\x31\x41\x59\x26\x53\x59", 6) == 0 ||   // a block
       std::memcmp(u + 4, "\x17\x72\x45\x38\x50\x90", 6) == 0)) {  // an empty stream's end
    return "bzip2";
  }
  if (starts("\xfd" "7zXZ\0", 6)) return "xz";
  if (starts("\x28\xb5\x2f\xfd", 4)) return "zstd";
  if (starts("PK\x03\x04", 4) || starts("PK\x05\x06", 4) || starts("PK\x07\x08", 4)) return "zip";
  return nullptr;
}

std::unique_ptr<Source> open_source(const std::string &path, const std::string &name) {
  int fd = 0;
  uint64_t size = 0;
  if (path != "-") {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw Error("cannot open " + path + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      ::close(fd);
      throw Error("cannot read " + path + ": it is a directory");
    }
    if (S_ISREG(st.st_mode)) size = static_cast<uint64_t>(st.st_size);
  }
  auto in = std::make_unique<FdReader>(fd, name);
  std::string head(10, '\0');
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
  auto plain = std::make_unique<PlainSource>(std::move(in), std::move(head));
  plain->most_bytes = size;
  return plain;
}

// ---- text in pieces of whole lines -------------------------------------------

// A run of whole lines (the last one unterminated only at the end of the
// input).  `stop` says why the text ends early: the line after the piece is
// where reading stopped.
struct Piece {
  enum Stop { none, binary, utf16, too_long, read_failed };
  Buffer<char> text;  // text[end] is a '\n' that parsers may stop on
  size_t begin = 0, end = 0;
  Stop stop = none;
  std::string failure;  // for read_failed
};

std::string stop_message(const Piece &p) {
  switch (p.stop) {
    case Piece::binary: return "the file holds binary data, not text";
    case Piece::utf16: return "the file is UTF-16 text; save it as UTF-8 or ASCII";
    case Piece::too_long: return kTooLong;
    case Piece::read_failed: return p.failure;
    case Piece::none: break;
  }
  return "";
}

Buffer<char> text_buffer(size_t bytes) {
  try {
    return Buffer<char>(bytes + 1);
  } catch (const std::bad_alloc &) {
    out_of_memory(static_cast<double>(bytes), "the text being read");
  }
}

// Cuts the input into pieces of about `chunk` bytes at line ends.  A NUL
// byte ends the input the moment it is read, and so does a line that
// outgrows the cap; either way the pieces before it are whole lines.
class Pieces {
 public:
  Pieces(Source &src, size_t chunk) : src_(src), chunk_(chunk) {}

  bool next(Piece &out) {
    if (done_) return false;
    size_t cap = carry_size_ + chunk_;
    Buffer<char> buf;
    if (cap <= 2 * chunk_ && !spare_.empty()) {
      buf = std::move(spare_.back());
      spare_.pop_back();
      cap = 2 * chunk_;
    } else {
      if (cap <= 2 * chunk_) cap = 2 * chunk_;
      buf = text_buffer(cap);
    }
    if (carry_size_) std::memcpy(buf.get(), carry_.get(), carry_size_);
    size_t len = carry_size_;
    carry_size_ = 0;
    bool eof = false;
    Piece::Stop stop = Piece::none;
    std::string failure;
    for (;;) {
      while (len < cap && !eof && stop == Piece::none) {
        size_t got = 0;
        try {
          got = src_.read(buf.get() + len, cap - len);
        } catch (const Error &e) {
          stop = Piece::read_failed;
          failure = e.what();
          break;
        }
        if (got == 0) {
          eof = true;
          break;
        }
        if (first_ && len + got >= 2) {
          first_ = false;
          const auto *u = reinterpret_cast<const unsigned char *>(buf.get());
          if ((u[0] == 0xff && u[1] == 0xfe) || (u[0] == 0xfe && u[1] == 0xff)) {
            stop = Piece::utf16;
            len = 0;
            break;
          }
        }
        if (const void *nul = std::memchr(buf.get() + len, 0, got)) {
          got = static_cast<size_t>(static_cast<const char *>(nul) - (buf.get() + len));
          stop = Piece::binary;
        }
        len += got;
      }
      const char *b = buf.get();
      if (eof) {
        done_ = true;
        if (len == 0) return false;
        return emit(out, std::move(buf), len, Piece::none, "");
      }
      // After the last line end whose meaning is known: a final '\r' may be
      // the first half of "\r\n" unless nothing follows it.
      size_t split = 0;
      for (size_t k = len; k-- > 0;) {
        if (b[k] == '\n' || (b[k] == '\r' && (k + 1 < len || stop != Piece::none))) {
          split = k + 1;
          break;
        }
      }
      if (stop != Piece::none) {
        done_ = true;
        return emit(out, std::move(buf), split, stop, failure);
      }
      const size_t tail = len - split - (b[len - 1] == '\r' ? 1 : 0);
      if (tail > kLineCap) {
        done_ = true;
        return emit(out, std::move(buf), split, Piece::too_long, "");
      }
      if (split > 0) {
        carry_size_ = len - split;
        if (carry_size_) {
          if (carry_.capacity() < carry_size_) carry_ = text_buffer(carry_size_);
          std::memcpy(carry_.get(), b + split, carry_size_);
        }
        return emit(out, std::move(buf), split, Piece::none, "");
      }
      // One unfinished line fills the buffer: make room and read on.
      const size_t grown = len + std::max(chunk_, len);
      Buffer<char> bigger = text_buffer(grown);
      std::memcpy(bigger.get(), buf.get(), len);
      buf = std::move(bigger);
      cap = grown;
    }
  }

  // A piece's text, to read the next pieces into.
  void recycle(Buffer<char> text) {
    if (text.capacity() >= 2 * chunk_ + 1 && text.capacity() <= 2 * chunk_ + 8192 && spare_.size() < 2) spare_.push_back(std::move(text));
  }

 private:
  static bool emit(Piece &out, Buffer<char> buf, size_t len, Piece::Stop stop, std::string failure) {
    buf[len] = '\n';
    out.text = std::move(buf);
    out.begin = 0;
    out.end = len;
    out.stop = stop;
    out.failure = std::move(failure);
    return true;
  }

  Source &src_;
  size_t chunk_;
  Buffer<char> carry_;
  size_t carry_size_ = 0;
  std::vector<Buffer<char>> spare_;
  bool done_ = false, first_ = true;
};

// ---- characters, lines and numbers -----------------------------------------

inline bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }
inline bool is_eol(char c) { return c == '\n' || c == '\r'; }
inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

inline const char *line_end(const char *p, const char *end) {
  while (p < end && !is_eol(*p)) ++p;
  return p;
}
// Past the line end at p ("\r\n" is one).
inline const char *past_eol(const char *p, const char *end) {
  if (p < end) p += (*p == '\r' && p + 1 < end && p[1] == '\n') ? 2 : 1;
  return p;
}
inline const char *skip_blanks(const char *p, const char *end) {
  while (p < end && is_blank(*p)) ++p;
  return p;
}
inline const char *trim_back(const char *b, const char *e) {
  while (e > b && is_blank(e[-1])) --e;
  return e;
}

// Text for an error message, cut so that a huge field is not echoed whole.
std::string shown(const char *b, const char *e) {
  if (static_cast<size_t>(e - b) <= kEchoed) return std::string(b, e);
  const char *cut = b + kEchoed - 3;
  while (cut > b && (static_cast<unsigned char>(*cut) & 0xc0) == 0x80) --cut;  // not inside a UTF-8 character
  return std::string(b, cut) + "...";
}

enum class Num { ok, not_number, not_count };

bool is_word(const char *b, const char *e, const char *w) {
  const size_t n = std::strlen(w);
  if (static_cast<size_t>(e - b) != n) return false;
  for (size_t i = 0; i < n; ++i) {
    if ((b[i] | 0x20) != w[i]) return false;
  }
  return true;
}

// A count written in decimal: digits with an optional sign, point and
// exponent, whose value is a whole number from 0 to 2147483647.  Exact: the
// digits are never rounded through a double.
Num parse_count_slow(const char *b, const char *e, uint32_t &out) {
  const char *p = b;
  bool negative = false;
  if (p < e && (*p == '+' || *p == '-')) negative = *p++ == '-';
  if (is_word(p, e, "inf") || is_word(p, e, "infinity") || is_word(p, e, "nan")) return Num::not_count;
  // Digit k of the mantissa (the point skipped) has place value 10^(P-1-k).
  int64_t digits = 0, point = -1, first = -1, last = -1;
  const char *mantissa = p;
  for (; p < e; ++p) {
    if (is_digit(*p)) {
      if (*p != '0') {
        if (first < 0) first = digits;
        last = digits;
      }
      ++digits;
    } else if (*p == '.' && point < 0) {
      point = digits;
    } else {
      break;
    }
  }
  if (digits == 0) return Num::not_number;
  if (point < 0) point = digits;
  int64_t exponent = 0;
  if (p < e && (*p == 'e' || *p == 'E')) {
    ++p;
    bool down = false;
    if (p < e && (*p == '+' || *p == '-')) down = *p++ == '-';
    if (p == e || !is_digit(*p)) return Num::not_number;
    for (; p < e && is_digit(*p); ++p) exponent = std::min<int64_t>(exponent * 10 + (*p - '0'), 1000000);
    if (down) exponent = -exponent;
  }
  if (p != e) return Num::not_number;
  if (first < 0) {
    out = 0;
    return Num::ok;
  }
  if (negative) return Num::not_count;
  const int64_t scale = point - 1 - last + exponent;  // of the last non-zero digit
  if (last - first + 1 > 10 || scale < 0 || scale > 9) return Num::not_count;
  uint64_t v = 0;
  int64_t k = 0;
  for (const char *q = mantissa; k <= last; ++q) {
    if (*q == '.') continue;
    if (k >= first) v = v * 10 + static_cast<uint64_t>(*q - '0');
    ++k;
  }
  for (int64_t s = 0; s < scale; ++s) v *= 10;
  if (v > kMaxCount) return Num::not_count;
  out = static_cast<uint32_t>(v);
  return Num::ok;
}

inline Num parse_count(const char *b, const char *e, uint32_t &out) {
  const size_t n = static_cast<size_t>(e - b);
  if (n > 0 && n <= 9) {  // the common case: a few plain digits
    uint32_t v = 0;
    const char *p = b;
    for (; p < e && is_digit(*p); ++p) v = v * 10 + static_cast<uint32_t>(*p - '0');
    if (p == e) {
      out = v;
      return Num::ok;
    }
  }
  return parse_count_slow(b, e, out);
}

// A whole decimal number with an optional '+', saturating far above any
// limit; false unless the text is one.
inline bool parse_integer(const char *b, const char *e, int64_t &out) {
  if (b < e && *b == '+') ++b;
  if (b == e) return false;
  int64_t v = 0;
  for (const char *p = b; p < e; ++p) {
    if (!is_digit(*p)) return false;
    v = v > (int64_t{1} << 58) ? int64_t{1} << 62 : v * 10 + (*p - '0');
  }
  out = v;
  return true;
}

// Blank-separated words of a line: the first `max` of them, and how many.
struct Words {
  static constexpr int max = 4;
  const char *b[max], *e[max];
  int n = 0;
};
inline const char *split_words(const char *p, const char *end, Words &w) {
  w.n = 0;
  for (;;) {
    while (p < end && is_blank(*p)) ++p;
    if (p == end || is_eol(*p)) return p;
    const char *start = p;
    while (p < end && !is_blank(*p) && !is_eol(*p)) ++p;
    if (w.n < Words::max) {
      w.b[w.n] = start;
      w.e[w.n] = p;
    }
    ++w.n;
  }
}

std::string count_problem(Num n, const char *b, const char *e) {
  if (n == Num::not_number) return "'" + shown(b, e) + "' is not a number";
  return "count '" + shown(b, e) + "' is not a whole number from 0 to 2147483647";
}

// ---- parsing a piece -----------------------------------------------------------

enum class Kind { coordinate, array, csv };

// What the lines before the entries said.
struct Layout {
  Kind kind = Kind::csv;
  bool pattern = false;
  int64_t rows = 0, cols = 0;
  uint64_t entries = 0;  // that a Matrix Market file announces
};

struct Triplet {
  int32_t row, col;
  uint32_t value;
};

struct Result {
  uint64_t lines = 0;  // in the piece, so far
  uint64_t data = 0;   // entries (Matrix Market) or rows (CSV) read
  bool failed = false;
  uint64_t fail_line = 0;  // within the piece, from 1
  uint64_t fail_data = 0;  // entries or rows before the failing line
  std::string failure;
  Buffer<Triplet> triplets;    // coordinate
  Buffer<uint64_t> positions;  // array: index within the piece << 32 | count
  Buffer<uint32_t> row_sizes;  // CSV
  Buffer<int32_t> columns;
  Buffer<uint32_t> counts;
  bool sorted = true;  // coordinate: in row-major order without repeats
  uint64_t first_key = 0, last_key = 0;  // row << 32 | column, from 1

  void fail(std::string what) {
    failed = true;
    fail_line = lines;
    fail_data = data;
    failure = std::move(what);
  }
};

// Room for as many entries as `bytes` of text could hold, so that memory
// follows the text, never what a size line claims.
template <class T>
bool reserve(Buffer<T> &v, uint64_t n, Result &r, const char *what) {
  try {
    v.allocate(n);
    return true;
  } catch (const std::bad_alloc &) {
    r.lines = 1;
    r.fail("out of memory allocating " + byte_size(static_cast<double>(n) * sizeof(T)) + " for " + what);
    return false;
  }
}

// Up to `most` digits; false unless at least one.  Stops on the '\n' that
// ends every piece.
inline bool digits(const char *&q, uint64_t &v, int most) {
  const char *start = q;
  uint64_t x = 0;
  for (unsigned d; (d = static_cast<unsigned char>(*q) - unsigned{'0'}) < 10; ++q) x = x * 10 + d;
  v = x;
  return q > start && q - start <= most;
}
inline bool blank(char c) { return c == ' ' || c == '\t'; }

void parse_matrix_market(const Layout &L, const char *p, const char *end, Result &r) {
  const bool coordinate = L.kind == Kind::coordinate;
  const int want = coordinate ? (L.pattern ? 2 : 3) : 1;
  // The shortest entries: "1 1 1\n", "1 1\n" and "1\n".
  const auto bytes = static_cast<uint64_t>(end - p);
  if (coordinate ? !reserve(r.triplets, bytes / (L.pattern ? 4 : 6) + 1, r, "the entries")
                 : !reserve(r.positions, bytes / 2 + 1, r, "the counts")) {
    return;
  }
  const auto rows = static_cast<uint64_t>(L.rows), cols = static_cast<uint64_t>(L.cols);
  uint64_t last = 0;  // row << 32 | column of the entry before, from 1
  Words w;
  while (p < end) {
    ++r.lines;
    if (coordinate && !L.pattern) {  // "ROW COL COUNT" in plain digits, checked in one pass
      const char *q = p;
      uint64_t i, j, c;
      if (digits(q, i, 10) && blank(*q)) {
        while (blank(*++q)) {
        }
        if (digits(q, j, 10) && blank(*q)) {
          while (blank(*++q)) {
          }
          if (digits(q, c, 9)) {
            while (blank(*q)) ++q;
            if (is_eol(*q) && i - 1 < rows && j - 1 < cols && static_cast<size_t>(q - p) <= kLineCap) {
              const uint64_t key = i << 32 | j;
              if (!last) r.first_key = key;
              r.sorted &= key > last;
              r.last_key = last = key;
              if (c) r.triplets.push({static_cast<int32_t>(i - 1), static_cast<int32_t>(j - 1), static_cast<uint32_t>(c)});
              ++r.data;
              p = past_eol(q, end);
              continue;
            }
          }
        }
      }
    }
    const char *start = p;
    p = split_words(p, end, w);
    if (static_cast<size_t>(p - start) > kLineCap) return r.fail(kTooLong);
    p = past_eol(p, end);
    if (w.n == 0 || *w.b[0] == '%') continue;
    if (w.n != want) {
      return r.fail(!coordinate    ? "expected one value on the line"
                    : L.pattern ? "entry must be 'ROW COL'"
                                : "entry must be 'ROW COL VALUE'");
    }
    uint32_t c = 1;
    if (coordinate) {
      int64_t i, j;
      if (!parse_integer(w.b[0], w.e[0], i) || i < 1 || i > L.rows) {
        return r.fail("row '" + shown(w.b[0], w.e[0]) + "' is not from 1 to " + std::to_string(L.rows));
      }
      if (!parse_integer(w.b[1], w.e[1], j) || j < 1 || j > L.cols) {
        return r.fail("column '" + shown(w.b[1], w.e[1]) + "' is not from 1 to " + std::to_string(L.cols));
      }
      if (!L.pattern) {
        const Num n = parse_count(w.b[2], w.e[2], c);
        if (n != Num::ok) return r.fail(count_problem(n, w.b[2], w.e[2]));
      }
      const uint64_t key = static_cast<uint64_t>(i) << 32 | static_cast<uint64_t>(j);
      if (!last) r.first_key = key;
      r.sorted &= key > last;
      r.last_key = last = key;
      if (c) r.triplets.push({static_cast<int32_t>(i - 1), static_cast<int32_t>(j - 1), c});
    } else {
      const Num n = parse_count(w.b[0], w.e[0], c);
      if (n != Num::ok) return r.fail(count_problem(n, w.b[0], w.e[0]));
      if (c) r.positions.push(r.data << 32 | c);
    }
    ++r.data;
  }
}

void parse_csv(const Layout &L, const char *p, const char *end, Result &r) {
  // The shortest row is "1\n"; a non-zero count takes two bytes ("1,").
  const auto bytes = static_cast<uint64_t>(end - p);
  if (!reserve(r.row_sizes, bytes / 2 + 1, r, "the row offsets") ||
      !reserve(r.columns, bytes / 2 + 1, r, "the column indices") || !reserve(r.counts, bytes / 2 + 1, r, "the counts")) {
    return;
  }
  const int64_t cols = L.cols;
  std::string problem;
  while (p < end) {
    ++r.lines;
    const char *start = p;
    const size_t row_start = r.counts.size();
    {  // plain digits and commas, the row checked in one pass
      const char *q = p;
      int64_t field = 0;
      uint64_t c;
      while (digits(q, c, 9)) {
        if (c && field < cols) {
          r.columns.push(static_cast<int32_t>(field));
          r.counts.push(static_cast<uint32_t>(c));
        }
        ++field;
        if (*q != ',') break;
        ++q;
      }
      if (is_eol(*q) && field == cols && static_cast<size_t>(q - p) <= kLineCap) {
        r.row_sizes.push(static_cast<uint32_t>(r.counts.size() - row_start));
        ++r.data;
        p = past_eol(q, end);
        continue;
      }
      r.columns.resize(row_start);
      r.counts.resize(row_start);
    }
    p = skip_blanks(p, end);
    if (p == end || is_eol(*p) || *p == '#') {  // blank or a comment
      p = line_end(p, end);
      if (static_cast<size_t>(p - start) > kLineCap) return r.fail(kTooLong);
      p = past_eol(p, end);
      continue;
    }
    // The field count is checked before the fields themselves, so the
    // first bad field is only noted until the line is through.
    int64_t field = 0;
    bool bad = false;
    for (;;) {
      const char *b = skip_blanks(p, end);
      const char *q = b;
      while (q < end && *q != ',' && !is_eol(*q)) ++q;
      if (!bad) {
        const char *e = trim_back(b, q);
        uint32_t c = 0;
        const Num n = b == e ? Num::not_number : parse_count(b, e, c);
        if (n != Num::ok) {
          bad = true;
          problem = b == e ? "field " + std::to_string(field + 1) + " is empty" : count_problem(n, b, e);
        } else if (c && field < cols) {
          r.columns.push(static_cast<int32_t>(field));
          r.counts.push(c);
        }
      }
      ++field;
      p = q;
      if (p == end || *p != ',') break;
      ++p;
    }
    if (static_cast<size_t>(p - start) > kLineCap) return r.fail(kTooLong);
    p = past_eol(p, end);
    if (field != cols) {
      return r.fail("expected " + std::to_string(cols) + " fields like the first row, found " + std::to_string(field));
    }
    if (bad) return r.fail(problem);
    r.row_sizes.push(static_cast<uint32_t>(r.counts.size() - row_start));
    ++r.data;
  }
}

void parse_piece(const Layout &L, const Piece &piece, Result &r) {
  const char *b = piece.text.get() + piece.begin, *e = piece.text.get() + piece.end;
  try {
    if (L.kind == Kind::csv) parse_csv(L, b, e, r);
    else parse_matrix_market(L, b, e, r);
  } catch (const std::exception &) {  // a message that could not be built: nothing may escape a thread
    r.failed = true;
    r.fail_line = r.lines;
    r.fail_data = r.data;
    r.failure = "out of memory";
  }
  for (auto *v : {&r.row_sizes, &r.counts}) v->trim();
  r.columns.trim();
  r.triplets.trim();
  r.positions.trim();
}

// The line (from 1) of the k-th entry or row of a piece.
uint64_t line_of_data(const Layout &L, const Piece &piece, uint64_t k) {
  const char comment = L.kind == Kind::csv ? '#' : '%';
  const char *p = piece.text.get() + piece.begin, *end = piece.text.get() + piece.end;
  uint64_t line = 0;
  while (p < end) {
    ++line;
    const char *t = skip_blanks(p, end);
    if (t < end && !is_eol(*t) && *t != comment && --k == 0) return line;
    p = past_eol(line_end(t, end), end);
  }
  return line;
}

// ---- the lines before the entries, read one at a time ------------------------

class Cursor {
 public:
  Cursor(Pieces &pieces, std::string name) : pieces_(pieces), name_(std::move(name)) {}

  // The next line without its end; false at the end of the input.
  bool next(const char *&b, const char *&e) {
    while (pos_ == piece_.end) {
      if (piece_.stop != Piece::none) fail_at(line_ + 1, stop_message(piece_));
      if (!pieces_.next(piece_)) return false;
      pos_ = piece_.begin;
    }
    const char *t = piece_.text.get();
    if (line_ == 0 && piece_.end - pos_ >= 3 && std::memcmp(t + pos_, "\xef\xbb\xbf", 3) == 0) pos_ += 3;
    start_ = pos_;
    b = t + pos_;
    e = line_end(b, t + piece_.end);
    ++line_;
    if (static_cast<size_t>(e - b) > kLineCap) fail(kTooLong);
    pos_ = static_cast<size_t>(past_eol(e, t + piece_.end) - t);
    return true;
  }
  // Puts the line last read back.
  void unread() {
    pos_ = start_;
    --line_;
  }
  // The rest of the current piece; the cursor is done with it.
  Piece rest() {
    piece_.begin = pos_;
    return std::move(piece_);
  }

  uint64_t line() const { return line_; }
  const std::string &name() const { return name_; }
  [[noreturn]] void fail(const std::string &what) const { fail_at(std::max<uint64_t>(line_, 1), what); }
  [[noreturn]] void fail_at(uint64_t line, const std::string &what) const {
    throw Error(what, name_ + ":" + std::to_string(line));
  }

 private:
  Pieces &pieces_;
  std::string name_;
  Piece piece_;
  size_t pos_ = 0, start_ = 0;
  uint64_t line_ = 0;
};

std::string lower(const char *b, const char *e) {
  std::string s(b, e);
  for (char &c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return s;
}

Layout matrix_market_header(Cursor &in, const char *b, const char *e) {
  std::vector<std::string> head;
  for (Words w; head.size() < 6;) {
    b = split_words(b, e, w);
    if (w.n == 0) break;
    head.push_back(lower(w.b[0], w.e[0]));
    b = w.e[0];
  }
  auto quoted = [](const std::string &s) {
    std::string q(1, '\'');
    q += shown(s.data(), s.data() + s.size());
    return q += '\'';
  };
  if (head.size() != 5 || head[1] != "matrix") in.fail("expected '%%MatrixMarket matrix FORMAT FIELD SYMMETRY'");
  Layout L;
  const bool coordinate = head[2] == "coordinate";
  if (!coordinate && head[2] != "array") in.fail("unknown format " + quoted(head[2]));
  L.kind = coordinate ? Kind::coordinate : Kind::array;
  const std::string &field = head[3];
  if (field != "real" && field != "integer" && field != "double" && !(coordinate && field == "pattern")) {
    in.fail("field " + quoted(field) + " cannot hold counts");
  }
  if (head[4] != "general") in.fail("only 'general' matrices are supported, not " + quoted(head[4]));
  L.pattern = field == "pattern";

  Words w;
  for (;;) {
    if (!in.next(b, e)) in.fail("missing the size line");
    split_words(b, e, w);
    if (w.n > 0 && *w.b[0] != '%') break;
  }
  if (w.n != (coordinate ? 3 : 2)) {
    in.fail(coordinate ? "size line must be 'ROWS COLS ENTRIES'" : "size line must be 'ROWS COLS'");
  }
  if (!parse_integer(w.b[0], w.e[0], L.rows) || L.rows < 1 || L.rows > kMaxDim) {
    in.fail("row count '" + shown(w.b[0], w.e[0]) + "' is not from 1 to 2147483647");
  }
  if (!parse_integer(w.b[1], w.e[1], L.cols) || L.cols < 1 || L.cols > kMaxDim) {
    in.fail("column count '" + shown(w.b[1], w.e[1]) + "' is not from 1 to 2147483647");
  }
  L.entries = static_cast<uint64_t>(L.rows) * static_cast<uint64_t>(L.cols);
  if (coordinate) {
    // Repeats of a cell are summed, so there may be more entries than cells;
    // nothing is reserved for them before they are read.
    int64_t n;
    if (!parse_integer(w.b[2], w.e[2], n) || n >= int64_t{1} << 62) {
      in.fail("entry count '" + shown(w.b[2], w.e[2]) + "' is not a whole number");
    }
    L.entries = static_cast<uint64_t>(n);
  }
  return L;
}

// Looks like a number: past an optional sign, a digit or a point and a digit.
bool numeric(const char *b, const char *e) {
  if (b < e && (*b == '+' || *b == '-')) ++b;
  if (b < e && *b == '.') ++b;
  return b < e && is_digit(*b);
}

Layout csv_header(Cursor &in, CsvHeader header) {
  const char *b, *e;
  for (;;) {
    if (!in.next(b, e)) in.fail("no counts in the file");
    const char *t = skip_blanks(b, e);
    if (t != e && *t != '#') break;
  }
  if (header != CsvHeader::yes && !std::memchr(b, ',', static_cast<size_t>(e - b))) {
    Words w;
    split_words(b, e, w);
    if (w.n > 1) in.fail("no %%MatrixMarket banner, and not comma-separated");
  }
  // The fields of a header row may be quoted, with commas inside.
  int64_t fields = 0;
  bool any_number = false;
  for (const char *p = b;;) {
    const char *f = skip_blanks(p, e);
    bool quoted = false;
    for (p = f; p < e && (quoted || *p != ','); ++p) quoted ^= *p == '"';
    ++fields;
    if ((f == e || *f != '"') && numeric(f, trim_back(f, p))) any_number = true;
    if (p == e) break;
    ++p;
  }
  Layout L;
  if (header == CsvHeader::yes || (header == CsvHeader::automatic && !any_number)) {
    L.cols = fields;
  } else {
    L.cols = static_cast<int64_t>(std::count(b, e, ',')) + 1;
    in.unread();
  }
  return L;
}

// ---- parsing threads -----------------------------------------------------------

struct Slot {
  Piece piece;
  Result result;
  bool done = false;
};

// Pieces parsed by a few threads and handed back in the order they came.
class Pool {
 public:
  Pool(const Layout &layout, int threads) : layout_(layout) {
    try {
      for (int t = 0; t < threads; ++t) workers_.emplace_back([this] { work(); });
    } catch (const std::system_error &) {  // no more threads: those started (or pop()) parse it all
    }
  }
  ~Pool() {
    {
      std::lock_guard<std::mutex> hold(m_);
      stopping_ = true;
    }
    ready_.notify_all();
    for (auto &w : workers_) w.join();
  }
  size_t threads() const { return workers_.size(); }

  void push(Piece piece) {
    auto slot = std::make_unique<Slot>();
    slot->piece = std::move(piece);
    {
      std::lock_guard<std::mutex> hold(m_);
      slots_.push_back(std::move(slot));
    }
    ready_.notify_one();
  }
  size_t waiting() {
    std::lock_guard<std::mutex> hold(m_);
    return slots_.size();
  }
  bool front_done() {
    std::lock_guard<std::mutex> hold(m_);
    return !slots_.empty() && slots_.front()->done;
  }
  // The oldest piece, once parsed (here, when no thread could start).
  std::unique_ptr<Slot> pop() {
    std::unique_lock<std::mutex> hold(m_);
    if (workers_.empty()) {
      Slot *slot = slots_[next_++].get();
      parse_piece(layout_, slot->piece, slot->result);
      slot->done = true;
    }
    done_.wait(hold, [&] { return slots_.front()->done; });
    auto slot = std::move(slots_.front());
    slots_.pop_front();
    --next_;
    return slot;
  }

 private:
  void work() {
    std::unique_lock<std::mutex> hold(m_);
    for (;;) {
      ready_.wait(hold, [&] { return stopping_ || next_ < slots_.size(); });
      if (stopping_) return;
      Slot *slot = slots_[next_++].get();
      hold.unlock();
      parse_piece(layout_, slot->piece, slot->result);
      hold.lock();
      slot->done = true;
      done_.notify_all();
    }
  }

  const Layout &layout_;
  std::vector<std::thread> workers_;
  std::mutex m_;
  std::condition_variable ready_, done_;
  std::deque<std::unique_ptr<Slot>> slots_;
  size_t next_ = 0;  // the first slot no thread has taken
  bool stopping_ = false;
};

// Runs f(t) for t in [0, n) on n threads (the calling thread is one).
template <class F>
void in_parallel(int n, F f) {
  std::vector<std::thread> others;
  try {
    for (int t = 1; t < n; ++t) others.emplace_back(f, t);
  } catch (const std::system_error &) {
    for (int t = static_cast<int>(others.size()) + 1; t < n; ++t) f(t);
  }
  f(0);
  for (auto &o : others) o.join();
}

// ---- from entries to CSR -------------------------------------------------------

// Calls `allocate`, turning a failure into an Error that names the place.
template <class F>
auto allocating(const std::string &where, F allocate) -> decltype(allocate()) {
  try {
    return allocate();
  } catch (const Error &e) {
    if (!e.where.empty()) throw;
    throw Error(e.what(), where);
  }
}

// Has the kernel fault in the pages of the next n elements an Array has
// room for, in one go: on some machines half the time of touching them one
// by one.
template <class T>
void prefault(Array<T> &a, size_t n) {
#ifdef MADV_POPULATE_WRITE
  n = std::min(n, a.capacity() - a.size());
  if (n * sizeof(T) < (size_t{64} << 10)) return;
  const auto from = reinterpret_cast<uintptr_t>(a.data() + a.size()) & ~uintptr_t{4095};
  ::madvise(reinterpret_cast<void *>(from), reinterpret_cast<uintptr_t>(a.data() + a.size() + n) - from,
            MADV_POPULATE_WRITE);
#else
  (void)a;
  (void)n;
#endif
}

// An empty Array with room for n elements, filled with push_back and insert
// so that each byte is written once; its pages are faulted in up front
// unless the room is only a bound.
template <class T>
Array<T> empty_array(size_t n, const char *what, const std::string &where, bool bound = false) {
  Array<T> a;
  try {
    a.reserve(n);
  } catch (const std::exception &) {  // bad_alloc or length_error
    throw Error("out of memory allocating " + byte_size(static_cast<double>(n) * sizeof(T)) + " for " + what, where);
  }
  if (!bound) prefault(a, n);
  return a;
}

template <class T>
Array<T> zeroed_array(size_t n, const char *what, const std::string &where) {
  Array<T> a = empty_array<T>(n, what, where);
  a.resize(n);
  return a;
}

// Entries in any order, repeats summed.  The counts of each row are in
// x.offsets[row + 1] on entry.  Each row is sorted on its own, in parallel
// by ranges of rows, through one array of (column, count) keys.
void csr_from_triplets(Csr &x, std::vector<Buffer<Triplet>> &pieces, int threads, const std::string &where) {
  const size_t rows = static_cast<size_t>(x.rows);
  for (size_t i = 0; i < rows; ++i) x.offsets[i + 1] += x.offsets[i];
  const auto n = static_cast<size_t>(x.offsets[rows]);
  Buffer<uint64_t> keys;
  try {
    keys.allocate(n);
  } catch (const std::bad_alloc &) {
    throw Error("out of memory allocating " + byte_size(static_cast<double>(n) * 8) + " for the entries", where);
  }
  auto at = allocating(where, [&] { return allocate_vector<int64_t>(static_cast<double>(rows) + 1, "the rows"); });
  std::copy(x.offsets.begin(), x.offsets.end(), at.begin());
  for (auto &piece : pieces) {
    for (const Triplet &t : piece) keys[static_cast<size_t>(at[static_cast<size_t>(t.row)]++)] = uint64_t(uint32_t(t.col)) << 32 | t.value;
    piece.release();
  }
  // Ranges of about equal entries; each keeps its rows' sorted, summed
  // entries at the front of the rows' spans and notes how many in `at`.
  std::vector<size_t> from(static_cast<size_t>(threads) + 1, rows);
  for (int t = 1; t < threads; ++t) {
    const auto goal = static_cast<int64_t>(n / static_cast<size_t>(threads) * static_cast<size_t>(t));
    from[static_cast<size_t>(t)] = static_cast<size_t>(std::lower_bound(x.offsets.begin(), x.offsets.end() - 1, goal) - x.offsets.begin());
  }
  from[0] = 0;
  std::vector<int64_t> overflow(static_cast<size_t>(threads), -1);  // row << 32 | column
  in_parallel(threads, [&](int t) {
    for (size_t i = from[static_cast<size_t>(t)]; i < from[static_cast<size_t>(t) + 1]; ++i) {
      uint64_t *b = keys.get() + x.offsets[i], *e = keys.get() + x.offsets[i + 1];
      bool sorted = true;
      for (const uint64_t *k = b; k + 1 < e && sorted; ++k) sorted = (k[0] >> 32) < (k[1] >> 32);
      int64_t kept = e - b;
      if (!sorted) {
        std::sort(b, e);
        uint64_t *out = b;
        for (const uint64_t *k = b; k < e;) {
          const uint64_t col = *k >> 32;
          uint64_t sum = 0;
          for (; k < e && (*k >> 32) == col; ++k) sum += *k & 0xffffffffu;
          if (sum > kMaxCount) {
            overflow[static_cast<size_t>(t)] = static_cast<int64_t>(i << 32 | col);
            return;
          }
          *out++ = col << 32 | sum;
        }
        kept = out - b;
      }
      at[i] = kept;
    }
  });
  for (const int64_t o : overflow) {
    if (o >= 0) {
      throw Error("repeated entries of cell (" + std::to_string((o >> 32) + 1) + ", " +
                  std::to_string((o & 0xffffffff) + 1) + ") add up to more than 2147483647", where);
    }
  }
  // at[i] becomes where row i starts in the result.
  int64_t total = 0;
  for (size_t i = 0; i < rows; ++i) {
    const int64_t kept = at[i];
    at[i] = total;
    total += kept;
  }
  at[rows] = total;
  x.indices = empty_array<int32_t>(static_cast<size_t>(total), "the column indices", where);
  x.values = empty_array<double>(static_cast<size_t>(total), "the counts", where);
  for (size_t i = 0; i < rows; ++i) {
    const uint64_t *k = keys.get() + x.offsets[i];
    for (int64_t m = at[i]; m < at[i + 1]; ++m, ++k) {
      x.indices.push_back(static_cast<int32_t>(*k >> 32));
      x.values.push_back(static_cast<double>(*k & 0xffffffffu));
    }
  }
  keys.release();
  std::copy(at.begin(), at.end(), x.offsets.begin());
}

// Entries already in row-major order without repeats, as most files hold
// them: the pieces one after the other.
void csr_from_sorted(Csr &x, std::vector<Buffer<Triplet>> &pieces, const std::string &where) {
  const size_t rows = static_cast<size_t>(x.rows);
  for (size_t i = 0; i < rows; ++i) x.offsets[i + 1] += x.offsets[i];
  const auto n = static_cast<size_t>(x.offsets[rows]);
  x.indices = empty_array<int32_t>(n, "the column indices", where);
  x.values = empty_array<double>(n, "the counts", where);
  for (auto &piece : pieces) {
    for (const Triplet &e : piece) {
      x.indices.push_back(e.col);
      x.values.push_back(e.value);
    }
    piece.release();
  }
}

void csr_from_rows(Csr &x, std::vector<Result> &pieces, const std::string &where) {
  size_t rows = 0, nnz = 0;
  for (const Result &r : pieces) {
    rows += r.row_sizes.size();
    nnz += r.counts.size();
  }
  x.offsets = empty_array<int64_t>(rows + 1, "the row offsets", where);
  x.indices = empty_array<int32_t>(nnz, "the column indices", where);
  x.values = empty_array<double>(nnz, "the counts", where);
  int64_t at = 0;
  x.offsets.push_back(0);
  for (Result &r : pieces) {
    for (const uint32_t n : r.row_sizes) x.offsets.push_back(at += n);
    x.indices.insert(x.indices.end(), r.columns.begin(), r.columns.end());
    x.values.insert(x.values.end(), r.counts.begin(), r.counts.end());
    r = Result();
  }
  x.rows = static_cast<int32_t>(rows);
}

// ---- the whole file --------------------------------------------------------------

class Reader {
 public:
  Reader(const Layout &L, const std::string &name, int threads, uint64_t most_bytes)
      : L_(L), name_(name), threads_(threads), most_bytes_(most_bytes) {}

  Csr read(Cursor &in, Pieces &pieces) {
    lines_ = in.line();
    Csr x;
    x.cols = static_cast<int32_t>(L_.cols);
    if (L_.kind != Kind::csv) {
      x.rows = static_cast<int32_t>(L_.rows);
      x.offsets = zeroed_array<int64_t>(static_cast<size_t>(L_.rows) + 1, "the row offsets", where(lines_));
    }
    // Entries in order, as most files hold them, go straight into the CSR
    // while the threads parse on; a file's size bounds what the size line
    // may make us reserve.
    if (L_.kind == Kind::coordinate && most_bytes_ > 0) {
      const uint64_t room = std::min<uint64_t>(L_.entries, most_bytes_ / (L_.pattern ? 4 : 6) + 1);
      x.indices = empty_array<int32_t>(room, "the column indices", where(lines_), true);
      x.values = empty_array<double>(room, "the counts", where(lines_), true);
      direct_ = true;
    }
    {
      Pool pool(L_, threads_);
      // Enough pieces in flight to keep every thread busy; the text held
      // stays a few pieces whatever the file's size.
      const size_t window = 2 * pool.threads() + 2;
      pool.push(in.rest());
      for (Piece piece; pieces.next(piece);) {
        pool.push(std::move(piece));
        while (pool.waiting() >= window || pool.front_done()) take(pool.pop(), x, pieces);
      }
      while (pool.waiting() > 0) take(pool.pop(), x, pieces);
    }
    const std::string at_end = where(std::max<uint64_t>(lines_, 1));
    if (L_.kind == Kind::csv) {
      if (data_ == 0) throw Error("no counts in the file", at_end);
      csr_from_rows(x, rows_, at_end);
      return x;
    }
    if (data_ < L_.entries) {
      throw Error("expected " + std::to_string(L_.entries) + (L_.kind == Kind::array ? " values" : " entries") +
                  ", found " + std::to_string(data_), at_end);
    }
    if (direct_ && sorted_) {
      for (size_t i = 0; i < static_cast<size_t>(L_.rows); ++i) x.offsets[i + 1] += x.offsets[i];
    } else if (sorted_) {
      csr_from_sorted(x, triplets_, at_end);
    } else {
      csr_from_triplets(x, triplets_, threads_, at_end);
    }
    return x;
  }

 private:
  std::string where(uint64_t line) const { return name_ + ":" + std::to_string(line); }

  // The results of one piece, in file order: the first error of the file is
  // the first one met here.
  void take(std::unique_ptr<Slot> slot, Csr &x, Pieces &pieces) {
    Result &r = slot->result;
    const bool mm = L_.kind != Kind::csv;
    const uint64_t most = mm ? L_.entries : static_cast<uint64_t>(kMaxDim);
    auto too_many = [&] {
      const uint64_t line = lines_ + line_of_data(L_, slot->piece, most - data_ + 1);
      throw Error(mm ? "more entries than the size line announced" : "more than 2147483647 rows", where(line));
    };
    if (r.failed) {
      if (data_ + r.fail_data > most) too_many();
      throw Error(r.failure, where(lines_ + r.fail_line));
    }
    if (data_ + r.data > most) too_many();
    pieces.recycle(std::move(slot->piece.text));
    if (L_.kind == Kind::coordinate) {
      if (r.data > 0) {
        if (direct_ && sorted_ && !(r.sorted && r.first_key > last_key_)) undo_direct(x);
        sorted_ = sorted_ && r.sorted && r.first_key > last_key_;
        last_key_ = r.last_key;
      }
      for (const Triplet &t : r.triplets) ++x.offsets[static_cast<size_t>(t.row) + 1];
      if (direct_ && sorted_) {
        prefault(x.indices, r.triplets.size());
        prefault(x.values, r.triplets.size());
        for (const Triplet &t : r.triplets) {
          x.indices.push_back(t.col);
          x.values.push_back(t.value);
        }
        r.triplets.release();
      } else {
        triplets_.push_back(std::move(r.triplets));
      }
    } else if (L_.kind == Kind::array) {
      // Values go down the columns; their place follows from the count before.
      sorted_ = false;
      Buffer<Triplet> t;
      if (!reserve(t, r.positions.size(), r, "the counts")) throw Error(r.failure, where(lines_ + 1));
      const auto rows = static_cast<uint64_t>(L_.rows);
      for (const uint64_t p : r.positions) {
        const uint64_t cell = data_ + (p >> 32);
        t.push({static_cast<int32_t>(cell % rows), static_cast<int32_t>(cell / rows), static_cast<uint32_t>(p)});
        ++x.offsets[cell % rows + 1];
      }
      r.positions.release();
      triplets_.push_back(std::move(t));
    }
    data_ += r.data;
    lines_ += r.lines;
    if (L_.kind == Kind::csv) rows_.push_back(std::move(r));
    if (slot->piece.stop != Piece::none) throw Error(stop_message(slot->piece), where(lines_ + 1));
  }

  // The entries so far back to triplets, the order being lost: their rows
  // follow from the counts per row so far.
  void undo_direct(Csr &x) {
    Buffer<Triplet> t;
    try {
      t.allocate(x.indices.size());
    } catch (const std::bad_alloc &) {
      throw Error("out of memory allocating " + byte_size(static_cast<double>(x.indices.size()) * sizeof(Triplet)) +
                  " for the entries", where(lines_));
    }
    size_t k = 0;
    for (size_t i = 0; i < static_cast<size_t>(L_.rows); ++i) {
      for (int64_t n = 0; n < x.offsets[i + 1]; ++n, ++k) {
        t.push({static_cast<int32_t>(i), x.indices[k], static_cast<uint32_t>(x.values[k])});
      }
    }
    Array<int32_t>().swap(x.indices);
    Array<double>().swap(x.values);
    triplets_.push_back(std::move(t));
    direct_ = false;
  }

  const Layout &L_;
  const std::string &name_;
  int threads_;
  uint64_t most_bytes_;
  bool direct_ = false;
  uint64_t lines_ = 0, data_ = 0;
  bool sorted_ = true;
  uint64_t last_key_ = 0;
  std::vector<Buffer<Triplet>> triplets_;
  std::vector<Result> rows_;
};

}  // namespace

bool gzip_supported() {
#ifdef SK_NMF_HAVE_ZLIB
  return true;
#else
  return false;
#endif
}

Csr read_counts(const std::string &path, const ReadOptions &options) {
  const std::string name = path == "-" ? "<stdin>" : path;
  const int threads = std::clamp(options.threads, 1, 256);
  const size_t chunk = options.chunk_bytes ? options.chunk_bytes : kDefaultChunk;
  auto source = open_source(path, name);
  Pieces pieces(*source, chunk);
  Cursor in(pieces, name);
  const char *b, *e;
  if (!in.next(b, e)) throw Error("the file is empty", name + ":1");
  Layout L;
  if (e - b >= 14 && lower(b, b + 14) == "%%matrixmarket") {
    L = matrix_market_header(in, b, e);
  } else {
    in.unread();
    L = csv_header(in, options.header);
  }
  if (L.kind != Kind::csv && options.check_shape) {
    try {
      options.check_shape(L.rows, L.cols);
    } catch (const Error &refusal) {
      if (!refusal.where.empty()) throw;
      throw Error(refusal.what(), name + ":" + std::to_string(in.line()));
    }
  }
  Reader reader(L, name, threads, source->most_bytes);
  return reader.read(in, pieces);
}

void write_csv(const std::string &path, const std::vector<double> &m, int32_t rows, int32_t cols,
               const std::string &name) {
  const std::string &shown = name.empty() ? path : name;
  FILE *f = std::fopen(path.c_str(), "w");
  if (!f) throw Error("cannot write " + shown + ": " + std::strerror(errno));
  char text[32];
  for (size_t i = 0; i < static_cast<size_t>(rows); ++i) {
    for (size_t j = 0; j < static_cast<size_t>(cols); ++j) {
      const int n = std::snprintf(text, sizeof text, "%s%.17g", j ? "," : "", m[i * static_cast<size_t>(cols) + j]);
      std::fwrite(text, 1, static_cast<size_t>(n), f);
    }
    std::fputc('\n', f);
  }
  const bool ok = std::fflush(f) == 0 && !std::ferror(f) && ::fsync(::fileno(f)) == 0;
  const int error = errno;
  if (std::fclose(f) != 0 || !ok) throw Error("cannot write " + shown + ": " + std::strerror(ok ? errno : error));
}

}  // namespace sk_nmf
