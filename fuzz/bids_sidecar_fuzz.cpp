// libFuzzer target: the BIDS sidecar reader.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "orivex/io/bids.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto sidecar = orivex::io::bids::parse_sidecar(text);
  if (!sidecar) {
    // The batch run discards sidecar failures, so anything but a Json error would escape it.
    if (sidecar.error().kind() != orivex::ErrorKind::Json) std::abort();
    (void)sidecar.error().message();
    return 0;
  }
  if (sidecar->total_readout_time) (void)*sidecar->total_readout_time;
  if (sidecar->phase_encoding_direction) (void)sidecar->phase_encoding_direction->size();
  return 0;
}
