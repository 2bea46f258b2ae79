#include <gtest/gtest.h>
#include <nifti1.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "orivex/audit/bids_batch.hpp"
#include "orivex/io/bids.hpp"
#include "orivex/io/file.hpp"
#include "orivex/io/input_file.hpp"
#include "test_support.hpp"

using namespace orivex;
using namespace orivex::test_support;
namespace bids = orivex::io::bids;
namespace fs = std::filesystem;

namespace {

// A run with the usual BIDS siblings.
void make_run(const TempDir& d, const std::string& stem, const char* vec = "bvec",
              const char* val = "bval") {
  d.touch(stem + "_dwi.nii.gz");
  d.touch(stem + "_dwi." + vec, "1\n0\n0\n");
  d.touch(stem + "_dwi." + val, "1000\n");
}

std::vector<std::string> dwis(const TempDir& d) {
  auto r = bids::discover(d.str());
  EXPECT_TRUE(r) << (r ? "" : r.error().message());
  std::vector<std::string> out;
  if (r)
    for (const auto& e : *r) out.push_back(e.dwi.substr(d.str().size() + 1));
  return out;
}

bool running_as_root() { return ::geteuid() == 0; }

}  // namespace

TEST(BidsNiftiBase, NameRules) {
  struct Case {
    const char* path;
    const char* base;  // nullptr: not a DWI NIfTI
  };
  const Case cases[] = {
      {"sub-01_dwi.nii.gz", "sub-01_dwi"},
      {"a/b/sub-01_ses-1_dwi.nii", "a/b/sub-01_ses-1_dwi"},
      {"/abs/_dwi.nii", "/abs/_dwi"},
      {"sub-01_dwi.NII", nullptr},
      {"sub-01_DWI.nii", nullptr},
      {"sub-01_T1w.nii.gz", nullptr},
      {"sub-01_dwi.nii.gz.bak", nullptr},
      {"sub-01_dwi.gz", nullptr},
      {"d/._sub-01_dwi.nii.gz", nullptr},
      {"d/sub-01_dwi\xff.nii", nullptr},  // not UTF-8
      {"d/..", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto b = bids::nifti_base(c.path);
    if (c.base == nullptr) {
      EXPECT_FALSE(b.has_value());
    } else {
      ASSERT_TRUE(b.has_value());
      EXPECT_EQ(*b, c.base);
    }
  }
}

TEST(BidsPaths, ExtensionAndSortRules) {
  EXPECT_EQ(bids::with_extension("d/sub-01_dwi", "bvec"), "d/sub-01_dwi.bvec");
  // The usual path rule: the part from the file name's last point is replaced.
  EXPECT_EQ(bids::with_extension("d/sub-01_acq-1.5mm_dwi", "bval"), "d/sub-01_acq-1.bval");
  EXPECT_EQ(bids::with_extension("d.x/.hidden_dwi", "json"), "d.x/.hidden_dwi.json");
  EXPECT_EQ(bids::join("", "a"), "a");
  EXPECT_EQ(bids::join("r/", "a"), "r/a");
  EXPECT_EQ(bids::join("r", "a"), "r/a");

  std::vector<std::string> p = {"r/sub-1-x/a", "r/sub-1/z", "r/Sub-2", "r/sub-1/b/c", "r/sub-10"};
  bids::sort_paths(p);
  // "sub-1/..." stays together before "sub-1-x" although '-' < '/' in bytes.
  EXPECT_EQ(p, (std::vector<std::string>{"r/Sub-2", "r/sub-1/b/c", "r/sub-1/z", "r/sub-1-x/a",
                                         "r/sub-10"}));
}

TEST(BidsDiscover, MissingOrFileRootIsEmpty) {
  TempDir d;
  auto missing = bids::discover(d / "nope");
  ASSERT_TRUE(missing);
  EXPECT_TRUE(missing->empty());
  std::string f = d.touch("plain.txt");
  auto file = bids::discover(f);
  ASSERT_TRUE(file);
  EXPECT_TRUE(file->empty());
}

TEST(BidsDiscover, SubjectsSessionsAndRunsInOrder) {
  TempDir d;
  make_run(d, "sub-02/dwi/sub-02");
  make_run(d, "sub-01/ses-2/dwi/sub-01_ses-2");
  make_run(d, "sub-01/ses-1/dwi/sub-01_ses-1_run-2");
  make_run(d, "sub-01/ses-1/dwi/sub-01_ses-1_run-1");
  d.touch("sub-01/ses-1/anat/sub-01_ses-1_T1w.nii.gz");
  d.touch("sub-01/ses-1/dwi/sub-01_ses-1_run-1_dwi.json", "{}");
  EXPECT_EQ(dwis(d), (std::vector<std::string>{
                         "sub-01/ses-1/dwi/sub-01_ses-1_run-1_dwi.nii.gz",
                         "sub-01/ses-1/dwi/sub-01_ses-1_run-2_dwi.nii.gz",
                         "sub-01/ses-2/dwi/sub-01_ses-2_dwi.nii.gz",
                         "sub-02/dwi/sub-02_dwi.nii.gz",
                     }));
  auto r = bids::discover(d.str());
  ASSERT_TRUE(r);
  const auto& e = (*r)[0];
  EXPECT_EQ(e.bvec, d / "sub-01/ses-1/dwi/sub-01_ses-1_run-1_dwi.bvec");
  EXPECT_EQ(e.bval, d / "sub-01/ses-1/dwi/sub-01_ses-1_run-1_dwi.bval");
  ASSERT_TRUE(e.sidecar.has_value());
  EXPECT_EQ(*e.sidecar, d / "sub-01/ses-1/dwi/sub-01_ses-1_run-1_dwi.json");
  EXPECT_FALSE((*r)[1].sidecar.has_value());
  EXPECT_TRUE(e.masks.empty());
}

TEST(BidsDiscover, SiblingFilesPreferBidsNames) {
  TempDir d;
  make_run(d, "sub-01/dwi/sub-01", "bvecs", "bvals");
  make_run(d, "sub-02/dwi/sub-02", "bvec", "bvals");
  d.touch("sub-02/dwi/sub-02_dwi.bvecs", "0\n1\n0\n");
  // bvec present, neither bval nor bvals: no run.
  d.touch("sub-03/dwi/sub-03_dwi.nii");
  d.touch("sub-03/dwi/sub-03_dwi.bvec");
  // A directory named like the sibling is not a file.
  d.touch("sub-04/dwi/sub-04_dwi.nii");
  d.touch("sub-04/dwi/sub-04_dwi.bval");
  fs::create_directories(d / "sub-04/dwi/sub-04_dwi.bvec");
  auto r = bids::discover(d.str());
  ASSERT_TRUE(r);
  ASSERT_EQ(r->size(), 2u);
  EXPECT_EQ((*r)[0].bvec, d / "sub-01/dwi/sub-01_dwi.bvecs");
  EXPECT_EQ((*r)[0].bval, d / "sub-01/dwi/sub-01_dwi.bvals");
  EXPECT_EQ((*r)[1].bvec, d / "sub-02/dwi/sub-02_dwi.bvec");
  EXPECT_EQ((*r)[1].bval, d / "sub-02/dwi/sub-02_dwi.bvals");
}

TEST(BidsDiscover, MasksByNameInByteOrder) {
  TempDir d;
  make_run(d, "sub-01/dwi/sub-01");
  d.touch("sub-01/dwi/sub-01_desc-brain_mask.nii.gz");
  d.touch("sub-01/dwi/Brain_MASK.NII");
  d.touch("sub-01/dwi/mask.txt");
  d.touch("sub-01/dwi/._brain_mask.nii.gz");
  d.touch("sub-01/dwi/mask.nii.gz.tmp");
  fs::create_directories(d / "sub-01/dwi/dir_mask.nii");
  auto r = bids::discover(d.str());
  ASSERT_TRUE(r);
  ASSERT_EQ(r->size(), 1u);
  EXPECT_EQ((*r)[0].masks, (std::vector<std::string>{d / "sub-01/dwi/Brain_MASK.NII",
                                                     d / "sub-01/dwi/sub-01_desc-brain_mask.nii.gz"}));
  // The DWI is its own candidate only when its name says mask.
  make_run(d, "sub-02/dwi/sub-02_acq-mask");
  r = bids::discover(d.str());
  ASSERT_TRUE(r);
  ASSERT_EQ(r->size(), 2u);
  EXPECT_EQ((*r)[1].masks, (std::vector<std::string>{d / "sub-02/dwi/sub-02_acq-mask_dwi.nii.gz"}));
  EXPECT_TRUE(bids::find_masks(d / "missing").empty());
}

TEST(BidsDiscover, DerivativesAndHiddenCompanionsAreIgnored) {
  TempDir d;
  make_run(d, "sub-01/dwi/sub-01");
  make_run(d, "derivatives/eddy/sub-01/dwi/sub-01");
  make_run(d, "sub-01/derivatives/sub-01_x");
  make_run(d, "Derivatives/sub-09");
  d.touch("sub-01/dwi/._sub-01_dwi.nii.gz");
  d.touch("sub-01/dwi/._sub-01_dwi.bvec");
  d.touch("sub-01/dwi/._sub-01_dwi.bval");
  EXPECT_EQ(dwis(d), (std::vector<std::string>{"Derivatives/sub-09_dwi.nii.gz",
                                               "sub-01/dwi/sub-01_dwi.nii.gz"}));
}

TEST(BidsDiscover, RootNamedDerivativesIsWalked) {
  TempDir d;
  make_run(d, "derivatives/sub-01/dwi/sub-01");
  auto r = bids::discover(d / "derivatives");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->size(), 1u);
  EXPECT_EQ((*r)[0].dwi, d / "derivatives/sub-01/dwi/sub-01_dwi.nii.gz");
}

TEST(BidsDiscover, SymlinkedSubjectIsFollowedAndCyclesEnd) {
  TempDir d;
  TempDir elsewhere;
  make_run(elsewhere, "sub-02/dwi/sub-02");
  make_run(d, "sub-01/dwi/sub-01");
  fs::create_directory_symlink(elsewhere / "sub-02", d / "sub-02");
  // Cycles: back to the root and to the link's own folder.
  fs::create_directory_symlink(d.str(), d / "sub-01/dwi/loop");
  fs::create_directory_symlink("..", d / "sub-01/up");
  // A broken link is skipped.
  fs::create_symlink(d / "gone", d / "sub-03");
  EXPECT_EQ(dwis(d), (std::vector<std::string>{"sub-01/dwi/sub-01_dwi.nii.gz",
                                               "sub-02/dwi/sub-02_dwi.nii.gz"}));
  std::vector<std::string> files;
  ASSERT_TRUE(bids::walk(d.str(), files));
  EXPECT_EQ(files.size(), 6u);
}

TEST(BidsDiscover, LinkDiamondsAreWalkedOnce) {
  // Every level links twice to the next: 2^24 paths to the bottom, one real directory each.
  TempDir d;
  constexpr int depth = 24;
  auto level_of = [](int k) {
    std::string name = "l";
    name += std::to_string(k);
    return name;
  };
  for (int k = depth; k >= 0; --k) {
    const std::string level = level_of(k);
    fs::create_directories(d / level);
    if (k == depth) {
      make_run(d, level + "/sub-01");
    } else {
      const std::string next = d / level_of(k + 1);
      fs::create_directory_symlink(next, d / (level + "/a"));
      fs::create_directory_symlink(next, d / (level + "/b"));
    }
  }
  std::vector<std::string> files;
  ASSERT_TRUE(bids::walk(d / "l0", files));
  EXPECT_EQ(files.size(), 3u);
  // The first path in name order is the one reported, whatever order the listing gives.
  std::string expected = d / "l0";
  for (int k = 0; k < depth; ++k) expected += "/a";
  EXPECT_EQ(files.front().substr(0, expected.size()), expected);
}

TEST(BidsDiscover, UnreadableFolderEndsDiscovery) {
  if (running_as_root()) GTEST_SKIP() << "root can list a folder with mode 000";
  TempDir d;
  make_run(d, "sub-01/dwi/sub-01");
  fs::create_directories(d / "sub-02/dwi");
  d.lock("sub-02/dwi");
  auto r = bids::discover(d.str());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Io);
  EXPECT_EQ(r.error().text(), "Permission denied (os error 13)");

  // The root itself.
  TempDir e;
  make_run(e, "sub-01/dwi/sub-01");
  e.lock("sub-01");
  auto root = bids::discover(e / "sub-01");
  ASSERT_FALSE(root);
  EXPECT_EQ(root.error().text(), "Permission denied (os error 13)");

  // A file without read permission is still found: discovery goes by names only.
  TempDir f;
  make_run(f, "sub-01/dwi/sub-01");
  ::chmod((f / "sub-01/dwi/sub-01_dwi.nii.gz").c_str(), 0);
  EXPECT_EQ(dwis(f).size(), 1u);
}

TEST(BidsSidecar, ReadsTheThreeKeys) {
  auto s = bids::parse_sidecar(
      R"({"PhaseEncodingDirection": "j-", "TotalReadoutTime": 0.05,
          "MultibandAccelerationFactor": 3, "EchoTime": "x", "Other": {"a": 1, "a": 2}})");
  ASSERT_TRUE(s) << s.error().message();
  EXPECT_EQ(s->phase_encoding_direction, "j-");
  EXPECT_EQ(s->total_readout_time, 0.05);
  EXPECT_EQ(s->multiband_acceleration_factor, 3u);

  auto partial = bids::parse_sidecar(R"( {"TotalReadoutTime": 1, "PhaseEncodingDirection": null} )");
  ASSERT_TRUE(partial);
  EXPECT_FALSE(partial->phase_encoding_direction.has_value());
  EXPECT_EQ(partial->total_readout_time, 1.0);
  EXPECT_FALSE(partial->multiband_acceleration_factor.has_value());

  auto none = bids::parse_sidecar("{}");
  ASSERT_TRUE(none);
  EXPECT_FALSE(none->total_readout_time || none->phase_encoding_direction ||
               none->multiband_acceleration_factor);
  auto big = bids::parse_sidecar(R"({"MultibandAccelerationFactor": 4294967295})");
  ASSERT_TRUE(big);
  EXPECT_EQ(big->multiband_acceleration_factor, 4294967295u);
}

TEST(BidsSidecar, RefusesDuplicatesAndWrongTypes) {
  struct Case {
    const char* json;
    const char* message;  // nullptr: any Json error
  };
  const Case cases[] = {
      {R"({"TotalReadoutTime": 0.05, "TotalReadoutTime": 0.06})",
       "JSON error: duplicate field `TotalReadoutTime`"},
      {R"({"PhaseEncodingDirection": "j", "EchoTime": 1, "PhaseEncodingDirection": "j"})",
       "JSON error: duplicate field `PhaseEncodingDirection`"},
      {R"({"MultibandAccelerationFactor": 2, "MultibandAccelerationFactor": null})",
       "JSON error: duplicate field `MultibandAccelerationFactor`"},
      {R"({"MultibandAccelerationFactor": 2.5})",
       "JSON error: invalid type: floating point `2.5`, expected u32"},
      {R"({"MultibandAccelerationFactor": "3"})",
       "JSON error: invalid type: string \"3\", expected u32"},
      {R"({"MultibandAccelerationFactor": -1})",
       "JSON error: invalid value: integer `-1`, expected u32"},
      {R"({"MultibandAccelerationFactor": 4294967296})",
       "JSON error: invalid value: integer `4294967296`, expected u32"},
      {R"({"MultibandAccelerationFactor": 3.0})", nullptr},
      {R"({"TotalReadoutTime": "0.05"})", "JSON error: invalid type: string \"0.05\", expected f64"},
      {R"({"PhaseEncodingDirection": 1})", nullptr},
      {R"({"TotalReadoutTime": true})", nullptr},
      {R"([0.05])", nullptr},
      {R"({"TotalReadoutTime": 0.05} x)", nullptr},  // trailing characters
      {R"({"TotalReadoutTime": 0.05)", nullptr},     // truncated
      {"", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    auto s = bids::parse_sidecar(c.json);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().kind(), ErrorKind::Json);
    if (c.message != nullptr) {
      EXPECT_EQ(s.error().message(), c.message);
    }
  }
}

TEST(BidsSidecar, ReadFromFile) {
  TempDir d;
  auto s = bids::read_sidecar(d.touch("s.json", "{\"TotalReadoutTime\": 0.05}\n"));
  ASSERT_TRUE(s);
  EXPECT_EQ(s->total_readout_time, 0.05);
  auto missing = bids::read_sidecar(d / "none.json");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), ErrorKind::Io);
}

// ---------------------------------------------------------------------------------------------
// Batch run over synthetic phantoms.

namespace {

namespace batch = orivex::bids_batch;

// Writes a single-file NIfTI-1 of 32-bit floats; `value(x, y, z, t)` gives each voxel.
template <class F>
void write_nifti(const std::string& path, std::array<int, 4> dims, float voxel_mm, F value) {
  nifti_1_header h;
  std::memset(&h, 0, sizeof h);
  h.sizeof_hdr = 348;
  h.dim[0] = dims[3] > 1 ? 4 : 3;
  for (int i = 0; i < 4; ++i) h.dim[i + 1] = static_cast<short>(dims[i]);
  h.datatype = DT_FLOAT32;
  h.bitpix = 32;
  h.pixdim[0] = 1.0f;
  for (int i = 1; i <= 3; ++i) h.pixdim[i] = voxel_mm;
  h.pixdim[4] = 1.0f;
  h.vox_offset = 352.0f;
  h.scl_slope = 1.0f;
  std::memcpy(h.magic, "n+1\0", 4);
  std::string bytes(reinterpret_cast<const char*>(&h), sizeof h);
  bytes.append(4, '\0');  // extension flag: none
  std::vector<float> data;
  data.reserve(static_cast<std::size_t>(dims[0]) * dims[1] * dims[2] * dims[3]);
  // NIfTI stores x fastest.
  for (int t = 0; t < dims[3]; ++t)
    for (int z = 0; z < dims[2]; ++z)
      for (int y = 0; y < dims[1]; ++y)
        for (int x = 0; x < dims[0]; ++x) data.push_back(value(x, y, z, t));
  bytes.append(reinterpret_cast<const char*>(data.data()), data.size() * sizeof(float));
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

using V3 = std::array<double, 3>;

V3 unit(V3 v) {
  double n = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  return {v[0] / n, v[1] / n, v[2] / n};
}

// Two b0 volumes then 32 directions spread over the sphere (Fibonacci lattice), b = 1000.
std::vector<V3> scheme() {
  std::vector<V3> g = {{0, 0, 0}, {0, 0, 0}};
  const int n = 32;
  for (int i = 0; i < n; ++i) {
    double z = 1.0 - (i + 0.5) * 2.0 / n;
    double r = std::sqrt(1.0 - z * z);
    double phi = i * 2.399963229728653;
    g.push_back({r * std::cos(phi), r * std::sin(phi), z});
  }
  return g;
}

constexpr int grid = 14;

// Thin slabs with an oblique normal n, alternating between two perpendicular fibre directions
// that lie in the slab planes. Along the true fibre direction a step stays inside its slab
// (neighbours agree); a flipped or swapped axis tilts the step across n into the other slab.
V3 fibre(int x, int y, int z) {
  const V3 n = unit({1, 2, 3});
  const V3 a = unit({n[1], -n[0], 0});  // n x (0, 0, 1)
  const V3 b = {n[1] * a[2] - n[2] * a[1], n[2] * a[0] - n[0] * a[2], n[0] * a[1] - n[1] * a[0]};
  const double across = x * n[0] + y * n[1] + z * n[2];
  return static_cast<long>(std::floor(across / 2.0)) % 2 == 0 ? a : b;
}

// A phantom run: `flip_x` writes the table with its x axis reversed; `bvec_scale` stores
// directions of that length (amplitude-encoded); `bval_count` overrides the b-value count.
struct Phantom {
  bool flip_x = false;
  double bvec_scale = 1.0;
  std::size_t bval_count = 0;
};

void write_phantom(const TempDir& d, const std::string& stem, Phantom p = {}) {
  const auto g = scheme();
  const int nv = static_cast<int>(g.size());
  write_nifti(d / (stem + "_dwi.nii"), {grid, grid, grid, nv}, 2.0f, [&](int x, int y, int z, int t) {
    if (t < 2) return 1000.0f;
    V3 e = fibre(x, y, z);
    double c = e[0] * g[t][0] + e[1] * g[t][1] + e[2] * g[t][2];
    double adc = 0.2e-3 + (1.7e-3 - 0.2e-3) * c * c;
    return static_cast<float>(1000.0 * std::exp(-1000.0 * adc));
  });
  std::ostringstream vec, val;
  vec.precision(17);
  for (int axis = 0; axis < 3; ++axis) {
    for (int t = 0; t < nv; ++t) {
      double c = g[t][axis] * p.bvec_scale;
      if (axis == 0 && p.flip_x) c = -c;
      vec << (t ? " " : "") << c;
    }
    vec << "\n";
  }
  std::size_t nb = p.bval_count ? p.bval_count : g.size();
  for (std::size_t t = 0; t < nb; ++t) val << (t ? " " : "") << (t < 2 ? 0 : 1000);
  val << "\n";
  d.touch(stem + "_dwi.bvec", vec.str());
  d.touch(stem + "_dwi.bval", val.str());
}

AuditParams default_params() { return AuditParams{}; }

std::string file_text(const std::string& path) {
  auto r = io::read_bytes(path);
  return r ? *r : std::string("<missing>");
}

}  // namespace

TEST(BidsBatch, ReportNamesAreMadeUniqueInDiscoveryOrder) {
  auto entry = [](const char* dwi) {
    bids::DwiEntry e;
    e.dwi = dwi;
    return e;
  };
  std::vector<bids::DwiEntry> entries = {
      entry("r/sourcedata/sub-01/dwi/sub-01_dwi.nii"), entry("r/sub-01/dwi/sub-01_dwi.nii.gz"),
      entry("r/sub-02/dwi/sub-02_dwi.nii"),           entry("r/x/SUB-01_dwi.nii"),
      entry("r/y/sub-01_dwi.nii.gz"),                  entry("r/z/not-a-run.nii"),
  };
  EXPECT_EQ(batch::report_names(entries),
            (std::vector<std::string>{"sub-01_dwi", "sub-01_dwi-2", "sub-02_dwi", "SUB-01_dwi-3",
                                      "sub-01_dwi-4", "dwi"}));
  EXPECT_EQ(batch::output_dir("ds"), "ds/derivatives/orivex");
  EXPECT_EQ(batch::output_dir("ds/"), "ds/derivatives/orivex");
  EXPECT_EQ(batch::exit_code(Status::PASS), 0);
  EXPECT_EQ(batch::exit_code(Status::WARN), 3);
  EXPECT_EQ(batch::exit_code(Status::FLAG), 0);
}

TEST(BidsBatch, EmptyDatasetCreatesNothing) {
  TempDir d;
  d.touch("sub-01/anat/sub-01_T1w.nii.gz");
  auto r = batch::run(d.str(), default_params(), std::nullopt);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(),
            "no *_dwi NIfTI with sibling bvec/bval (or bvecs/bvals) found under " + d.str());
  EXPECT_FALSE(fs::exists(d / "derivatives"));
}

TEST(BidsBatch, PassAndWarnGiveWarnAndExitThree) {
  TempDir d;
  write_phantom(d, "sub-01/dwi/sub-01");
  write_phantom(d, "sub-02/dwi/sub-02", {.bvec_scale = 0.5});
  d.touch("sub-01/dwi/sub-01_dwi.json",
          R"({"PhaseEncodingDirection": "j-", "TotalReadoutTime": 0.05, "MultibandAccelerationFactor": 3})");
  // An unreadable sidecar adds nothing and does not fail the run.
  d.touch("sub-02/dwi/sub-02_dwi.json", R"({"TotalReadoutTime": 0.05, "MultibandAccelerationFactor": 2.5})");
  auto r = batch::run(d.str(), default_params(), std::nullopt);
  ASSERT_TRUE(r) << r.error();
  ASSERT_EQ(r->items.size(), 2u);
  EXPECT_EQ(r->items[0].name, "sub-01_dwi");
  EXPECT_EQ(r->items[0].dwi, d / "sub-01/dwi/sub-01_dwi.nii");
  EXPECT_EQ(r->items[0].status, Status::PASS);
  EXPECT_EQ(r->items[1].status, Status::WARN);
  EXPECT_EQ(r->status, Status::WARN);
  EXPECT_EQ(r->summary_path, d / "derivatives/orivex/dataset_summary.json");

  const std::string root = d.str();
  EXPECT_EQ(file_text(r->summary_path),
            "{\n  \"bids_root\": \"" + root + "\",\n  \"n_datasets\": 2,\n  \"results\": [\n"
            "    {\n      \"dwi\": \"" + root + "/sub-01/dwi/sub-01_dwi.nii\",\n"
            "      \"name\": \"sub-01_dwi\",\n      \"status\": \"PASS\"\n    },\n"
            "    {\n      \"dwi\": \"" + root + "/sub-02/dwi/sub-02_dwi.nii\",\n"
            "      \"name\": \"sub-02_dwi\",\n      \"status\": \"WARN\"\n    }\n  ],\n"
            "  \"status\": \"WARN\",\n  \"tool\": \"orivex\"\n}");
  EXPECT_EQ(batch::audit_bids_json(*r),
            "{\"exit_code\":3,\"results\":[{\"dwi\":\"" + root +
                "/sub-01/dwi/sub-01_dwi.nii\",\"name\":\"sub-01_dwi\",\"status\":\"PASS\"},"
                "{\"dwi\":\"" + root +
                "/sub-02/dwi/sub-02_dwi.nii\",\"name\":\"sub-02_dwi\",\"status\":\"WARN\"}],"
                "\"status\":\"WARN\",\"summary_path\":\"" + root +
                "/derivatives/orivex/dataset_summary.json\"}");

  std::string pass = file_text(d / "derivatives/orivex/sub-01_dwi_report.json");
  EXPECT_EQ(pass.rfind("{\n  \"schema_version\": 1,", 0), 0u);
  EXPECT_NE(pass.back(), '\n');
  EXPECT_NE(pass.find("\"BIDS sidecar: PE=j-, TRT=0.0500s, MB=3\""), std::string::npos);
  std::string warn = file_text(d / "derivatives/orivex/sub-02_dwi_report.json");
  EXPECT_NE(warn.find("\"status\": \"WARN\""), std::string::npos);
  EXPECT_EQ(warn.find("BIDS sidecar"), std::string::npos);

  // A rerun replaces the files under the same names.
  auto again = batch::run(d.str(), default_params(), std::nullopt);
  ASSERT_TRUE(again) << again.error();
  EXPECT_EQ(batch::audit_bids_json(*again), batch::audit_bids_json(*r));
  EXPECT_EQ(std::distance(fs::directory_iterator(d / "derivatives/orivex"), fs::directory_iterator()), 3);
}

TEST(BidsBatch, PassAndFlagGiveFlagAndExitZero) {
  TempDir d;
  write_phantom(d, "sub-01/dwi/sub-01");
  write_phantom(d, "sub-02/dwi/sub-02", {.flip_x = true});
  d.touch("sub-02/dwi/sub-02_dwi.json", R"({"TotalReadoutTime": 0.05})");
  auto r = batch::run(d.str(), default_params(), std::nullopt);
  ASSERT_TRUE(r) << r.error();
  ASSERT_EQ(r->items.size(), 2u);
  EXPECT_EQ(r->items[0].status, Status::PASS);
  EXPECT_EQ(r->items[1].status, Status::FLAG);
  EXPECT_EQ(r->status, Status::FLAG);
  EXPECT_EQ(batch::audit_bids_json(*r).rfind("{\"exit_code\":0,", 0), 0u);
  std::string flag = file_text(d / "derivatives/orivex/sub-02_dwi_report.json");
  EXPECT_NE(flag.find("\"recommended_label\": \"-x+y+z\""), std::string::npos);
  EXPECT_NE(flag.find("\"BIDS sidecar: TRT=0.0500s\""), std::string::npos);
}

TEST(BidsBatch, SameFileNameInTwoFoldersKeepsBothReports) {
  TempDir d;
  write_phantom(d, "sub-01/dwi/sub-01");
  write_phantom(d, "sourcedata/sub-01/dwi/sub-01", {.flip_x = true});
  auto r = batch::run(d.str(), default_params(), std::nullopt);
  ASSERT_TRUE(r) << r.error();
  ASSERT_EQ(r->items.size(), 2u);
  // "sourcedata" sorts before "sub-01", so it keeps the plain name.
  EXPECT_EQ(r->items[0].name, "sub-01_dwi");
  EXPECT_EQ(r->items[0].status, Status::FLAG);
  EXPECT_EQ(r->items[1].name, "sub-01_dwi-2");
  EXPECT_EQ(r->items[1].status, Status::PASS);
  EXPECT_NE(file_text(d / "derivatives/orivex/sub-01_dwi_report.json").find("\"status\": \"FLAG\""),
            std::string::npos);
  EXPECT_NE(file_text(d / "derivatives/orivex/sub-01_dwi-2_report.json").find("\"status\": \"PASS\""),
            std::string::npos);
  EXPECT_NE(file_text(r->summary_path).find("\"name\": \"sub-01_dwi-2\""), std::string::npos);
}

TEST(BidsBatch, FirstMaskOnTheDwiGridIsUsed) {
  TempDir d;
  write_phantom(d, "sub-01/dwi/sub-01");
  // Sorted first but on another grid: passed over.
  write_nifti(d / "sub-01/dwi/a_mask.nii", {4, 4, 4, 1}, 2.0f, [](int, int, int, int) { return 1.0f; });
  write_nifti(d / "sub-01/dwi/b_mask.nii", {grid, grid, grid, 1}, 2.0f,
              [](int x, int, int, int) { return x > 1 && x < grid - 2 ? 1.0f : 0.0f; });
  auto r = batch::run(d.str(), default_params(), std::nullopt);
  ASSERT_TRUE(r) << r.error();
  std::string report = file_text(d / "derivatives/orivex/sub-01_dwi_report.json");
  auto mask = InputFile::of(d / "sub-01/dwi/b_mask.nii");
  ASSERT_TRUE(mask);
  EXPECT_NE(report.find("\"path\": \"" + d / "sub-01/dwi/b_mask.nii\""), std::string::npos);
  EXPECT_NE(report.find("\"sha256\": \"" + mask->sha256 + "\""), std::string::npos);
  EXPECT_EQ(report.find("a_mask.nii"), std::string::npos);
  // bvec, bval, then the mask.
  EXPECT_LT(report.find("sub-01_dwi.bvec"), report.find("sub-01_dwi.bval"));
  EXPECT_LT(report.find("sub-01_dwi.bval"), report.find("b_mask.nii"));
}

TEST(BidsBatch, FailingRunAbortsAndKeepsEarlierReports) {
  TempDir d;
  write_phantom(d, "sub-01/dwi/sub-01");
  write_phantom(d, "sub-02/dwi/sub-02", {.bval_count = 35});
  write_phantom(d, "sub-03/dwi/sub-03");
  auto r = batch::run(d.str(), default_params(), std::nullopt);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "failed to parse " + d / "sub-02/dwi/sub-02_dwi.bvec" +
                           ": bvec shape does not match the b-value count");
  EXPECT_TRUE(fs::exists(d / "derivatives/orivex/sub-01_dwi_report.json"));
  EXPECT_FALSE(fs::exists(d / "derivatives/orivex/sub-02_dwi_report.json"));
  EXPECT_FALSE(fs::exists(d / "derivatives/orivex/sub-03_dwi_report.json"));
  EXPECT_FALSE(fs::exists(d / "derivatives/orivex/dataset_summary.json"));
}

TEST(BidsBatch, InvalidMarginFailsTheFirstRun) {
  TempDir d;
  write_phantom(d, "sub-01/dwi/sub-01");
  AuditParams p;
  p.flip.margin_threshold = 1.5;
  auto r = batch::run(d.str(), p, std::nullopt);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "margin threshold must be finite and in (0, 1]: 1.5");
  EXPECT_FALSE(fs::exists(d / "derivatives/orivex/dataset_summary.json"));
}

TEST(BidsBatch, UnwritableOutputFolderGivesTheSystemText) {
  TempDir d;
  write_phantom(d, "sub-01/dwi/sub-01");
  d.touch("derivatives", "a file where the folder should be");
  auto r = batch::run(d.str(), default_params(), std::nullopt);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "Not a directory (os error 20)");
}

TEST(BidsBatch, OutputsNeverFollowPlantedLinks) {
  // A linked derivatives/ or derivatives/orivex/ would send the reports out of the dataset.
  for (const std::string linked : {"derivatives", "derivatives/orivex"}) {
    SCOPED_TRACE(linked);
    TempDir d, outside;
    write_phantom(d, "sub-01/dwi/sub-01");
    fs::create_directories(fs::path(d / linked).parent_path());
    fs::create_directory_symlink(outside.str(), d / linked);
    auto r = batch::run(d.str(), default_params(), std::nullopt);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "refusing to write through a symbolic link: " + d.str() + "/" + linked);
    EXPECT_TRUE(fs::is_empty(outside.str()));
  }
  // Links planted under the report and summary names are replaced, their targets untouched.
  TempDir d;
  write_phantom(d, "sub-01/dwi/sub-01");
  const std::string bvec = d / "sub-01/dwi/sub-01_dwi.bvec";
  const std::string before = file_text(bvec);
  fs::create_directories(d / "derivatives/orivex");
  fs::create_symlink(bvec, d / "derivatives/orivex/sub-01_dwi_report.json");
  fs::create_symlink(bvec, d / "derivatives/orivex/dataset_summary.json");
  ASSERT_TRUE(batch::run(d.str(), default_params(), std::nullopt));
  EXPECT_EQ(file_text(bvec), before);
  for (const char* name : {"sub-01_dwi_report.json", "dataset_summary.json"}) {
    const fs::path p = d / (std::string("derivatives/orivex/") + name);
    EXPECT_FALSE(fs::is_symlink(p)) << name;
    EXPECT_EQ(file_text(p.string()).front(), '{') << name;
  }
}
