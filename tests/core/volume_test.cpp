#include <gtest/gtest.h>
#include <nifti1.h>
#include <unistd.h>
#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "orivex/io/volume.hpp"
#include "orivex/support/execution.hpp"

#include "test_support.hpp"

using namespace orivex;
namespace fs = std::filesystem;

namespace {

// One folder per test process, removed when the process ends.
fs::path temp_dir() {
  static const test_support::TempDir dir;
  return dir.path;
}

nifti_1_header base_header(std::vector<int> dims, short datatype, short bitpix) {
  nifti_1_header h;
  std::memset(&h, 0, sizeof h);
  h.sizeof_hdr = 348;
  h.dim[0] = static_cast<short>(dims.size());
  for (std::size_t i = 0; i < dims.size(); ++i) h.dim[i + 1] = static_cast<short>(dims[i]);
  for (int i = 0; i < 8; ++i) h.pixdim[i] = 1.0f;
  h.datatype = datatype;
  h.bitpix = bitpix;
  h.vox_offset = 352.0f;
  std::memcpy(h.magic, "n+1", 4);
  return h;
}

template <class T>
T bswap(T v) {
  unsigned char b[sizeof(T)];
  std::memcpy(b, &v, sizeof(T));
  for (std::size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(b[i], b[sizeof(T) - 1 - i]);
  std::memcpy(&v, b, sizeof(T));
  return v;
}

// Every numeric field of the header in the other byte order, as a big-endian writer leaves it.
void swap_header(nifti_1_header& h) {
  h.sizeof_hdr = bswap(h.sizeof_hdr);
  for (auto& d : h.dim) d = bswap(d);
  for (auto& p : h.pixdim) p = bswap(p);
  h.datatype = bswap(h.datatype);
  h.bitpix = bswap(h.bitpix);
  h.vox_offset = bswap(h.vox_offset);
  h.scl_slope = bswap(h.scl_slope);
  h.scl_inter = bswap(h.scl_inter);
  h.qform_code = bswap(h.qform_code);
  h.sform_code = bswap(h.sform_code);
  for (float* f : {&h.quatern_b, &h.quatern_c, &h.quatern_d, &h.qoffset_x, &h.qoffset_y,
                   &h.qoffset_z})
    *f = bswap(*f);
  for (int i = 0; i < 4; ++i) {
    h.srow_x[i] = bswap(h.srow_x[i]);
    h.srow_y[i] = bswap(h.srow_y[i]);
    h.srow_z[i] = bswap(h.srow_z[i]);
  }
}

std::string write_file(const std::string& name, const nifti_1_header& h,
                       const std::vector<unsigned char>& data) {
  std::string bytes(reinterpret_cast<const char*>(&h), sizeof h);
  bytes.append(4, '\0');  // the extension flag
  bytes.append(reinterpret_cast<const char*>(data.data()), data.size());
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

template <class T>
std::vector<unsigned char> pack(const std::vector<T>& values, bool swap = false) {
  std::vector<unsigned char> out(values.size() * sizeof(T));
  for (std::size_t i = 0; i < values.size(); ++i) {
    T v = swap ? bswap(values[i]) : values[i];
    std::memcpy(out.data() + i * sizeof(T), &v, sizeof(T));
  }
  return out;
}

std::string error_of(const std::string& path, const LoadOptions& options = {}) {
  auto r = read_volume_with_info(path, options);
  return r ? "" : r.error().message();
}

// Stored order is x fastest; the disk value of (x, y, z, t) encodes its position.
float code(std::size_t x, std::size_t y, std::size_t z, std::size_t t) {
  return static_cast<float>(x + 10 * y + 100 * z + 1000 * t);
}

struct TypeCase {
  const char* name;
  short datatype;
  short bitpix;
  std::function<std::vector<unsigned char>(const std::vector<double>&, bool)> encode;
};

template <class T>
TypeCase type_case(const char* name, short dt) {
  return {name, dt, static_cast<short>(8 * sizeof(T)),
          [](const std::vector<double>& v, bool swap) {
            std::vector<T> t(v.size());
            for (std::size_t i = 0; i < v.size(); ++i) t[i] = static_cast<T>(v[i]);
            return pack(t, swap);
          }};
}

}  // namespace

TEST(Volume, EveryRealTypeBothByteOrdersScaledInFloat) {
  const std::vector<TypeCase> cases = {
      type_case<std::uint8_t>("u8", DT_UINT8),     type_case<std::int8_t>("i8", DT_INT8),
      type_case<std::uint16_t>("u16", DT_UINT16),  type_case<std::int16_t>("i16", DT_INT16),
      type_case<std::uint32_t>("u32", DT_UINT32),  type_case<std::int32_t>("i32", DT_INT32),
      type_case<std::uint64_t>("u64", DT_UINT64),  type_case<std::int64_t>("i64", DT_INT64),
      type_case<float>("f32", DT_FLOAT32),         type_case<double>("f64", DT_FLOAT64),
  };
  const std::vector<double> stored = {10, 0, 1, 7, 100, 127};  // 3 x 2 x 1 grid
  for (const auto& c : cases) {
    for (bool big : {false, true}) {
      for (const char* ext : {".nii", ".nii.gz"}) {
        SCOPED_TRACE(std::string(c.name) + (big ? " swapped " : " native ") + ext);
        nifti_1_header h = base_header({3, 2, 1}, c.datatype, c.bitpix);
        h.scl_slope = 2.0f;
        h.scl_inter = 1.0f;
        if (big) swap_header(h);
        const auto path = write_file(std::string(c.name) + (big ? "_be" : "_le") + ext, h,
                                     c.encode(stored, big));
        auto r = read_volume_with_info(path);
        ASSERT_TRUE(r) << r.error().message();
        EXPECT_EQ(r->array.shape, (std::vector<std::size_t>{3, 2, 1}));
        // Voxel (x, y) is stored at x + 3y and lands at x*2 + y.
        for (std::size_t x = 0; x < 3; ++x)
          for (std::size_t y = 0; y < 2; ++y)
            EXPECT_EQ(r->array.value(x * 2 + y), 2.0f * static_cast<float>(stored[x + 3 * y]) + 1.0f);
      }
    }
  }
}

TEST(Volume, ScalingRules) {
  struct Case {
    float slope, inter, expected;
  };
  const Case cases[] = {
      {2.0f, 1.0f, 21.0f},  {0.0f, 5.0f, 10.0f},       {NAN, 3.0f, 10.0f},
      {INFINITY, 3.0f, 10.0f}, {-INFINITY, 3.0f, 10.0f}, {0.1f, 0.0f, 0.1f * 10.0f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "slope " << c.slope << " inter " << c.inter);
    nifti_1_header h = base_header({1, 1, 1}, DT_INT16, 16);
    h.scl_slope = c.slope;
    h.scl_inter = c.inter;
    auto r = read_volume_with_info(write_file("scale.nii", h, pack<std::int16_t>({10})));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->array.value(0), c.expected);
  }
}

TEST(Volume, FourDimensionalLayoutPutsVolumesLast) {
  const std::size_t nx = 3, ny = 2, nz = 4, nt = 5;
  std::vector<float> disk;
  for (std::size_t t = 0; t < nt; ++t)
    for (std::size_t z = 0; z < nz; ++z)
      for (std::size_t y = 0; y < ny; ++y)
        for (std::size_t x = 0; x < nx; ++x) disk.push_back(code(x, y, z, t));
  for (const char* name : {"dwi.nii", "dwi.nii.gz"}) {
    SCOPED_TRACE(name);
    auto r = read_volume_with_info(
        write_file(name, base_header({3, 2, 4, 5}, DT_FLOAT32, 32), pack(disk)));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->info.n_volumes, 5u);
    EXPECT_EQ(r->info.dims, (std::vector<std::size_t>{3, 2, 4, 5}));
    for (std::size_t x = 0; x < nx; ++x)
      for (std::size_t y = 0; y < ny; ++y)
        for (std::size_t z = 0; z < nz; ++z)
          for (std::size_t t = 0; t < nt; ++t)
            ASSERT_EQ(r->array.at((x * ny + y) * nz + z, t), code(x, y, z, t));
  }
}

TEST(Volume, AxesAfterTheFourthAreReversedToo) {
  // dims (1, 1, 1, 2, 3): stored index a + 2b, logical index 3a + b.
  auto r = read_volume_with_info(write_file(
      "five.nii", base_header({1, 1, 1, 2, 3}, DT_UINT8, 8), pack<std::uint8_t>({0, 1, 2, 3, 4, 5})));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->array.values(),
            (std::vector<float>{0, 2, 4, 1, 3, 5}));
  EXPECT_EQ(r->info.n_volumes, 2u);
}

TEST(Volume, LargeSeriesCrossChunkBoundaries) {
  // Series are streamed in chunks of 32 MiB of stored data, at least 16 volumes at a time:
  // 17 u8 volumes of 2 MiB take two chunks; a single 34 MB volume is read in slabs of 32 planes.
  for (const auto& dims : {std::vector<int>{256, 256, 33, 17}, std::vector<int>{1024, 1024, 33}}) {
    const std::size_t nx = dims[0], ny = dims[1], nz = dims[2];
    const std::size_t nt = dims.size() > 3 ? dims[3] : 1;
    std::vector<std::uint8_t> disk(nx * ny * nz * nt);
    auto val = [](std::size_t x, std::size_t y, std::size_t z, std::size_t t) {
      return static_cast<std::uint8_t>((x * 7 + y * 13 + z * 31 + t * 101) % 251);
    };
    for (std::size_t t = 0, i = 0; t < nt; ++t)
      for (std::size_t z = 0; z < nz; ++z)
        for (std::size_t y = 0; y < ny; ++y)
          for (std::size_t x = 0; x < nx; ++x) disk[i++] = val(x, y, z, t);
    auto r = read_volume_with_info(write_file("big.nii", base_header(dims, DT_UINT8, 8), pack(disk)));
    ASSERT_TRUE(r);
    std::size_t bad = 0;
    for (std::size_t x = 0; x < nx; ++x)
      for (std::size_t y = 0; y < ny; ++y)
        for (std::size_t z = 0; z < nz; ++z)
          for (std::size_t t = 0; t < nt; ++t)
            bad += r->array.at((x * ny + y) * nz + z, t) != val(x, y, z, t);
    EXPECT_EQ(bad, 0u) << nz;
  }
}

TEST(Volume, AffineSformThenQformThenPixdim) {
  nifti_1_header h = base_header({2, 2, 2}, DT_UINT8, 8);
  h.pixdim[1] = 2.0f;
  h.pixdim[2] = 3.0f;
  h.pixdim[3] = 4.0f;
  const float sx[4] = {1, 2, 3, 4}, sy[4] = {5, 6, 7, 8}, sz[4] = {9, 10, 11, 12};
  std::memcpy(h.srow_x, sx, sizeof sx);
  std::memcpy(h.srow_y, sy, sizeof sy);
  std::memcpy(h.srow_z, sz, sizeof sz);
  // Quaternion (0, 0, 1): a rotation of 180 degrees about z.
  h.quatern_d = 1.0f;
  h.qoffset_x = -5.0f;
  h.qoffset_y = 6.0f;
  h.qoffset_z = 7.0f;

  struct Case {
    const char* name;
    short sform, qform;
    float qfac;
    Mat4 expected;
  };
  const Case cases[] = {
      {"neither", 0, 0, 1.0f, {{{2, 0, 0, 0}, {0, 3, 0, 0}, {0, 0, 4, 0}, {0, 0, 0, 1}}}},
      {"sform", 2, 0, 1.0f, {{{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11, 12}, {0, 0, 0, 1}}}},
      {"both", 1, 1, 1.0f, {{{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11, 12}, {0, 0, 0, 1}}}},
      {"qform", 0, 1, 1.0f, {{{-2, 0, 0, -5}, {0, -3, 0, 6}, {0, 0, 4, 7}, {0, 0, 0, 1}}}},
      {"qform qfac 0", 0, 1, 0.0f, {{{-2, 0, 0, -5}, {0, -3, 0, 6}, {0, 0, 4, 7}, {0, 0, 0, 1}}}},
      {"qform qfac -1", 0, 1, -1.0f, {{{-2, 0, 0, -5}, {0, -3, 0, 6}, {0, 0, -4, 7}, {0, 0, 0, 1}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    h.sform_code = c.sform;
    h.qform_code = c.qform;
    h.pixdim[0] = c.qfac;
    auto info = from_header(h);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->affine, c.expected);
    EXPECT_EQ(info->voxel_sizes, (Vec3{2, 3, 4}));
    EXPECT_EQ(info->n_volumes, 1u);
  }
}

TEST(Volume, QuaternionRotationMatchesTheStandardFormula) {
  nifti_1_header h = base_header({1, 1, 1}, DT_UINT8, 8);
  h.qform_code = 1;
  // 90 degrees about x: b = sin(45°), a = cos(45°).
  h.quatern_b = static_cast<float>(std::sqrt(0.5));
  auto info = from_header(h);
  ASSERT_TRUE(info);
  const double expected[3][3] = {{1, 0, 0}, {0, 0, -1}, {0, 1, 0}};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(info->affine[r][c], expected[r][c], 1e-7);
}

TEST(Volume, HeaderDimensionErrors) {
  struct Case {
    std::vector<int> dims;
    short dim0;
    const char* message;
  };
  const Case cases[] = {
      {{2, 2, 2}, 0, "NIfTI error: inconsistent dimensions: dim[0] is 0, expected 1 to 7"},
      {{2, 2, 2}, 8, "NIfTI error: inconsistent dimensions: dim[0] is 8, expected 1 to 7"},
      {{2, 0, 2}, 3, "NIfTI error: inconsistent dimensions: dim[2] is 0, expected at least 1"},
      {{2, 2, -3}, 3, "NIfTI error: inconsistent dimensions: dim[3] is -3, expected at least 1"},
  };
  for (const auto& c : cases) {
    nifti_1_header h = base_header(c.dims, DT_UINT8, 8);
    h.dim[0] = c.dim0;
    EXPECT_EQ(error_of(write_file("dims.nii", h, std::vector<unsigned char>(8))), c.message);
  }
}

TEST(Volume, RefusedFiles) {
  EXPECT_EQ(error_of((temp_dir() / "absent.nii").string()),
            "NIfTI error: No such file or directory (os error 2)");
  EXPECT_EQ(error_of(temp_dir().string()), "NIfTI error: Is a directory (os error 21)");

  struct Case {
    short datatype;
    const char* message;
  };
  const Case types[] = {
      {DT_COMPLEX64, "NIfTI error: data type 32 (complex64) cannot be converted"},
      {DT_RGB24, "NIfTI error: data type 128 (rgb24) cannot be converted"},
      {DT_RGBA32, "NIfTI error: data type 2304 (rgba32) cannot be converted"},
      {DT_FLOAT128, "NIfTI error: data type 1536 (float128) cannot be converted"},
      {DT_BINARY, "NIfTI error: data type 1 (binary) cannot be converted"},
      {999, "NIfTI error: data type 999 (unknown) cannot be converted"},
  };
  for (const auto& c : types)
    EXPECT_EQ(error_of(write_file("type.nii", base_header({2}, c.datatype, 64),
                                  std::vector<unsigned char>(64))),
              c.message);

  // Twelve int16 voxels need 24 bytes; only 10 follow the header.
  EXPECT_EQ(error_of(write_file("short.nii", base_header({2, 3, 2}, DT_INT16, 16),
                                std::vector<unsigned char>(10))),
            "NIfTI error: header claims 12 voxels (24 bytes) but the file holds 10 bytes of "
            "voxel data");
  // 32767^4 voxels: refused from the file size, long before anything is allocated.
  EXPECT_EQ(error_of(write_file("huge.nii", base_header({32767, 32767, 32767, 32767}, DT_UINT8, 8),
                                {})),
            "NIfTI error: header claims 1.2e18 voxels (1152780773560811521 bytes) but the file "
            "holds 0 bytes of voxel data");
  EXPECT_EQ(error_of(write_file("huge7.nii", base_header({32767, 32767, 32767, 32767, 32767,
                                                          32767, 32767}, DT_FLOAT64, 64), {})),
            "NIfTI error: header claims 4.1e31 voxels, more than can be addressed");
  const std::string gz_huge = error_of(write_file(
      "huge.nii.gz", base_header({1000, 1000, 1000, 100}, DT_INT16, 16), {}));
  EXPECT_TRUE(gz_huge.starts_with("NIfTI error: header claims 1e11 voxels (200000000000 bytes), "
                                  "more than a compressed file of "))
      << gz_huge;
  // Within the compression bound but the stream ends early.
  EXPECT_EQ(error_of(write_file("short.nii.gz", base_header({4, 4, 4}, DT_INT16, 16),
                                std::vector<unsigned char>(100))),
            "NIfTI error: file ends after 100 of 128 bytes of voxel data");

  // A text file: its first four bytes are not a header size of 348.
  const std::string text = (temp_dir() / "text.nii").string();
  std::ofstream(text) << std::string(400, 'a');
  EXPECT_EQ(error_of(text),
            "NIfTI error: not a NIfTI-1 file (header size field is 1633771873, expected 348)");
  std::ofstream((temp_dir() / "tiny.nii").string()) << "abc";
  EXPECT_EQ(error_of((temp_dir() / "tiny.nii").string()),
            "NIfTI error: file ends after 3 of 348 bytes of header");
  nifti_1_header h = base_header({2}, DT_UINT8, 8);
  std::memcpy(h.magic, "xyz", 4);
  EXPECT_EQ(error_of(write_file("magic.nii", h, {1, 2})), "NIfTI error: not a NIfTI-1 file (bad magic)");
}

TEST(Volume, TimedReadMatchesUntimed) {
  auto path = write_file("timed.nii", base_header({2, 2, 2, 2}, DT_UINT8, 8),
                         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
  auto a = read_volume_with_info(path);
  auto b = read_volume_with_info_timed(path);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->array.values(), b->volume.array.values());
  EXPECT_EQ(a->info.affine, b->volume.info.affine);
  const auto now = std::chrono::steady_clock::now();
  const Duration back = Duration::between(now, now - std::chrono::seconds(1));
  EXPECT_EQ(back.secs, 0);
  EXPECT_EQ(back.nanos, 0u);
  const Duration d = Duration::between(now, now + std::chrono::milliseconds(1500));
  EXPECT_EQ(d.secs, 1);
  EXPECT_EQ(d.nanos, 500'000'000u);
}

TEST(Mask, InsideRulesAndFirstVolumeOnly) {
  // 2 x 1 x 3 grid, two volumes; the second volume would make every voxel inside.
  const std::vector<float> first = {0.0f, -0.0f, NAN, -0.5f, 3.0f, 0.0f};
  std::vector<float> disk = first;
  disk.insert(disk.end(), 6, 1.0f);
  auto mask = read_mask(write_file("mask4.nii", base_header({2, 1, 3, 2}, DT_FLOAT32, 32), pack(disk)));
  ASSERT_TRUE(mask);
  // Stored (x, z) at x + 2z lands at 3x + z.
  EXPECT_EQ(*mask, (Mask{0, 1, 1, 0, 1, 0}));

  auto mask3 = read_mask(write_file("mask3.nii", base_header({2, 1, 3}, DT_FLOAT32, 32), pack(first)));
  ASSERT_TRUE(mask3);
  EXPECT_EQ(*mask3, *mask);
}

TEST(Mask, DimensionalityRefused) {
  for (auto dims : {std::vector<int>{4}, std::vector<int>{2, 2}, std::vector<int>{1, 1, 1, 1, 2}}) {
    std::size_t n = 1;
    for (int d : dims) n *= d;
    auto r = read_mask(write_file("maskdims.nii", base_header(dims, DT_UINT8, 8),
                                  std::vector<unsigned char>(n, 1)));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "NIfTI error: a mask must have 3 or 4 dimensions, this image has " +
                                       std::to_string(dims.size()));
  }
  EXPECT_EQ(read_mask((temp_dir() / "nomask.nii.gz").string()).error().message(),
            "NIfTI error: No such file or directory (os error 2)");
}

TEST(Mask, FromArray) {
  FloatArray a{{2, 2}, {1.0f, 0.0f, NAN, -0.0f}};
  EXPECT_EQ(mask_from_volume(a), (Mask{1, 0, 1, 0}));
  FloatArray b{{1, 1, 2, 3}, {0, 1, 1, 5, 0, 0}};
  EXPECT_EQ(mask_from_volume(b), (Mask{0, 1}));
}

TEST(MaskedMean, Rules) {
  const float v[] = {1.0f, 2.0f, 4.0f, 8.0f};
  const Mask none = {0, 0, 0, 0};
  const Mask some = {1, 0, 1, 1};
  const Mask shorter = {0, 1};
  EXPECT_EQ(masked_mean(v, 4, nullptr), 3.75);
  EXPECT_EQ(masked_mean(v, 0, nullptr), 0.0);
  EXPECT_EQ(masked_mean(v, 4, &none), 0.0);
  EXPECT_EQ(masked_mean(v, 4, &some), 13.0 / 3.0);
  EXPECT_EQ(masked_mean(v, 4, &shorter), 2.0);
  EXPECT_EQ(masked_mean(v, 2, &some), 1.0);
  // Non-finite voxels are left out of the mean (and its count), with or without a mask.
  const float poisoned[] = {1.0f, NAN, 4.0f, INFINITY, -INFINITY, 7.0f};
  EXPECT_EQ(masked_mean(poisoned, 6, nullptr), 4.0);
  const Mask all(6, 1);
  EXPECT_EQ(masked_mean(poisoned, 6, &all), 4.0);
  EXPECT_EQ(masked_mean(poisoned + 1, 1, nullptr), 0.0);
}

TEST(MaskedMean, PerVolumeInRequestedOrder) {
  // Two voxels, four volumes: volume t holds (t, 10t).
  FloatArray a{{2, 1, 1, 4}, {0, 1, 2, 3, 0, 10, 20, 30}};
  EXPECT_EQ(mean_for_volumes(a, {3, 0, 2, 2}, nullptr), (std::vector<double>{16.5, 0.0, 11.0, 11.0}));
  const Mask second = {0, 1};
  EXPECT_EQ(mean_for_volumes(a, {1, 3}, &second), (std::vector<double>{10.0, 30.0}));
  FloatArray flat{{2, 1, 1}, {2, 4}};
  EXPECT_EQ(mean_for_volumes(flat, {5, 0, 1}, nullptr), (std::vector<double>{3.0, 3.0, 3.0}));
  FloatArray zero{{2, 1, 1}, {0, 0}};
  EXPECT_EQ(mean_for_volumes(zero, {0, 1}, nullptr), (std::vector<double>{0.0, 0.0}));
}

namespace {

// One gzip member (zlib's writer, so ISA-L is checked against another implementation).
std::string gzip_member(const std::string& data) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string nifti_bytes(const nifti_1_header& h, const std::vector<unsigned char>& data) {
  std::string bytes(reinterpret_cast<const char*>(&h), sizeof h);
  bytes.append(4, '\0');
  bytes.append(reinterpret_cast<const char*>(data.data()), data.size());
  return bytes;
}

std::string write_raw(const std::string& name, const std::string& bytes) {
  const std::string path = (temp_dir() / name).string();
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path;
}

}  // namespace

TEST(VolumeGzip, MembersJoinAsGzipDoesAndEachIsChecked) {
  std::vector<std::int16_t> values(4 * 3 * 2 * 5);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::int16_t>(7 * i - 50);
  const std::string plain = nifti_bytes(base_header({4, 3, 2, 5}, DT_INT16, 16), pack(values));
  auto expected = read_volume_with_info(write_raw("members.nii", plain));
  ASSERT_TRUE(expected);

  // Split inside the header and inside the data; bytes after the last member are ignored.
  const std::string multi = gzip_member(plain.substr(0, 100)) + gzip_member(plain.substr(100, 177)) +
                            gzip_member(plain.substr(277)) + "trailing junk";
  auto joined = read_volume_with_info(write_raw("members.nii.gz", multi));
  ASSERT_TRUE(joined) << joined.error().message();
  EXPECT_EQ(joined->array.values(), expected->array.values());

  const std::string one = gzip_member(plain);
  const std::string checksum = "NIfTI error: gzip stream is corrupt (CRC-32 or length check failed)";
  // The CRC-32, then the length, of the only member; then the CRC of a middle member.
  for (std::size_t at : {one.size() - 8, one.size() - 1}) {
    std::string bad = one;
    bad[at] = static_cast<char>(bad[at] ^ 0x01);
    EXPECT_EQ(error_of(write_raw("crc.nii.gz", bad)), checksum) << at;
  }
  std::string bad_middle = multi;
  const std::size_t middle_end = gzip_member(plain.substr(0, 100)).size() +
                                 gzip_member(plain.substr(100, 177)).size();
  bad_middle[middle_end - 6] = static_cast<char>(bad_middle[middle_end - 6] ^ 0x10);
  EXPECT_EQ(error_of(write_raw("crc2.nii.gz", bad_middle)), checksum);

  EXPECT_EQ(error_of(write_raw("cut.nii.gz", one.substr(0, one.size() - 20))),
            "NIfTI error: gzip stream is truncated");
  std::string damaged = one;
  for (std::size_t i = 30; i < 60; ++i) damaged[i] = static_cast<char>(~damaged[i]);
  EXPECT_TRUE(error_of(write_raw("damaged.nii.gz", damaged))
                  .starts_with("NIfTI error: gzip stream is corrupt"));
}

// A series large enough to inflate in pieces on four workers: every outcome (values, or the
// error) is the one of a single worker, whose inflate runs in order.
TEST(VolumeGzip, PiecesAgreeWithTheSerialInflate) {
  std::vector<std::int16_t> values(64 * 64 * 48 * 128);
  std::uint32_t x = 1;
  for (std::size_t i = 0; i < values.size(); ++i) {
    x = x * 1664525u + 1013904223u;
    // Noise over a zero background, as in a brain series: copies from before a cut abound.
    values[i] = (i / 4096) % 3 == 0 ? 0 : static_cast<std::int16_t>(x >> 21);
  }
  const std::string plain = nifti_bytes(base_header({64, 64, 48, 128}, DT_INT16, 16), pack(values));
  const std::string one = gzip_member(plain);
  ASSERT_GT(one.size(), std::size_t{20} << 20);
  auto outcome = [](const std::string& path, std::uint64_t threads) -> std::string {
    auto ex = Execution::create(threads);
    return ex->run([&] {
      LoadOptions options;
      options.inflate_in_pieces = threads > 1;
      auto v = read_volume_with_info(path, options);
      if (!v) return v.error().message();
      const FloatArray& a = v->array;
      const std::string_view bytes(reinterpret_cast<const char*>(a.narrow.data()), a.narrow.size() * 2);
      return "ok " + std::to_string(a.size()) + " " + std::to_string(std::hash<std::string_view>{}(bytes));
    });
  };
  const std::size_t half = plain.size() / 2;
  std::string bad_crc = one, damaged = one;
  bad_crc[one.size() - 7] = static_cast<char>(bad_crc[one.size() - 7] ^ 0x04);
  for (std::size_t i = one.size() * 3 / 4; i < one.size() * 3 / 4 + 64; ++i)
    damaged[i] = static_cast<char>(~damaged[i]);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"one", one},
      {"members", gzip_member(plain.substr(0, half)) + gzip_member(plain.substr(half)) + "junk"},
      {"crc", bad_crc},
      {"damaged", damaged},
      {"cut", one.substr(0, one.size() * 9 / 10)},
  };
  for (const auto& [name, bytes] : cases) {
    const std::string path = write_raw(name + "_pieces.nii.gz", bytes);
    const std::string serial = outcome(path, 1);
    EXPECT_EQ(outcome(path, 4), serial) << name;
    if (name == "one") {
      ASSERT_TRUE(serial.starts_with("ok " + std::to_string(values.size()) + " "));
    } else if (name != "members") {
      EXPECT_TRUE(serial.starts_with("NIfTI error: gzip stream is")) << serial;
    }
  }
}

TEST(VolumeLimits, MemoryBudgetRefusesBeforeAllocatingAndCanBeRaised) {
  // 2 MiB of int16 zeros inflate from a few kB; the array keeps them as 16-bit integers, a
  // float32 series of the same grid takes twice that.
  const std::string bomb = gzip_member(nifti_bytes(base_header({64, 64, 16, 16}, DT_INT16, 16),
                                                   std::vector<unsigned char>(1 << 21)));
  const std::string path = write_raw("bomb.nii.gz", bomb);
  LoadOptions options;
  options.memory_budget = 1'000'000;
  auto refused = read_volume_with_info(path, options);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(),
            "NIfTI error: the image needs 2.1 MB (2097152 bytes) of memory for its 16-bit integer "
            "array, more than the memory budget of 1.0 MB (1000000 bytes); raise the memory "
            "budget to load it");
  const std::string floats = write_file("bomb32.nii", base_header({64, 64, 16, 16}, DT_FLOAT32, 32),
                                        std::vector<unsigned char>(std::size_t{1} << 22));
  options.memory_budget = 4'194'303;
  EXPECT_EQ(error_of(floats, options),
            "NIfTI error: the image needs 4.2 MB (4194304 bytes) of memory for its 32-bit float "
            "array, more than the memory budget of 4.2 MB (4194303 bytes); raise the memory "
            "budget to load it");
  options.memory_budget = 1'000'000;
  // A mask keeps only its first volume, and only that counts.
  EXPECT_TRUE(read_mask(path, options));
  options.memory_budget = 2'097'152;
  auto raised = read_volume_with_info(path, options);
  ASSERT_TRUE(raised) << raised.error().message();
  EXPECT_EQ(raised->array.size(), std::size_t{1} << 20);
  EXPECT_EQ(raised->array.bytes(), std::size_t{1} << 21);
  const auto available = available_memory();
  ASSERT_TRUE(available);
  EXPECT_GT(*available, 0u);
}

TEST(VolumeLimits, DataBeyondTheHeaderIsNotInflated) {
  const nifti_1_header h = base_header({4, 4, 4}, DT_INT16, 16);
  const std::vector<unsigned char> data(128, 3);
  std::vector<unsigned char> padded = data;
  padded.resize(128 + 1000);
  auto small = read_volume_with_info(write_raw("pad.nii.gz", gzip_member(nifti_bytes(h, padded))));
  ASSERT_TRUE(small) << small.error().message();
  std::vector<unsigned char> flood = data;
  flood.resize(128 + (std::size_t{4} << 20));
  EXPECT_EQ(error_of(write_raw("flood.nii.gz", gzip_member(nifti_bytes(h, flood)))),
            "NIfTI error: gzip stream goes on for more than 1048576 bytes past the data the "
            "header describes");
}

TEST(VolumeLimits, VolumeCountIsCheckedBeforeTheVoxelData) {
  // The data are damaged, so reading them would fail: a count that cannot match never gets there.
  std::string gz = gzip_member(nifti_bytes(base_header({2, 2, 2, 3}, DT_UINT8, 8),
                                           std::vector<unsigned char>(24, 9)));
  gz[gz.size() - 8] = static_cast<char>(gz[gz.size() - 8] ^ 1);
  const std::string path = write_raw("count.nii.gz", gz);
  LoadOptions options;
  options.expected_volumes = 4;
  auto skipped = read_volume_with_info(path, options);
  ASSERT_TRUE(skipped) << skipped.error().message();
  EXPECT_EQ(skipped->info.n_volumes, 3u);
  EXPECT_EQ(skipped->array.shape, (std::vector<std::size_t>{2, 2, 2, 3}));
  EXPECT_EQ(skipped->array.size(), 0u);
  options.expected_volumes = 3;
  EXPECT_EQ(read_volume_with_info(path, options).error().message(),
            "NIfTI error: gzip stream is corrupt (CRC-32 or length check failed)");
}
