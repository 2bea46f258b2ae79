#include "orivex/analysis/candidate.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "test_support.hpp"

using namespace orivex;
using namespace orivex::test_support;

namespace {

const std::vector<std::string> kLabels = {
    "+x+y+z", "-x+y+z", "+x-y+z", "-x-y+z", "+x+y-z", "-x+y-z", "+x-y-z", "-x-y-z",
    "+x+z+y", "-x+z+y", "+x-z+y", "-x-z+y", "+x+z-y", "-x+z-y", "+x-z-y", "-x-z-y",
    "+y+x+z", "-y+x+z", "+y-x+z", "-y-x+z", "+y+x-z", "-y+x-z", "+y-x-z", "-y-x-z",
    "+y+z+x", "-y+z+x", "+y-z+x", "-y-z+x", "+y+z-x", "-y+z-x", "+y-z-x", "-y-z-x",
    "+z+x+y", "-z+x+y", "+z-x+y", "-z-x+y", "+z+x-y", "-z+x-y", "+z-x-y", "-z-x-y",
    "+z+y+x", "-z+y+x", "+z-y+x", "-z-y+x", "+z+y-x", "-z+y-x", "+z-y-x", "-z-y-x"};

}  // namespace

TEST(Candidates, LabelsInGenerationOrder) {
  const auto c = all_candidates();
  ASSERT_EQ(c.size(), 48u);
  for (std::size_t i = 0; i < c.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(c[i].label, kLabels[i]);
  }
}

TEST(Candidates, OnlyTheFirstIsIdentity) {
  const auto c = all_candidates();
  const Mat3 id{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
  EXPECT_EQ(c[0].matrix, id);
  EXPECT_TRUE(c[0].is_identity);
  for (std::size_t i = 1; i < c.size(); ++i) EXPECT_FALSE(c[i].is_identity) << c[i].label;
  EXPECT_EQ(c[7].label, "-x-y-z");
  EXPECT_EQ(c[7].matrix, (Mat3{{{-1, 0, 0}, {0, -1, 0}, {0, 0, -1}}}));
}

TEST(Candidates, MatricesAreDistinctAndClosedUnderNegation) {
  const auto c = all_candidates();
  std::set<Mat3> seen;
  for (const auto& k : c) seen.insert(k.matrix);
  EXPECT_EQ(seen.size(), 48u);
  for (const auto& k : c) {
    Mat3 neg = k.matrix;
    for (auto& row : neg)
      for (auto& v : row) v = -v;
    EXPECT_TRUE(seen.count(neg)) << k.label;
  }
}

// Every label reads as "component r of the corrected direction is <sign> <axis> of the old one".
TEST(Candidates, LabelDescribesTheMatrixAction) {
  const Vec3 g{2.0, 3.0, 5.0};
  for (const auto& k : all_candidates()) {
    SCOPED_TRACE(k.label);
    const Vec3 out = mul(k.matrix, g);
    for (int r = 0; r < 3; ++r) {
      const double sign = k.label[2 * r] == '-' ? -1.0 : 1.0;
      const int axis = k.label[2 * r + 1] - 'x';
      EXPECT_EQ(out[r], sign * g[axis]);
    }
    int nonzero = 0;
    for (const auto& row : k.matrix)
      for (double v : row) nonzero += v != 0.0;
    EXPECT_EQ(nonzero, 3);
  }
}

TEST(Candidates, SwapWithSignMapsAsWritten) {
  const auto c = all_candidates();
  EXPECT_EQ(c[17].label, "-y+x+z");
  EXPECT_EQ(mul(c[17].matrix, {1.0, 2.0, 3.0}), (Vec3{-2.0, 1.0, 3.0}));
  EXPECT_EQ(c[1].matrix, (Mat3{{{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}));
}
