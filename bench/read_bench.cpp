// Times one read_counts call: read_bench FILE THREADS [TEXT_BYTES]
// Prints the seconds, MB/s of text (TEXT_BYTES, or the file's size) and the
// peak resident memory against the CSR's own size.  Built and run by
// read_bench.sh; one read per process, so that the peak is this read's.
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "errors.h"
#include "formats.h"

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: read_bench FILE THREADS [TEXT_BYTES]\n");
    return 2;
  }
  struct stat st {};
  ::stat(argv[1], &st);
  const double text = argc > 3 ? std::atof(argv[3]) : static_cast<double>(st.st_size);
  sk_nmf::ReadOptions options;
  options.threads = std::atoi(argv[2]);
  const auto start = std::chrono::steady_clock::now();
  try {
    const sk_nmf::Csr x = sk_nmf::read_counts(argv[1], options);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    const double csr = static_cast<double>(x.nnz()) * 12 + (static_cast<double>(x.rows) + 1) * 8;
    const double peak = static_cast<double>(ru.ru_maxrss) * 1024;
    // CPU time too: on a busy machine it says more than the clock.  The
    // MB/s again after a comma, for read_bench.sh to pick the best.
    const double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                       static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
    std::printf("%s threads %d: %.3f s (%.3f s CPU), %.0f MB/s, %lld non-zeros, CSR %.0f MB, peak RSS %.0f MB (%.2fx),%.0f\n",
                argv[1], options.threads, s, cpu, text / s / 1e6, static_cast<long long>(x.nnz()), csr / 1e6,
                peak / 1e6, peak / csr, text / s / 1e6);
  } catch (const sk_nmf::Error &e) {
    std::fprintf(stderr, "read_bench: %s: %s\n", e.where.c_str(), e.what());
    return 1;
  }
}
