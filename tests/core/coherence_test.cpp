#include "orivex/analysis/coherence.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "orivex/analysis/flip.hpp"
#include "orivex/analysis/tensor.hpp"
#include "orivex/support/execution.hpp"

using namespace orivex;

namespace {

struct Grid {
  GridDims dims;
  std::vector<Vec3> dirs;
  Mask mask;

  explicit Grid(GridDims d)
      : dims(d), dirs(d[0] * d[1] * d[2], Vec3{0, 0, 0}), mask(d[0] * d[1] * d[2], 0) {}
  std::size_t index(std::size_t x, std::size_t y, std::size_t z) const {
    return (x * dims[1] + y) * dims[2] + z;
  }
  void set(std::size_t x, std::size_t y, std::size_t z, Vec3 v, bool in_mask = true) {
    dirs[index(x, y, z)] = v;
    mask[index(x, y, z)] = in_mask ? 1 : 0;
  }
  std::vector<std::size_t> mask_list() const {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < mask.size(); ++i)
      if (mask[i]) out.push_back(i);
    return out;
  }
};

}  // namespace

TEST(CoherenceSample, OwnCornerAtIntegerPoint) {
  Grid g({3, 3, 3});
  g.set(1, 1, 1, {0, 3, 4});
  const auto s = sample(g.dirs, g.mask, g.dims, {1, 1, 1}, {0, 1, 0});
  ASSERT_TRUE(s);
  EXPECT_DOUBLE_EQ((*s)[0], 0.0);
  EXPECT_DOUBLE_EQ((*s)[1], 0.6);
  EXPECT_DOUBLE_EQ((*s)[2], 0.8);
}

TEST(CoherenceSample, TrilinearWeightsAlongOneAxis) {
  Grid g({2, 1, 1});
  g.set(0, 0, 0, {1, 0, 0});
  g.set(1, 0, 0, {0, 1, 0});
  const auto s = sample(g.dirs, g.mask, g.dims, {0.25, 0, 0}, {1, 0, 0});
  ASSERT_TRUE(s);
  const double n = std::sqrt(0.75 * 0.75 + 0.25 * 0.25);
  EXPECT_DOUBLE_EQ((*s)[0], 0.75 / n);
  EXPECT_DOUBLE_EQ((*s)[1], 0.25 / n);
}

TEST(CoherenceSample, AntiparallelCornersAreAlignedNotCancelled) {
  Grid g({2, 1, 1});
  g.set(0, 0, 0, {1, 0, 0});
  g.set(1, 0, 0, {-1, 0, 0});
  const auto s = sample(g.dirs, g.mask, g.dims, {0.5, 0, 0}, {1, 0, 0});
  ASSERT_TRUE(s);
  EXPECT_DOUBLE_EQ((*s)[0], 1.0);
  // Turned towards a reference pointing the other way.
  const auto t = sample(g.dirs, g.mask, g.dims, {0.5, 0, 0}, {-1, 0, 0});
  ASSERT_TRUE(t);
  EXPECT_DOUBLE_EQ((*t)[0], -1.0);
}

TEST(CoherenceSample, CornerOutsideMaskNeverContributes) {
  Grid g({2, 1, 1});
  g.set(0, 0, 0, {1, 0, 0});
  g.set(1, 0, 0, {0, 1, 0}, /*in_mask=*/false);
  const auto s = sample(g.dirs, g.mask, g.dims, {0.9, 0, 0}, {1, 0, 0});
  ASSERT_TRUE(s);
  EXPECT_EQ(*s, (Vec3{1, 0, 0}));
  // Only the masked-out corner has weight: absent.
  EXPECT_FALSE(sample(g.dirs, g.mask, g.dims, {1, 0, 0}, {1, 0, 0}));
}

TEST(CoherenceSample, AbsentCases) {
  Grid g({2, 2, 2});
  for (std::size_t i = 0; i < 8; ++i) {
    g.dirs[i] = {0, 0, 1};
    g.mask[i] = 1;
  }
  const Vec3 r{0, 0, 1};
  struct Case {
    const char* what;
    Vec3 point;
    bool present;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {"inside", {0.5, 0.5, 0.5}, true},
      {"last voxel", {1, 1, 1}, true},
      {"just beyond the last voxel keeps its weight", {1.5, 1, 1}, true},
      {"fully beyond the grid", {2, 1, 1}, false},
      {"below zero", {-1, 0, 0}, false},
      {"partly below zero", {-0.5, 0, 0}, true},
      {"NaN coordinate", {nan, 0, 0}, false},
      {"infinite coordinate", {inf, 0, 0}, false},
      {"minus infinity", {0, -inf, 0}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(sample(g.dirs, g.mask, g.dims, c.point, r).has_value(), c.present);
  }
}

TEST(CoherenceSample, TinyDirectionsAreIgnoredAndZeroAverageIsAbsent) {
  Grid g({2, 1, 1});
  g.set(0, 0, 0, {1e-10, 0, 0});
  g.set(1, 0, 0, {1, 0, 0});
  EXPECT_FALSE(sample(g.dirs, g.mask, g.dims, {0, 0, 0}, {1, 0, 0}));
  const auto s = sample(g.dirs, g.mask, g.dims, {0.1, 0, 0}, {1, 0, 0});
  ASSERT_TRUE(s);
  EXPECT_EQ(*s, (Vec3{1, 0, 0}));
}

TEST(CoherenceSum, StepZeroAddsTheDirectionLength) {
  Grid g({3, 3, 3});
  g.set(1, 1, 1, {0, 0, 2});
  const auto r = coherence_sum(g.dirs, g.mask_list(), g.mask, g.dims, 0.0);
  EXPECT_EQ(r.attempted, 2u);
  EXPECT_EQ(r.ok, 2u);
  EXPECT_DOUBLE_EQ(r.sum, 4.0);
}

TEST(CoherenceSum, EdgeStepsOutOfGridCountAsAttempted) {
  Grid g({3, 1, 1});
  for (std::size_t x = 0; x < 3; ++x) g.set(x, 0, 0, {1, 0, 0});
  const auto r = coherence_sum(g.dirs, g.mask_list(), g.mask, g.dims, 1.0);
  // x=0 and x=2 each lose one side; x=1 finds both.
  EXPECT_EQ(r.attempted, 6u);
  EXPECT_EQ(r.ok, 4u);
  EXPECT_DOUBLE_EQ(r.sum, 4.0);
}

TEST(CoherenceSum, ZeroDirectionVoxelsAreNotAttempted) {
  Grid g({3, 1, 1});
  g.set(0, 0, 0, {0, 0, 0});
  g.set(1, 0, 0, {5e-10, 0, 0});
  g.set(2, 0, 0, {2e-9, 0, 0});
  const auto r = coherence_sum(g.dirs, g.mask_list(), g.mask, g.dims, 0.0);
  EXPECT_EQ(r.attempted, 2u);
  EXPECT_EQ(r.ok, 2u);
}

TEST(CoherenceSum, MisalignedNeighboursScoreLower) {
  // A straight bundle along x: aligned directions score 1 per sample; turning the field so that
  // it claims y makes each step leave the bundle.
  Grid along({8, 8, 1});
  Grid across({8, 8, 1});
  for (std::size_t x = 0; x < 8; ++x) {
    along.set(x, 3, 0, {1, 0, 0});
    across.set(x, 3, 0, {0, 1, 0});
  }
  const auto a = coherence_sum(along.dirs, along.mask_list(), along.mask, along.dims, 1.0);
  const auto b = coherence_sum(across.dirs, across.mask_list(), across.mask, across.dims, 1.0);
  EXPECT_EQ(a.attempted, 16u);
  EXPECT_EQ(a.ok, 14u);
  EXPECT_DOUBLE_EQ(a.sum, 14.0);
  EXPECT_EQ(b.attempted, 16u);
  EXPECT_EQ(b.ok, 0u);
  EXPECT_EQ(b.sum, 0.0);
}

TEST(CoherenceSum, CountsDoNotDependOnThePool) {
  Grid g({20, 20, 20});
  for (std::size_t x = 0; x < 20; ++x)
    for (std::size_t y = 0; y < 20; ++y)
      for (std::size_t z = 0; z < 20; ++z) {
        const double a = 0.3 * x + 0.2 * y - 0.1 * z;
        g.set(x, y, z, {std::cos(a), std::sin(a), 0.1 * (z % 3)}, (x + y + z) % 5 != 0);
      }
  const auto list = g.mask_list();
  const SumCounts serial = [&] {
    SumCounts acc;
    for (std::size_t i : list) {
      const SumCounts one = coherence_sum(g.dirs, {i}, g.mask, g.dims, 1.3);
      acc.sum += one.sum;
      acc.ok += one.ok;
      acc.attempted += one.attempted;
    }
    return acc;
  }();
  for (std::uint64_t threads : {1u, 3u}) {
    auto exec = Execution::create(threads);
    ASSERT_TRUE(exec);
    const SumCounts r =
        exec->run([&] { return coherence_sum(g.dirs, list, g.mask, g.dims, 1.3); });
    EXPECT_EQ(r.attempted, serial.attempted);
    EXPECT_EQ(r.ok, serial.ok);
    EXPECT_NEAR(r.sum, serial.sum, 1e-9 * serial.sum);
  }
}

TEST(CoherenceSum, ThinArcPrefersTheTrueTangent) {
  // A one-voxel-thick arc of radius 8 in the xy plane. The true tangents step along the arc;
  // the same field with x and y exchanged points across it and mostly leaves the mask.
  Grid truth({12, 12, 1});
  Grid swapped({12, 12, 1});
  for (std::size_t x = 0; x < 12; ++x)
    for (std::size_t y = 0; y < 12; ++y) {
      const double r = std::hypot(static_cast<double>(x), static_cast<double>(y));
      if (std::fabs(r - 8.0) > 0.5) continue;
      const Vec3 t{-static_cast<double>(y) / r, static_cast<double>(x) / r, 0.0};
      truth.set(x, y, 0, t);
      swapped.set(x, y, 0, {t[1], t[0], t[2]});
    }
  const auto a = coherence_sum(truth.dirs, truth.mask_list(), truth.mask, truth.dims, 1.0);
  const auto b = coherence_sum(swapped.dirs, swapped.mask_list(), swapped.mask, swapped.dims, 1.0);
  ASSERT_EQ(a.attempted, b.attempted);
  EXPECT_GT(a.ok, b.ok);
  EXPECT_GT(a.sum / a.attempted, 0.8);
  // Near 45° the swapped field is itself almost tangent, so the gap is moderate.
  EXPECT_GT(a.sum / a.attempted, b.sum / b.attempted + 0.05);
}

TEST(CoherenceSums, EachMapScoresAsItsCorrectedField) {
  // An oblique, slightly sheared map (as a world frame from a float affine gives) and a signed
  // permutation, scored together, against coherence_sum of the explicitly corrected fields.
  Grid g({9, 8, 7});
  for (std::size_t x = 0; x < 9; ++x)
    for (std::size_t y = 0; y < 8; ++y)
      for (std::size_t z = 0; z < 7; ++z) {
        const double a = 0.4 * x - 0.3 * y + 0.2 * z;
        g.set(x, y, z, {std::cos(a), std::sin(a), 0.3 * std::cos(0.7 * z)}, (x * y + z) % 4 != 1);
      }
  const Mat3 oblique{{{0.96, -0.28, 0.01}, {0.28, 0.96, 0.0}, {0.0, 0.02, 1.0}}};
  const Mat3 perm{{{0, -1, 0}, {0, 0, 1}, {1, 0, 0}}};
  const auto list = g.mask_list();
  const auto fused = coherence_sums(g.dirs, list, g.mask, g.dims, 1.7, {oblique, perm});
  ASSERT_EQ(fused.size(), 2u);
  for (std::size_t j = 0; j < 2; ++j) {
    const Mat3& k = j == 0 ? oblique : perm;
    std::vector<Vec3> corrected(g.dirs.size(), Vec3{0, 0, 0});
    for (std::size_t i : list) {
      const Vec3& e = g.dirs[i];
      for (int r = 0; r < 3; ++r) corrected[i][r] = k[r][0] * e[0] + k[r][1] * e[1] + k[r][2] * e[2];
    }
    const SumCounts direct = coherence_sum(corrected, list, g.mask, g.dims, 1.7);
    EXPECT_EQ(fused[j].attempted, direct.attempted);
    EXPECT_EQ(fused[j].ok, direct.ok);
    EXPECT_NEAR(fused[j].sum, direct.sum, 1e-12 * direct.sum);
  }
}

TEST(RankCandidates, BitIdenticalForAnyThreadCount) {
  TensorField f;
  f.dims = {24, 22, 20};
  Mask mask;
  for (std::size_t x = 0; x < 24; ++x)
    for (std::size_t y = 0; y < 22; ++y)
      for (std::size_t z = 0; z < 20; ++z) {
        const double a = 0.23 * x - 0.17 * y + 0.05 * z;
        f.evecs.push_back({std::cos(a), std::sin(a), 0.2 * std::sin(0.3 * z)});
        mask.push_back((x + 2 * y + z) % 7 != 0);
      }
  const Mat3 oblique{{{0.96, -0.28, 0.01}, {0.28, 0.96, 0.0}, {0.0, 0.02, 1.0}}};
  auto run = [&](std::uint64_t threads) {
    auto exec = Execution::create(threads);
    return exec->run([&] { return rank_candidates(f, mask, oblique, 1.6); });
  };
  const auto one = run(1);
  for (std::uint64_t threads : {2u, 3u}) {
    const auto other = run(threads);
    ASSERT_EQ(other.size(), one.size());
    for (std::size_t i = 0; i < one.size(); ++i) {
      EXPECT_EQ(other[i].label, one[i].label);
      EXPECT_EQ(other[i].coherence, one[i].coherence);
      EXPECT_EQ(other[i].n_samples, one[i].n_samples);
    }
  }
}
