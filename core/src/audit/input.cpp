// Loading of the table files and the optional mask named by a call's arguments.
#include "orivex/audit/input.hpp"

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

}  // namespace

Result<LoadedTable> load_fsl(const std::string& bvec_path, const std::string& bval_path) {
  ORIVEX_ASSIGN(io::fsl::FslPair pair, io::fsl::read_pair(bvec_path, bval_path));
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

}  // namespace orivex
