#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "guarded_memory.h"
#include "reference.h"
#include "sampling_kernels.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

int32_t search(const std::vector<double> &c, double target) {
  return Binary_Search(c.data(), static_cast<int32_t>(c.size()), target);
}

TEST(BinarySearch, PlacesTargetsAmongSortedSums) {
  const std::vector<double> c{1, 2, 3, 4, 5};
  EXPECT_EQ(search(c, 0.2), 0);
  EXPECT_EQ(search(c, 1), 0);
  EXPECT_EQ(search(c, 2), 1);
  EXPECT_EQ(search(c, 2.5), 2);
  EXPECT_EQ(search(c, 5), 4);
  EXPECT_EQ(search(c, 7), 4);  // clamped to the last index
  EXPECT_EQ(search(c, -3), 0);
  EXPECT_EQ(search(c, -kInf), 0);
  EXPECT_EQ(search(c, kInf), 4);
}

TEST(BinarySearch, ChoosesFirstOfEqualEntries) {
  EXPECT_EQ(search({1, 2, 2, 2, 3}, 2), 1);
  EXPECT_EQ(search({1, 2, 2, 2, 3}, 2.5), 4);
  EXPECT_EQ(search({0, 0, 1}, 0), 0);
  EXPECT_EQ(search({0, 0, 1}, 0.5), 2);
  EXPECT_EQ(search({0, 0, 0}, 0), 0);
}

TEST(BinarySearch, NaNTargetLandsOnTheMiddle) {
  for (int32_t length : {1, 2, 3, 8, 9, 100}) {
    std::vector<double> c(static_cast<std::size_t>(length));
    for (int32_t e = 0; e < length; ++e) c[static_cast<std::size_t>(e)] = e + 1.0;
    EXPECT_EQ(search(c, kNaN), length / 2) << "length " << length;
  }
}

TEST(BinarySearch, UnsortedInputStaysInRange) {
  EXPECT_EQ(search({5, 1, 4, 2, 3}, 2), 0);
  std::mt19937_64 gen(7);
  std::uniform_real_distribution<double> value(-10, 10);
  for (int trial = 0; trial < 20000; ++trial) {
    const int32_t length = 1 + static_cast<int32_t>(gen() % 40);
    std::vector<double> c(static_cast<std::size_t>(length));
    for (double &x : c) x = (gen() % 10 == 0) ? kNaN : value(gen);
    const double target = (gen() % 10 == 0) ? kNaN : value(gen);
    const int32_t e = search(c, target);
    ASSERT_GE(e, 0);
    ASSERT_LT(e, length);
    ASSERT_EQ(e, reference::binary_search(c.data(), length, target));
  }
}

TEST(BinarySearch, SortedInputGivesSmallestEntryReachingTarget) {
  std::mt19937_64 gen(11);
  for (int trial = 0; trial < 20000; ++trial) {
    const int32_t length = 1 + static_cast<int32_t>(gen() % 64);
    std::vector<double> c(static_cast<std::size_t>(length));
    double sum = 0;
    for (double &x : c) x = sum += (gen() % 3 == 0) ? 0.0 : double(gen() % 5);
    const double target = double(gen() % 200) / 199.0 * (sum + 1.0);
    int32_t expected = length - 1;
    for (int32_t e = 0; e < length; ++e)
      if (target <= c[static_cast<std::size_t>(e)]) {
        expected = e;
        break;
      }
    ASSERT_EQ(search(c, target), expected);
  }
}

TEST(BinarySearch, NeverReadsTheLastEntry) {
  for (int32_t length = 2; length <= 70; ++length) {
    // Entries 0 .. length - 2 are readable; the last one sits on a guard page.
    GuardedDoubles c(static_cast<std::size_t>(length - 1));
    for (int32_t e = 0; e + 1 < length; ++e) c[static_cast<std::size_t>(e)] = e;
    for (double target : {-1.0, 0.0, 0.5, double(length) / 2, double(length),
                          1e300, kInf, kNaN}) {
      const int32_t e = Binary_Search(c.data(), length, target);
      EXPECT_GE(e, 0);
      EXPECT_LT(e, length);
    }
  }
}

TEST(BinarySearch, LengthOneAnswersZeroForEveryTarget) {
  const std::vector<double> c{3};
  for (double target : {-kInf, -1.0, 0.0, 3.0, 4.0, kInf, kNaN})
    EXPECT_EQ(search(c, target), 0);
  EXPECT_EQ(search({1, 2}, 1), 0);
  EXPECT_EQ(search({1, 2}, 1.5), 1);
  EXPECT_EQ(search({1, 2}, 99), 1);
}

TEST(BinarySearchBadInput, EmptyOrNullReturnsMinusOneAndReadsNothing) {
  GuardedDoubles nothing(0);  // its pointer is the start of a guard page
  for (int32_t length : {0, -1, -2147483647 - 1})
    EXPECT_EQ(Binary_Search(nothing.data(), length, 1.0), -1);
  EXPECT_EQ(Binary_Search(nullptr, 5, 1.0), -1);
  EXPECT_EQ(Binary_Search(nullptr, 0, 1.0), -1);
}

TEST(BinarySearchHuge, LengthsAboveTwoToTheThirtyDoNotOverflow) {
  // Zero-filled pages cost nothing until written; the search reads ~31.
  const int32_t length = std::numeric_limits<int32_t>::max();
  SparseDoubles c(static_cast<std::size_t>(length));
  EXPECT_EQ(Binary_Search(c.data(), length, 1.0), length - 1);
  EXPECT_EQ(Binary_Search(c.data(), length, 0.0), 0);
  const int32_t big = (1 << 30) + 12345;
  for (int32_t e = big - 3; e < big; ++e) c[static_cast<std::size_t>(e)] = 1.0;
  // Zeros, then three ones: the first entry reaching the target is chosen.
  EXPECT_EQ(Binary_Search(c.data(), big, 0.5), big - 3);
}

}  // namespace
