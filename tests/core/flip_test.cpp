#include "orivex/analysis/flip.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "orivex/analysis/candidate.hpp"
#include "orivex/analysis/coherence.hpp"
#include "test_support.hpp"

using namespace orivex;
using namespace orivex::test_support;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Mat3 matrix_of(const std::string& label) {
  for (const auto& c : all_candidates())
    if (c.label == label) return c.matrix;
  ADD_FAILURE() << "no candidate " << label;
  return kIdentity;
}

constexpr GridDims kDims{40, 12, 12};

// A "plywood" phantom: five blocks along x, each made of sheets of straight fibres whose
// direction alternates between two perpendicular families every three sheets. Within a sheet the
// field is constant along both families, so the right axes step along the sheet and agree, while
// an axis assignment that tilts a family out of its sheet crosses into the other family. The
// sheet normals (z, x, y, (1,1,0), (0,1,1)) leave only the identity and its negation intact.
Vec3 plywood(std::size_t x, std::size_t y, std::size_t z) {
  const double r = 1.0 / std::sqrt(2.0);
  struct Block {
    Vec3 a, b;
    std::size_t sheet;
  };
  const Block blocks[] = {
      {{1, 0, 0}, {0, 1, 0}, z},
      {{0, 1, 0}, {0, 0, 1}, x},
      {{0, 0, 1}, {1, 0, 0}, y},
      {{r, -r, 0}, {0, 0, 1}, x + y},
      {{0, r, -r}, {1, 0, 0}, y + z},
  };
  const Block& k = blocks[std::min<std::size_t>(x / 8, 4)];
  return (k.sheet / 3) % 2 == 0 ? k.a : k.b;
}

TensorField make_field(const GridDims& dims,
                       const std::function<Vec3(std::size_t, std::size_t, std::size_t)>& dir) {
  TensorField f;
  f.dims = dims;
  for (std::size_t x = 0; x < dims[0]; ++x)
    for (std::size_t y = 0; y < dims[1]; ++y)
      for (std::size_t z = 0; z < dims[2]; ++z) {
        f.evecs.push_back(dir(x, y, z));
        f.fa.push_back(0.7);
        f.s0.push_back(1000.0);
        f.valid.push_back(1);
      }
  return f;
}

const CandidateScore& score_of(const std::vector<CandidateScore>& r, const std::string& label) {
  for (const auto& s : r)
    if (s.label == label) return s;
  ADD_FAILURE() << "no score " << label;
  return r.front();
}

std::vector<CandidateScore> ranking_with(const std::map<std::string, double>& coherences,
                                         double rest) {
  std::vector<CandidateScore> out;
  for (const auto& c : all_candidates()) {
    const auto it = coherences.find(c.label);
    out.push_back({c.label, c.matrix, c.is_identity, it == coherences.end() ? rest : it->second,
                   10});
  }
  sort_by_coherence(out);
  return out;
}

}  // namespace

// ---- ranking -------------------------------------------------------------------------------

TEST(RankCandidates, PlywoodPrefersTheIdentityPair) {
  const TensorField f = make_field(kDims, plywood);
  const Mask mask(f.evecs.size(), 1);
  const auto r = rank_candidates(f, mask, kIdentity, 1.0);
  ASSERT_EQ(r.size(), 48u);
  EXPECT_EQ(r[0].label, "+x+y+z");
  EXPECT_EQ(r[1].label, "-x-y-z");
  EXPECT_EQ(r[0].coherence, r[1].coherence);
  EXPECT_GT(r[0].coherence - r[2].coherence, 0.02 * r[0].coherence);
  EXPECT_EQ(r[0].n_samples, r[1].n_samples);
}

TEST(RankCandidates, NegationsScoreExactlyAlike) {
  const TensorField f = make_field(kDims, plywood);
  Mask mask(f.evecs.size(), 0);
  for (std::size_t i = 0; i < mask.size(); i += 2) mask[i] = 1;
  const auto r = rank_candidates(f, mask, kIdentity, 0.8);
  for (const auto& s : r) {
    Mat3 neg = s.matrix;
    for (auto& row : neg)
      for (auto& v : row) v = -v;
    for (const auto& t : r) {
      if (t.matrix != neg) continue;
      EXPECT_EQ(t.coherence, s.coherence) << s.label;
      EXPECT_EQ(t.n_samples, s.n_samples) << s.label;
    }
  }
}

TEST(RankCandidates, StraightBundleSamplesAndScore) {
  // A single straight line of 6 voxels along x: identity scores 10/12 (the two ends each miss
  // one side), every candidate moving x elsewhere leaves the line.
  TensorField f;
  f.dims = {6, 3, 3};
  const std::size_t nv = 6 * 3 * 3;
  f.evecs.assign(nv, {0, 0, 0});
  f.fa.assign(nv, 0.0);
  f.s0.assign(nv, 100.0);
  f.valid.assign(nv, 0);
  Mask mask(nv, 0);
  for (std::size_t x = 0; x < 6; ++x) {
    const std::size_t i = (x * 3 + 1) * 3 + 1;
    f.evecs[i] = {1, 0, 0};
    f.valid[i] = 1;
    mask[i] = 1;
  }
  const auto r = rank_candidates(f, mask, kIdentity, 1.0);
  EXPECT_DOUBLE_EQ(score_of(r, "+x+y+z").coherence, 10.0 / 12.0);
  EXPECT_EQ(score_of(r, "+x+y+z").n_samples, 10u);
  EXPECT_EQ(score_of(r, "+x+z+y").coherence, score_of(r, "+x+y+z").coherence);
  EXPECT_EQ(score_of(r, "+y+x+z").coherence, 0.0);
  EXPECT_EQ(score_of(r, "+y+x+z").n_samples, 0u);
}

TEST(RankCandidates, NoDirectionsKeepsGenerationOrder) {
  TensorField f;
  f.dims = {3, 3, 3};
  f.evecs.assign(27, {0, 0, 0});
  f.evecs[4] = {1e-10, 0, 0};
  f.fa.assign(27, 0.0);
  f.s0.assign(27, 0.0);
  f.valid.assign(27, 0);
  const Mask mask(27, 1);
  const auto r = rank_candidates(f, mask, kIdentity, 1.0);
  const auto c = all_candidates();
  ASSERT_EQ(r.size(), c.size());
  for (std::size_t i = 0; i < r.size(); ++i) {
    EXPECT_EQ(r[i].label, c[i].label);
    EXPECT_EQ(r[i].coherence, 0.0);
    EXPECT_EQ(r[i].n_samples, 0u);
  }
}

TEST(RankCandidates, FrameMapIsAppliedAfterTheCandidate) {
  // Stored directions are A·true; with frame map B the winner C must satisfy B·C·A = ±I, i.e.
  // C = Bᵀ·Aᵀ. For A = "-x+y+z" and B = "+y+x+z" that is "+y-x+z" (and not "-y+x+z", the
  // answer if the two were composed the other way round).
  const Mat3 a = matrix_of("-x+y+z");
  const Mat3 b = matrix_of("+y+x+z");
  const TensorField f =
      make_field(kDims, [&](auto x, auto y, auto z) { return mul(a, plywood(x, y, z)); });
  const Mask mask(f.evecs.size(), 1);
  const auto r = rank_candidates(f, mask, b, 1.0);
  EXPECT_EQ(r[0].label, "+y-x+z");
  EXPECT_EQ(r[1].label, "-y+x-z");
}

TEST(SortByCoherence, TotalOrderLargestFirstAndStable) {
  const std::vector<std::pair<std::string, double>> in = {
      {"a", 1.0}, {"b", kNaN}, {"c", kInf}, {"d", std::copysign(kNaN, -1.0)}, {"e", 1.0},
      {"f", -kInf}, {"g", 0.0}, {"h", -0.0}, {"i", 0.5}};
  std::vector<CandidateScore> s;
  for (const auto& [l, c] : in) s.push_back({l, kIdentity, false, c, 0});
  sort_by_coherence(s);
  std::string order;
  for (const auto& x : s) order += x.label;
  EXPECT_EQ(order, "bcaeighfd");
}

// ---- decision ------------------------------------------------------------------------------

TEST(AntipodalOrEqual, ExactComparison) {
  const Mat3 m = matrix_of("-y+x+z");
  Mat3 neg = m;
  for (auto& row : neg)
    for (auto& v : row) v = -v;
  EXPECT_TRUE(antipodal_or_equal(m, m));
  EXPECT_TRUE(antipodal_or_equal(m, neg));
  EXPECT_FALSE(antipodal_or_equal(m, kIdentity));
  Mat3 mixed = m;
  mixed[2][2] = -1;  // one row negated only
  EXPECT_FALSE(antipodal_or_equal(m, mixed));
  Mat3 almost = m;
  almost[0][1] = std::nextafter(-1.0, 0.0);
  EXPECT_FALSE(antipodal_or_equal(m, almost));
  Mat3 with_nan = m;
  with_nan[1][1] = kNaN;
  EXPECT_FALSE(antipodal_or_equal(with_nan, with_nan));
}

TEST(AssembleResult, IdentityBestPassesAndMeasuresPastItsNegation) {
  auto r = assemble_result(ranking_with({{"+x+y+z", 0.9}, {"-x-y-z", 0.9}, {"+x+z+y", 0.8}}, 0.1),
                           123, 1000.0, 0.45, 0.02);
  EXPECT_EQ(r.decision, Decision::PASS);
  EXPECT_EQ(r.best.label, "+x+y+z");
  EXPECT_EQ(r.runner_up.label, "+x+z+y");
  EXPECT_DOUBLE_EQ(r.margin, 0.9 - 0.8);
  EXPECT_DOUBLE_EQ(r.relative_margin, (0.9 - 0.8) / 0.9);
  EXPECT_EQ(r.identity_coherence, 0.9);
  EXPECT_FALSE(r.margin_threshold);
  EXPECT_FALSE(r.recommended_transform);
  EXPECT_FALSE(r.recommended_label);
  EXPECT_EQ(r.n_wm_voxels, 123u);
  EXPECT_EQ(r.working_b, 1000.0);
  EXPECT_EQ(r.mask_mean_fa, 0.45);
  EXPECT_EQ(r.ranking.size(), 48u);
}

TEST(AssembleResult, NegatedIdentityBestPasses) {
  std::vector<CandidateScore> ranking = {
      {"-x-y-z", matrix_of("-x-y-z"), false, 0.9, 1}, {"+y+x+z", matrix_of("+y+x+z"), false, 0.1, 1}};
  EXPECT_EQ(assemble_result(ranking, 1, 1000, 0, 0.02).decision, Decision::PASS);
}

TEST(AssembleResult, XFlipIsFlaggedWithItsMatrix) {
  auto r = assemble_result(
      ranking_with({{"-x+y+z", 0.9}, {"+x-y-z", 0.9}, {"+x+y+z", 0.5}, {"+y+x+z", 0.8}}, 0.1), 10,
      1000.0, 0.5, 0.02);
  EXPECT_EQ(r.decision, Decision::FLAG);
  EXPECT_EQ(r.best.label, "-x+y+z");
  EXPECT_EQ(r.runner_up.label, "+y+x+z");
  EXPECT_EQ(r.identity_coherence, 0.5);
  ASSERT_TRUE(r.recommended_label);
  EXPECT_EQ(*r.recommended_label, "-x+y+z");
  ASSERT_TRUE(r.recommended_transform);
  EXPECT_EQ(*r.recommended_transform, (Mat3{{{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}));
}

TEST(AssembleResult, ThresholdBoundaryAndRecording) {
  struct Case {
    double threshold;
    Decision decision;
    bool recorded;
  };
  // best 1.0, runner-up 0.75: relative margin exactly 0.25.
  const Case cases[] = {
      {0.02, Decision::FLAG, false},
      {0.25, Decision::FLAG, true},
      {std::nextafter(0.25, 1.0), Decision::WARN, true},
      {0.9, Decision::WARN, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.threshold);
    auto r = assemble_result(ranking_with({{"+z+x+y", 1.0}, {"-z-x-y", 1.0}, {"+x+y+z", 0.75}}, 0.0),
                             5, 1000, 0.5, c.threshold);
    EXPECT_EQ(r.relative_margin, 0.25);
    EXPECT_EQ(r.decision, c.decision);
    EXPECT_EQ(r.margin_threshold.has_value(), c.recorded);
    if (c.recorded) {
      EXPECT_EQ(*r.margin_threshold, c.threshold);
    }
    EXPECT_EQ(r.recommended_label.has_value(), c.decision == Decision::FLAG);
    EXPECT_EQ(r.recommended_transform.has_value(), c.decision == Decision::FLAG);
  }
}

TEST(AssembleResult, ZeroOrNaNMarginsWarn) {
  std::vector<CandidateScore> zero = {{"-x+y+z", matrix_of("-x+y+z"), false, 0.0, 0},
                                      {"+x+y+z", matrix_of("+x+y+z"), true, 0.0, 0}};
  auto r = assemble_result(zero, 1, 1000, 0, 0.02);
  EXPECT_EQ(r.relative_margin, 0.0);
  EXPECT_EQ(r.decision, Decision::WARN);

  std::vector<CandidateScore> infinite = {{"-x+y+z", matrix_of("-x+y+z"), false, kInf, 0},
                                          {"+y+x+z", matrix_of("+y+x+z"), false, kInf, 0},
                                          {"+x+y+z", matrix_of("+x+y+z"), true, 0.3, 0}};
  r = assemble_result(infinite, 1, 1000, 0, 0.02);
  EXPECT_TRUE(std::isnan(r.relative_margin));
  EXPECT_EQ(r.decision, Decision::WARN);
  EXPECT_EQ(r.identity_coherence, 0.3);
}

TEST(AssembleResult, NoSamplesIsNoEvidence) {
  // Scores that no neighbour ever backed leave the candidates in their fixed order, identity
  // first: that must not read as a PASS.
  std::vector<CandidateScore> none;
  for (const Candidate& c : all_candidates()) none.push_back({c.label, c.matrix, c.is_identity, 0.0, 0});
  auto r = assemble_result(none, 5, 1000, 0.5, 0.02);
  EXPECT_TRUE(r.best.is_identity);
  EXPECT_EQ(r.decision, Decision::WARN);
  EXPECT_FALSE(r.recommended_transform);
}

TEST(AssembleResult, RunnerUpFallbacks) {
  std::vector<CandidateScore> pair = {{"-x+y+z", matrix_of("-x+y+z"), false, 0.9, 0},
                                      {"+x-y-z", matrix_of("+x-y-z"), false, 0.9, 0}};
  auto r = assemble_result(pair, 1, 1000, 0, 0.02);
  EXPECT_EQ(r.runner_up.label, "+x-y-z");
  EXPECT_EQ(r.margin, 0.0);
  EXPECT_EQ(r.decision, Decision::WARN);

  std::vector<CandidateScore> one = {{"-x+y+z", matrix_of("-x+y+z"), false, 0.9, 0}};
  r = assemble_result(one, 1, 1000, 0, 0.02);
  EXPECT_EQ(r.runner_up.label, "-x+y+z");
  EXPECT_EQ(r.margin, 0.0);
}

// ---- working shell -------------------------------------------------------------------------

TEST(SelectWorkingShell, NearestToThousandTiesToSmallerB) {
  struct Case {
    std::vector<double> bvals;
    double expected;
  };
  const Case cases[] = {
      {{0, 700, 700, 1300, 1300}, 700},
      {{0, 1300, 1300, 700, 700}, 700},
      {{0, 1500, 500}, 500},
      {{0, 2000, 1000, 3000}, 1000},
      {{5, 3000, 2000}, 2000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    auto t = GradientTable::create(std::vector<Vec3>(c.bvals.size(), Vec3{1, 0, 0}), c.bvals);
    ASSERT_TRUE(t);
    auto s = select_working_shell(*t, 50.0, 0.05);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->nominal_b, c.expected);
    EXPECT_FALSE(s->is_b0);
  }
}

TEST(SelectWorkingShell, OnlyB0Fails) {
  auto t = GradientTable::create({{0, 0, 0}, {0, 0, 0}}, {0, 40});
  ASSERT_TRUE(t);
  auto s = select_working_shell(*t, 50.0, 0.05);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind(), ErrorKind::NoUsableShell);
  EXPECT_EQ(s.error().message(), "no usable non-b0 shell for flip detection");
}

// ---- end to end on a synthetic acquisition -------------------------------------------------

namespace {

constexpr std::size_t kB0 = 2;       // leading b0 volumes
constexpr std::size_t kDirs = 30;    // directions at b = 1000

// Quasi-uniform directions on a hemisphere (golden-angle spiral).
std::vector<Vec3> spiral_directions(std::size_t n) {
  std::vector<Vec3> out;
  const double golden = M_PI * (3.0 - std::sqrt(5.0));
  for (std::size_t k = 0; k < n; ++k) {
    const double z = 1.0 - (static_cast<double>(k) + 0.5) / static_cast<double>(n);
    const double r = std::sqrt(1.0 - z * z);
    const double phi = golden * static_cast<double>(k);
    out.push_back({r * std::cos(phi), r * std::sin(phi), z});
  }
  return out;
}

// The true (image-frame) table: b0 volumes first, then one shell.
GradientTable true_table() {
  std::vector<Vec3> g(kB0, Vec3{0, 0, 0});
  std::vector<double> b(kB0, 0.0);
  for (const Vec3& d : spiral_directions(kDirs)) {
    g.push_back(d);
    b.push_back(1000.0);
  }
  return *GradientTable::create(g, b);
}

GradientTable corrupted(const GradientTable& t, const Mat3& m) {
  std::vector<Vec3> g;
  for (const Vec3& d : t.bvecs()) g.push_back(mul(m, d));
  return *GradientTable::create(g, t.bvals());
}

// Prolate tensors along the plywood fibres; the top slab z = nz - 1 is empty (no signal).
FloatArray synthetic_dwi(const GradientTable& t) {
  FloatArray a;
  const auto [nx, ny, nz] = kDims;
  a.shape = {nx, ny, nz, t.size()};
  a.data.reserve(nx * ny * nz * t.size());
  const double l1 = 1.7e-3, l2 = 0.3e-3;
  for (std::size_t x = 0; x < nx; ++x)
    for (std::size_t y = 0; y < ny; ++y)
      for (std::size_t z = 0; z < nz; ++z) {
        const Vec3 f = plywood(x, y, z);
        const double s0 = z == nz - 1 ? 0.0 : 1000.0;
        for (std::size_t v = 0; v < t.size(); ++v) {
          const Vec3& g = t.bvecs()[v];
          const double c = g[0] * f[0] + g[1] * f[1] + g[2] * f[2];
          const double q = l2 * (g[0] * g[0] + g[1] * g[1] + g[2] * g[2]) + (l1 - l2) * c * c;
          a.data.push_back(static_cast<float>(s0 * std::exp(-t.bvals()[v] * q)));
        }
      }
  return a;
}

struct Acquisition {
  GradientTable table = true_table();
  FloatArray dwi = synthetic_dwi(table);
};

const Acquisition& acquisition() {
  static const Acquisition a;
  return a;
}

}  // namespace

TEST(DetectFlip, TrueTablePasses) {
  const auto& a = acquisition();
  auto r = detect_flip(a.dwi, a.table, nullptr, FlipParams{});
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->decision, Decision::PASS);
  EXPECT_EQ(r->best.label, "+x+y+z");
  EXPECT_NE(r->runner_up.label, "-x-y-z");
  EXPECT_GT(r->relative_margin, 0.02);
  EXPECT_EQ(r->identity_coherence, r->best.coherence);
  EXPECT_EQ(r->working_b, 1000.0);
  // The empty slab is not in the proxy mask.
  EXPECT_EQ(r->n_wm_voxels, kDims[0] * kDims[1] * (kDims[2] - 1));
  EXPECT_GT(r->mask_mean_fa, 0.5);
  EXPECT_FALSE(r->recommended_label);
}

TEST(DetectFlip, XFlippedTableIsFlagged) {
  const auto& a = acquisition();
  const GradientTable flipped = corrupted(a.table, matrix_of("-x+y+z"));
  auto r = detect_flip(a.dwi, flipped, nullptr, FlipParams{});
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->best.label, "-x+y+z");
  EXPECT_EQ(r->ranking[1].label, "+x-y-z");
  EXPECT_NE(r->runner_up.label, "+x-y-z");
  EXPECT_EQ(r->decision, Decision::FLAG);
  ASSERT_TRUE(r->recommended_label);
  EXPECT_EQ(*r->recommended_label, "-x+y+z");
  EXPECT_EQ(*r->recommended_transform, (Mat3{{{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}));
  EXPECT_FALSE(r->margin_threshold);

  FlipParams strict;
  strict.margin_threshold = 0.9;
  auto w = detect_flip(a.dwi, flipped, nullptr, strict);
  ASSERT_TRUE(w);
  EXPECT_EQ(w->decision, Decision::WARN);
  EXPECT_EQ(w->best.label, "-x+y+z");
  EXPECT_FALSE(w->recommended_label);
  EXPECT_FALSE(w->recommended_transform);
  ASSERT_TRUE(w->margin_threshold);
  EXPECT_EQ(*w->margin_threshold, 0.9);
}

TEST(DetectFlip, RecommendationUndoesEveryCorruption) {
  const auto& a = acquisition();
  for (const Candidate& c : all_candidates()) {
    if (c.is_identity) continue;
    SCOPED_TRACE(c.label);
    const Mat3& t = c.matrix;
    auto r = detect_flip(a.dwi, corrupted(a.table, t), nullptr, FlipParams{});
    ASSERT_TRUE(r);
    if (antipodal_or_equal(t, kIdentity)) {
      EXPECT_EQ(r->decision, Decision::PASS);
      continue;
    }
    ASSERT_EQ(r->decision, Decision::FLAG);
    // recommended · T is the identity or its negation.
    Mat3 prod{};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        for (int k = 0; k < 3; ++k) prod[i][j] += (*r->recommended_transform)[i][k] * t[k][j];
    EXPECT_TRUE(antipodal_or_equal(prod, kIdentity));
  }
}

TEST(DetectFlip, InvalidMarginThresholds) {
  const auto& a = acquisition();
  struct Case {
    double threshold;
    bool ok;
  };
  const Case cases[] = {{0.0, false},  {-0.1, false}, {1.5, false}, {kNaN, false},
                        {kInf, false}, {1.0, true},   {1e-9, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.threshold);
    FlipParams p;
    p.margin_threshold = c.threshold;
    auto r = detect_flip(a.dwi, a.table, nullptr, p);
    ASSERT_EQ(r.has_value(), c.ok);
    if (!c.ok) {
      EXPECT_EQ(r.error().kind(), ErrorKind::InvalidMargin);
      EXPECT_EQ(r.error().message().rfind("margin threshold must be finite and in (0, 1]: ", 0), 0u);
    }
  }
  FlipParams p;
  p.margin_threshold = 1.5;
  EXPECT_EQ(detect_flip(a.dwi, a.table, nullptr, p).error().message(),
            "margin threshold must be finite and in (0, 1]: 1.5");
}

TEST(DetectFlip, ErrorOrder) {
  const auto& a = acquisition();
  FlipParams bad;
  bad.margin_threshold = 0.0;
  // Shell choice comes first ...
  auto b0_only = GradientTable::create({{0, 0, 0}, {0, 0, 0}}, {0, 0});
  EXPECT_EQ(detect_flip(a.dwi, *b0_only, nullptr, bad).error().kind(), ErrorKind::NoUsableShell);
  // ... then the margin, before any fitting (a 3-D series would fail the fit).
  FloatArray three_d;
  three_d.shape = {2, 2, 2};
  three_d.data.assign(8, 1.0f);
  EXPECT_EQ(detect_flip(three_d, a.table, nullptr, bad).error().kind(), ErrorKind::InvalidMargin);
  auto fit = detect_flip(three_d, a.table, nullptr, FlipParams{});
  ASSERT_FALSE(fit);
  EXPECT_EQ(fit.error().kind(), ErrorKind::TensorFit);
}

TEST(DetectFlip, CallerMasks) {
  const auto& a = acquisition();
  const std::size_t nv = kDims[0] * kDims[1] * kDims[2];

  const Mask empty(nv, 0);
  auto e = detect_flip(a.dwi, a.table, &empty, FlipParams{});
  ASSERT_FALSE(e);
  EXPECT_EQ(e.error().message(), "DTI fit failed: no WM voxels above the FA threshold");

  // Only background voxels: nothing to score, which must not come out as a PASS.
  Mask background(nv, 0);
  for (std::size_t i = kDims[2] - 1; i < nv; i += kDims[2]) background[i] = 1;
  auto b = detect_flip(a.dwi, a.table, &background, FlipParams{});
  ASSERT_FALSE(b);
  EXPECT_EQ(b.error().message(), Error::no_usable_voxels().message());

  // A caller mask is used as given, background included.
  Mask all(nv, 1);
  auto w = detect_flip(a.dwi, a.table, &all, FlipParams{});
  ASSERT_TRUE(w);
  EXPECT_EQ(w->n_wm_voxels, nv);
}

TEST(DetectFlip, NamedShellIsTheWorkingShell) {
  const auto& a = acquisition();
  auto shell = select_working_shell(a.table, 50.0, 0.05);
  ASSERT_TRUE(shell);
  Shell renamed = *shell;
  renamed.nominal_b = 1010.0;
  FlipParams p;
  p.step = 1.5;
  auto r = run_detection(a.dwi, a.table, nullptr, p, &renamed);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->result.working_b, 1010.0);
  // The glyph data is the fitted field and the mask the ranking used.
  EXPECT_EQ(r->glyphs.field.dims, kDims);
  EXPECT_EQ(r->glyphs.wm_mask.size(), kDims[0] * kDims[1] * kDims[2]);
  EXPECT_EQ(r->glyphs.frame_map, p.frame_map);
  EXPECT_GE(r->timings.fit_time.seconds(), 0.0);
}
