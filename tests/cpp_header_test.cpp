// The C++ front end: its checks throw before the library is reached, and a
// call that passes them gives exactly what the C function gives.
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sampling_kernels.hpp"

namespace sk = sampling_kernels;

namespace {

// A 3 x 4 problem with 2 components and the C call's result for a seed.
struct Problem {
  std::vector<double> counts{3, 0, 1, 7, 2, 2, 0, 5, 1, 9, 4, 0};
  std::vector<double> row_factors{1, 2, 0.5, 0.5, 3, 1};
  std::vector<double> col_factors{1, 0, 2, 1, 1, 4, 1, 1};
  std::vector<double> row_tallies = std::vector<double>(6, 0.0);
  std::vector<double> col_tallies = std::vector<double>(8, 0.0);
};

Problem expected_from_c(unsigned seed) {
  Problem p;
  std::srand(seed);
  Multi_Sample(p.counts.data(), p.row_factors.data(), p.col_factors.data(), p.row_tallies.data(),
               p.col_tallies.data(), 3, 2, 4);
  return p;
}

// Runs `call`, expects std::invalid_argument whose message names `word`,
// and checks that no draw was taken (rand() continues where srand left it).
template <class F>
void expect_rejected(F call, const std::string &word) {
  std::srand(77);
  const int first = std::rand();
  std::srand(77);
  try {
    call();
    ADD_FAILURE() << "no exception; expected one naming " << word;
  } catch (const std::invalid_argument &e) {
    EXPECT_NE(std::string(e.what()).find(word), std::string::npos)
        << "message '" << e.what() << "' does not name " << word;
  }
  EXPECT_EQ(std::rand(), first) << "the library drew before the check failed";
}

}  // namespace

TEST(CppHeader, SpanAndMatrixOverloadsMatchTheCCall) {
  const Problem want = expected_from_c(5);
  Problem a;
  std::srand(5);
  sk::multi_sample(a.counts, a.row_factors, a.col_factors, a.row_tallies, a.col_tallies, 3, 2, 4);
  EXPECT_EQ(a.row_tallies, want.row_tallies);
  EXPECT_EQ(a.col_tallies, want.col_tallies);

  Problem b;
  std::srand(5);
  sk::multi_sample(sk::const_matrix(b.counts, 3, 4), sk::const_matrix(b.row_factors, 3, 2),
                   sk::const_matrix(b.col_factors, 2, 4), sk::mutable_matrix(b.row_tallies, 3, 2),
                   sk::mutable_matrix(b.col_tallies, 2, 4));
  EXPECT_EQ(b.row_tallies, want.row_tallies);
  EXPECT_EQ(b.col_tallies, want.col_tallies);
  double drawn = 0;
  for (double t : b.row_tallies) drawn += t;
  EXPECT_EQ(drawn, 34);  // sum of the counts
}

TEST(CppHeader, TalliesAreAddedTo) {
  const Problem once = expected_from_c(9);
  Problem p;
  p.row_tallies.assign(6, 10.0);
  p.col_tallies.assign(8, 20.0);
  std::srand(9);
  sk::multi_sample(p.counts, p.row_factors, p.col_factors, p.row_tallies, p.col_tallies, 3, 2, 4);
  for (size_t n = 0; n < 6; ++n) EXPECT_EQ(p.row_tallies[n], once.row_tallies[n] + 10.0);
  for (size_t n = 0; n < 8; ++n) EXPECT_EQ(p.col_tallies[n], once.col_tallies[n] + 20.0);
}

TEST(CppHeader, WrongSizesNameTheArgument) {
  Problem p;
  std::vector<double> short_counts(11), short_cols(7), long_rows(7), long_cols(9), short_rt(5);
  auto call = [](std::span<const double> c, std::span<const double> r, std::span<const double> f,
                   std::span<double> rt, std::span<double> ct) {
    return [=] { sk::multi_sample(c, r, f, rt, ct, 3, 2, 4); };
  };
  expect_rejected(call(short_counts, p.row_factors, p.col_factors, p.row_tallies, p.col_tallies), "counts");
  expect_rejected(call(p.counts, long_rows, p.col_factors, p.row_tallies, p.col_tallies), "row_factors");
  expect_rejected(call(p.counts, p.row_factors, short_cols, p.row_tallies, p.col_tallies), "col_factors");
  expect_rejected(call(p.counts, p.row_factors, p.col_factors, short_rt, p.col_tallies), "row_tallies");
  expect_rejected(call(p.counts, p.row_factors, p.col_factors, p.row_tallies, long_cols), "col_tallies");
  EXPECT_EQ(p.row_tallies, std::vector<double>(6, 0.0));
  EXPECT_EQ(p.col_tallies, std::vector<double>(8, 0.0));
}

TEST(CppHeader, DimensionsAreChecked) {
  Problem p;
  std::vector<double> none;
  expect_rejected([&] { sk::multi_sample(p.counts, none, none, none, none, 3, 0, 4); }, "n_components");
  // Sizes that would fit once wrapped to 32 bits must still be refused.
  const size_t big = size_t{1} << 31;
  expect_rejected([&] { sk::multi_sample(none, none, none, none, none, big, 1, 0); }, "n_rows");
  expect_rejected([&] { sk::multi_sample(none, none, none, none, none, 0, big, 0); }, "n_components");
  expect_rejected([&] { sk::multi_sample(none, none, none, none, none, 0, 1, big); }, "n_cols");
}

TEST(CppHeader, MatrixShapesMustAgree) {
  Problem p;
  std::vector<double> t43(12);
  auto m = [](std::vector<double> &v, size_t r, size_t c) { return sk::mutable_matrix(v, r, c); };
  auto c = [](std::vector<double> &v, size_t r, size_t cc) { return sk::const_matrix(v, r, cc); };
  // Same element counts, transposed shapes: only the shape check can see it.
  expect_rejected([&] {
    sk::multi_sample(c(p.counts, 3, 4), c(p.row_factors, 2, 3), c(p.col_factors, 2, 4),
                     m(p.row_tallies, 3, 2), m(p.col_tallies, 2, 4));
  }, "row_factors");
  expect_rejected([&] {
    sk::multi_sample(c(p.counts, 3, 4), c(p.row_factors, 3, 2), c(p.col_factors, 4, 2),
                     m(p.row_tallies, 3, 2), m(p.col_tallies, 2, 4));
  }, "col_factors");
  expect_rejected([&] {
    sk::multi_sample(c(p.counts, 3, 4), c(p.row_factors, 3, 2), c(p.col_factors, 2, 4),
                     m(p.row_tallies, 2, 3), m(p.col_tallies, 2, 4));
  }, "row_tallies");
  expect_rejected([&] {
    sk::multi_sample(c(p.counts, 3, 4), c(p.row_factors, 3, 2), c(p.col_factors, 2, 4),
                     m(p.row_tallies, 3, 2), m(t43, 4, 3));
  }, "col_tallies");
  // A view whose storage does not match its own shape.
  expect_rejected([&] {
    sk::multi_sample(c(p.counts, 3, 4), c(p.row_factors, 3, 2), c(p.col_factors, 2, 4),
                     m(t43, 3, 2), m(p.col_tallies, 2, 4));
  }, "row_tallies");
}

TEST(CppHeader, OverlappingTalliesAreRefused) {
  Problem p;
  // One buffer holding both tallies back to back is fine ...
  std::vector<double> both(14, 0.0);
  std::span<double> all(both);
  EXPECT_NO_THROW(sk::multi_sample(p.counts, p.row_factors, p.col_factors, all.first(6),
                                   all.subspan(6), 3, 2, 4));
  // ... sharing one element is not.
  std::vector<double> wide(13, 0.0);
  std::span<double> w(wide);
  expect_rejected([&] {
    sk::multi_sample(p.counts, p.row_factors, p.col_factors, w.first(6), w.subspan(5), 3, 2, 4);
  }, "col_tallies");

  // A tally that is also an input, wholly or in part.
  std::vector<double> store(12, 1.0);
  std::span<double> s(store);
  expect_rejected([&] {
    sk::multi_sample(s, p.row_factors, p.col_factors, s.subspan(6), p.col_tallies, 3, 2, 4);
  }, "counts");
  expect_rejected([&] {
    sk::multi_sample(p.counts, s.first(6), p.col_factors, p.row_tallies, s.subspan(4, 8), 3, 2, 4);
  }, "row_factors");
  expect_rejected([&] {
    sk::multi_sample(p.counts, p.row_factors, s.first(8), s.subspan(7, 6), p.col_tallies, 3, 2, 4);
  }, "col_factors");
}

TEST(CppHeader, BinarySearch) {
  const std::vector<double> cumulative{1, 1, 3, 6};
  EXPECT_EQ(sk::binary_search(cumulative, 0.5), 0);
  EXPECT_EQ(sk::binary_search(cumulative, 1.0), 0);
  EXPECT_EQ(sk::binary_search(cumulative, 1.5), 2);
  EXPECT_EQ(sk::binary_search(cumulative, 6.0), 3);
  EXPECT_EQ(sk::binary_search(cumulative, 99.0), 3);
  std::vector<double> none;
  expect_rejected([&] { sk::binary_search(none, 1.0); }, "cumulative");
}
