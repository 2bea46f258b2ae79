#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "orivex/support/execution.hpp"
#include "orivex/analysis/tensor.hpp"

using namespace orivex;

namespace {

using Tensor = std::array<double, 6>;  // Dxx, Dyy, Dzz, Dxy, Dxz, Dyz

// Two b0 volumes (at positions 0 and 7) among 30 directions spread over the sphere at b = 1000.
// With `two_shells` every other direction is at 2b, which makes the series identifiable without
// its b0 volumes.
GradientTable scheme(double b = 1000.0, bool two_shells = false) {
  std::vector<Vec3> dirs;
  std::vector<double> bvals;
  const double golden = M_PI * (3.0 - std::sqrt(5.0));
  for (int i = 0, k = 0; i < 32; ++i) {
    if (i == 0 || i == 7) {
      dirs.push_back({0, 0, 0});
      bvals.push_back(5.0);  // a small nominal weighting that the b0 rows ignore
      continue;
    }
    const double z = 1.0 - (k + 0.5) / 15.0;  // upper hemisphere
    const double r = std::sqrt(1.0 - z * z);
    dirs.push_back({r * std::cos(golden * k), r * std::sin(golden * k), z});
    bvals.push_back(two_shells && k % 2 ? 2 * b : b);
    ++k;
  }
  return *GradientTable::create(dirs, bvals);
}

std::vector<std::size_t> b0s() { return {0, 7}; }
std::vector<std::size_t> shell() {
  std::vector<std::size_t> s;
  for (std::size_t i = 0; i < 32; ++i)
    if (i != 0 && i != 7) s.push_back(i);
  return s;
}

double adc(const Tensor& d, const Vec3& g) {
  return d[0] * g[0] * g[0] + d[1] * g[1] * g[1] + d[2] * g[2] * g[2] + 2 * d[3] * g[0] * g[1] +
         2 * d[4] * g[0] * g[2] + 2 * d[5] * g[1] * g[2];
}

// Prolate tensor with eigenvalues (l1, l2, l2) along the unit vector e.
Tensor prolate(const Vec3& e, double l1, double l2) {
  auto m = [&](int i, int j) { return l2 * (i == j) + (l1 - l2) * e[i] * e[j]; };
  return {m(0, 0), m(1, 1), m(2, 2), m(0, 1), m(0, 2), m(1, 2)};
}

// A series of nvox voxels along z, each with its own tensor and S0.
FloatArray series(const GradientTable& t, const std::vector<Tensor>& d, const std::vector<double>& s0) {
  FloatArray a{{1, 1, d.size(), t.size()}, {}};
  for (std::size_t v = 0; v < d.size(); ++v)
    for (std::size_t k = 0; k < t.size(); ++k) {
      const bool is_b0 = k == 0 || k == 7;
      a.data.push_back(static_cast<float>(is_b0 ? s0[v] : s0[v] * std::exp(-t.bvals()[k] * adc(d[v], t.bvecs()[k]))));
    }
  return a;
}

double fa_of(double l1, double l2, double l3) {
  const double md = (l1 + l2 + l3) / 3;
  return std::sqrt(1.5 * ((l1 - md) * (l1 - md) + (l2 - md) * (l2 - md) + (l3 - md) * (l3 - md)) /
                   (l1 * l1 + l2 * l2 + l3 * l3));
}

std::string fit_error(const FloatArray& a, const std::vector<std::size_t>& b0,
                      const std::vector<std::size_t>& sh) {
  auto r = fit_dti(a, scheme(), b0, sh, 1.0);
  return r ? "" : r.error().message();
}

}  // namespace

TEST(Tensor, RecoversKnownProlateTensors) {
  const double n = std::sqrt(14.0);
  const std::vector<Vec3> axes = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1 / n, 2 / n, 3 / n}, {-3 / n, 1 / n, 2 / n}};
  const std::vector<std::pair<double, double>> eig = {{1.7e-3, 0.3e-3}, {1.0e-3, 0.8e-3}, {2.5e-3, 0.1e-3}};
  std::vector<Tensor> d;
  std::vector<double> s0, fa;
  std::vector<Vec3> expected;
  for (const auto& e : axes)
    for (const auto& [l1, l2] : eig) {
      d.push_back(prolate(e, l1, l2));
      s0.push_back(500.0 + 10.0 * d.size());
      fa.push_back(fa_of(l1, l2, l2));
      expected.push_back(e);
    }
  auto f = fit_dti(series(scheme(), d, s0), scheme(), b0s(), shell(), 1.0);
  ASSERT_TRUE(f) << f.error().message();
  EXPECT_EQ(f->dims, (std::array<std::size_t, 3>{1, 1, d.size()}));
  for (std::size_t v = 0; v < d.size(); ++v) {
    SCOPED_TRACE(v);
    EXPECT_TRUE(f->valid[v]);
    EXPECT_NEAR(f->fa[v], fa[v], 1e-4);
    const Vec3& g = f->evecs[v];
    EXPECT_NEAR(std::abs(g[0] * expected[v][0] + g[1] * expected[v][1] + g[2] * expected[v][2]), 1.0, 1e-6);
    EXPECT_NEAR(g[0] * g[0] + g[1] * g[1] + g[2] * g[2], 1.0, 1e-12);
    EXPECT_NEAR(f->s0[v], s0[v], 1e-4);
  }
}

TEST(Tensor, Errors) {
  FloatArray flat{{2, 2, 2}, FloatData(8, 1.0f)};
  EXPECT_EQ(fit_error(flat, {}, {}), "DTI fit failed: expected 4-D DWI, got 3-D");
  FloatArray five{{1, 1, 1, 32, 1}, FloatData(32, 1.0f)};
  EXPECT_EQ(fit_error(five, b0s(), shell()), "DTI fit failed: expected 4-D DWI, got 5-D");
  FloatArray four{{1, 1, 1, 32}, FloatData(32, 1.0f)};
  EXPECT_EQ(fit_error(four, b0s(), {}), "DTI fit failed: no DWI volumes in the working shell");
  EXPECT_EQ(fit_error(four, b0s(), {1, 32}),
            "DTI fit failed: volume index 32 outside the series of 32 volumes");
}

TEST(Tensor, MinimumSignalAndLogFloor) {
  const Tensor d = prolate({1, 0, 0}, 1.7e-3, 0.3e-3);
  // Voxel 0: b0 mean 0.5, below the minimum. Voxel 1: exactly 1.0, fitted.
  FloatArray a = series(scheme(), {d, d}, {0.5, 1.0});
  auto f = fit_dti(a, scheme(), b0s(), shell(), 1.0);
  ASSERT_TRUE(f);
  EXPECT_FALSE(f->valid[0]);
  EXPECT_EQ(f->s0[0], 0.5);
  EXPECT_EQ(f->fa[0], 0.0);
  EXPECT_EQ(f->evecs[0], (Vec3{0, 0, 0}));
  EXPECT_TRUE(f->valid[1]);
  EXPECT_EQ(f->s0[1], 1.0);

  // Zero and negative signals enter the fit as ln(1e-6).
  FloatArray b = series(scheme(), {d, d, d}, {100, 100, 100});
  b.data[0 * 32 + 5] = 1e-6f;
  b.data[1 * 32 + 5] = 0.0f;
  b.data[2 * 32 + 5] = -5.0f;
  auto g = fit_dti(b, scheme(), b0s(), shell(), 1.0);
  ASSERT_TRUE(g);
  // 1e-6f is not exactly 1e-6, so compare closely rather than bit for bit.
  for (std::size_t v = 1; v < 3; ++v) {
    EXPECT_NEAR(g->fa[v], g->fa[0], 1e-6) << v;
    EXPECT_EQ(g->fa[v], g->fa[1]) << v;
    EXPECT_EQ(g->evecs[v], g->evecs[1]) << v;
  }
}

TEST(Tensor, NonFiniteSamplesLeaveTheVoxelUnfitted) {
  // One NaN or infinity anywhere in the rows used (b0 or shell), or a mean that overflows to
  // infinity: the voxel is not valid; its neighbour is untouched.
  const Tensor d = prolate({1, 0, 0}, 1.7e-3, 0.3e-3);
  const std::vector<std::pair<std::size_t, float>> bad{
      {0, NAN}, {0, INFINITY}, {0, -INFINITY}, {5, NAN}, {5, INFINITY}, {5, -INFINITY}};
  for (const auto& [row, value] : bad) {
    SCOPED_TRACE(std::to_string(row) + " " + std::to_string(value));
    FloatArray a = series(scheme(), {d, d}, {100, 100});
    a.data[row] = value;
    auto f = fit_dti(a, scheme(), b0s(), shell(), 1.0);
    ASSERT_TRUE(f);
    EXPECT_FALSE(f->valid[0]);
    EXPECT_EQ(f->evecs[0], (Vec3{0, 0, 0}));
    EXPECT_TRUE(f->valid[1]);
  }
}

TEST(Tensor, SeriesWithoutB0UsesShellMean) {
  const GradientTable t = scheme(1000.0, true);
  const Tensor d = prolate({0, 1, 0}, 1.7e-3, 0.3e-3);
  FloatArray a = series(t, {d, d}, {300.0, 300.0});
  // A NaN in the second voxel makes its mean NaN: it is not fitted.
  a.data[32 + 4] = NAN;
  auto f = fit_dti(a, t, {}, shell(), 1.0);
  ASSERT_TRUE(f);
  double mean = 0.0;
  for (std::size_t k : shell()) mean += a.data[k];
  EXPECT_NEAR(f->s0[0], mean / 30.0, 1e-9);
  EXPECT_TRUE(f->valid[0]);
  EXPECT_NEAR(std::abs(f->evecs[0][1]), 1.0, 1e-6);
  EXPECT_NEAR(f->fa[0], fa_of(1.7e-3, 0.3e-3, 0.3e-3), 1e-4);
  EXPECT_TRUE(std::isnan(f->s0[1]));
  EXPECT_FALSE(f->valid[1]);
}

TEST(Tensor, IsotropicAndNegativeTensors) {
  const double l = 0.9e-3;
  const Tensor iso = {l, l, l, 0, 0, 0};
  const Tensor neg = {-l, -l, -l, 0, 0, 0};
  auto f = fit_dti(series(scheme(), {iso, neg}, {200, 200}), scheme(), b0s(), shell(), 1.0);
  ASSERT_TRUE(f);
  EXPECT_TRUE(f->valid[0]);
  EXPECT_LT(f->fa[0], 1e-6);
  EXPECT_FALSE(f->valid[1]);
  EXPECT_EQ(f->fa[1], 0.0);
  EXPECT_EQ(f->evecs[1], (Vec3{0, 0, 0}));
  EXPECT_EQ(f->s0[1], 200.0);
}

TEST(Tensor, NearZeroDirectionIsUnweighted) {
  const Tensor d = prolate({0.6, 0.8, 0}, 1.7e-3, 0.3e-3);
  const FloatArray a = series(scheme(), {d}, {400});
  auto fit_with = [&](Vec3 g) {
    GradientTable t = scheme();
    auto dirs = t.bvecs();
    dirs[3] = g;
    return *fit_dti(a, *GradientTable::create(dirs, t.bvals()), b0s(), shell(), 1.0);
  };
  const TensorField tiny = fit_with({1e-7, 0, 0});
  const TensorField zero = fit_with({0, 0, 0});
  const TensorField small = fit_with({1e-5, 0, 0});  // above the cut: normalised to (1, 0, 0)
  EXPECT_EQ(tiny.fa, zero.fa);
  EXPECT_EQ(tiny.evecs, zero.evecs);
  EXPECT_NE(tiny.fa, small.fa);
}

TEST(Tensor, IndependentOfThreadCount) {
  std::vector<Tensor> d;
  std::vector<double> s0;
  for (int i = 0; i < 500; ++i) {
    const double a = 0.05 * i, b = 0.013 * i;
    d.push_back(prolate({std::cos(a) * std::sin(b), std::sin(a) * std::sin(b), std::cos(b)},
                        1.2e-3 + 1e-6 * i, 0.4e-3));
    s0.push_back(i % 7 == 0 ? 0.2 : 100.0 + i);
  }
  const FloatArray a = series(scheme(), d, s0);
  auto run = [&](std::uint64_t threads) {
    auto exec = Execution::create(threads);
    return exec->run([&] { return *fit_dti(a, scheme(), b0s(), shell(), 1.0); });
  };
  const TensorField one = run(1), two = run(2), four = run(4);
  for (const TensorField* f : {&two, &four}) {
    EXPECT_EQ(f->evecs, one.evecs);
    EXPECT_EQ(f->fa, one.fa);
    EXPECT_EQ(f->s0, one.s0);
    EXPECT_EQ(f->valid, one.valid);
  }
}

TEST(WmProxy, OtsuThresholdAndFaBoundary) {
  TensorField f;
  // s0 0 x4, 50, 100 x5: Otsu keeps bin 128 (of 0..255), whose centre 50.195... excludes 50.
  f.s0 = {0, 0, 0, 0, 50, 100, 100, 100, 100, 100};
  f.fa = {0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.2, 0.19, 0.9, 0.9};
  f.valid = {1, 1, 1, 1, 1, 1, 1, 1, 0, 1};
  EXPECT_EQ(f.wm_proxy(0.2), (Mask{0, 0, 0, 0, 0, 1, 1, 0, 0, 1}));

  TensorField equal;
  equal.s0 = {7, 7, 7};
  equal.fa = {0.3, 0.1, 0.3};
  equal.valid = {1, 1, 0};
  EXPECT_EQ(equal.wm_proxy(0.2), (Mask{1, 0, 0}));

  // NaN s0 values are ignored for the range and never pass the threshold; the result is as
  // long as the shortest list.
  TensorField nan;
  nan.s0 = {NAN, 10, 20, 20};
  nan.fa = {0.5, 0.5, 0.5};
  nan.valid = {1, 1, 1, 1};
  EXPECT_EQ(nan.wm_proxy(0.2), (Mask{0, 0, 1}));

  // Infinities neither stretch the range (the threshold stays that of the finite values, as
  // in the first case) nor pass it.
  TensorField inf = f;
  inf.s0.insert(inf.s0.end(), {INFINITY, -INFINITY, INFINITY});
  inf.fa.insert(inf.fa.end(), 3, 0.9);
  inf.valid.insert(inf.valid.end(), 3, 1);
  EXPECT_EQ(inf.wm_proxy(0.2), (Mask{0, 0, 0, 0, 0, 1, 1, 0, 0, 1, 0, 0, 0}));

  EXPECT_TRUE(TensorField{}.wm_proxy(0.2).empty());
}

// Scanners store integers, which the fit takes logarithms of through a table; rounded signals
// (with an odd and an even number of rows, and a zero that takes the floor) must fit like the
// unrounded ones up to the rounding itself.
TEST(Tensor, IntegerSignalsFitLikeTheirUnroundedValues) {
  const double n = std::sqrt(14.0);
  const std::vector<Tensor> d = {prolate({1 / n, 2 / n, 3 / n}, 1.7e-3, 0.3e-3),
                                 prolate({0, 1, 0}, 1.0e-3, 0.6e-3)};
  const std::vector<double> s0 = {20000.0, 30000.0};
  const FloatArray exact = series(scheme(), d, s0);
  FloatArray rounded = exact;
  for (float& x : rounded.data) x = std::round(x);
  std::vector<std::size_t> odd = shell();
  odd.pop_back();
  for (const auto& rows : {shell(), odd}) {
    SCOPED_TRACE(rows.size());
    auto want = fit_dti(exact, scheme(), b0s(), rows, 1.0);
    auto got = fit_dti(rounded, scheme(), b0s(), rows, 1.0);
    ASSERT_TRUE(want && got);
    for (std::size_t v = 0; v < d.size(); ++v) {
      ASSERT_TRUE(got->valid[v]);
      EXPECT_NEAR(got->fa[v], want->fa[v], 1e-3);
      const Vec3 &g = got->evecs[v], &w = want->evecs[v];
      EXPECT_NEAR(std::abs(g[0] * w[0] + g[1] * w[1] + g[2] * w[2]), 1.0, 1e-4);
    }
  }
  // A zero takes the floor: the voxel is still fitted, and identically whether the zero is 0 or
  // a negative integer.
  FloatArray zero = rounded, negative = rounded;
  zero.data[3] = 0.0f;
  negative.data[3] = -7.0f;
  auto a = fit_dti(zero, scheme(), b0s(), shell(), 1.0);
  auto b = fit_dti(negative, scheme(), b0s(), shell(), 1.0);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->fa, b->fa);
  EXPECT_EQ(a->evecs, b->evecs);
}

// Eigenvalue pairs at or near a tie, on either side of where the fast decomposition hands over
// to the iterative one: the principal direction stays in the plane of a tied pair (an oblate
// tensor), follows the larger eigenvalue of a pair that is merely close, and FA does not jump.
TEST(Tensor, TiedAndNearlyTiedEigenvalues) {
  const double n = std::sqrt(14.0);
  const Vec3 axis = {1 / n, 2 / n, 3 / n};
  const double l = 1.2e-3;
  std::vector<Tensor> d;
  std::vector<double> fa;
  // Oblate: the largest eigenvalue twice, so `axis` is the smallest one's direction.
  auto oblate = [&](double small) {
    auto m = [&](int i, int j) { return l * (i == j) + (small - l) * axis[i] * axis[j]; };
    return Tensor{m(0, 0), m(1, 1), m(2, 2), m(0, 1), m(0, 2), m(1, 2)};
  };
  d.push_back(oblate(0.3e-3));
  fa.push_back(fa_of(l, l, 0.3e-3));
  d.push_back(oblate(l));  // isotropic
  fa.push_back(0.0);
  const std::vector<double> gaps = {1e-2, 1e-3, 2e-4, 5e-5};
  for (double g : gaps) {
    d.push_back(prolate(axis, l * (1 + g), l));
    fa.push_back(fa_of(l * (1 + g), l, l));
  }
  auto f = fit_dti(series(scheme(), d, std::vector<double>(d.size(), 1000.0)), scheme(), b0s(),
                   shell(), 1.0);
  ASSERT_TRUE(f);
  auto dot = [&](const Vec3& a) { return a[0] * axis[0] + a[1] * axis[1] + a[2] * axis[2]; };
  for (std::size_t v = 0; v < d.size(); ++v) {
    SCOPED_TRACE(v);
    const Vec3& e = f->evecs[v];
    EXPECT_TRUE(f->valid[v]);
    EXPECT_NEAR(e[0] * e[0] + e[1] * e[1] + e[2] * e[2], 1.0, 1e-12);
    EXPECT_NEAR(f->fa[v], fa[v], 1e-5);
  }
  EXPECT_LT(std::abs(dot(f->evecs[0])), 1e-4);
  for (std::size_t k = 0; k < gaps.size(); ++k)
    EXPECT_GT(std::abs(dot(f->evecs[2 + k])), 1 - 1e-6) << gaps[k];
}

TEST(Tensor, IntegerSignalsIndependentOfThreadCount) {
  // Stored integers take the logarithm tables; one odd value per voxel group takes the direct path.
  std::vector<Tensor> d;
  std::vector<double> s0;
  for (int i = 0; i < 700; ++i) {
    const double a = 0.07 * i, b = 0.011 * i;
    d.push_back(prolate({std::cos(a) * std::sin(b), std::sin(a) * std::sin(b), std::cos(b)},
                        1.4e-3, 0.3e-3 + 1e-7 * i));
    s0.push_back(300.0 + i);
  }
  FloatArray a = series(scheme(), d, s0);
  for (std::size_t i = 0; i < a.data.size(); ++i)
    a.data[i] = i % 97 == 0 ? a.data[i] + 0.25f : std::round(a.data[i]);
  auto run = [&](std::uint64_t threads) {
    auto exec = Execution::create(threads);
    return exec->run([&] { return *fit_dti(a, scheme(), b0s(), shell(), 1.0); });
  };
  const TensorField one = run(1), three = run(3);
  EXPECT_EQ(three.evecs, one.evecs);
  EXPECT_EQ(three.fa, one.fa);
  EXPECT_EQ(three.s0, one.s0);
}

// A series held as its stored 16-bit integers, with or without the header's scaling, fits to the
// same bits as the floats it reads as: negative samples (the floor), both scopes, both kinds.
TEST(Tensor, IntegerSamplesFitAsTheFloatsTheyReadAs) {
  std::vector<Tensor> d;
  std::vector<double> s0;
  for (int i = 0; i < 300; ++i) {
    d.push_back(prolate({std::cos(0.1 * i), std::sin(0.1 * i), 0.3}, 1.5e-3, 0.3e-3));
    s0.push_back(i % 11 == 0 ? 0.4 : 200.0 + 3 * i);
  }
  const FloatArray base = series(scheme(), d, s0);
  for (SampleKind kind : {SampleKind::Int16, SampleKind::UInt16})
    for (SampleScale scale : {SampleScale{}, SampleScale{true, 0.37f, -1.5f}}) {
      FloatArray narrow;
      narrow.shape = base.shape;
      narrow.kind = kind;
      narrow.scale = scale;
      for (std::size_t i = 0; i < base.data.size(); ++i) {
        const float raw = std::round(base.data[i]) - (i % 29 == 0 ? 400.0f : 0.0f);
        narrow.narrow.push_back(kind == SampleKind::Int16
                                    ? static_cast<std::uint16_t>(static_cast<std::int16_t>(raw))
                                    : static_cast<std::uint16_t>(std::max(raw, 0.0f)));
      }
      const std::vector<float> read = narrow.values();
      const FloatArray floats(base.shape, FloatData(read.begin(), read.end()));
      for (FitScope scope : {FitScope::All, FitScope::Tissue}) {
        const TensorField a = *fit_dti(narrow, scheme(), b0s(), shell(), 1.0, scope);
        const TensorField b = *fit_dti(floats, scheme(), b0s(), shell(), 1.0, scope);
        EXPECT_EQ(a.evecs, b.evecs);
        EXPECT_EQ(a.fa, b.fa);
        EXPECT_EQ(a.s0, b.s0);
        EXPECT_EQ(a.valid, b.valid);
      }
    }
}

// The tissue scope fits exactly the voxels at or above the Otsu threshold of the means, the same
// way the whole fit does, and leaves the rest unfitted with their means; every tissue mask
// drawn from it is the whole fit's.
TEST(Tensor, TissueScopeFitsTheVoxelsAboveTheThresholdAsTheWholeFitDoes) {
  std::vector<Tensor> d;
  std::vector<double> s0;
  for (int i = 0; i < 60; ++i) {
    const double a = 0.2 * i;
    d.push_back(prolate({std::cos(a), std::sin(a), 0.0}, 1.6e-3, 0.3e-3 + 2e-5 * i));
    s0.push_back(i % 3 == 0 ? 40.0 + i : 900.0 + 5 * i);  // a third background
  }
  FloatArray a = series(scheme(), d, s0);
  for (float& x : a.data) x = std::round(x);
  auto all = fit_dti(a, scheme(), b0s(), shell(), 1.0);
  auto tissue = fit_dti(a, scheme(), b0s(), shell(), 1.0, FitScope::Tissue);
  ASSERT_TRUE(all && tissue);
  ASSERT_TRUE(tissue->tissue_threshold);
  EXPECT_FALSE(all->tissue_threshold);
  EXPECT_EQ(*tissue->tissue_threshold, all->s0_threshold());
  EXPECT_EQ(tissue->s0, all->s0);
  std::size_t fitted = 0;
  for (std::size_t v = 0; v < d.size(); ++v) {
    SCOPED_TRACE(v);
    ASSERT_TRUE(all->valid[v]);
    if (all->s0[v] >= *tissue->tissue_threshold) {
      ++fitted;
      EXPECT_TRUE(tissue->valid[v]);
      EXPECT_EQ(tissue->fa[v], all->fa[v]);
      EXPECT_EQ(tissue->evecs[v], all->evecs[v]);
    } else {
      EXPECT_FALSE(tissue->valid[v]);
    }
  }
  EXPECT_GE(fitted, 40u);  // the tissue, and whatever background Otsu counts with it
  EXPECT_LT(fitted, d.size());
  for (double fa : {0.0, 0.2, 0.5}) EXPECT_EQ(tissue->wm_proxy(fa), all->wm_proxy(fa));
}
