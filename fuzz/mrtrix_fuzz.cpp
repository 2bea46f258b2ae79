// libFuzzer target: the MRtrix grad reader.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "orivex/io/mrtrix.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto table = orivex::io::mrtrix::parse(text, "f.b");
  if (!table) {
    if (table.error().kind() != orivex::ErrorKind::Parse) std::abort();
    (void)table.error().message();
    return 0;
  }
  // A written grad file must read back with the same number of volumes.
  auto again = orivex::io::mrtrix::parse(orivex::io::mrtrix::render(*table), "g.b");
  if (!again || again->size() != table->size()) std::abort();
  return 0;
}
