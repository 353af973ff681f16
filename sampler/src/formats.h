// Count matrices from files: Matrix Market (coordinate or array, general)
// and CSV (an optional header row, '#' comments), each optionally gzip-
// compressed and optionally starting with a UTF-8 byte-order mark.  "-"
// reads standard input.  Everything is read straight into CSR.
#pragma once

#include <string>
#include <vector>

#include "csr.h"

namespace sk_nmf {

// Throws Error with `where` = "file:line" for a malformed file.
Csr read_counts(const std::string &path);

// Writes a rows x cols row-major matrix as CSV with 17 significant digits.
void write_csv(const std::string &path, const std::vector<double> &m, int32_t rows, int32_t cols);

// Throws Error unless `path` can be created or overwritten.
void check_writable(const std::string &path);

bool gzip_supported();

}  // namespace sk_nmf
