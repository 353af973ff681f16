// The count reader: random matrices written in every format come back as
// the same CSR on any number of threads and any chunking; a spoiled line
// gives the same first error everywhere; hostile input ends with an error
// in bounded memory.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#ifdef SK_NMF_HAVE_ZLIB
#include <zlib.h>
#endif

#include "errors.h"
#include "formats.h"

namespace {

using sk_nmf::Csr;
using sk_nmf::CsvHeader;
using sk_nmf::ReadOptions;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAsan = true;  // reserves terabytes: no address-space limit
#else
constexpr bool kAsan = false;
#endif

// Removed at exit (forked children leave with _exit, so only once).
struct TempDir {
  std::string path;
  TempDir() {
    char t[] = "/tmp/sk_formats_XXXXXX";
    path = mkdtemp(t);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
};

std::string temp_dir() {
  static TempDir dir;
  return dir.path;
}

std::string write_file(const std::string &name, const std::string &text, bool gzip = false) {
  const std::string path = temp_dir() + "/" + name;
  if (gzip) {
#ifdef SK_NMF_HAVE_ZLIB
    gzFile f = gzopen(path.c_str(), "wb");
    // In two members, so that the reader must go on past the first.
    const size_t half = text.size() / 2;
    gzwrite(f, text.data(), static_cast<unsigned>(half));
    gzclose(f);
    f = gzopen(path.c_str(), "ab");
    gzwrite(f, text.data() + half, static_cast<unsigned>(text.size() - half));
    gzclose(f);
#endif
  } else {
    std::ofstream(path, std::ios::binary) << text;
  }
  return path;
}

// What a read ends with: the CSR's arrays, or "where: what".
struct Outcome {
  std::string error;
  int32_t rows = 0, cols = 0;
  std::vector<int64_t> offsets;
  std::vector<int32_t> indices;
  std::vector<double> values;
  bool operator==(const Outcome &o) const {
    return error == o.error && rows == o.rows && cols == o.cols && offsets == o.offsets && indices == o.indices &&
           values == o.values;
  }
};
std::ostream &operator<<(std::ostream &os, const Outcome &o) {
  if (!o.error.empty()) return os << o.error;
  return os << o.rows << " x " << o.cols << ", " << o.indices.size() << " non-zeros";
}

Outcome read(const std::string &path, ReadOptions options = {}) {
  Outcome o;
  try {
    const Csr x = sk_nmf::read_counts(path, options);
    o.rows = x.rows;
    o.cols = x.cols;
    o.offsets.assign(x.offsets.begin(), x.offsets.end());
    o.indices.assign(x.indices.begin(), x.indices.end());
    o.values.assign(x.values.begin(), x.values.end());
  } catch (const sk_nmf::Error &e) {
    const std::string at = e.where.substr(e.where.rfind('/') + 1);  // the file's name, not its directory
    o.error = at + ": " + e.what();
  }
  return o;
}

// The read in a child process with at most `limit` bytes of address space
// more than the process holds already: "nnz N" or the error.
std::string read_limited(const std::string &path, size_t limit) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    if (!kAsan) {
      size_t pages = 0;
      if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%zu", &pages) != 1) pages = 0;
        std::fclose(f);
      }
      const rlim_t most = pages * static_cast<size_t>(sysconf(_SC_PAGESIZE)) + limit;
      rlimit r{most, most};
      setrlimit(RLIMIT_AS, &r);
    }
    std::string out;
    try {
      out = "nnz " + std::to_string(sk_nmf::read_counts(path).nnz());
    } catch (const sk_nmf::Error &e) {
      out = e.where.substr(e.where.rfind('/') + 1) + ": " + e.what();
    } catch (const std::bad_alloc &) {
      out = "out of memory";
    }
    if (write(fds[1], out.data(), out.size()) < 0) _exit(2);
    _exit(0);
  }
  close(fds[1]);
  std::string got;
  char buf[4096];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) got += " (child died)";
  return got;
}

// ---- random matrices in every format ------------------------------------------------

struct Dense {
  int32_t rows, cols;
  std::vector<uint32_t> v;  // row-major
  uint32_t at(int32_t i, int32_t j) const { return v[static_cast<size_t>(i) * cols + j]; }
};

Dense random_matrix(std::mt19937 &rng) {
  Dense d{static_cast<int32_t>(1 + rng() % 30), static_cast<int32_t>(1 + rng() % 30), {}};
  const double density = std::uniform_real_distribution<>(0, 1)(rng);
  for (int32_t n = 0; n < d.rows * d.cols; ++n) {
    uint32_t c = 0;
    if (std::uniform_real_distribution<>(0, 1)(rng) < density) c = rng() % 8 == 0 ? 2147483647 - rng() % 1000 : 1 + rng() % 20;
    d.v.push_back(c);
  }
  return d;
}

Outcome expected(const Dense &d) {
  Outcome o;
  o.rows = d.rows;
  o.cols = d.cols;
  o.offsets.push_back(0);
  for (int32_t i = 0; i < d.rows; ++i) {
    for (int32_t j = 0; j < d.cols; ++j) {
      if (d.at(i, j)) {
        o.indices.push_back(j);
        o.values.push_back(d.at(i, j));
      }
    }
    o.offsets.push_back(static_cast<int64_t>(o.indices.size()));
  }
  return o;
}

// A count in one of the decimal spellings that mean it.
std::string spelled(uint32_t c, std::mt19937 &rng) {
  const std::string s = std::to_string(c);
  switch (rng() % 6) {
    case 0: return "+" + s;
    case 1: return s + ".0";
    case 2: return s + ".000e+00";
    case 3: return s + "0e-1";
    case 4: return "00" + s;
    default: return s;
  }
}

enum class Format { coordinate, array, csv };

// The file as lines (without their ends), and the line (from 1) of each
// entry or row, for spoiling one.
struct Text {
  std::vector<std::string> lines;
  std::vector<size_t> data_lines;
  std::string eol;
  std::string joined() const {
    std::string s;
    for (const auto &l : lines) s += l + eol;
    return s;
  }
  void add(std::string line, bool data) {
    lines.push_back(std::move(line));
    if (data) data_lines.push_back(lines.size());
  }
};

Text write_matrix(const Dense &d, Format f, std::mt19937 &rng, CsvHeader &header) {
  Text t;
  const char *ends[] = {"\n", "\r\n", "\r"};
  t.eol = ends[rng() % 3];
  auto maybe_comment = [&](const char *mark) {
    if (rng() % 5 == 0) t.add(rng() % 2 ? std::string(mark) + " note, 1 2 3" : "  ", false);
  };
  if (f == Format::coordinate) {
    // Counts split into repeats, zeros among them, in any order or sorted.
    struct E {
      int32_t i, j;
      uint32_t c;
    };
    std::vector<E> es;
    for (int32_t i = 0; i < d.rows; ++i) {
      for (int32_t j = 0; j < d.cols; ++j) {
        uint32_t c = d.at(i, j);
        while (c > 0 && rng() % 3 == 0) {
          const uint32_t part = 1 + rng() % c;
          es.push_back({i, j, part});
          c -= part;
        }
        if (c > 0 || rng() % 10 == 0) es.push_back({i, j, c});
      }
    }
    const bool sorted = rng() % 2;
    if (!sorted) std::shuffle(es.begin(), es.end(), rng);
    t.add("%%MatrixMarket matrix coordinate " + std::string(rng() % 2 ? "integer" : "real") + " general", false);
    maybe_comment("%");
    t.add(std::to_string(d.rows) + " " + std::to_string(d.cols) + " " + std::to_string(es.size()), false);
    for (const E &e : es) {
      maybe_comment("%");
      t.add(std::to_string(e.i + 1) + (rng() % 4 ? " " : " \t ") + std::to_string(e.j + 1) + " " + spelled(e.c, rng), true);
    }
  } else if (f == Format::array) {
    t.add("%%MatrixMarket matrix array real general", false);
    t.add(std::to_string(d.rows) + " " + std::to_string(d.cols), false);
    for (int32_t j = 0; j < d.cols; ++j) {
      for (int32_t i = 0; i < d.rows; ++i) {
        maybe_comment("%");
        t.add(spelled(d.at(i, j), rng), true);
      }
    }
  } else {
    header = static_cast<CsvHeader>(rng() % 3);
    maybe_comment("#");
    if (header != CsvHeader::no && (header == CsvHeader::yes || rng() % 2)) {
      std::string names;  // numbers make a header only when asked for one
      for (int32_t j = 0; j < d.cols; ++j) names += (j ? "," : "") + (header == CsvHeader::yes ? std::to_string(j) : "\"w" + std::to_string(j) + "\"");
      t.add(names, false);
    }
    for (int32_t i = 0; i < d.rows; ++i) {
      maybe_comment("#");
      std::string row;
      for (int32_t j = 0; j < d.cols; ++j) row += (j ? (rng() % 4 ? "," : " , ") : "") + spelled(d.at(i, j), rng);
      t.add(row, true);
    }
  }
  return t;
}

// Every way of reading: threads and pieces of a few bytes to the default.
std::vector<ReadOptions> every_reading(CsvHeader header) {
  std::vector<ReadOptions> all;
  for (int threads : {1, 2, 3}) {
    for (size_t chunk : {size_t{1}, size_t{5}, size_t{64}, size_t{1000}, size_t{0}}) {
      ReadOptions o;
      o.threads = threads;
      o.chunk_bytes = chunk;
      o.header = header;
      all.push_back(o);
    }
  }
  return all;
}

struct Case {
  Format format;
  bool gzip;
};

void PrintTo(const Case &c, std::ostream *os) { *os << static_cast<int>(c.format) << (c.gzip ? " gzip" : " plain"); }

class RandomFiles : public testing::TestWithParam<Case> {};

TEST_P(RandomFiles, SameCsrAndSameFirstErrorEveryWay) {
  const Case c = GetParam();
  if (c.gzip && !sk_nmf::gzip_supported()) GTEST_SKIP() << "no gzip support in this build";
  std::mt19937 rng(1234 + static_cast<unsigned>(c.format) * 2 + c.gzip);
  for (int file = 0; file < 12; ++file) {
    const Dense d = random_matrix(rng);
    CsvHeader header = CsvHeader::automatic;
    Text text = write_matrix(d, c.format, rng, header);
    const std::string path = write_file("random", text.joined(), c.gzip);
    const Outcome want = expected(d);
    for (const ReadOptions &o : every_reading(header)) {
      ASSERT_EQ(read(path, o), want) << "file " << file << ", threads " << o.threads << ", chunk " << o.chunk_bytes;
    }
    // One entry spoiled: the error names its line, whatever the reading.
    // (Not a CSV file's first row, which decides whether it is a header.)
    const size_t skip = c.format == Format::csv;
    if (text.data_lines.size() <= skip) continue;
    const size_t k = text.data_lines[skip + rng() % (text.data_lines.size() - skip)];
    const std::string spoils[] = {"7 x", "\x01\x02", "0x10", "1e-400", std::string("1 \0 2", 5)};
    const int s = static_cast<int>(rng() % 5);
    text.lines[k - 1] = spoils[s];
    const std::string bad = write_file("spoiled", text.joined(), c.gzip);
    const Outcome first = read(bad);
    ASSERT_FALSE(first.error.empty());
    EXPECT_EQ(first.error.substr(0, first.error.find(':', 8)), "spoiled:" + std::to_string(k)) << first.error;
    if (s == 4) {
      EXPECT_NE(first.error.find("binary data"), std::string::npos) << first.error;
    }
    for (const ReadOptions &o : every_reading(header)) {
      ASSERT_EQ(read(bad, o), first) << "file " << file << ", threads " << o.threads << ", chunk " << o.chunk_bytes;
    }
  }
}

std::string case_name(const testing::TestParamInfo<Case> &p) {
  const char *names[] = {"Coordinate", "Array", "Csv"};
  return std::string(names[static_cast<int>(p.param.format)]) + (p.param.gzip ? "Gzip" : "Plain");
}

INSTANTIATE_TEST_SUITE_P(Formats, RandomFiles,
                         testing::Values(Case{Format::coordinate, false}, Case{Format::coordinate, true},
                                         Case{Format::array, false}, Case{Format::array, true},
                                         Case{Format::csv, false}, Case{Format::csv, true}),
                         case_name);

// ---- hostile and odd input ------------------------------------------------------------

struct Hostile {
  const char *name;
  std::function<std::string()> text;  // the file, or a path when it starts with '/'
  bool gzip;
  std::string want;  // "file:line: message", or "nnz N"
};

void PrintTo(const Hostile &h, std::ostream *os) { *os << h.want; }

std::vector<Hostile> hostile_cases() {
  const std::string mm = "%%MatrixMarket matrix coordinate integer general\n";
  std::vector<Hostile> all = {
      {"dev_zero", [] { return std::string("/dev/zero"); }, false, "zero:1: the file holds binary data, not text"},
      {"zeros_gz", [] { return std::string(64 << 20, '\0'); }, true, "zeros_gz:1: the file holds binary data, not text"},
      {"no_line_end", [] { return std::string(20 << 20, 'a'); }, false, "no_line_end:1: the line is longer than 16 MiB"},
      {"commas_gz", [] { return std::string(40 << 20, ','); }, true, "commas_gz:1: the line is longer than 16 MiB"},
      {"comma_header", [] { return std::string(5 << 20, ','); }, false, "comma_header:1: no counts in the file"},
      {"comma_row", [] { return "a,b\n" + std::string(5 << 20, ','); }, false,
       "comma_row:2: expected 2 fields like the first row, found 5242881"},
      {"huge_claim", [=] { return mm + "1000000 1000000 99999999999\n1 1 1\n"; }, false,
       "huge_claim:3: expected 99999999999 entries, found 1"},
      {"extra_entry", [=] { return mm + "% c\n2 2 1\n1 1 1\n\n2 2 2\n"; }, false,
       "extra_entry:6: more entries than the size line announced"},
      {"no_banner", [] { return std::string("1 1 5\n2 2 3\n"); }, false, "no_banner:1: no %%MatrixMarket banner, and not comma-separated"},
      {"bzh_csv", [] { return std::string("BZh9,x\n1,2\n"); }, false, "nnz 2"},
      {"bzip2", [] { return std::string("BZh91AY&SY\x01\x02"); }, false, "bzip2:1: the file is bzip2-compressed"},
      {"cr_only", [] { return std::string("5,0\r0,7\r\r# c\r1,1"); }, false, "nnz 4"},
      {"long_field", [] { return "1,2\n3," + std::string(1 << 20, 'x') + "\n"; }, false,
       "long_field:2: '" + std::string(57, 'x') + "...' is not a number"},
      {"utf16", [] { return std::string("\xff\xfe" "1\0,\0" "2\0", 8); }, false, "utf16:1: the file is UTF-16 text"},
      {"rows_oom", [=] { return mm + "2147483647 1 0\n"; }, false, "rows_oom:2: out of memory allocating 16.0 GiB for the row offsets"},
      {"directory", [] { return temp_dir(); }, false, "is a directory"},
  };
#ifdef SK_NMF_HAVE_ZLIB
  // Good members, then one that is not.
  all.push_back({"bad_member", [] { return std::string(); }, false, "bad_member:4: corrupt gzip data"});
#endif
  return all;
}

class HostileInput : public testing::TestWithParam<Hostile> {};

TEST_P(HostileInput, EndsInBoundedMemory) {
  const Hostile &h = GetParam();
  if (h.gzip && !sk_nmf::gzip_supported()) GTEST_SKIP() << "no gzip support in this build";
  if (kAsan && std::string(h.name) == "rows_oom") GTEST_SKIP() << "needs an address-space limit";
  const std::string text = h.text();
  const std::string path = text.rfind('/', 0) == 0 ? text : write_file(h.name, text, h.gzip);
  if (std::string(h.name) == "zeros_gz") {  // 4 MB of gzip members holding 4 GiB of zeros
    std::ifstream f(path, std::ios::binary);
    const std::string member((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::ofstream out(path, std::ios::binary);
    for (int n = 0; n < 64; ++n) out << member;
  }
  if (std::string(h.name) == "bad_member") {
    write_file("bad_member", "1,2\n3,4\n5,6\n", true);
    std::ofstream(path, std::ios::binary | std::ios::app) << std::string("\x1f\x8b\x08\x00garbage-garbage", 19);
  }
  // Well above what the reader needs, and far below what the cases above
  // once took.
  const std::string got = read_limited(path, size_t{200} << 20);
  EXPECT_NE(got.find(h.want), std::string::npos) << got.substr(0, 300);
  EXPECT_LT(got.size(), 200u) << "an error echoes at most a little of the text";
}

std::string hostile_name(const testing::TestParamInfo<Hostile> &p) { return p.param.name; }
INSTANTIATE_TEST_SUITE_P(Cases, HostileInput, testing::ValuesIn(hostile_cases()), hostile_name);

// Counts are decimal and whole; anything else is refused with its text.
TEST(Numbers, OnlyWholeDecimalCountsAreAccepted) {
  const std::pair<const char *, const char *> cases[] = {
      {"3", "3"}, {"+3", "3"}, {"3.0", "3"}, {"3.000e+00", "3"}, {"30e-1", "3"}, {"3.", "3"}, {".3e1", "3"},
      {"0000000003", "3"}, {"2147483647", "2147483647"}, {"2.147483647e9", "2147483647"}, {"1e9", "1000000000"},
      {"-0", ""}, {"0e-400", ""},
      {"0x10", "'0x10' is not a number"}, {"0x1p3", "'0x1p3' is not a number"}, {"1e", "'1e' is not a number"},
      {"3,0", "'3,0' is not a number"}, {"inf", "count 'inf' is not a whole number"}, {"NaN", "count 'NaN' is not"},
      {"1e-400", "count '1e-400' is not a whole number"}, {"1e400", "count '1e400'"}, {"2.5", "count '2.5'"},
      {"-2", "count '-2'"}, {"2147483648", "count '2147483648' is not a whole number from 0 to 2147483647"},
      {"21474836470e-1", "2147483647"}, {"21474836480e-1", "count '21474836480e-1'"}, {"3.0000000000001", "count '3.0000000000001'"},
  };
  for (const auto &[text, want] : cases) {
    const std::string mm = std::string("%%MatrixMarket matrix coordinate real general\n1 1 1\n1 1 ") + text + "\n";
    const std::string csv = std::string("a\n") + text + "\n";
    for (const std::string &file : {write_file("number.mtx", mm), write_file("number.csv", csv)}) {
      const Outcome o = read(file);
      const bool is_csv = file.back() == 'v';
      if (is_csv && std::string(text) == "3,0") continue;  // two fields there
      if (std::isdigit(static_cast<unsigned char>(want[0])) || want[0] == '\0') {
        ASSERT_EQ(o.error, "") << text;
        EXPECT_EQ(o.values, want[0] ? std::vector<double>{std::stod(want)} : std::vector<double>{}) << text;
      } else {
        EXPECT_EQ(o.error.rfind(std::string(is_csv ? "number.csv:2: " : "number.mtx:3: ") + want, 0), 0u)
            << text << " gave " << o.error;
      }
    }
  }
}

// The header option against the first row's own look.
TEST(CsvHeaderOption, DecidesTheFirstRow) {
  const std::string numbers = write_file("numbers.csv", "1,2\n3,4\n"), names = write_file("names.csv", "a,\"b,c\"\n3,4\n");
  auto rows = [](const std::string &path, CsvHeader h) {
    ReadOptions o;
    o.header = h;
    const Outcome out = read(path, o);
    return out.error.empty() ? std::to_string(out.rows) : out.error;
  };
  EXPECT_EQ(rows(numbers, CsvHeader::automatic), "2");
  EXPECT_EQ(rows(numbers, CsvHeader::yes), "1");
  EXPECT_EQ(rows(numbers, CsvHeader::no), "2");
  EXPECT_EQ(rows(names, CsvHeader::automatic), "1");  // a quoted comma is inside a name
  EXPECT_EQ(rows(names, CsvHeader::no), "names.csv:1: 'a' is not a number");
}

// A FIFO is read as it comes, and standard input reads "-".
TEST(Streams, FifoIsReadWhole) {
  const std::string path = temp_dir() + "/fifo";
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  std::thread writer([&] {
    std::ofstream f(path);
    for (int i = 0; i < 20000; ++i) f << i % 7 << ',' << i % 3 << '\n';
  });
  ReadOptions o;
  o.threads = 2;
  o.chunk_bytes = 4096;
  const Outcome got = read(path, o);
  writer.join();
  EXPECT_EQ(got.error, "");
  EXPECT_EQ(got.rows, 20000);
}

}  // namespace
