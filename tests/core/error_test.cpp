#include "orivex/support/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <limits>

#include "orivex/support/execution.hpp"
#include "orivex/support/numfmt.hpp"

using namespace orivex;

TEST(Error, EveryKindRendersItsFixedText) {
  struct Case {
    Error e;
    const char* text;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Case cases[] = {
      {Error::io_errno(ENOENT), "I/O error: No such file or directory (os error 2)"},
      {Error::nifti("bad"), "NIfTI error: bad"},
      {Error::json("x at line 1 column 2"), "JSON error: x at line 1 column 2"},
      {Error::parse("a.bvec", "d"), "failed to parse a.bvec: d"},
      {Error::table_mismatch(10, 9), "gradient table mismatch: 10 directions but 9 b-values"},
      {Error::volume_mismatch(3, 4), "volume mismatch: 3 gradients but 4 DWI volumes"},
      {Error::mask_mismatch(8, 9), "mask grid mismatch: mask has 8 voxels but the DWI grid has 9"},
      {Error::invalid_threads(), "threads must be a positive integer"},
      {Error::thread_pool("r"), "could not create thread pool: r"},
      {Error::tensor_fit("no DWI volumes in the working shell"),
       "DTI fit failed: no DWI volumes in the working shell"},
      {Error::no_usable_shell(), "no usable non-b0 shell for flip detection"},
      {Error::invalid_margin(nan), "margin threshold must be finite and in (0, 1]: NaN"},
      {Error::amplitude_encoded("m"), "amplitude-encoded bvecs (--strict): m"},
      {Error::refuse_overwrite("o.bvec"),
       "refusing to overwrite existing file: o.bvec (pass --force to allow)"},
      {Error::invalid_option("step", "finite and above 0", "-1"),
       "step must be finite and above 0: -1"},
  };
  static_assert(std::size(cases) == error_kind_count);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.e.message(), c.text);
  }
}

TEST(Error, MarginIsPlainShortestDecimal) {
  EXPECT_EQ(Error::invalid_margin(0.0).message(), "margin threshold must be finite and in (0, 1]: 0");
  EXPECT_EQ(Error::invalid_margin(1.5).message(), "margin threshold must be finite and in (0, 1]: 1.5");
  EXPECT_EQ(Error::invalid_margin(0.0000001).message(),
            "margin threshold must be finite and in (0, 1]: 0.0000001");
  EXPECT_EQ(Error::invalid_margin(-std::numeric_limits<double>::infinity()).message(),
            "margin threshold must be finite and in (0, 1]: -inf");
  EXPECT_EQ(Error::invalid_margin(5).message(), "margin threshold must be finite and in (0, 1]: 5");
}

TEST(NumFmt, JsonNumbers) {
  EXPECT_EQ(numfmt::json_number(1000), "1000.0");
  EXPECT_EQ(numfmt::json_number(1e15), "1000000000000000.0");
  EXPECT_EQ(numfmt::json_number(1.5e16), "1.5e+16");
  EXPECT_EQ(numfmt::json_number(1e16), "1e+16");
  EXPECT_EQ(numfmt::json_number(0.00001), "0.00001");
  EXPECT_EQ(numfmt::json_number(0.000001), "1e-6");
  EXPECT_EQ(numfmt::json_number(2.5e-300), "2.5e-300");
  EXPECT_EQ(numfmt::json_number(0.0), "0.0");
  EXPECT_EQ(numfmt::json_number(-0.0), "-0.0");
  EXPECT_EQ(numfmt::json_number(-0.5), "-0.5");
  EXPECT_EQ(numfmt::json_number(0.1), "0.1");
  EXPECT_EQ(numfmt::json_number(123.456), "123.456");
  EXPECT_EQ(numfmt::json_number(std::nan("")), "null");
  EXPECT_EQ(numfmt::json_number(-std::numeric_limits<double>::infinity()), "null");
}

TEST(NumFmt, PlainAndFixed) {
  EXPECT_EQ(numfmt::shortest_plain(1000), "1000");
  EXPECT_EQ(numfmt::shortest_plain(998.5), "998.5");
  EXPECT_EQ(numfmt::shortest_plain(0.00003), "0.00003");
  EXPECT_EQ(numfmt::shortest_plain(1e20), "100000000000000000000");
  EXPECT_EQ(numfmt::fixed(0.125, 2), "0.12");  // exact tie rounds to even
  EXPECT_EQ(numfmt::fixed(2.5, 0), "2");
  EXPECT_EQ(numfmt::fixed(-1e-9, 6), "-0.000000");
}

TEST(Execution, ZeroThreadsIsRefused) {
  auto e = Execution::create(0);
  ASSERT_FALSE(e);
  EXPECT_EQ(e.error().message(), "threads must be a positive integer");
}

TEST(Execution, DedicatedPoolHasRequestedWorkers) {
  auto e = Execution::create(5);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->concurrency(), 5u);
  std::size_t seen = e->run([] {
    auto s = parallel_sum_counts(1000, [](std::size_t b, std::size_t end) {
      SumCounts c;
      for (std::size_t i = b; i < end; ++i) c.sum += 1.0, ++c.ok, c.attempted += 2;
      return c;
    });
    return s.ok + s.attempted;
  });
  EXPECT_EQ(seen, 3000u);
}

TEST(Execution, KeptPoolServesItsSizeUntilAnotherIsAsked) {
  EXPECT_EQ(Execution::kept(0).error().message(), "threads must be a positive integer");
  EXPECT_FALSE(Execution::kept(std::nullopt)->has_dedicated_pool());
  for (std::uint64_t n : {3, 3, 1}) {
    auto e = Execution::kept(n);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->concurrency(), n);
    EXPECT_EQ(e->run([] {
      return parallel_sum_counts(5000, [](std::size_t b, std::size_t end) {
        return SumCounts{0.0, end - b, 0};
      }).ok;
    }), 5000u);
  }
  Execution::release_kept_pool();
}

TEST(Execution, SumIsIdenticalForEveryPoolSize) {
  auto sum_with = [](std::uint64_t threads) {
    auto e = Execution::create(threads);
    return e->run([] {
      return parallel_sum_counts(100000, [](std::size_t b, std::size_t end) {
        SumCounts c;
        for (std::size_t i = b; i < end; ++i) c.sum += 1.0 / static_cast<double>(i + 3);
        return c;
      }).sum;
    });
  };
  const double one = sum_with(1);
  for (std::uint64_t n : {2, 3, 7}) EXPECT_EQ(sum_with(n), one) << n;
}
