#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

#include "orivex/audit/call_params.hpp"
#include "orivex/audit/input.hpp"
#include "orivex/audit/provenance.hpp"
#include "orivex/io/file.hpp"
#include "orivex/io/input_file.hpp"

using namespace orivex;

namespace {

class InputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("orivex_input_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& content) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  std::string missing(const std::string& name) const { return (dir_ / name).string(); }

  std::filesystem::path dir_;
};

std::string error_of(const Result<std::optional<LoadedTable>>& r) {
  return r ? std::string() : r.error().message();
}

}  // namespace

TEST_F(InputTest, NoTableWithoutBothFslPaths) {
  const std::string bvec = write("a.bvec", "1 0 0\n");
  for (auto args : {std::pair<std::optional<std::string>, std::optional<std::string>>{},
                    {bvec, std::nullopt},
                    {std::nullopt, bvec}}) {
    auto r = load_table(args.first, args.second, std::nullopt);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->has_value());
  }
}

TEST_F(InputTest, GradWinsAndFslPathsAreIgnored) {
  const std::string text = "# comment\n1 0 0 0\n0 1 0 1000\n";
  const std::string grad = write("t.b", text);
  auto r = load_table(missing("x.bvec"), missing("x.bval"), grad);
  ASSERT_TRUE(r) << error_of(r);
  const LoadedTable& t = **r;
  EXPECT_TRUE(t.from_grad);
  ASSERT_EQ(t.table.size(), 2u);
  ASSERT_EQ(t.inputs.size(), 1u);
  EXPECT_EQ(t.inputs[0].path, grad);
  EXPECT_EQ(t.inputs[0].sha256, sha256_hex(text));
  EXPECT_EQ(t.inputs[0].bytes, text.size());
}

TEST_F(InputTest, FslRecordsAreBvecThenBval) {
  const std::string bvec_text = "1 0\n0 1\n0 0\n";
  const std::string bval_text = "1000 1000\n";
  const std::string bvec = write("t.bvec", bvec_text);
  const std::string bval = write("t.bval", bval_text);
  auto r = load_table(bvec, bval, std::nullopt);
  ASSERT_TRUE(r) << error_of(r);
  const LoadedTable& t = **r;
  EXPECT_FALSE(t.from_grad);
  ASSERT_EQ(t.inputs.size(), 2u);
  EXPECT_EQ(t.inputs[0].path, bvec);
  EXPECT_EQ(t.inputs[0].sha256, sha256_hex(bvec_text));
  EXPECT_EQ(t.inputs[1].path, bval);
  EXPECT_EQ(t.inputs[1].bytes, bval_text.size());
  EXPECT_EQ(t.table.bvecs()[1], (Vec3{0, 1, 0}));
}

TEST_F(InputTest, ReadOrderDecidesWhichErrorWins) {
  const std::string bad_bval = write("bad.bval", "0 x\n");
  const std::string bad_bvec = write("bad.bvec", "y\n");
  // Both missing: the bval is read first; the message names no path.
  EXPECT_EQ(error_of(load_table(missing("a"), missing("b"), std::nullopt)),
            "I/O error: No such file or directory (os error 2)");
  // A malformed bval is reported before the bvec is even opened.
  EXPECT_EQ(error_of(load_table(missing("a"), bad_bval, std::nullopt)),
            "failed to parse " + bad_bval + ": invalid number: \"x\"");
  EXPECT_EQ(error_of(load_table(bad_bvec, bad_bval, std::nullopt)),
            "failed to parse " + bad_bval + ": invalid number: \"x\"");
  const std::string good_bval = write("good.bval", "0\n");
  EXPECT_EQ(error_of(load_table(bad_bvec, good_bval, std::nullopt)),
            "failed to parse " + bad_bvec + ": invalid number: \"y\"");
}

TEST_F(InputTest, EmptyPathIsAGivenPath) {
  EXPECT_EQ(error_of(load_table(std::nullopt, std::nullopt, std::string())),
            "I/O error: No such file or directory (os error 2)");
}

TEST_F(InputTest, CountMismatch) {
  const std::string bvec = write("m.bvec", "1 0 0\n0 1 0\n");
  const std::string bval = write("m.bval", "1000 1000 1000\n");
  EXPECT_EQ(error_of(load_table(bvec, bval, std::nullopt)),
            "failed to parse " + bvec + ": bvec shape does not match the b-value count");
}

TEST_F(InputTest, FslPairLongerThanAnySeriesIsRefusedBeforeTheBvecIsRead) {
  // 32,773 volumes: more than a NIfTI-1 series can hold, so no image can match the table.
  std::string bvals;
  for (int i = 0; i < 32773; ++i) bvals += "1000 ";
  const std::string bval = write("long.bval", bvals + "\n");
  EXPECT_EQ(error_of(load_table(missing("long.bvec"), bval, std::nullopt)),
            "failed to parse " + bval + ": 32773 volumes, more than the 32767 a NIfTI-1 series can hold");
}

TEST_F(InputTest, InvalidUtf8IsAnIoError) {
  // 0xFF never starts a UTF-8 sequence.
  const std::string grad = write("bad.b", std::string("1 0 0 1000\n\xff\n"));
  EXPECT_EQ(error_of(load_table(std::nullopt, std::nullopt, grad)).rfind("I/O error: ", 0), 0u);
}

TEST_F(InputTest, TextInputsAreCappedBeforeTheyFillMemory) {
  const std::string cap = "larger than 16 MiB, far beyond any gradient table or sidecar";
  // A device with no end, and a sparse file whose size alone gives it away.
  EXPECT_EQ(error_of(load_table(std::nullopt, std::nullopt, std::string("/dev/zero"))),
            "failed to parse /dev/zero: " + cap);
  const std::string sparse = write("huge.bval", "");
  std::filesystem::resize_file(sparse, std::uintmax_t{30} << 30);
  EXPECT_EQ(error_of(load_table(write("t.bvec", ""), sparse, std::nullopt)),
            "failed to parse " + sparse + ": " + cap);
  // The cap is on the bytes read, so a file of exactly the cap still reads.
  const std::string row = "0 0 1 1000\n";
  const std::string edge = write("edge.b", row + std::string(io::max_text_bytes - row.size(), ' '));
  EXPECT_EQ(error_of(load_table(std::nullopt, std::nullopt, edge)), "");
  std::filesystem::resize_file(edge, io::max_text_bytes + 1);
  EXPECT_EQ(error_of(load_table(std::nullopt, std::nullopt, edge)), "failed to parse " + edge + ": " + cap);
}

TEST_F(InputTest, OptionalMask) {
  auto absent = read_optional_mask(std::nullopt);
  ASSERT_TRUE(absent);
  EXPECT_FALSE(absent->has_value());
  auto bad = read_optional_mask(missing("mask.nii.gz"));
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().kind(), ErrorKind::Nifti);
}

TEST(DefaultStep, FromMeanVoxelSize) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(default_step({2, 2, 2}), 2.0);
  EXPECT_EQ(default_step({1, 1, 1}), 4.0);
  EXPECT_DOUBLE_EQ(default_step({2.5, 2.5, 2.5}), 1.6);
  EXPECT_EQ(default_step({4, 4, 4}), 1.0);
  EXPECT_EQ(default_step({5, 5, 5}), 1.0);
  EXPECT_EQ(default_step({0, 0, 0}), 1.0);
  EXPECT_EQ(default_step({nan, 2, 2}), 1.0);
  EXPECT_EQ(default_step({-2, -2, -2}), 1.0);
}

TEST(CallParams, TableOnlyKeepsIdentityAndUnitStep) {
  CallOptions o;
  o.step = 3.0;
  o.margin_threshold = 5.0;
  o.tolerance = 0.1;
  o.strict = true;
  const AuditParams p = table_audit_params(o);
  EXPECT_EQ(p.flip.step, 1.0);
  EXPECT_EQ(p.flip.frame_map, (Mat3{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}));
  EXPECT_EQ(p.flip.tolerance, 0.1);
  EXPECT_EQ(p.flip.min_signal, 1.0);
  EXPECT_EQ(p.flip.fa_threshold, 0.2);
  EXPECT_EQ(p.duplicate_angle_deg, 5.0);
  EXPECT_TRUE(p.strict);
}

TEST(CallParams, ImageFrameMapFollowsTheTableForm) {
  VolumeInfo info;
  info.affine = Mat4{{{2, 0, 0, 0}, {0, 2, 0, 0}, {0, 0, 2, 0}, {0, 0, 0, 1}}};
  info.voxel_sizes = {2, 2, 2};
  const AuditParams fsl = image_audit_params(CallOptions{}, info, false);
  const AuditParams world = image_audit_params(CallOptions{}, info, true);
  // A positive determinant reverses the first axis for FSL; the world frame is the voxel frame.
  EXPECT_EQ(fsl.flip.frame_map, (Mat3{{{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}));
  EXPECT_EQ(world.flip.frame_map, (Mat3{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}));
  EXPECT_EQ(fsl.flip.step, 2.0);
  CallOptions o;
  o.step = 0.5;
  EXPECT_EQ(image_audit_params(o, info, false).flip.step, 0.5);
}
