// Count matrices from files: Matrix Market (coordinate or array, general)
// and CSV (an optional header row, '#' comments), each optionally gzip-
// compressed and optionally starting with a UTF-8 byte-order mark.  "-"
// reads standard input.  Everything is read straight into CSR.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "csr.h"

namespace sk_nmf {

// Whether the first row of a CSV file names the columns.  Under `automatic`
// it does when none of its fields is a number, a field being a number when,
// unquoted and past an optional sign, it starts with a digit or with a point
// and a digit ("2019" and "-1" are numbers, "w1", "" and "\"7\"" are not).
// Under `yes` the first row is skipped whatever it holds; under `no` it is
// counts like every other row.  Comment lines ('#') and blank lines are never
// rows.  Matrix Market files have no header row; the option is ignored there.
enum class CsvHeader { automatic, yes, no };

struct ReadOptions {
  int threads = 1;  // parsing threads; the result never depends on it
  CsvHeader header = CsvHeader::automatic;
  // Bytes of text handed to a parsing thread at a time; 0 for the default
  // (4 MiB).  Tests set small sizes to split lines across many pieces; the
  // result never depends on it either.
  size_t chunk_bytes = 0;
  // Called with a Matrix Market file's rows and columns once its size line
  // is read, before anything is allocated for them: a host that cannot fit
  // that shape throws Error here (`where` is then set to the size line).
  std::function<void(int64_t rows, int64_t cols)> check_shape;
};

// Throws Error with `where` = "file:line" for a malformed file.  Numbers are
// decimal: counts are whole numbers from 0 to 2147483647, written as integers
// (an optional '+') or as decimals that come out whole ("3.0", "30e-1");
// indices are integers.  Lines end with "\n", "\r\n" or "\r" and may be at
// most 16 MiB long; a NUL byte ends the reading as binary data.
Csr read_counts(const std::string &path, const ReadOptions &options = {});

// Writes a rows x cols row-major matrix as CSV with 17 significant digits,
// synced to the disk; errors name the file `name` (default: path).
void write_csv(const std::string &path, const std::vector<double> &m, int32_t rows, int32_t cols,
               const std::string &name = "");

bool gzip_supported();

}  // namespace sk_nmf
