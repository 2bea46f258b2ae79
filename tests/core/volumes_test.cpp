#include "orivex/analysis/volumes.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "orivex/audit/verdict.hpp"

using namespace orivex;

namespace {

// Tensor signals of randomly oriented fibres (one b0, then `n` directions at b 1000) with a
// little log-normal noise, and the table that goes with them.
struct Series {
  FloatArray dwi;
  std::vector<Vec3> bvecs;
  std::vector<double> bvals;
  TensorField field;
  Mask mask;
};

Series make_series(std::size_t n) {
  Series s;
  s.bvecs.push_back({0, 0, 0});
  s.bvals.push_back(0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const double z = 1.0 - (i + 0.5) / static_cast<double>(n);
    const double phi = std::numbers::pi * (1.0 + std::sqrt(5.0)) * (i + 0.5);
    const double r = std::sqrt(1.0 - z * z);
    s.bvecs.push_back({r * std::cos(phi), r * std::sin(phi), z});
    s.bvals.push_back(1000.0);
  }
  const std::size_t nt = s.bvals.size(), nvox = 10 * 10 * 10;
  s.dwi.shape = {10, 10, 10, nt};
  s.dwi.data.resize(nvox * nt);
  SplitMix64 rng(7);
  auto gauss = [&] {
    const double u = std::max(rng.unit(), 1e-12), v = rng.unit();
    return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * std::numbers::pi * v);
  };
  for (std::size_t p = 0; p < nvox; ++p) {
    Vec3 e{gauss(), gauss(), gauss()};
    const double len = norm(e);
    for (double& c : e) c /= len;
    for (std::size_t t = 0; t < nt; ++t) {
      const Vec3& g = s.bvecs[t];
      const double c = g[0] * e[0] + g[1] * e[1] + g[2] * e[2];
      const double adc = 0.3e-3 + 1.4e-3 * c * c;
      const double signal = 1000.0 * std::exp(-s.bvals[t] * adc + 0.02 * gauss());
      s.dwi.data[p * nt + t] = static_cast<float>(signal);
    }
    s.field.evecs.push_back(e);
    s.field.fa.push_back(0.7);
    s.field.s0.push_back(1000.0);
    s.field.valid.push_back(1);
  }
  s.field.dims = {10, 10, 10};
  s.mask.assign(nvox, 1);
  return s;
}

VolumeCheck check(const Series& s, std::vector<Vec3> bvecs, std::vector<double> bvals,
                  RotationEvidence rotation = {}) {
  auto table = GradientTable::create(std::move(bvecs), std::move(bvals));
  EXPECT_TRUE(table.has_value());
  return check_volumes(s.dwi, *table, s.field, s.mask, rotation, VolumeCheckParams{});
}

}  // namespace

TEST(Volumes, TooFewDirectionsAreNotChecked) {
  const Series s = make_series(9);
  const VolumeCheck v = check(s, s.bvecs, s.bvals);
  EXPECT_FALSE(v.checked);
  EXPECT_EQ(v.reason, "every shell has fewer than 12 directions (the largest has 9): too few to "
                      "predict each volume from the others");
  EXPECT_EQ(v.pattern, VolumePattern::None);
}

TEST(Volumes, EachCorruptionComesOutAsItsPattern) {
  const Series s = make_series(30);
  EXPECT_EQ(check(s, s.bvecs, s.bvals).pattern, VolumePattern::None);

  std::vector<Vec3> flipped = s.bvecs;
  for (std::size_t t : {5, 17, 26}) flipped[t][0] = -flipped[t][0];
  const VolumeCheck f = check(s, flipped, s.bvals);
  EXPECT_EQ(f.pattern, VolumePattern::PartialFlip);
  EXPECT_EQ(f.suspect, (std::vector<std::size_t>{5, 17, 26}));
  EXPECT_EQ(f.label, "-x+y+z");
  EXPECT_EQ(f.summary, "volumes 5, 17 and 26 fit their rows under -x+y+z; the rest fit as given");
  // Mending applies the label to the suspects' rows, which gives back the table.
  Verdict verdict;
  verdict.decision = Decision::PASS;
  apply_volume_finding(verdict, f);
  EXPECT_EQ(verdict.decision, Decision::WARN);
  EXPECT_EQ(verdict.reasons.back(), f.summary);
  auto given = GradientTable::create(flipped, s.bvals);
  const auto mended = mend_rows(*given, f);
  ASSERT_TRUE(mended.has_value());
  EXPECT_EQ(mended->bvecs(), s.bvecs);

  std::vector<Vec3> swapped = s.bvecs;
  std::swap(swapped[3], swapped[20]);
  const VolumeCheck w = check(s, swapped, s.bvals);
  EXPECT_EQ(w.pattern, VolumePattern::SwappedRows);
  EXPECT_EQ(w.suspect, (std::vector<std::size_t>{3, 20}));
  EXPECT_EQ(w.rows, (std::vector<std::size_t>{20, 3}));
  EXPECT_FALSE(mend_rows(*GradientTable::create(swapped, s.bvals), w).has_value());

  // Volume n holds the row of volume n - 1 (the first the last's): each fits the next row.
  std::vector<Vec3> shifted = s.bvecs;
  for (std::size_t t = 1; t < shifted.size(); ++t) shifted[t] = s.bvecs[t == 1 ? 30 : t - 1];
  const VolumeCheck h = check(s, shifted, s.bvals);
  EXPECT_EQ(h.pattern, VolumePattern::ShiftedRows);
  EXPECT_EQ(h.shift, 1);
  EXPECT_EQ(h.suspect.size(), 30u);
  const auto unshifted = mend_rows(*GradientTable::create(shifted, s.bvals), h);
  ASSERT_TRUE(unshifted.has_value());
  for (std::size_t t = 1; t < 30; ++t) EXPECT_EQ(unshifted->bvecs()[t], s.bvecs[t]) << t;
  EXPECT_EQ(unshifted->bvecs()[30], shifted[30]);  // its own row is not in the table

  // A table turned as a whole fits the signal as well as the true one: only the tracks tell.
  RotationEvidence turned;
  turned.ratio = 1.3;
  turned.axis = {1, 1, 0};
  turned.degrees = 25.0;
  const VolumeCheck r = check(s, s.bvecs, s.bvals, turned);
  EXPECT_EQ(r.pattern, VolumePattern::ForeignTable);
  EXPECT_EQ(r.suspect.size(), 30u);
  turned.ratio = 1.05;
  EXPECT_EQ(check(s, s.bvecs, s.bvals, turned).pattern, VolumePattern::None);
}

TEST(Volumes, OneDoubledBValueOnTwoShells) {
  Series s = make_series(24);
  // Every even volume at b 2000 (the square of its b 1000 signal over S0 = 1000): two shells of
  // 12 directions, interleaved. Volume 5 (b 1000) is listed at 2000.
  const std::size_t nt = s.bvals.size();
  for (std::size_t t = 2; t < nt; t += 2) {
    s.bvals[t] = 2000.0;
    for (std::size_t p = 0; p < 1000; ++p) {
      float& v = s.dwi.data[p * nt + t];
      v = static_cast<float>(1000.0 * std::pow(v / 1000.0, 2.0));
    }
  }
  std::vector<double> wrong = s.bvals;
  wrong[5] = 2000.0;
  EXPECT_EQ(check(s, s.bvecs, s.bvals).pattern, VolumePattern::None);
  const VolumeCheck v = check(s, s.bvecs, wrong);
  EXPECT_EQ(v.pattern, VolumePattern::BValue);
  EXPECT_EQ(v.suspect, (std::vector<std::size_t>{5}));
  ASSERT_EQ(v.b_scales.size(), 1u);
  EXPECT_NEAR(v.b_scales[0], 0.5, 1e-9);
}
