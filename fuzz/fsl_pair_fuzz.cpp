// libFuzzer target: the FSL pair reader on a bval and a bvec text split out of one input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "orivex/io/fsl.hpp"

namespace {

// Mutations that move the separator explore both files at once; without one the whole input is
// the bval, which still drives the empty-bvec corner of the orientation rule.
std::pair<std::string_view, std::string_view> split(const std::uint8_t* data, std::size_t size) {
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  const auto cut = all.find('\0');
  if (cut == std::string_view::npos) return {all, {}};
  return {all.substr(0, cut), all.substr(cut + 1)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto [bval, bvec] = split(data, size);
  auto table = orivex::io::fsl::parse_pair(bvec, "f.bvec", bval, "f.bval");
  if (!table) {
    const auto kind = table.error().kind();
    if (kind != orivex::ErrorKind::Parse && kind != orivex::ErrorKind::TableMismatch) std::abort();
    (void)table.error().message();
    return 0;
  }
  // Whatever was read must survive a write and a re-read with the same number of volumes:
  // repair relies on that to hand the user a table its own reader accepts.
  const std::string out_bvec = orivex::io::fsl::render_bvec(*table);
  const std::string out_bval = orivex::io::fsl::render_bval(*table);
  auto again = orivex::io::fsl::parse_pair(out_bvec, "g.bvec", out_bval, "g.bval");
  if (!again || again->size() != table->size()) std::abort();
  return 0;
}
