#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "orivex/io/bids.hpp"

using namespace orivex;
namespace bids = orivex::io::bids;
namespace fs = std::filesystem;

namespace {

// A scratch dataset root, removed with everything below it (permissions restored first).
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "orivex-bids-XXXXXX").string();
    char* p = ::mkdtemp(tmpl.data());
    EXPECT_NE(p, nullptr);
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (ec) break;
      if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0755);
    }
    for (const auto& d : locked_) ::chmod(d.c_str(), 0755);
    fs::remove_all(path_, ec);
  }
  const std::string& str() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }
  // Creates the file (and its folders) with `content`.
  std::string touch(const std::string& rel, const std::string& content = "x") const {
    std::string p = *this / rel;
    fs::create_directories(fs::path(p).parent_path());
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }
  void lock(const std::string& rel) {
    locked_.push_back(*this / rel);
    ::chmod(locked_.back().c_str(), 0);
  }

 private:
  std::string path_;
  std::vector<std::string> locked_;
};

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
