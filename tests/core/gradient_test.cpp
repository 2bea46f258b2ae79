#include "orivex/io/gradient.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "orivex/support/error.hpp"

using namespace orivex;

TEST(GradientTable, MismatchNamesBothLengths) {
  auto t = GradientTable::create(std::vector<Vec3>(10), std::vector<double>(9));
  ASSERT_FALSE(t);
  EXPECT_EQ(t.error().message(), "gradient table mismatch: 10 directions but 9 b-values");
}

TEST(GradientTable, ThresholdIsInclusiveForB0) {
  auto t = GradientTable::create({{1, 0, 0}, {1, 0, 0}, {1, 0, 0}}, {50.0, 50.0000001, 0});
  ASSERT_TRUE(t);
  EXPECT_EQ(t->b0_indices(50.0), (std::vector<std::size_t>{0, 2}));
}

TEST(GradientTable, NormStatsToleranceBoundary) {
  auto t = GradientTable::create({{1.04, 0, 0}, {1.06, 0, 0}, {0, 1.05, 0}, {0, 0, 0}},
                                 {1000, 1000, 1000, 0});
  auto s = t->norm_stats(50, 0.05);
  EXPECT_EQ(s.non_b0_count, 3u);
  EXPECT_EQ(s.non_unit_count, 2u);  // 1.05 - 1 is slightly above 0.05 in binary
  EXPECT_DOUBLE_EQ(s.norm_min, 1.04);
  EXPECT_DOUBLE_EQ(s.norm_max, 1.06);
}

TEST(GradientTable, AllB0NormStatsAreZero) {
  auto t = GradientTable::create({{1, 0, 0}}, {0});
  auto s = t->norm_stats(50, 0.07);
  EXPECT_EQ(s.non_b0_count, 0u);
  EXPECT_EQ(s.norm_max, 0.0);
  EXPECT_EQ(s.tolerance, 0.07);
}

TEST(GradientTable, NormalizedZeroesB0AndShortDirections) {
  auto t = GradientTable::create({{3, 0, 4}, {0, 0, 0}, {1, 1, 1}}, {1000, 1000, 10});
  auto n = t->normalized(50);
  EXPECT_DOUBLE_EQ(n.bvecs()[0][0], 0.6);
  EXPECT_DOUBLE_EQ(n.bvecs()[0][2], 0.8);
  EXPECT_EQ(n.bvecs()[1], (Vec3{0, 0, 0}));
  EXPECT_EQ(n.bvecs()[2], (Vec3{0, 0, 0}));
}

TEST(GradientTable, RecoverBvalsFromAmplitude) {
  auto t = GradientTable::create({{1, 0, 0}, {0, 0.5, 0}, {0, 0, 0}}, {1000, 1000, 0});
  auto r = t->recover_bvals(50);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->table.bvals(), (std::vector<double>{1000, 250, 0}));
  EXPECT_EQ(r->b_nominal, 1000);
  EXPECT_EQ(r->max_norm, 1.0);
  EXPECT_EQ(r->table.bvecs()[1], (Vec3{0, 1, 0}));
}

TEST(GradientTable, RecoverBvalsNeedsADirection) {
  auto t = GradientTable::create({{0, 0, 0}, {0, 0, 0}}, {1000, 0});
  auto r = t->recover_bvals(50);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "no usable non-b0 shell for flip detection");
}
