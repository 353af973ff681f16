// The sampler's count reader on any bytes.  The first byte picks two ways
// of reading (threads, piece size, CSV header rule); the rest is the file.
// Both ways, and the same text gzip-compressed, must end the same: the same
// CSR, or the same error on the same line.  Every allocation of the reader
// (heap, anonymous and shared pages) is counted, and no input of n bytes may
// take more than a small multiple of n plus the row offsets its size line
// announces; a single request above 64 MiB fails, as it would on a small
// machine, and must come back as an error.
#include <sys/mman.h>
#include <unistd.h>

#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#ifdef SK_NMF_HAVE_ZLIB
#include <zlib.h>
#endif

#include "errors.h"
#include "formats.h"

namespace {

constexpr size_t kLargest = size_t{64} << 20;

std::atomic<int64_t> live{0}, peak{0};

void count(int64_t bytes) {
  const int64_t now = live.fetch_add(bytes, std::memory_order_relaxed) + bytes;
  int64_t p = peak.load(std::memory_order_relaxed);
  while (now > p && !peak.compare_exchange_weak(p, now, std::memory_order_relaxed)) {
  }
}

}  // namespace

extern "C" void *__real_malloc(size_t);
extern "C" void __real_free(void *);
extern "C" void *__real_mmap(void *, size_t, int, int, int, off_t);
extern "C" int __real_munmap(void *, size_t);

extern "C" void *__wrap_malloc(size_t size) {
  if (size > kLargest) return nullptr;
  void *p = __real_malloc(size);
  if (p) count(static_cast<int64_t>(malloc_usable_size(p)));
  return p;
}
extern "C" void __wrap_free(void *p) {
  if (p) count(-static_cast<int64_t>(malloc_usable_size(p)));
  __real_free(p);
}
extern "C" void *__wrap_mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
  if (len > kLargest) {
    errno = ENOMEM;
    return MAP_FAILED;
  }
  void *p = __real_mmap(addr, len, prot, flags, fd, off);
  if (p != MAP_FAILED) count(static_cast<int64_t>(len));
  return p;
}
extern "C" int __wrap_munmap(void *addr, size_t len) {
  const int r = __real_munmap(addr, len);
  if (r == 0) count(-static_cast<int64_t>(len));
  return r;
}

// The reader's std::vector and std::string memory, through the counted malloc.
void *operator new(size_t n) {
  if (void *p = __wrap_malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void *operator new[](size_t n) { return operator new(n); }
void *operator new(size_t n, const std::nothrow_t &) noexcept { return __wrap_malloc(n ? n : 1); }
void *operator new[](size_t n, const std::nothrow_t &) noexcept { return __wrap_malloc(n ? n : 1); }
void operator delete(void *p) noexcept { __wrap_free(p); }
void operator delete[](void *p) noexcept { __wrap_free(p); }
void operator delete(void *p, size_t) noexcept { __wrap_free(p); }
void operator delete[](void *p, size_t) noexcept { __wrap_free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { __wrap_free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { __wrap_free(p); }

namespace {

// A file the reader opens by name, rewritten for each input.
struct File {
  int fd = -1;
  std::string path;
  explicit File(const char *name) {
    fd = memfd_create(name, MFD_CLOEXEC);
    path = "/proc/self/fd/" + std::to_string(fd);
  }
  void put(const uint8_t *data, size_t n) {
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, n, 0) != static_cast<ssize_t>(n)) std::abort();
  }
};

struct Outcome {
  std::string error;  // "line: message"
  sk_nmf::Csr x;
};

Outcome read(const std::string &path, const sk_nmf::ReadOptions &o) {
  Outcome out;
  try {
    out.x = sk_nmf::read_counts(path, o);
  } catch (const sk_nmf::Error &e) {
    out.error = e.where.substr(e.where.rfind(':') + 1) + ": " + e.what();
  }
  return out;
}

bool same(const Outcome &a, const Outcome &b) {
  if (a.error != b.error) return false;
  return a.x.rows == b.x.rows && a.x.cols == b.x.cols && a.x.offsets == b.x.offsets && a.x.indices == b.x.indices &&
         a.x.values == b.x.values;
}

[[noreturn]] void fail(const char *what, const Outcome &a, const Outcome &b) {
  std::fprintf(stderr, "reader_fuzz: %s\n  first: %s (%d x %d, %lld non-zeros)\n  then:  %s (%d x %d, %lld non-zeros)\n",
               what, a.error.c_str(), a.x.rows, a.x.cols, static_cast<long long>(a.x.nnz()), b.error.c_str(), b.x.rows,
               b.x.cols, static_cast<long long>(b.x.nnz()));
  std::abort();
}

// A way of reading; the header rule is the input's, the same every way.
sk_nmf::ReadOptions options(unsigned bits, unsigned header) {
  static const size_t chunks[] = {2, 16, 64, 300, 1024, 4096};
  sk_nmf::ReadOptions o;
  o.threads = 1 + static_cast<int>(bits % 3);
  o.chunk_bytes = chunks[(bits / 3) % 6];
  o.header = static_cast<sk_nmf::CsvHeader>(header % 3);
  return o;
}

// The rows a Matrix Market size line announces, roughly: the first number
// of the first line after the banner that is not a comment.
double announced_rows(const uint8_t *d, size_t n) {
  const std::string text(reinterpret_cast<const char *>(d), n);
  size_t at = text.find_first_of("\r\n");
  while (at != std::string::npos && at < n) {
    at = text.find_first_not_of(" \t\v\f\r\n", at);
    if (at == std::string::npos) return 0;
    if (text[at] != '%') break;
    at = text.find_first_of("\r\n", at);
  }
  if (at == std::string::npos) return 0;
  if (text[at] == '+') ++at;
  double rows = 0;
  for (; at < n && text[at] >= '0' && text[at] <= '9'; ++at) rows = std::min(rows * 10 + (text[at] - '0'), 4e9);
  return rows;
}

#ifdef SK_NMF_HAVE_ZLIB
std::vector<uint8_t> gzip(const uint8_t *d, size_t n) {
  z_stream z{};
  if (deflateInit2(&z, 1, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
  std::vector<uint8_t> out(deflateBound(&z, n) + 64);
  z.next_in = const_cast<Bytef *>(d);
  z.avail_in = static_cast<uInt>(n);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) std::abort();
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  static File plain("reader_plain"), packed("reader_gzip");
  const unsigned bits = data[0];
  const uint8_t *text = data + 1;
  const size_t n = size - 1;
  plain.put(text, n);

  const int64_t before = live.load();
  peak.store(before);
  const Outcome first = read(plain.path, options(bits, bits / 18));
  // Each piece of text, its entries and the CSR a few times over, and the
  // offsets (with their sorting copy) of the rows a size line announces.
  const double allowed = 64.0 * static_cast<double>(n) + 24.0 * (announced_rows(text, n) + 1) + (4 << 20);
  if (static_cast<double>(peak.load() - before) > allowed) {
    std::fprintf(stderr, "reader_fuzz: %zu bytes of input took %lld bytes (allowed %.0f)\n", n,
                 static_cast<long long>(peak.load() - before), allowed);
    std::abort();
  }
  const Outcome second = read(plain.path, options(bits * 7 + 5, bits / 18));
  if (!same(first, second)) fail("two ways of reading differ", first, second);

#ifdef SK_NMF_HAVE_ZLIB
  // Compressed once more, a file that is itself compressed reads differently.
  const bool magic = n >= 2 && ((text[0] == 0x1f && text[1] == 0x8b) || text[0] == 'B' || text[0] == 0xfd ||
                                text[0] == 0x28 || text[0] == 'P');
  if (!magic) {
    const std::vector<uint8_t> z = gzip(text, n);
    packed.put(z.data(), z.size());
    const Outcome third = read(packed.path, options(bits / 2, bits / 18));
    if (!same(first, third)) fail("the gzip file reads differently", first, third);
  }
#endif
  return 0;
}
