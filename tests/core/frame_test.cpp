#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "orivex/analysis/frame.hpp"

using namespace orivex;

namespace {

VolumeInfo with_linear(const Mat3& m) {
  VolumeInfo info;
  info.dims = {4, 4, 4};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) info.affine[r][c] = m[r][c];
  info.affine[0][3] = 12.5;  // translations play no part
  info.affine[3] = {0, 0, 0, 1};
  return info;
}

const Mat3 eye = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
const Mat3 flip_x = {{{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};

void expect_near(const Mat3& a, const Mat3& b, double tol) {
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(a[r][c], b[r][c], tol) << r << "," << c;
}

}  // namespace

TEST(Frame, DerivedMapsAndDivergence) {
  struct Case {
    const char* name;
    Mat3 linear;
    Mat3 fsl, world;
    double sign;
    bool divergent;
  };
  const Case cases[] = {
      {"identity (RAS)", eye, flip_x, eye, 1.0, false},
      {"diag(-2, 2, 2)", {{{-2, 0, 0}, {0, 2, 0}, {0, 0, 2}}}, eye, flip_x, -1.0, false},
      {"diag(-2, -2, 2)", {{{-2, 0, 0}, {0, -2, 0}, {0, 0, 2}}}, flip_x,
       {{{-1, 0, 0}, {0, -1, 0}, {0, 0, 1}}}, 1.0, true},
      {"zero column", {{{2, 0, 0}, {0, 0, 0}, {0, 0, 2}}}, eye, eye, 1.0, false},
      // Columns map voxel axes to world axes; W holds them as rows.
      {"permuted", {{{0, 0, 3}, {2, 0, 0}, {0, 2, 0}}}, flip_x, {{{0, 1, 0}, {0, 0, 1}, {1, 0, 0}}},
       1.0, false},
      {"negative det, all reversed", {{{-1, 0, 0}, {0, -1, 0}, {0, 0, -1}}}, eye,
       {{{-1, 0, 0}, {0, -1, 0}, {0, 0, -1}}}, -1.0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const VolumeInfo info = with_linear(c.linear);
    EXPECT_EQ(voxel_frame_map(info, false), c.fsl);
    expect_near(voxel_frame_map(info, true), c.world, 1e-15);
    EXPECT_EQ(affine_determinant_sign(info), c.sign);
    EXPECT_EQ(frames_divergent(info), c.divergent);
    const FrameMaps maps = FrameMaps::resolve(TableFrame::World, info);
    EXPECT_EQ(maps.fsl_voxel_map, c.fsl);
    EXPECT_EQ(maps.affine_determinant_sign, c.sign);
    EXPECT_EQ(maps.divergent, c.divergent);
    EXPECT_EQ(maps.table_frame, TableFrame::World);
  }
}

TEST(Frame, DeterminantSignOfZeroAndNaN) {
  const Mat3 singular = {{{1, 2, 0}, {2, 4, 0}, {0, 0, 1}}};
  const VolumeInfo info = with_linear(singular);
  EXPECT_EQ(voxel_frame_map(info, false), eye);
  EXPECT_EQ(affine_determinant_sign(info), 1.0);
  EXPECT_FALSE(frames_divergent(info));
  VolumeInfo bad = with_linear(eye);
  bad.affine[1][1] = NAN;
  EXPECT_TRUE(std::isnan(affine_determinant_sign(bad)));
  EXPECT_EQ(voxel_frame_map(bad, false), eye);
  EXPECT_FALSE(frames_divergent(bad));
}

TEST(Frame, DominantComponentTiesGoToTheLaterAxis) {
  // Column 0 = (1, -1, 0)/√2: the tie goes to index 1, which is negative. Column 1 =
  // (0, 1, -1)/√2 is negative on the tie too; column 2 = (1, 1, 1)/√3 points positive.
  // det > 0 and two negative columns: divergent.
  const Mat3 m = {{{1, 0, 1}, {-1, 1, 1}, {0, -1, 1}}};
  const VolumeInfo info = with_linear(m);
  ASSERT_EQ(affine_determinant_sign(info), 1.0);
  EXPECT_TRUE(frames_divergent(info));
  // Mirrored signs make both ties positive: not divergent.
  const Mat3 n = {{{-1, 0, 1}, {1, -1, 1}, {0, 1, 1}}};
  ASSERT_EQ(affine_determinant_sign(with_linear(n)), 1.0);
  EXPECT_FALSE(frames_divergent(with_linear(n)));
}

TEST(Frame, TableConversions) {
  const double s = std::sqrt(0.5);
  // A rotation of 45 degrees about z with 2 mm voxels: orthogonal after normalisation.
  const Mat3 rot = {{{2 * s, -2 * s, 0}, {2 * s, 2 * s, 0}, {0, 0, 2}}};
  const VolumeInfo info = with_linear(rot);
  const FrameMaps fsl = FrameMaps::resolve(TableFrame::Fsl, info);
  EXPECT_EQ(fsl.to_fsl(), eye);
  const FrameMaps world = FrameMaps::resolve(TableFrame::World, info);
  expect_near(world.to_world(), eye, 1e-15);
  // World -> FSL: F·W, W = rotation transposed, F flips the first voxel axis.
  expect_near(world.to_fsl(), {{{-s, -s, 0}, {-s, s, 0}, {0, 0, 1}}}, 1e-15);
  // FSL -> world: Wᵀ·F.
  expect_near(fsl.to_world(), {{{-s, -s, 0}, {-s, s, 0}, {0, 0, 1}}}, 1e-15);

  // A sheared affine is not orthogonalised: Wᵀ·W differs from the identity.
  const Mat3 shear = {{{1, 1, 0}, {0, 1, 0}, {0, 0, 1}}};
  const Mat3 ww = FrameMaps::resolve(TableFrame::World, with_linear(shear)).to_world();
  expect_near(ww, {{{1.5, 0.5, 0}, {0.5, 0.5, 0}, {0, 0, 1}}}, 1e-15);
}
