#include "orivex/analysis/shell.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>

using namespace orivex;
using Indices = std::vector<std::size_t>;

TEST(Shell, MixedTableGroupsB0FirstThenAscending) {
  const std::vector<double> b{0, 1000, 1000, 2000, 5, 3000};
  const auto shells = detect_shells(b, 50.0, 0.05);
  ASSERT_EQ(shells.size(), 4u);
  EXPECT_TRUE(shells[0].is_b0);
  EXPECT_EQ(shells[0].indices, (Indices{0, 4}));
  EXPECT_EQ(shells[0].mean_b, 2.5);
  EXPECT_EQ(shells[0].nominal_b, 3.0);  // 2.5 rounds away from zero
  EXPECT_EQ(shells[0].min_b, 0.0);
  EXPECT_EQ(shells[0].max_b, 5.0);
  EXPECT_EQ(shells[1].indices, (Indices{1, 2}));
  EXPECT_EQ(shells[1].count, 2u);
  EXPECT_FALSE(shells[1].is_b0);
  EXPECT_EQ(shells[2].indices, (Indices{3}));
  EXPECT_EQ(shells[3].indices, (Indices{5}));
  EXPECT_EQ(shells[3].nominal_b, 3000.0);
}

struct GroupCase {
  std::vector<double> bvals;
  std::vector<Indices> groups;
};
std::ostream& operator<<(std::ostream& os, const GroupCase& c) {
  for (double b : c.bvals) os << b << ' ';
  return os;
}

TEST(Shell, ToleranceBoundaryAndFixedReference) {
  const GroupCase cases[] = {
      {{1000, 1050}, {{0, 1}}},              // 1050 is not strictly above 1.05 × 1000
      {{1000, 1051}, {{0}, {1}}},
      {{1080, 1040, 1000}, {{1, 2}, {0}}},   // reference stays at 1000: no chaining
      {{2000, 1000, 2000, 1000}, {{1, 3}, {0, 2}}},
      {{0, 10, 50}, {{0, 1, 2}}},            // the threshold itself is b0
      {{}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c);
    const auto shells = detect_shells(c.bvals, 50.0, 0.05);
    ASSERT_EQ(shells.size(), c.groups.size());
    for (std::size_t k = 0; k < shells.size(); ++k) EXPECT_EQ(shells[k].indices, c.groups[k]);
  }
}

TEST(Shell, NoB0ShellWithoutB0AndOnlyOneForAllB0) {
  auto shells = detect_shells({1000, 1000}, 50.0, 0.05);
  ASSERT_EQ(shells.size(), 1u);
  EXPECT_FALSE(shells[0].is_b0);
  shells = detect_shells({0, 5, 0}, 50.0, 0.05);
  ASSERT_EQ(shells.size(), 1u);
  EXPECT_TRUE(shells[0].is_b0);
  EXPECT_EQ(shells[0].count, 3u);
}

TEST(Shell, NanBvalueBelongsToNoShell) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const auto shells = detect_shells({0, nan, 1000}, 50.0, 0.05);
  ASSERT_EQ(shells.size(), 2u);
  EXPECT_EQ(shells[0].indices, (Indices{0}));
  EXPECT_EQ(shells[1].indices, (Indices{2}));
}

TEST(Shell, MakeShellSortsIndicesAndIgnoresNanInExtremes) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> b{990, nan, 1010, 1001};
  auto s = make_shell(b, {3, 0, 2}, false);
  EXPECT_EQ(s.indices, (Indices{0, 2, 3}));
  EXPECT_DOUBLE_EQ(s.mean_b, 3001.0 / 3.0);
  EXPECT_EQ(s.nominal_b, 1000.0);  // mean 1000.333…
  EXPECT_EQ(s.min_b, 990.0);
  EXPECT_EQ(s.max_b, 1010.0);
  s = make_shell(b, {1, 0}, false);
  EXPECT_TRUE(std::isnan(s.mean_b));
  EXPECT_EQ(s.min_b, 990.0);
  EXPECT_EQ(s.max_b, 990.0);
}

TEST(Shell, B0SummarySpacings) {
  std::vector<double> b(36, 1000.0);
  for (std::size_t i : {0, 10, 20, 35}) b[i] = 0.0;
  auto s = b0_summary(b, 50.0);
  EXPECT_EQ(s.count, 4u);
  EXPECT_EQ(s.indices, (Indices{0, 10, 20, 35}));
  EXPECT_EQ(s.spacings, (Indices{10, 10, 15}));
  s = b0_summary({1000, 0, 1000}, 50.0);
  EXPECT_EQ(s.indices, (Indices{1}));
  EXPECT_TRUE(s.spacings.empty());
}

TEST(Shell, NonIntegerBvals) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(non_integer_bvals({999.5, 1000.0005, 1000.0, nan, inf, -0.5, 3.002}, 0.001),
            (Indices{0, 5, 6}));
}

TEST(Shell, DriftSlopeAndRelativeRange) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    Indices indices;
    std::vector<double> means;
    double slope, relative;
  };
  const Case cases[] = {
      {{4}, {123.0}, 0.0, 0.0},                        // one b0: flat by definition
      {{0, 10, 20}, {100, 95, 90}, -0.5, 10.0 / 95.0},
      {{0, 5}, {0.0, 0.0}, 0.0, 0.0},                  // zero mean signal: no relative drift
      {{3, 3}, {100.0, 80.0}, 0.0, 20.0 / 90.0},       // Sxx is 0: no slope
      {{0, 5, 9}, {100.0, nan, 90.0}, nan, nan},       // a NaN mean poisons the mean signal
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.indices.size());
    const auto d = b0_drift(c.indices, c.means);
    EXPECT_EQ(d.indices, c.indices);
    if (std::isnan(c.relative)) {
      EXPECT_TRUE(std::isnan(d.relative_drift));
      continue;
    }
    EXPECT_DOUBLE_EQ(d.slope, c.slope);
    EXPECT_DOUBLE_EQ(d.relative_drift, c.relative);
  }
}
