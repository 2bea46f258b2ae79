#include "orivex/analysis/tracking.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <string>

#include "orivex/support/execution.hpp"
#include "orivex/analysis/flip.hpp"
#include "orivex/audit/verdict.hpp"

using namespace orivex;

namespace {

const Mat3 kIdentity{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};

TensorField make_field(const std::array<std::size_t, 3>& dims,
                       const std::function<Vec3(std::size_t, std::size_t, std::size_t)>& dir) {
  TensorField f;
  f.dims = dims;
  for (std::size_t x = 0; x < dims[0]; ++x)
    for (std::size_t y = 0; y < dims[1]; ++y)
      for (std::size_t z = 0; z < dims[2]; ++z) {
        f.evecs.push_back(dir(x, y, z));
        f.fa.push_back(0.6);
        f.s0.push_back(1000.0);
        f.valid.push_back(1);
      }
  return f;
}

double length_of(const TrackingResult& r, const std::string& label) {
  for (const auto& s : r.ranking)
    if (s.candidate.label == label) return s.mean_length_mm;
  ADD_FAILURE() << "no candidate " << label;
  return -1.0;
}

}  // namespace

TEST(SplitMix64, PublishedSequenceAndUnbiasedDraws) {
  // The reference sequence of SplitMix64 from the state 1234567.
  SplitMix64 g(1234567);
  EXPECT_EQ(g.next(), 6457827717110365317ULL);
  EXPECT_EQ(g.next(), 3203168211198807973ULL);
  EXPECT_EQ(g.next(), 9817491932198370423ULL);
  SplitMix64 h(7);
  for (int i = 0; i < 1000; ++i) {
    EXPECT_LT(h.below(3), 3u);
    const double u = h.unit();
    EXPECT_TRUE(u >= 0.0 && u < 1.0);
  }
}

TEST(DistinctCandidates, FirstOfEachPairIn24) {
  const auto c = distinct_candidates();
  ASSERT_EQ(c.size(), 24u);
  EXPECT_EQ(c[0].label, "+x+y+z");
  EXPECT_EQ(c[1].label, "-x+y+z");
  for (const auto& a : c)
    for (const auto& b : c)
      if (&a != &b) {
        EXPECT_FALSE(antipodal_or_equal(a.matrix, b.matrix));
      }
}

// Straight fibres along x through a 20 x 3 x 3 grid of 2 mm voxels: steps are 1 mm (half a
// voxel). From the centre of voxel x = 10 a track runs to the grid's faces at x = -0.5 and 19.5.
TEST(ScoreCandidates, StepCountsStopsAndFrames) {
  TensorField f = make_field({20, 3, 3}, [](auto, auto, auto) { return Vec3{1, 0, 0}; });
  const Mask region(f.evecs.size(), 1);
  const std::vector<Seed> seeds{{(10 * 3 + 1) * 3 + 1, {10.0, 1.0, 1.0}}};
  const auto geometry = TrackingGeometry::from_voxel_sizes({2.0, 2.0, 2.0}, 0.5);
  EXPECT_EQ(geometry.step_mm, 1.0);
  TrackingParams params;

  auto r = score_candidates(f, region, seeds, kIdentity, geometry, params);
  ASSERT_EQ(r.ranking.size(), 24u);
  EXPECT_EQ(r.ranking[0].candidate.label, "+x+y+z");  // ties keep generation order
  EXPECT_EQ(length_of(r, "+x+y+z"), 39.0);           // 18 steps forward, 21 back
  EXPECT_EQ(length_of(r, "-x+y+z"), 39.0);
  EXPECT_EQ(length_of(r, "+y+x+z"), 5.0);  // along y: 2 steps up to 2.0, 3 down to -0.5

  // The frame map is applied before the candidate is judged: a map that swaps x and y makes the
  // swap candidate the one that follows the fibres.
  const Mat3 swap{{{0, 1, 0}, {1, 0, 0}, {0, 0, 1}}};
  r = score_candidates(f, region, seeds, swap, geometry, params);
  EXPECT_EQ(length_of(r, "+y+x+z"), 39.0);
  EXPECT_EQ(r.ranking[0].candidate.label, "+y+x+z");

  // Low FA ends a track on entering the voxel; so does leaving the region.
  for (std::size_t y = 0; y < 3; ++y)
    for (std::size_t z = 0; z < 3; ++z) f.fa[(15 * 3 + y) * 3 + z] = 0.19;
  Mask cut = region;
  for (std::size_t y = 0; y < 3; ++y)
    for (std::size_t z = 0; z < 3; ++z) cut[(6 * 3 + y) * 3 + z] = 0;
  r = score_candidates(f, cut, seeds, kIdentity, geometry, params);
  EXPECT_EQ(length_of(r, "+x+y+z"), 8.0 + 7.0);  // up to x = 14.0 and down to 6.5

  // The length cap is per half.
  params.max_half_length_mm = 3.0;
  r = score_candidates(f, region, seeds, kIdentity, geometry, params);
  EXPECT_EQ(length_of(r, "+x+y+z"), 6.0);
}

TEST(ScoreCandidates, TurnsSharperThanTheLimitStop) {
  // Fibres along x for x < 10 and at 70 degrees from x beyond: the track stops at the bend.
  const double c = std::cos(70.0 * std::numbers::pi / 180.0), s = std::sin(70.0 * std::numbers::pi / 180.0);
  const TensorField f = make_field({20, 20, 3}, [&](auto x, auto, auto) {
    return x < 10 ? Vec3{1, 0, 0} : Vec3{c, s, 0};
  });
  const Mask region(f.evecs.size(), 1);
  const std::vector<Seed> seeds{{(5 * 20 + 10) * 3 + 1, {5.0, 10.0, 1.0}}};
  const auto geometry = TrackingGeometry::from_voxel_sizes({2.0, 2.0, 2.0}, 0.5);
  TrackingParams params;
  auto r = score_candidates(f, region, seeds, kIdentity, geometry, params);
  EXPECT_EQ(length_of(r, "+x+y+z"), 8.0 + 11.0);  // forward to 9.0, back to -0.5
  params.max_turn_deg = 75.0;
  r = score_candidates(f, region, seeds, kIdentity, geometry, params);
  EXPECT_GT(length_of(r, "+x+y+z"), 19.0);
}

TEST(ScoreCandidates, SameResultForAnyWorkerCount) {
  // A smoothly curving field with a little per-voxel wobble, tracked from drawn seeds.
  const TensorField f = make_field({30, 30, 12}, [](std::size_t x, std::size_t y, std::size_t z) {
    const double a = 0.08 * static_cast<double>(x + 2 * y) + 0.3 * std::sin(static_cast<double>(7 * z + x));
    return Vec3{std::cos(a), std::sin(a), 0.2 * std::cos(static_cast<double>(y))};
  });
  const Mask region = tracking_region(f, nullptr);
  TrackingParams params;
  params.seeds = 500;
  std::size_t eligible = 0;
  const auto seeds = draw_seeds(f, region, params, &eligible);
  ASSERT_EQ(seeds.size(), 500u);
  EXPECT_EQ(eligible, f.evecs.size());
  for (const Seed& s : seeds)
    for (int a = 0; a < 3; ++a) EXPECT_LE(std::fabs(s.point[a] - std::round(s.point[a])), 0.5);
  EXPECT_EQ(draw_seeds(f, region, params)[123].point, seeds[123].point);

  const auto geometry = TrackingGeometry::from_voxel_sizes({2.0, 2.0, 2.5}, 0.5);
  auto score_with = [&](std::uint64_t threads) {
    auto exec = Execution::create(threads);
    return exec->run([&] { return score_candidates(f, region, seeds, kIdentity, geometry, params); });
  };
  const TrackingResult one = score_with(1), two = score_with(2), five = score_with(5);
  for (std::size_t i = 0; i < 24; ++i) {
    EXPECT_EQ(one.ranking[i].mean_length_mm, two.ranking[i].mean_length_mm);
    EXPECT_EQ(one.ranking[i].mean_length_mm, five.ranking[i].mean_length_mm);
    EXPECT_EQ(one.ranking[i].candidate.label, five.ranking[i].candidate.label);
  }
}

// ---- the verdict ---------------------------------------------------------------------------

namespace {

TrackingResult tracking_with(const std::string& best, double best_mm, double given_mm) {
  TrackingResult t;
  t.seeds = 100;
  for (const Candidate& c : distinct_candidates()) {
    double mm = 10.0;
    if (c.label == best) mm = best_mm;
    else if (c.is_identity) mm = given_mm;
    t.ranking.push_back({c, mm});
  }
  std::stable_sort(t.ranking.begin(), t.ranking.end(),
                   [](const auto& a, const auto& b) { return a.mean_length_mm > b.mean_length_mm; });
  return t;
}

FlipResult coherence_with(const std::string& best, Decision decision) {
  FlipResult r;
  for (const Candidate& c : all_candidates())
    if (c.label == best) r.best = {c.label, c.matrix, c.is_identity, 0.5, 10};
  r.decision = decision;
  if (decision == Decision::FLAG) {
    r.recommended_label = r.best.label;
    r.recommended_transform = r.best.matrix;
  }
  return r;
}

}  // namespace

TEST(Decide, PassFlagAndWarnFromTheTrackingMargin) {
  const FlipResult quiet = coherence_with("+x+y+z", Decision::PASS);
  Verdict v = decide(tracking_with("+x+y+z", 40.0, 40.0), quiet, 0.05);
  EXPECT_EQ(v.decision, Decision::PASS);
  EXPECT_EQ(v.given_rank, 1u);
  EXPECT_DOUBLE_EQ(v.relative_margin, 0.75);
  EXPECT_FALSE(v.recommended_label);

  v = decide(tracking_with("-x+y+z", 40.0, 30.0), quiet, 0.05);
  EXPECT_EQ(v.decision, Decision::FLAG);
  EXPECT_EQ(*v.recommended_label, "-x+y+z");
  EXPECT_EQ((*v.recommended_transform)[0][0], -1.0);
  EXPECT_EQ(v.given_rank, 2u);
  EXPECT_DOUBLE_EQ(v.relative_margin, 0.25);
  EXPECT_EQ(v.runner_up.candidate.label, "+x+y+z");
  EXPECT_EQ(v.reasons.size(), 4u);
  EXPECT_EQ(v.reasons[0],
            "tracking: -x+y+z gives the longest tracks (mean 40.0 mm), 25.0% ahead of +x+y+z "
            "(30.0 mm)");

  // Exactly at the threshold decides; just below it does not.
  v = decide(tracking_with("-x+y+z", 40.0, 38.0), quiet, 0.05);
  EXPECT_EQ(v.decision, Decision::FLAG);
  v = decide(tracking_with("-x+y+z", 40.0, 38.01), quiet, 0.05);
  EXPECT_EQ(v.decision, Decision::WARN);
  EXPECT_FALSE(v.recommended_transform);

  // Stubs decide nothing, however they rank.
  v = decide(tracking_with("-x+y+z", 40.0, 30.0), quiet, 0.05, 40.5);
  EXPECT_EQ(v.decision, Decision::WARN);
  EXPECT_EQ(v.reasons[2],
            "tracks average 40.0 mm: too little structure to judge by (40.5 mm at least, a few "
            "voxels)");

  TrackingResult none = tracking_with("+x+y+z", 0.0, 0.0);
  none.seeds = 0;
  EXPECT_EQ(decide(none, quiet, 0.05).decision, Decision::WARN);
}

TEST(Decide, CoherenceFlaggingAnotherCorrectionMakesItWarn) {
  const TrackingResult xflip = tracking_with("-x+y+z", 40.0, 20.0);
  // The same axes (coherence's first of the pair is the other sign) keep the FLAG.
  Verdict v = decide(xflip, coherence_with("+x-y-z", Decision::FLAG), 0.05);
  EXPECT_EQ(v.decision, Decision::FLAG);
  EXPECT_TRUE(v.coherence_agrees);
  v = decide(xflip, coherence_with("+x-y+z", Decision::FLAG), 0.05);
  EXPECT_EQ(v.decision, Decision::WARN);
  EXPECT_FALSE(v.coherence_agrees);
  // A coherence WARN with another best is shown, not counted against the verdict.
  EXPECT_EQ(decide(xflip, coherence_with("+x-y+z", Decision::WARN), 0.05).decision,
            Decision::FLAG);
  // A clear PASS by tracking is held back when coherence would FLAG a correction.
  EXPECT_EQ(decide(tracking_with("+x+y+z", 40.0, 40.0), coherence_with("+y+x+z", Decision::FLAG),
                   0.05)
                .decision,
            Decision::WARN);
}
