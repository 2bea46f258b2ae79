// Loading of the table files and the optional mask named by a call's arguments.
#include "orivex/audit/input.hpp"

#include <algorithm>
#include <utility>

#include "orivex/io/file.hpp"
#include "orivex/io/fsl.hpp"
#include "orivex/io/mrtrix.hpp"

namespace orivex {

namespace {

Result<LoadedTable> load_grad(const std::string& path) {
  ORIVEX_ASSIGN(std::string text, io::read_text(path));
  ORIVEX_ASSIGN(GradientTable table, io::mrtrix::parse(text, path));
  LoadedTable out{std::move(table), {}, true};
  out.inputs.push_back(InputFile::from_bytes(path, text));
  return out;
}

// The b-values are read and parsed before the bvec file is even opened, so a broken bval is
// reported ahead of anything wrong with the bvec.
Result<LoadedTable> load_fsl(const std::string& bvec_path, const std::string& bval_path) {
  ORIVEX_ASSIGN(std::string bval_text, io::read_text(bval_path));
  ORIVEX_ASSIGN(std::vector<double> bvals, io::fsl::parse_floats(bval_text, bval_path));
  ORIVEX_ASSIGN(std::string bvec_text, io::read_text(bvec_path));
  ORIVEX_ASSIGN(auto rows, io::fsl::parse_rows(bvec_text, bvec_path));
  ORIVEX_ASSIGN(std::vector<Vec3> dirs, io::fsl::to_directions(rows, bvals.size(), bvec_path));
  ORIVEX_ASSIGN(GradientTable table, GradientTable::create(std::move(dirs), std::move(bvals)));
  LoadedTable out{std::move(table), {}, false};
  out.inputs.push_back(InputFile::from_bytes(bvec_path, bvec_text));
  out.inputs.push_back(InputFile::from_bytes(bval_path, bval_text));
  return out;
}

}  // namespace

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

double default_step(const Vec3& voxel_sizes) {
  const double mean = (voxel_sizes[0] + voxel_sizes[1] + voxel_sizes[2]) / 3.0;
  // Written so that a NaN mean falls through to the one-voxel step.
  if (mean > 0.0) return std::max(4.0 / mean, 1.0);
  return 1.0;
}

}  // namespace orivex
