// sampling_kernels.hpp: C++20 front end to the C functions of
// sampling_kernels.h.  Header-only; nothing here is compiled into the
// shared library.
//
// The overloads take std::span or a matrix_view (a span with its shape), so
// the shapes are explicit.  Before calling the library they check that every
// array holds exactly rows x cols elements, that the shapes agree, that the
// dimensions fit the library's 32-bit arguments, that there is at least one
// component and that neither tally array overlaps any other argument; a
// failed check throws std::invalid_argument naming the argument and changes
// nothing.  Values (NaN counts, negative factors) are not inspected: the C
// header says what the library does with them.  Sparse counts go through a
// csr_view, whose structure is checked the same way.
#ifndef SAMPLING_KERNELS_HPP
#define SAMPLING_KERNELS_HPP

#if __cplusplus < 202002L
#error "sampling_kernels.hpp needs C++20 (std::span)"
#endif

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "sampling_kernels.h"
#include "sampling_kernels_sparse.h"

namespace sampling_kernels {

// A dense row-major matrix over caller-owned storage: element (r, c) is
// data[r * cols + c].  T is double for tallies, const double for inputs.
template <class T>
struct matrix_view {
  std::span<T> data;
  std::size_t rows = 0;
  std::size_t cols = 0;

  matrix_view() = default;
  matrix_view(std::span<T> d, std::size_t r, std::size_t c) : data(d), rows(r), cols(c) {}
  // A view of writable doubles also reads as a view of const ones.
  template <class U>
    requires(!std::is_same_v<U, T> && std::is_convertible_v<U (*)[], T (*)[]>)
  matrix_view(const matrix_view<U> &m) : data(m.data), rows(m.rows), cols(m.cols) {}
};

using const_matrix = matrix_view<const double>;
using mutable_matrix = matrix_view<double>;

namespace detail {

constexpr std::size_t kMaxDimension =
    static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());

[[noreturn]] inline void fail(const std::string &what) {
  throw std::invalid_argument("sampling_kernels: " + what);
}

inline void check_dimension(const char *name, std::size_t value) {
  if (value > kMaxDimension) {
    fail(std::string(name) + " is " + std::to_string(value) +
         ", above the limit of 2147483647");
  }
}

template <class T>
void check_size(const char *name, std::span<T> data, std::size_t rows, std::size_t cols) {
  // rows and cols are below 2^31 here, so the product cannot wrap.
  const std::size_t expected = rows * cols;
  if (data.size() != expected) {
    fail(std::string(name) + " holds " + std::to_string(data.size()) + " elements, " +
         std::to_string(rows) + " x " + std::to_string(cols) + " needs " +
         std::to_string(expected));
  }
}

// The factor and tally views' shapes agree with counts' n_rows x n_cols and
// row_factors' k columns.
inline void check_shapes(std::size_t n_rows, std::size_t n_cols, const const_matrix &row_factors,
                         const const_matrix &col_factors, const mutable_matrix &row_tallies,
                         const mutable_matrix &col_tallies) {
  const std::size_t k = row_factors.cols;
  auto agree = [](const char *name, std::size_t got, const char *what, std::size_t want) {
    if (got != want) {
      fail(std::string(name) + " has " + std::to_string(got) + " " + what + ", expected " +
           std::to_string(want));
    }
  };
  agree("row_factors", row_factors.rows, "rows", n_rows);
  agree("col_factors", col_factors.rows, "rows", k);
  agree("col_factors", col_factors.cols, "columns", n_cols);
  agree("row_tallies", row_tallies.rows, "rows", n_rows);
  agree("row_tallies", row_tallies.cols, "columns", k);
  agree("col_tallies", col_tallies.rows, "rows", k);
  agree("col_tallies", col_tallies.cols, "columns", n_cols);
}

template <class A, class B>
bool overlap(std::span<A> a, std::span<B> b) {
  if (a.empty() || b.empty()) return false;
  // std::less gives a total order even on pointers into different arrays.
  const std::less<const void *> before;
  const void *a0 = a.data(), *a1 = a.data() + a.size();
  const void *b0 = b.data(), *b1 = b.data() + b.size();
  return before(a0, b1) && before(b0, a1);
}

template <class A, class B>
void check_apart(const char *a_name, std::span<A> a, const char *b_name, std::span<B> b) {
  if (overlap(a, b)) fail(std::string(a_name) + " overlaps " + b_name);
}

}  // namespace detail

// One allocation pass: adds every draw to row_tallies and col_tallies (which
// are not cleared).  Shapes: counts n_rows x n_cols, row_factors and
// row_tallies n_rows x n_components, col_factors and col_tallies
// n_components x n_cols.
inline void multi_sample(std::span<const double> counts, std::span<const double> row_factors,
                         std::span<const double> col_factors, std::span<double> row_tallies,
                         std::span<double> col_tallies, std::size_t n_rows,
                         std::size_t n_components, std::size_t n_cols) {
  detail::check_dimension("n_rows", n_rows);
  detail::check_dimension("n_components", n_components);
  detail::check_dimension("n_cols", n_cols);
  if (n_components == 0) detail::fail("n_components is 0; at least one component is needed");
  detail::check_size("counts", counts, n_rows, n_cols);
  detail::check_size("row_factors", row_factors, n_rows, n_components);
  detail::check_size("col_factors", col_factors, n_components, n_cols);
  detail::check_size("row_tallies", row_tallies, n_rows, n_components);
  detail::check_size("col_tallies", col_tallies, n_components, n_cols);
  detail::check_apart("row_tallies", row_tallies, "col_tallies", col_tallies);
  detail::check_apart("row_tallies", row_tallies, "counts", counts);
  detail::check_apart("row_tallies", row_tallies, "row_factors", row_factors);
  detail::check_apart("row_tallies", row_tallies, "col_factors", col_factors);
  detail::check_apart("col_tallies", col_tallies, "counts", counts);
  detail::check_apart("col_tallies", col_tallies, "row_factors", row_factors);
  detail::check_apart("col_tallies", col_tallies, "col_factors", col_factors);
  Multi_Sample(counts.data(), row_factors.data(), col_factors.data(), row_tallies.data(),
               col_tallies.data(), static_cast<std::int32_t>(n_rows),
               static_cast<std::int32_t>(n_components), static_cast<std::int32_t>(n_cols));
}

// The same with the shapes carried by the views; they must agree.
inline void multi_sample(const_matrix counts, const_matrix row_factors, const_matrix col_factors,
                         mutable_matrix row_tallies, mutable_matrix col_tallies) {
  const std::size_t n_rows = counts.rows, n_cols = counts.cols, k = row_factors.cols;
  detail::check_shapes(n_rows, n_cols, row_factors, col_factors, row_tallies, col_tallies);
  multi_sample(counts.data, row_factors.data, col_factors.data, row_tallies.data,
               col_tallies.data, n_rows, k, n_cols);
}

// Counts in compressed sparse row form over caller-owned arrays: row r
// holds values[p] at column col_indices[p] for row_offsets[r] <= p <
// row_offsets[r + 1], and zeros elsewhere.  The overload below needs
// libsampling_kernels_sparse (CMake: sampling_kernels::sparse).
struct csr_view {
  std::span<const std::int64_t> row_offsets;  // rows + 1 entries
  std::span<const std::int32_t> col_indices;  // row_offsets[rows] entries
  std::span<const double> values;             // row_offsets[rows] entries
  std::size_t rows = 0;
  std::size_t cols = 0;
};

namespace detail {

// The CSR structure, with the first fault named: offsets from 0, never
// decreasing, ending at the arrays' length; indices in range and strictly
// ascending within each row.
inline void check_csr(const csr_view &m) {
  check_dimension("counts' rows", m.rows);
  check_dimension("counts' columns", m.cols);
  if (m.row_offsets.size() != m.rows + 1) {
    fail("row_offsets holds " + std::to_string(m.row_offsets.size()) + " entries, " +
         std::to_string(m.rows) + " rows need " + std::to_string(m.rows + 1));
  }
  if (m.row_offsets[0] != 0)
    fail("row_offsets starts at " + std::to_string(m.row_offsets[0]) + ", not 0");
  for (std::size_t r = 0; r < m.rows; ++r) {
    if (m.row_offsets[r + 1] < m.row_offsets[r]) {
      fail("row_offsets decreases from " + std::to_string(m.row_offsets[r]) + " to " +
           std::to_string(m.row_offsets[r + 1]) + " at row " + std::to_string(r));
    }
  }
  const auto nnz = static_cast<std::uint64_t>(m.row_offsets[m.rows]);
  if (m.col_indices.size() != nnz) {
    fail("col_indices holds " + std::to_string(m.col_indices.size()) +
         " entries, row_offsets ends at " + std::to_string(nnz));
  }
  if (m.values.size() != nnz) {
    fail("values holds " + std::to_string(m.values.size()) + " entries, row_offsets ends at " +
         std::to_string(nnz));
  }
  for (std::size_t r = 0; r < m.rows; ++r) {
    std::int64_t previous = -1;
    for (auto p = static_cast<std::size_t>(m.row_offsets[r]);
         p < static_cast<std::size_t>(m.row_offsets[r + 1]); ++p) {
      const std::int64_t j = m.col_indices[p];
      const std::string where = " in row " + std::to_string(r) + " (entry " + std::to_string(p) + ")";
      if (j < 0 || static_cast<std::uint64_t>(j) >= m.cols) {
        fail("col_indices holds " + std::to_string(j) + where + ", outside [0, " +
             std::to_string(m.cols) + ")");
      }
      if (j == previous) fail("col_indices repeats column " + std::to_string(j) + where);
      if (j < previous) {
        fail("col_indices is not ascending: " + std::to_string(j) + " after " +
             std::to_string(previous) + where);
      }
      previous = j;
    }
  }
}

}  // namespace detail

// One allocation pass over CSR counts: the tallies come out exactly as from
// the dense overload on the densified matrix, for the same rand() stream.
// Shapes: row_factors and row_tallies counts.rows x K, col_factors and
// col_tallies K x counts.cols.  Throws std::invalid_argument naming the
// argument for a bad shape or structure, and std::bad_alloc if the
// library's working memory cannot be allocated; either way nothing changed.
inline void multi_sample(const csr_view &counts, const_matrix row_factors,
                         const_matrix col_factors, mutable_matrix row_tallies,
                         mutable_matrix col_tallies) {
  const std::size_t n_rows = counts.rows, n_cols = counts.cols, k = row_factors.cols;
  detail::check_csr(counts);
  detail::check_dimension("n_components", k);
  if (k == 0) detail::fail("row_factors has 0 columns; at least one component is needed");
  detail::check_shapes(n_rows, n_cols, row_factors, col_factors, row_tallies, col_tallies);
  detail::check_size("row_factors", row_factors.data, n_rows, k);
  detail::check_size("col_factors", col_factors.data, k, n_cols);
  detail::check_size("row_tallies", row_tallies.data, n_rows, k);
  detail::check_size("col_tallies", col_tallies.data, k, n_cols);
  for (const auto &[name, tally] :
       {std::pair{"row_tallies", row_tallies.data}, std::pair{"col_tallies", col_tallies.data}}) {
    detail::check_apart(name, tally, "row_offsets", counts.row_offsets);
    detail::check_apart(name, tally, "col_indices", counts.col_indices);
    detail::check_apart(name, tally, "values", counts.values);
    detail::check_apart(name, tally, "row_factors", row_factors.data);
    detail::check_apart(name, tally, "col_factors", col_factors.data);
  }
  detail::check_apart("row_tallies", row_tallies.data, "col_tallies", col_tallies.data);
  const std::int32_t status = Multi_Sample_CSR(
      counts.row_offsets.data(), counts.col_indices.data(), counts.values.data(),
      row_factors.data.data(), col_factors.data.data(), row_tallies.data.data(),
      col_tallies.data.data(), static_cast<std::int32_t>(n_rows), static_cast<std::int32_t>(k),
      static_cast<std::int32_t>(n_cols));
  if (status == SK_CSR_NO_MEMORY) throw std::bad_alloc();
  if (status != SK_CSR_OK) detail::fail("the library refused the CSR (code " + std::to_string(status) + ")");
}

// Index of the interval of ascending running sums that holds target.
inline std::int32_t binary_search(std::span<const double> cumulative, double target) {
  if (cumulative.empty()) detail::fail("cumulative is empty");
  detail::check_dimension("cumulative's length", cumulative.size());
  return Binary_Search(cumulative.data(), static_cast<std::int32_t>(cumulative.size()), target);
}

}  // namespace sampling_kernels

#endif  // SAMPLING_KERNELS_HPP
