// libFuzzer target: the NIfTI volume and mask loaders on the input as a .nii, the input
// gzip-compressed as a .nii.gz, and the input itself as a .nii.gz (a damaged gzip stream).
#include <unistd.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "orivex/io/volume.hpp"

namespace {

std::string scratch(const char* ext) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/orivex-fuzz-" + std::to_string(getpid()) +
         ext;
}

void write_plain(const std::string& path, const std::uint8_t* data, std::size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
}

void write_gzip(const std::string& path, const std::uint8_t* data, std::size_t size) {
  gzFile f = gzopen(path.c_str(), "wb1");
  if (!f) std::abort();
  if (size && gzwrite(f, data, static_cast<unsigned>(size)) != static_cast<int>(size)) std::abort();
  gzclose(f);
}

std::size_t product(const std::vector<std::size_t>& shape) {
  std::size_t n = 1;
  for (std::size_t d : shape) n *= d;
  return n;
}

// Every failure must be a Nifti error; a success must hold exactly the data its shape claims,
// which for an uncompressed file cannot exceed what the file holds after the header.
void check(const std::string& path, std::size_t file_size, bool compressed) {
  auto vol = orivex::read_volume_with_info(path);
  if (!vol) {
    if (vol.error().kind() != orivex::ErrorKind::Nifti) std::abort();
    if (vol.error().message().rfind("NIfTI error: ", 0) != 0) std::abort();
  } else {
    const std::size_t n = product(vol->array.shape);
    if (vol->array.size() != n || vol->array.shape != vol->info.dims) std::abort();
    if (!compressed && n > file_size) std::abort();
  }
  auto mask = orivex::read_mask(path);
  if (!mask) {
    if (mask.error().kind() != orivex::ErrorKind::Nifti) std::abort();
  } else if (vol && mask->size() != vol->array.grid_voxels()) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string nii = scratch(".nii");
  static const std::string gz = scratch(".nii.gz");
  write_plain(nii, data, size);
  check(nii, size, false);
  write_gzip(gz, data, size);
  check(gz, size, true);
  // Gzip inputs in the corpus mutate into damaged streams here.
  if (size >= 2 && data[0] == 0x1f && data[1] == 0x8b) {
    write_plain(gz, data, size);
    check(gz, size, true);
  }
  return 0;
}
