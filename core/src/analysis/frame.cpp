// Frame maps derived from the voxel-to-world affine of an image.
#include "orivex/analysis/frame.hpp"

#include <cmath>

namespace orivex {

namespace {

constexpr double degenerate_column = 1e-9;

double column_norm(const Mat4& a, int c) {
  return std::sqrt(a[0][c] * a[0][c] + a[1][c] * a[1][c] + a[2][c] * a[2][c]);
}

// Unit columns of the affine's 3x3 part as rows (so Wᵀ of the world-to-voxel map), or the
// identity when a column is too short to have a direction.
Mat3 unit_columns(const Mat4& a) {
  Mat3 w{};
  for (int c = 0; c < 3; ++c) {
    const double n = column_norm(a, c);
    if (!(n >= degenerate_column)) return identity3;
    for (int r = 0; r < 3; ++r) w[c][r] = a[r][c] / n;
  }
  return w;
}

double determinant(const Mat4& a) {
  return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
         a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
         a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
}

// FSL stores bvecs with the first voxel axis reversed whenever the image is stored
// "neurologically" (positive determinant), so its frame differs from the voxel frame by that flip.
Mat3 fsl_map(const Mat4& a) {
  Mat3 f = identity3;
  if (determinant(a) > 0.0) f[0][0] = -1.0;
  return f;
}

}  // namespace

Result<void> check_affine(const VolumeInfo& info) {
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      if (!std::isfinite(info.affine[r][c])) return Error::non_finite_affine();
  return {};
}

Mat3 voxel_frame_map(const VolumeInfo& info, bool world) {
  return world ? unit_columns(info.affine) : fsl_map(info.affine);
}

bool frames_divergent(const VolumeInfo& info) {
  if (!(determinant(info.affine) > 0.0)) return false;
  // unit_columns holds column c of the affine in its row c.
  const Mat3 cols = unit_columns(info.affine);
  int negative = 0;
  for (const auto& u : cols) {
    int dom = 0;
    for (int k = 1; k < 3; ++k)
      if (std::abs(u[k]) >= std::abs(u[dom])) dom = k;
    if (u[dom] < 0.0) ++negative;
  }
  return negative > 1;
}

double affine_determinant_sign(const VolumeInfo& info) {
  const double det = determinant(info.affine);
  if (std::isnan(det)) return det;
  return std::copysign(1.0, det);
}

FrameMaps FrameMaps::resolve(TableFrame frame, const VolumeInfo& info) {
  FrameMaps m;
  m.fsl_voxel_map = voxel_frame_map(info, false);
  m.world_voxel_map = voxel_frame_map(info, true);
  m.affine_determinant_sign = orivex::affine_determinant_sign(info);
  m.table_frame = frame;
  m.divergent = frames_divergent(info);
  return m;
}

Mat3 FrameMaps::to_fsl() const {
  const Mat3& s = table_frame == TableFrame::World ? world_voxel_map : fsl_voxel_map;
  return multiply(fsl_voxel_map, s);
}

Mat3 FrameMaps::to_world() const {
  const Mat3& s = table_frame == TableFrame::World ? world_voxel_map : fsl_voxel_map;
  return multiply(transpose(world_voxel_map), s);
}

}  // namespace orivex
