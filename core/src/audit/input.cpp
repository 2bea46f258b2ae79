// Loading of the table files and the optional mask named by a call's arguments.
#include "orivex/audit/input.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "orivex/io/file.hpp"
#include "orivex/io/fsl.hpp"
#include "orivex/io/mrtrix.hpp"
#include "orivex/support/numfmt.hpp"

namespace orivex {

namespace {

Result<LoadedTable> load_grad(const std::string& path) {
  ORIVEX_ASSIGN(std::string text, io::read_text(path));
  ORIVEX_ASSIGN(GradientTable table, io::mrtrix::parse(text, path));
  if (table.size() == 0) return Error::empty_table(path);
  LoadedTable out{std::move(table), {}, true};
  out.inputs.push_back(InputFile::from_bytes(path, text));
  return out;
}

}  // namespace

Result<LoadedTable> load_fsl(const std::string& bvec_path, const std::string& bval_path) {
  ORIVEX_ASSIGN(io::fsl::FslPair pair, io::fsl::read_pair(bvec_path, bval_path));
  // A pair without volumes would pass every check of the table; the b-values name the count.
  if (pair.table.size() == 0) return Error::empty_table(bval_path);
  LoadedTable out{std::move(pair.table), {}, false};
  out.inputs.push_back(InputFile::from_bytes(bvec_path, pair.bvec_text));
  out.inputs.push_back(InputFile::from_bytes(bval_path, pair.bval_text));
  return out;
}

Result<std::optional<LoadedTable>> load_table(const std::optional<std::string>& bvec,
                                              const std::optional<std::string>& bval,
                                              const std::optional<std::string>& grad) {
  if (grad) {
    ORIVEX_ASSIGN(LoadedTable loaded, load_grad(*grad));
    return std::optional<LoadedTable>(std::move(loaded));
  }
  if (bvec && bval) {
    ORIVEX_ASSIGN(LoadedTable loaded, load_fsl(*bvec, *bval));
    return std::optional<LoadedTable>(std::move(loaded));
  }
  return std::optional<LoadedTable>();
}

Result<std::optional<Mask>> read_optional_mask(const std::optional<std::string>& mask) {
  if (!mask) return std::optional<Mask>();
  ORIVEX_ASSIGN(Mask m, read_mask(*mask));
  return std::optional<Mask>(std::move(m));
}

Result<std::optional<MaskImage>> read_optional_mask_image(const std::optional<std::string>& mask) {
  if (!mask) return std::optional<MaskImage>();
  ORIVEX_ASSIGN(MaskImage m, read_mask_image(*mask));
  return std::optional<MaskImage>(std::move(m));
}

namespace {

// The largest distance, in millimetres, between where the two affines put a corner of the grid.
double corner_offset_mm(const Mat4& a, const Mat4& b, const std::vector<std::size_t>& dims) {
  double worst = 0.0;
  for (int corner = 0; corner < 8; ++corner) {
    double ijk[3];
    for (int axis = 0; axis < 3; ++axis) {
      const std::size_t n = axis < static_cast<int>(dims.size()) ? dims[axis] : 1;
      ijk[axis] = (corner >> axis & 1) ? static_cast<double>(n - 1) : 0.0;
    }
    double d2 = 0.0;
    for (int r = 0; r < 3; ++r) {
      double d = a[r][3] - b[r][3];
      for (int c = 0; c < 3; ++c) d += (a[r][c] - b[r][c]) * ijk[c];
      d2 += d * d;
    }
    // NaN compares false: a NaN placement counts as the largest offset.
    if (!(std::sqrt(d2) <= worst)) worst = std::sqrt(d2);
  }
  return worst;
}

}  // namespace

std::vector<std::string> mask_notes(const MaskImage& mask, const VolumeInfo& dwi) {
  std::vector<std::string> notes;
  const Vec3& v = dwi.voxel_sizes;
  const double half_voxel = 0.5 * std::min({std::fabs(v[0]), std::fabs(v[1]), std::fabs(v[2])});
  const double offset = corner_offset_mm(mask.info.affine, dwi.affine, dwi.dims);
  if (offset != 0.0 && !(offset <= half_voxel)) {
    const std::string by =
        std::isfinite(offset) ? numfmt::fixed(offset, 1) + " mm" : "an unknown distance";
    notes.push_back("mask: its voxel-to-world placement differs from the DWI's by up to " + by +
                    " at a corner of the grid; check that it was made for this image");
  }
  if (mask.info.n_volumes > 1) {
    notes.push_back("mask: a 4-D image of " + std::to_string(mask.info.n_volumes) +
                    " volumes; only the first is used");
  }
  if (mask.nan_voxels > 0) {
    notes.push_back("mask: " + std::to_string(mask.nan_voxels) +
                    (mask.nan_voxels == 1 ? " voxel is" : " voxels are") +
                    " NaN and counted inside");
  }
  return notes;
}

}  // namespace orivex
