#include "orivex/analysis/evidence.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "orivex/analysis/tensor.hpp"
#include "orivex/audit/verdict.hpp"

using namespace orivex;

namespace {

// Four seeds in two cubes of a 10 x 10 x 10 grid of 3 mm voxels (15 mm cubes: 5 voxels), steps
// of 1 mm, and per-seed steps for the 24 candidates: the best (column 3) and one close rival
// (column 5); every other candidate takes 1 step.
struct Fixture {
  TrackingResult t;
  std::vector<Seed> seeds;
};

Fixture fixture(const std::array<std::uint32_t, 4>& best, const std::array<std::uint32_t, 4>& rival) {
  Fixture f;
  const std::vector<Candidate> c = distinct_candidates();
  f.t.step_mm = 1.0;
  f.t.seeds = 4;
  f.t.seed_steps.assign(4 * 24, 1);
  const std::size_t voxels[4] = {0, 1, 999, 998};  // two in the first cube, two in the last
  for (std::size_t s = 0; s < 4; ++s) {
    f.seeds.push_back(Seed{voxels[s], {}});
    f.t.seed_steps[s * 24 + 3] = best[s];
    f.t.seed_steps[s * 24 + 5] = rival[s];
  }
  double sums[24] = {};
  for (std::size_t i = 0; i < f.t.seed_steps.size(); ++i) sums[i % 24] += f.t.seed_steps[i];
  for (std::size_t k = 0; k < 24; ++k) f.t.ranking.push_back({c[k], sums[k] / 4.0, k});
  std::stable_sort(f.t.ranking.begin(), f.t.ranking.end(),
                   [](const auto& a, const auto& b) { return a.mean_length_mm > b.mean_length_mm; });
  return f;
}

}  // namespace

TEST(MarginSpread, ClusterRobustErrorBetweenCubes) {
  // Differences best − rival: 2, 4 in one cube and 6, 8 in the other; mean 5. Deviations sum to
  // −4 and +4 per cube: variance 2/1 · 32 / 16 = 4, standard error 2, z 2.5.
  Fixture f = fixture({12, 14, 16, 18}, {10, 10, 10, 10});
  MarginSpread m = margin_spread(f.t, f.seeds, {10, 10, 10}, {3.0, 3.0, 3.0});
  EXPECT_EQ(m.blocks, 2u);
  EXPECT_EQ(f.t.ranking[m.closest].column, 5u);
  EXPECT_DOUBLE_EQ(m.lead_mm, 5.0);
  EXPECT_DOUBLE_EQ(m.lead_se_mm, 2.0);
  EXPECT_DOUBLE_EQ(m.z, 2.5);

  // A lead that never varies is infinitely many errors ahead; a tie is none.
  f = fixture({12, 12, 12, 12}, {10, 10, 10, 10});
  EXPECT_EQ(margin_spread(f.t, f.seeds, {10, 10, 10}, {3.0, 3.0, 3.0}).z,
            std::numeric_limits<double>::infinity());
  f = fixture({12, 12, 12, 12}, {12, 12, 12, 12});
  EXPECT_EQ(margin_spread(f.t, f.seeds, {10, 10, 10}, {3.0, 3.0, 3.0}).z, 0.0);
  // One cube holding every seed measures no spread between cubes: nothing is ahead.
  f = fixture({12, 14, 16, 18}, {10, 10, 10, 10});
  m = margin_spread(f.t, f.seeds, {10, 10, 10}, {3.0, 3.0, 3.0}, 100.0);
  EXPECT_EQ(m.blocks, 1u);
  EXPECT_EQ(m.z, 0.0);
}

TEST(RegionCoverage, CutAxesOfASlab) {
  // A ball of radius 5 in a 12 x 12 x 12 grid is whole; its central 4 slices are cut along z.
  const std::array<std::size_t, 3> dims{12, 12, 12};
  Mask ball(12 * 12 * 12, 0), slab(12 * 12 * 4, 0);
  for (std::size_t x = 0; x < 12; ++x)
    for (std::size_t y = 0; y < 12; ++y)
      for (std::size_t z = 0; z < 12; ++z) {
        const double r = std::hypot(x - 5.5, y - 5.5, z - 5.5);
        ball[(x * 12 + y) * 12 + z] = r <= 5.0;
        if (z >= 4 && z < 8) slab[(x * 12 + y) * 4 + (z - 4)] = r <= 5.0;
      }
  const Coverage whole = region_coverage(ball, dims, {2.0, 2.0, 2.0});
  EXPECT_FALSE(whole.partial());
  EXPECT_EQ(whole.extent_mm[0], 20.0);
  const Coverage part = region_coverage(slab, {12, 12, 4}, {2.0, 2.0, 2.0});
  EXPECT_TRUE(part.partial());
  EXPECT_TRUE(part.cut[2]);
  EXPECT_FALSE(part.cut[0] || part.cut[1]);
  EXPECT_EQ(part.extent_mm[2], 8.0);
}

TEST(MoreSeeds, NewVoxelsOnlyAndOneScoreForAll) {
  TensorField f;
  f.dims = {20, 20, 6};
  for (std::size_t v = 0; v < 20 * 20 * 6; ++v) {
    const double a = 0.05 * static_cast<double>(v % 37);
    f.evecs.push_back({std::cos(a), std::sin(a), 0.1});
    f.fa.push_back(0.5);
    f.s0.push_back(100.0);
    f.valid.push_back(1);
  }
  const Mask region(f.evecs.size(), 1);
  TrackingParams p;
  p.seeds = 300;
  const std::vector<Seed> first = draw_seeds(f, region, p);
  const std::vector<Seed> more = draw_more_seeds(f, region, p, first, 500);
  ASSERT_EQ(more.size(), 500u);
  for (const Seed& s : more)
    for (const Seed& t : first) ASSERT_NE(s.voxel, t.voxel);
  // Asking for more than is left gives what is left.
  EXPECT_EQ(draw_more_seeds(f, region, p, first, 5000).size(), 2400u - 300u);

  const auto geometry = TrackingGeometry::from_voxel_sizes({2.0, 2.0, 2.0}, 0.5);
  const Mat3 id{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
  TrackingResult grown = score_candidates(f, region, first, id, geometry, p);
  absorb(grown, score_candidates(f, region, more, id, geometry, p));
  std::vector<Seed> all = first;
  all.insert(all.end(), more.begin(), more.end());
  const TrackingResult once = score_candidates(f, region, all, id, geometry, p);
  EXPECT_EQ(grown.seeds, 800u);
  EXPECT_EQ(grown.seed_steps, once.seed_steps);
  for (std::size_t k = 0; k < 24; ++k) {
    EXPECT_EQ(grown.ranking[k].candidate.label, once.ranking[k].candidate.label);
    EXPECT_EQ(grown.ranking[k].mean_length_mm, once.ranking[k].mean_length_mm);
  }
}

TEST(SmoothDirections, RestoresABundleAxisAndKeepsTheRest) {
  // Directions along x with every other voxel tilted 40 degrees either way in y: the weighted
  // mean dyad of a neighbourhood points along x again. Voxels outside the region are untouched.
  TensorField f;
  f.dims = {5, 5, 5};
  const double c = std::cos(0.7), s = std::sin(0.7);
  for (std::size_t v = 0; v < 125; ++v) {
    const double sign = (v % 2 == 0) ? 1.0 : -1.0;
    f.evecs.push_back({c, sign * s, 0.0});
    f.fa.push_back(0.5);
    f.s0.push_back(100.0);
    f.valid.push_back(1);
  }
  Mask region(125, 1);
  region[0] = 0;
  const TensorField out = smooth_directions(f, region);
  const Vec3& centre = out.evecs[(2 * 5 + 2) * 5 + 2];
  EXPECT_NEAR(std::fabs(centre[0]), 1.0, 1e-2);
  EXPECT_EQ(out.evecs[0], f.evecs[0]);
  EXPECT_EQ(out.fa, f.fa);
}

TEST(Decide, WithinTheNoiseIsAWarnThatSaysSo) {
  Fixture f = fixture({42, 44, 46, 48}, {40, 40, 40, 40});
  FlipResult coherence;
  coherence.decision = Decision::WARN;
  const MarginSpread m = margin_spread(f.t, f.seeds, {10, 10, 10}, {3.0, 3.0, 3.0});
  Verdict v = decide(f.t, coherence, 0.05, 0.0, &m, 3.0);
  EXPECT_EQ(v.decision, Decision::WARN);
  EXPECT_EQ(v.reasons[2], "the two best candidates are within the noise: " +
                              f.t.ranking[0].candidate.label + " leads " +
                              f.t.ranking[m.closest].candidate.label +
                              " by 5.00 ± 2.00 mm per seed (2.5 standard errors; a decision "
                              "needs 3.0)");
  // The same margin clears a lower bar.
  EXPECT_EQ(decide(f.t, coherence, 0.05, 0.0, &m, 2.5).decision, Decision::FLAG);
}
