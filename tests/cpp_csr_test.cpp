// The C++ front end's CSR overload: it gives the dense overload's tallies,
// and every bad shape or structure throws std::invalid_argument naming the
// argument, before any draw and with nothing changed.
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sampling_kernels.hpp"

namespace sk = sampling_kernels;

namespace {

// 3 x 4 counts with 2 components, in both forms.
struct Problem {
  std::vector<double> dense{3, 0, 1, 7, 0, 0, 0, 0, 1, 9, 4, 0.25};
  std::vector<std::int64_t> offsets{0, 3, 3, 7};
  std::vector<std::int32_t> indices{0, 2, 3, 0, 1, 2, 3};
  std::vector<double> values{3, 1, 7, 1, 9, 4, 0.25};
  std::vector<double> row_factors{1, 2, 0.5, 0.5, 3, 1};
  std::vector<double> col_factors{1, 0, 2, 1, 1, 4, 1, 1};
  std::vector<double> row_tallies{0.5, 0, 0, 1, 0, 0};
  std::vector<double> col_tallies = std::vector<double>(8, 0.25);

  sk::csr_view csr() const { return {offsets, indices, values, 3, 4}; }
  sk::const_matrix rf() const { return {row_factors, 3, 2}; }
  sk::const_matrix cf() const { return {col_factors, 2, 4}; }
  sk::mutable_matrix rt() { return {row_tallies, 3, 2}; }
  sk::mutable_matrix ct() { return {col_tallies, 2, 4}; }
};

TEST(CppCsr, MatchesTheDenseOverload) {
  for (unsigned seed : {1u, 2u, 99u}) {
    Problem want, got;
    std::srand(seed);
    sk::multi_sample(sk::const_matrix{want.dense, 3, 4}, want.rf(), want.cf(), want.rt(),
                     want.ct());
    std::srand(seed);
    sk::multi_sample(got.csr(), got.rf(), got.cf(), got.rt(), got.ct());
    EXPECT_EQ(got.row_tallies, want.row_tallies) << seed;
    EXPECT_EQ(got.col_tallies, want.col_tallies) << seed;
  }
}

// Runs the spoiled call, expects std::invalid_argument naming `word`, no
// draw taken and the tallies unchanged.
void expect_rejected(const std::function<void(Problem &)> &spoil, const std::string &word) {
  Problem p;
  spoil(p);
  const Problem before = p;
  std::srand(77);
  const int first = std::rand();
  std::srand(77);
  try {
    sk::multi_sample(p.csr(), p.rf(), p.cf(), p.rt(), p.ct());
    ADD_FAILURE() << "no exception; expected one naming " << word;
  } catch (const std::invalid_argument &e) {
    EXPECT_NE(std::string(e.what()).find(word), std::string::npos)
        << "message '" << e.what() << "' does not name " << word;
  }
  EXPECT_EQ(std::rand(), first) << word << ": the library drew before the check failed";
  EXPECT_EQ(p.row_tallies, before.row_tallies) << word;
  EXPECT_EQ(p.col_tallies, before.col_tallies) << word;
}

TEST(CppCsr, BadStructureNamesTheArray) {
  expect_rejected([](Problem &p) { p.offsets.pop_back(); }, "row_offsets holds 3");
  expect_rejected([](Problem &p) { p.offsets[0] = 1; }, "row_offsets starts at 1");
  expect_rejected([](Problem &p) { p.offsets = {0, 3, 2, 7}; }, "row_offsets decreases");
  expect_rejected([](Problem &p) { p.offsets = {0, 3, 3, 6}; }, "col_indices holds 7");
  expect_rejected([](Problem &p) { p.values.pop_back(); }, "values holds 6");
  expect_rejected([](Problem &p) { p.indices[1] = 4; }, "col_indices holds 4 in row 0");
  expect_rejected([](Problem &p) { p.indices[4] = -1; }, "col_indices holds -1 in row 2");
  expect_rejected([](Problem &p) { p.indices[5] = 1; }, "col_indices repeats column 1");
  expect_rejected([](Problem &p) { p.indices[2] = 1; }, "col_indices is not ascending");
}

TEST(CppCsr, BadShapesNameTheArgument) {
  expect_rejected([](Problem &p) { p.row_factors.resize(4); }, "row_factors holds 4");
  expect_rejected([](Problem &p) { p.col_factors.resize(9); }, "col_factors holds 9");
  expect_rejected([](Problem &p) { p.row_tallies.resize(5); }, "row_tallies holds 5");
  expect_rejected([](Problem &p) { p.col_tallies.resize(7); }, "col_tallies holds 7");
  // Shapes that disagree, through views built by hand.
  Problem p;
  std::srand(1);
  const int first = std::rand();
  std::srand(1);
  EXPECT_THROW(sk::multi_sample(p.csr(), sk::const_matrix{p.row_factors, 2, 3}, p.cf(), p.rt(),
                                p.ct()),
               std::invalid_argument);
  EXPECT_THROW(sk::multi_sample(p.csr(), p.rf(), sk::const_matrix{p.col_factors, 4, 2}, p.rt(),
                                p.ct()),
               std::invalid_argument);
  EXPECT_THROW(sk::multi_sample(sk::csr_view{p.offsets, p.indices, p.values, 3, 3}, p.rf(),
                                p.cf(), p.rt(), p.ct()),
               std::invalid_argument);
  EXPECT_THROW(sk::multi_sample(p.csr(), sk::const_matrix{{}, 3, 0}, sk::const_matrix{{}, 0, 4},
                                sk::mutable_matrix{{}, 3, 0}, sk::mutable_matrix{{}, 0, 4}),
               std::invalid_argument);
  EXPECT_EQ(std::rand(), first);
}

TEST(CppCsr, OverlapsAndHugeDimensionsAreRefused) {
  Problem p;
  // A tally array that is also the values.
  sk::mutable_matrix alias{std::span<double>(p.values.data(), 6), 3, 2};
  try {
    sk::multi_sample(p.csr(), p.rf(), p.cf(), alias, p.ct());
    ADD_FAILURE() << "overlap not refused";
  } catch (const std::invalid_argument &e) {
    EXPECT_NE(std::string(e.what()).find("row_tallies overlaps values"), std::string::npos)
        << e.what();
  }
  const std::size_t huge = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) + 1;
  EXPECT_THROW(sk::multi_sample(sk::csr_view{p.offsets, p.indices, p.values, 3, huge}, p.rf(),
                                p.cf(), p.rt(), p.ct()),
               std::invalid_argument);
}

// An empty matrix is fine and changes nothing.
TEST(CppCsr, EmptyMatrixChangesNothing) {
  Problem p;
  const std::vector<std::int64_t> zeros(4, 0);
  const Problem before = p;
  sk::multi_sample(sk::csr_view{zeros, {}, {}, 3, 4}, p.rf(), p.cf(), p.rt(), p.ct());
  EXPECT_EQ(p.row_tallies, before.row_tallies);
  EXPECT_EQ(p.col_tallies, before.col_tallies);
}

}  // namespace
