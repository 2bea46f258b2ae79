// Inputs found by the fuzz targets, each pinned to the outcome it must have.
#include <gtest/gtest.h>
#include <nifti1.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "orivex/io/bids.hpp"
#include "orivex/io/fsl.hpp"
#include "orivex/io/mrtrix.hpp"
#include "orivex/io/volume.hpp"

#include "test_support.hpp"

using namespace orivex;
namespace fs = std::filesystem;

namespace {

// One folder per test process, removed when the process ends.
fs::path temp_dir() {
  static const test_support::TempDir dir;
  return dir.path;
}

// A valid 2 x 2 x 2 uint8 image, ready to be damaged field by field.
nifti_1_header small_header() {
  nifti_1_header h;
  std::memset(&h, 0, sizeof h);
  h.sizeof_hdr = 348;
  h.dim[0] = 3;
  for (int i = 1; i < 8; ++i) h.dim[i] = i <= 3 ? 2 : 1;
  for (int i = 0; i < 8; ++i) h.pixdim[i] = 1.0f;
  h.datatype = DT_UINT8;
  h.bitpix = 8;
  h.vox_offset = 352.0f;
  std::memcpy(h.magic, "n+1", 4);
  return h;
}

std::string write_file(const std::string& name, const nifti_1_header& h, std::size_t data_bytes) {
  std::string bytes(reinterpret_cast<const char*>(&h), sizeof h);
  bytes.append(4, '\0');
  bytes.append(data_bytes, '\1');
  const std::string path = (temp_dir() / name).string();
  if (name.ends_with(".gz")) {
    gzFile f = gzopen(path.c_str(), "wb");
    gzwrite(f, bytes.data(), static_cast<unsigned>(bytes.size()));
    gzclose(f);
  } else {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  return path;
}

void expect_nifti_error(const std::string& path) {
  auto vol = read_volume_with_info(path);
  ASSERT_FALSE(vol.has_value()) << path;
  EXPECT_EQ(vol.error().kind(), ErrorKind::Nifti);
  EXPECT_EQ(vol.error().message().rfind("NIfTI error: ", 0), 0u) << vol.error().message();
  auto mask = read_mask(path);
  ASSERT_FALSE(mask.has_value()) << path;
  EXPECT_EQ(mask.error().kind(), ErrorKind::Nifti);
}

}  // namespace

// A vox_offset far beyond any 64-bit byte position was converted to an integer unchecked
// (undefined behaviour); it must read as an offset past the end of the file.
TEST(FuzzRegressions, VoxOffsetBeyondAnyFilePosition) {
  for (const float offset : {1e30f, 9.3e18f, 3.4e38f}) {
    SCOPED_TRACE(offset);
    nifti_1_header h = small_header();
    h.vox_offset = offset;
    expect_nifti_error(write_file("far.nii", h, 8));
    expect_nifti_error(write_file("far.nii.gz", h, 8));
  }
}

// The same header with a sane offset still loads, so the clamp only touches absurd offsets.
TEST(FuzzRegressions, VoxOffsetWithinTheFileStillLoads) {
  nifti_1_header h = small_header();
  h.vox_offset = 352.0f;
  auto vol = read_volume_with_info(write_file("near.nii", h, 8));
  ASSERT_TRUE(vol.has_value()) << vol.error().message();
  EXPECT_EQ(vol->array.size(), 8u);
}
