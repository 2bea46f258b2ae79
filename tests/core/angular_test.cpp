#include "orivex/analysis/angular.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace orivex;

namespace {

GradientTable table_of(std::vector<Vec3> dirs, std::vector<double> bvals) {
  auto t = GradientTable::create(std::move(dirs), std::move(bvals));
  EXPECT_TRUE(t);
  return std::move(t).value();
}

Vec3 at_angle_deg(double deg) {
  const double r = deg * 0.017453292519943295;
  return {std::cos(r), std::sin(r), 0.0};
}

std::vector<Vec3> fibonacci_sphere(std::size_t n) {
  std::vector<Vec3> dirs;
  const double golden = M_PI * (3.0 - std::sqrt(5.0));
  for (std::size_t k = 0; k < n; ++k) {
    const double z = 1.0 - (static_cast<double>(k) + 0.5) / static_cast<double>(n);  // one hemisphere
    const double r = std::sqrt(1.0 - z * z);
    dirs.push_back({r * std::cos(golden * k), r * std::sin(golden * k), z});
  }
  return dirs;
}

}  // namespace

TEST(Angular, OnlyB0GivesNoShells) {
  const auto a = analyze(table_of({{0, 0, 0}, {1, 0, 0}}, {0, 20}), 50.0, 0.05, 5.0);
  EXPECT_TRUE(a.shells.empty());
  EXPECT_EQ(a.duplicate_angle_deg, 5.0);
}

TEST(Angular, ConditionNumberOfSixSpreadDirections) {
  const double s = 1.0 / std::sqrt(2.0);
  const std::vector<Vec3> dirs{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {s, s, 0}, {s, 0, s}, {0, s, s}};
  const auto c = design_condition_number(dirs);
  ASSERT_TRUE(c.has_value());
  // numpy.linalg.cond of the 6×6 design matrix (x², y², z², 2xy, 2xz, 2yz).
  EXPECT_NEAR(*c, 2.618033988749894, 1e-9);
}

TEST(Angular, ConditionNumberAbsentWhenDegenerateOrTooFew) {
  EXPECT_FALSE(design_condition_number(std::vector<Vec3>(6, Vec3{1, 0, 0})).has_value());
  const auto five = std::vector<Vec3>{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0.6, 0.8, 0}, {0.6, 0, 0.8}};
  EXPECT_FALSE(design_condition_number(five).has_value());
}

TEST(Angular, SameDirectionTwiceAndItsNegative) {
  const auto a = analyze(table_of({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 0, 0}, {-1, 0, 0}},
                                  {0, 1000, 1000, 1000, 1000}),
                         50.0, 0.05, 5.0);
  ASSERT_EQ(a.shells.size(), 1u);
  const auto& d = a.shells[0].duplicates;
  ASSERT_EQ(d.size(), 3u);  // (1,3) same, (1,4) antipodal, (3,4) antipodal
  EXPECT_EQ(d[0].i, 1u);
  EXPECT_EQ(d[0].j, 3u);
  EXPECT_EQ(d[0].angle_deg, 0.0);
  EXPECT_FALSE(d[0].antipodal);
  EXPECT_EQ(d[1].i, 1u);
  EXPECT_EQ(d[1].j, 4u);
  EXPECT_EQ(d[1].angle_deg, 0.0);
  EXPECT_TRUE(d[1].antipodal);
  EXPECT_EQ(d[2].i, 3u);
  EXPECT_EQ(d[2].j, 4u);
}

TEST(Angular, DuplicateAngleIsAStrictBound) {
  struct Case {
    double deg;
    bool reported;
  };
  for (const Case c : {Case{6.0, false}, Case{4.0, true}, Case{176.0, true}, Case{90.0, false}}) {
    SCOPED_TRACE(c.deg);
    const auto a = analyze(table_of({{1, 0, 0}, at_angle_deg(c.deg)}, {1000, 1000}), 50, 0.05, 5);
    ASSERT_EQ(a.shells.size(), 1u);
    ASSERT_EQ(a.shells[0].duplicates.size(), c.reported ? 1u : 0u);
    if (c.reported) {
      EXPECT_NEAR(a.shells[0].duplicates[0].angle_deg, 4.0, 1e-6);
      EXPECT_EQ(a.shells[0].duplicates[0].antipodal, c.deg > 90.0);
    }
  }
}

TEST(Angular, DirectionCountThresholds) {
  struct Case {
    std::size_t n;
    bool dti_min, dti_rec, csd;
  };
  for (const Case c : {Case{5, false, false, false}, Case{6, true, false, false},
                       Case{29, true, false, false}, Case{30, true, true, false},
                       Case{44, true, true, false}, Case{45, true, true, true}}) {
    SCOPED_TRACE(c.n);
    const auto dirs = fibonacci_sphere(c.n);
    const auto a = analyze(table_of(dirs, std::vector<double>(c.n, 1000.0)), 50, 0.05, 5);
    ASSERT_EQ(a.shells.size(), 1u);
    EXPECT_EQ(a.shells[0].count, c.n);
    EXPECT_EQ(a.shells[0].meets_dti_minimum, c.dti_min);
    EXPECT_EQ(a.shells[0].meets_dti_recommended, c.dti_rec);
    EXPECT_EQ(a.shells[0].meets_csd_minimum, c.csd);
  }
}

TEST(Angular, EnergyCountsDirectAndAntipodalTerms) {
  // Orthogonal unit pair: both distances are √2.
  auto a = analyze(table_of({{1, 0, 0}, {0, 1, 0}}, {1000, 1000}), 50, 0.05, 5);
  EXPECT_DOUBLE_EQ(a.shells[0].electrostatic_energy, 2.0 / std::sqrt(2.0));
  a = analyze(table_of({{0, 0, 1}}, {1000}), 50, 0.05, 5);
  EXPECT_EQ(a.shells[0].electrostatic_energy, 0.0);
}

TEST(Angular, ZeroLengthDirectionsHitTheDistanceFloor) {
  // One zero direction with one unit partner adds 1 + 1; two zero directions add 2e9.
  auto a = analyze(table_of({{0, 0, 0}, {1, 0, 0}}, {1000, 1000}), 50, 0.05, 5);
  EXPECT_DOUBLE_EQ(a.shells[0].electrostatic_energy, 2.0);
  EXPECT_TRUE(a.shells[0].duplicates.empty());
  a = analyze(table_of({{0, 0, 0}, {0, 0, 0}}, {1000, 1000}), 50, 0.05, 5);
  EXPECT_DOUBLE_EQ(a.shells[0].electrostatic_energy, 2e9);
  EXPECT_TRUE(a.shells[0].duplicates.empty());
}

TEST(Angular, UsesNormalisedDirectionsAndShellOrder) {
  const auto a = analyze(table_of({{2, 0, 0}, {0, 0, 3}, {0, 5, 0}, {0, 0, 0}}, {3000, 1000, 3000, 0}),
                         50, 0.05, 5);
  ASSERT_EQ(a.shells.size(), 2u);
  EXPECT_EQ(a.shells[0].nominal_b, 1000.0);
  EXPECT_EQ(a.shells[1].nominal_b, 3000.0);
  EXPECT_EQ(a.shells[1].count, 2u);
  EXPECT_DOUBLE_EQ(a.shells[1].electrostatic_energy, 2.0 / std::sqrt(2.0));
}
