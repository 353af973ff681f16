// Command line, statistics and output of the benchmark, apart from the
// timing loop so that each piece can be checked on its own.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace bench {

struct Options {
  int repetitions = 7;
  // Each timed sample repeats its pass until the floor takes this long, so
  // that small workloads are not lost in timer and scheduler noise.
  double min_sample_ms = 20.0;
  std::vector<std::string> filters;  // a workload runs if its name contains one
  std::string csv_path;              // empty: no CSV
  // Non-empty: one untimed pass of this contestant per workload, in
  // counted_pass, whose instructions bench/count_instructions.sh counts.
  std::string count;
  bool list = false;
  bool help = false;
};

// The processor's name and the vector extensions the libraries may use, from
// /proc/cpuinfo; shared with csr_bench.
std::string cpu_description();

// Parses argv[1..].  On a bad argument returns nothing and says why in
// `error`.
std::optional<Options> parse_options(const std::vector<std::string> &args,
                                     const std::string &default_csv,
                                     std::string &error);

std::string usage(const std::string &program);

bool selected(const Options &options, const std::string &name);

// Median of the values (mean of the middle two for an even count); NaN when
// there are none.
double median(std::vector<double> values);

struct Result {
  std::string name;
  int32_t rows, cols, components;
  double mean;
  int64_t draws;
  int repetitions;
  int passes;  // passes per timed sample
  // Medians over the repetitions of each contestant's ns per draw, and of the
  // per-repetition ratios (contestants timed back to back, so the noise
  // shared by one repetition cancels).
  double floor_ns, baseline_ns, library_ns;
  double library_over_floor, baseline_over_library;
};

void print_table(std::ostream &out, const std::vector<Result> &results);
void write_csv(std::ostream &out, const std::vector<Result> &results);

}  // namespace bench
