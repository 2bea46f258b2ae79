#include <gtest/gtest.h>

#include <cmath>

#include "orivex/io/fsl.hpp"
#include "orivex/io/mrtrix.hpp"
#include "orivex/io/input_file.hpp"

using namespace orivex;

namespace {
GradientTable pair(std::string_view bvec, std::string_view bval) {
  auto t = io::fsl::parse_pair(bvec, "x.bvec", bval, "x.bval");
  EXPECT_TRUE(t) << (t ? "" : t.error().message());
  return t ? *t : GradientTable{};
}
std::string pair_error(std::string_view bvec, std::string_view bval) {
  auto t = io::fsl::parse_pair(bvec, "x.bvec", bval, "x.bval");
  return t ? "" : t.error().message();
}
}  // namespace

TEST(Fsl, BvalAnyWhitespaceAndBothOrientations) {
  auto a = pair("1 0 0 0 1\n0 1 0 0 0\n0 0 1 1 0\n", "0\t1000  1000\n1000\r\n 1000");
  auto b = pair("1 0 0\n0 1 0\n0 0 1\n0 0 1\n1 0 0\n\n", "0 1000 1000 1000 1000");
  EXPECT_EQ(a.bvecs(), b.bvecs());
  EXPECT_EQ(a.bvals(), b.bvals());
  EXPECT_EQ(a.bvecs()[3], (Vec3{0, 0, 1}));
}

TEST(Fsl, ThreeByThreeIsReadAsAxisRows) {
  auto t = pair("1 2 3\r\n4 5 6\r\n7 8 9\r\n", "0 1000 1000");
  EXPECT_EQ(t.bvecs()[0], (Vec3{1, 4, 7}));
}

TEST(Fsl, ParseErrors) {
  const std::string shape = "failed to parse x.bvec: bvec shape does not match the b-value count";
  EXPECT_EQ(pair_error("1 2 3\n4 5 6\n", "0 1 2"), shape);
  EXPECT_EQ(pair_error("1 2 3\n4 5\n7 8 9\n", "0 1 2"), shape);
  EXPECT_EQ(pair_error("# c\n", "0"), "failed to parse x.bvec: invalid number: \"#\"");
  // The bval is parsed first, so its error wins over a broken bvec.
  EXPECT_EQ(pair_error("zz", "0 abc"), "failed to parse x.bval: invalid number: \"abc\"");
  // A byte-order mark is not whitespace: it joins the first token.
  EXPECT_EQ(pair_error("1\n0\n0\n", "\xEF\xBB\xBF" "0"),
            "failed to parse x.bval: invalid number: \"\\u{feff}0\"");
  EXPECT_EQ(pair_error("1\n0\n0\n", "a\"b\\"), "failed to parse x.bval: invalid number: \"a\\\"b\\\\\"");
}

TEST(Fsl, NumbersFollowTheDecimalGrammar) {
  auto t = pair("-0.5\n-0\n+1.5e3\n", "-0");
  EXPECT_EQ(t.bvecs()[0], (Vec3{-0.5, 0, 1500}));
  EXPECT_EQ(t.bvals()[0], 0.0);
  for (const char* bad : {"1e", "0x10", "1.2.3", ".", "e5", "1_0"})
    EXPECT_NE(pair_error("", bad), "") << bad;
  EXPECT_EQ(pair("0\n0\n0\n", ".5").bvals()[0], 0.5);
}

TEST(Tables, NonFiniteAndNegativeValuesAreParseErrors) {
  // The words and an overflowing literal are numbers by the grammar, but none is a value a
  // table can hold; nor is a b-value below zero (a direction component may be negative).
  for (const char* word : {"nan", "-INF", "Infinity", "1e999", "-1e999"}) {
    SCOPED_TRACE(word);
    const std::string quoted = std::string("\"") + word + "\"";
    EXPECT_EQ(pair_error(std::string("1\n0\n") + word + "\n", "1000"),
              "failed to parse x.bvec: not a finite number: " + quoted);
    EXPECT_EQ(pair_error("1\n0\n0\n", word), "failed to parse x.bval: not a finite number: " + quoted);
    auto g = io::mrtrix::parse(std::string("1 0 ") + word + " 1000\n", "g.b");
    EXPECT_EQ(g.error().message(), "failed to parse g.b: not a finite number: " + quoted);
  }
  EXPECT_EQ(pair_error("1 0\n0 1\n0 0\n", "0 -5"), "failed to parse x.bval: negative b-value: \"-5\"");
  EXPECT_EQ(io::mrtrix::parse("-1 0 0 -1e-9\n", "g.b").error().message(),
            "failed to parse g.b: negative b-value: \"-1e-9\"");
  // Tokens past the fourth are still never parsed.
  EXPECT_TRUE(io::mrtrix::parse("1 0 0 1000 nan -1\n", "g.b"));
}

TEST(Fsl, WriteSixDecimalsAndShortestBvals) {
  auto t = GradientTable::create({{0.0, -0.0, 1.0}, {0.70710678, -1e-9, -1}}, {1000, 998.5});
  EXPECT_EQ(io::fsl::render_bvec(*t), "0.000000 0.707107\n0.000000 -0.000000\n1.000000 -1.000000\n");
  EXPECT_EQ(io::fsl::render_bval(*t), "1000 998.5\n");
  auto empty = GradientTable::create({}, {});
  EXPECT_EQ(io::fsl::render_bvec(*empty), "\n\n\n");
  EXPECT_EQ(io::fsl::render_bval(*empty), "\n");
  EXPECT_EQ(io::mrtrix::render(*t), "0.000000 0.000000 1.000000 1000\n0.707107 -0.000000 -1.000000 998.5\n");
}

TEST(Mrtrix, CommentsRowsAndErrors) {
  auto t = io::mrtrix::parse("# header\n   # indented\n\n1 0 0 1000 7\n0 1 0 0\n", "g.b");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->size(), 2u);
  EXPECT_EQ(t->bvals()[0], 1000);
  auto bad = io::mrtrix::parse("1 0 0 abc 7\n", "g.b");
  EXPECT_EQ(bad.error().message(), "failed to parse g.b: invalid number: \"abc\"");
  auto short_row = io::mrtrix::parse("1 0 0\n", "g.b");
  EXPECT_EQ(short_row.error().message(), "failed to parse g.b: expected 4 values per row, found 3");
  // Tokens after the fourth are never parsed.
  EXPECT_TRUE(io::mrtrix::parse("1 0 0 5 junk\n", "g.b"));
}

TEST(InputFile, Sha256TestVectors) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  auto r = InputFile::from_bytes("./a/../t.bvec", "abc");
  EXPECT_EQ(r.sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(r.bytes, 3u);
  EXPECT_EQ(r.path, "./a/../t.bvec");
}

TEST(Tables, LongerThanAnyNiftiSeriesAreRefused) {
  std::string bval;
  for (std::size_t i = 0; i < max_table_volumes + 1; ++i) bval += "1000 ";
  EXPECT_EQ(pair_error("", bval), "failed to parse x.bval: 32768 volumes, more than the 32767 a "
                                  "NIfTI-1 series can hold");
  std::string grad;
  for (std::size_t i = 0; i < max_table_volumes + 2; ++i) grad += "1 0 0 1000\n";
  auto t = io::mrtrix::parse(grad, "g.b");
  ASSERT_FALSE(t);
  EXPECT_EQ(t.error().message(),
            "failed to parse g.b: 32769 volumes, more than the 32767 a NIfTI-1 series can hold");
  // The largest series a header can describe still reads.
  std::string ok;
  for (std::size_t i = 0; i < max_table_volumes; ++i) ok += "1 0 0 1000\n";
  EXPECT_TRUE(io::mrtrix::parse(ok, "g.b"));
}
