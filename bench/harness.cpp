#include "harness.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <ostream>

namespace bench {

std::string cpu_description() {
  std::ifstream in("/proc/cpuinfo");
  std::string line, model = "unknown CPU", flags;
  while (std::getline(in, line)) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string key = line.substr(0, line.find_first_of(" \t"));
    if (key == "model" && line.rfind("model name", 0) == 0 && model == "unknown CPU")
      model = line.substr(colon + 2);
    if (key == "flags" && flags.empty()) {
      // Appended in steps: gcc 12 warns falsely (-Wrestrict) on " " + str.
      flags.push_back(' ');
      flags.append(line, colon + 1);
      flags.push_back(' ');
    }
  }
  std::string isa;
  for (const char *f : {"avx2", "avx512f"})
    if (flags.find(std::string(" ") + f + " ") != std::string::npos) isa += std::string(" ") + f;
  return model + (isa.empty() ? " (no AVX2)" : " (" + isa.substr(1) + ")");
}

namespace {

bool parse_int(const std::string &text, int &value) {
  if (text.empty() || text.size() > 9) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  value = std::stoi(text);
  return true;
}

std::vector<std::string> split_commas(const std::string &text) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = std::min(text.find(',', start), text.size());
    if (end > start) parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string format(const char *pattern, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, pattern, value);
  return buffer;
}

}  // namespace

std::optional<Options> parse_options(const std::vector<std::string> &args,
                                     const std::string &default_csv,
                                     std::string &error) {
  Options options;
  options.csv_path = default_csv;
  bool reps_given = false;
  bool quick = false;
  for (size_t a = 0; a < args.size(); ++a) {
    std::string arg = args[a];
    std::string value;
    bool has_value = false;
    const size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      has_value = true;
    }
    const bool takes_value =
        arg == "--reps" || arg == "--filter" || arg == "--csv" || arg == "--count";
    if (takes_value && !has_value) {
      if (a + 1 == args.size()) {
        error = arg + " needs a value";
        return std::nullopt;
      }
      value = args[++a];
    } else if (!takes_value && has_value) {
      error = arg + " takes no value";
      return std::nullopt;
    }
    if (arg == "--reps") {
      if (!parse_int(value, options.repetitions) || options.repetitions < 1) {
        error = "--reps wants a whole number of at least 1, not '" + value + "'";
        return std::nullopt;
      }
      reps_given = true;
    } else if (arg == "--filter") {
      for (auto &f : split_commas(value)) options.filters.push_back(f);
    } else if (arg == "--csv") {
      options.csv_path = value;
    } else if (arg == "--count") {
      if (value != "floor" && value != "baseline" && value != "library") {
        error = "--count wants floor, baseline or library, not '" + value + "'";
        return std::nullopt;
      }
      options.count = value;
    } else if (arg == "--quick") {
      quick = true;
    } else if (arg == "--list") {
      options.list = true;
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else {
      error = "unknown argument '" + args[a] + "'";
      return std::nullopt;
    }
  }
  if (quick) {
    if (!reps_given) options.repetitions = 3;
    options.min_sample_ms = 5.0;
  }
  return options;
}

std::string usage(const std::string &program) {
  return "usage: " + program +
         " [--reps=N] [--filter=NAME[,NAME...]] [--quick] [--csv=PATH]"
         " [--list] [--count=WHO]\n"
         "  --reps=N      repetitions per workload (default 7; 3 with --quick)\n"
         "  --filter=...  run only workloads whose name contains one of these\n"
         "  --quick       a short run: fewer repetitions, shorter samples\n"
         "  --csv=PATH    where to write the table (--csv= writes none)\n"
         "  --list        name the workloads and stop\n"
         "  --count=WHO   one untimed pass of floor, baseline or library per workload,\n"
         "                for counting instructions (bench/count_instructions.sh)\n";
}

bool selected(const Options &options, const std::string &name) {
  if (options.filters.empty()) return true;
  for (const auto &f : options.filters) {
    if (name.find(f) != std::string::npos) return true;
  }
  return false;
}

double median(std::vector<double> values) {
  if (values.empty()) return std::numeric_limits<double>::quiet_NaN();
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  if (n % 2 == 1) return values[n / 2];
  return (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

void print_table(std::ostream &out, const std::vector<Result> &results) {
  const std::vector<std::string> head = {
      "workload",        "R x C", "K", "lambda", "draws", "floor ns/draw",
      "baseline ns/draw", "library ns/draw", "library/floor",
      "baseline/library"};
  std::vector<std::vector<std::string>> rows;
  for (const auto &r : results) {
    rows.push_back({r.name,
                    std::to_string(r.rows) + " x " + std::to_string(r.cols),
                    std::to_string(r.components), format("%g", r.mean),
                    std::to_string(r.draws), format("%.2f", r.floor_ns),
                    format("%.2f", r.baseline_ns), format("%.2f", r.library_ns),
                    format("%.2f", r.library_over_floor),
                    format("%.2f", r.baseline_over_library)});
  }
  std::vector<size_t> width(head.size());
  for (size_t c = 0; c < head.size(); ++c) {
    width[c] = head[c].size();
    for (const auto &row : rows) width[c] = std::max(width[c], row[c].size());
  }
  // A Markdown table: readable as it stands and ready for the README.
  auto line = [&](const std::vector<std::string> &cells) {
    out << '|';
    for (size_t c = 0; c < cells.size(); ++c) {
      const std::string pad(width[c] - cells[c].size(), ' ');
      // Names to the left, numbers to the right.
      out << ' ' << (c == 0 ? cells[c] + pad : pad + cells[c]) << " |";
    }
    out << '\n';
  };
  line(head);
  out << '|';
  for (size_t c = 0; c < head.size(); ++c) {
    out << (c == 0 ? ' ' + std::string(width[c], '-') + " |"
                   : ' ' + std::string(width[c] - 1, '-') + ": |");
  }
  out << '\n';
  for (const auto &row : rows) line(row);
}

void write_csv(std::ostream &out, const std::vector<Result> &results) {
  out << "workload,rows,cols,components,lambda,draws,repetitions,passes,"
         "floor_ns_per_draw,baseline_ns_per_draw,library_ns_per_draw,"
         "library_over_floor,baseline_over_library\n";
  for (const auto &r : results) {
    out << r.name << ',' << r.rows << ',' << r.cols << ',' << r.components
        << ',' << format("%g", r.mean) << ',' << r.draws << ','
        << r.repetitions << ',' << r.passes << ','
        << format("%.4f", r.floor_ns) << ',' << format("%.4f", r.baseline_ns)
        << ',' << format("%.4f", r.library_ns) << ','
        << format("%.4f", r.library_over_floor) << ','
        << format("%.4f", r.baseline_over_library) << '\n';
  }
}

}  // namespace bench
