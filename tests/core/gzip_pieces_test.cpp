#include "io/gzip_pieces.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "orivex/support/execution.hpp"
#include "test_support.hpp"

using namespace orivex;

namespace {

// Raw deflate by zlib at `level`, and the bit of every block boundary zlib's own inflater meets.
struct Deflated {
  std::string bytes;
  std::vector<std::uint64_t> boundaries;
};

Deflated deflate_raw(const std::string& data, int level) {
  Deflated d;
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  d.bytes.resize(deflateBound(&z, data.size()));
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(d.bytes.data());
  z.avail_out = static_cast<uInt>(d.bytes.size());
  deflate(&z, Z_FINISH);
  d.bytes.resize(z.total_out);
  deflateEnd(&z);
  z_stream u{};
  inflateInit2(&u, -15);
  std::string out(data.size(), '\0');
  u.next_in = reinterpret_cast<Bytef*>(d.bytes.data());
  u.avail_in = static_cast<uInt>(d.bytes.size());
  u.next_out = reinterpret_cast<Bytef*>(out.data());
  u.avail_out = static_cast<uInt>(out.size());
  while (inflate(&u, Z_BLOCK) == Z_OK)
    if (u.data_type & 128)
      d.boundaries.push_back(8 * (d.bytes.size() - u.avail_in) - (u.data_type & 7));
  inflateEnd(&u);
  return d;
}

// Noise over runs of zeros: most blocks copy from the 32 KiB before them.
std::string series_like(std::size_t n) {
  std::string s(n, '\0');
  std::uint32_t x = 7;
  for (std::size_t i = 0; i < n; i += 2) {
    x = x * 1664525u + 1013904223u;
    if ((i / 3000) % 3 == 0) continue;
    s[i] = static_cast<char>(x >> 24);
    s[i + 1] = static_cast<char>((x >> 20) & 15);
  }
  return s;
}

}  // namespace

TEST(GzipPieces, BlockHeadersAreFoundWhereTheInflaterMeetsThem) {
  const Deflated d = deflate_raw(series_like(4 << 20), 6);
  ASSERT_GT(d.boundaries.size(), 20u);
  const auto* data = reinterpret_cast<const unsigned char*>(d.bytes.data());
  std::size_t found = 0;
  for (std::uint64_t b : d.boundaries) {
    // Only blocks with code tables of their own are looked for (zlib codes some runs of zeros
    // with the fixed tables); the end of the stream has none.
    if (b + 64 >= 8 * d.bytes.size()) continue;
    // (The final block is not a cut either.)
    const unsigned head = (static_cast<unsigned>(data[b / 8]) |
                           static_cast<unsigned>(data[b / 8 + 1]) << 8) >> (b % 8) & 7;
    if (head != 4) continue;
    EXPECT_EQ(io::find_block_header(data, d.bytes.size(), b, b + 1),
              std::optional<std::uint64_t>(b));
    ++found;
  }
  EXPECT_GT(found, 20u);
  // Random bits hold such headers only rarely.
  std::string noise(1 << 20, '\0');
  std::uint32_t x = 3;
  for (char& c : noise) c = static_cast<char>((x = x * 1664525u + 1013904223u) >> 24);
  std::size_t false_headers = 0;
  std::uint64_t at = 0;
  while (auto h = io::find_block_header(reinterpret_cast<const unsigned char*>(noise.data()),
                                        noise.size(), at, 8 * noise.size())) {
    ++false_headers;
    at = *h + 1;
  }
  EXPECT_LT(false_headers, 64u);
}

// Pieces over a gzip member as a file: the bytes, the trailer check and the refusal of a member
// that inflates past what may be asked for.
TEST(GzipPieces, EveryKindOfStreamInflatesToItsBytes) {
  test_support::TempDir dir;
  const std::string zeros(std::size_t{96} << 20, '\0');  // over 1000:1, so pieces hit their cap
  const std::string series = series_like(std::size_t{24} << 20);
  for (const auto& [name, data, level] :
       {std::tuple<std::string, const std::string&, int>{"series", series, 6},
        {"fast", series, 1},
        {"stored", series, 0},
        {"zeros", zeros, 6}}) {
    const Deflated d = deflate_raw(data, level);
    const std::uint32_t crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
    std::string file = d.bytes;
    for (std::uint32_t v : {crc, static_cast<std::uint32_t>(data.size())})
      for (int i = 0; i < 4; ++i) file += static_cast<char>((v >> (8 * i)) & 0xff);
    const std::string path = dir.touch(name + ".deflate", file);
    for (const std::uint64_t limit : {std::uint64_t{data.size()}, std::uint64_t{1} << 20}) {
      const int fd = ::open(path.c_str(), O_RDONLY);
      io::PieceInflater::Start s;
      s.fd = fd;
      s.file_size = file.size();
      s.limit = limit;
      s.workers = 2;
      std::string out;
      std::string error;
      auto ex = Execution::create(4);
      ex->run_void([&] {
        io::PieceInflater pieces(std::move(s));
        std::vector<unsigned char> buf(3 << 20);
        while (true) {
          auto got = pieces.read(buf.data(), buf.size());
          if (!got) return void(error = got.error().message());
          if (*got == 0) break;
          out.append(reinterpret_cast<const char*>(buf.data()), *got);
        }
        if (pieces.member_end() != std::optional<std::uint64_t>(file.size())) error = "no end";
      });
      ::close(fd);
      if (limit == data.size()) {
        EXPECT_EQ(error, "") << name;
        EXPECT_TRUE(out == data) << name << ": " << out.size() << " of " << data.size();
      } else {
        EXPECT_EQ(error, "NIfTI error: gzip stream goes on for more than 1048576 bytes past the "
                         "data the header describes")
            << name;
      }
    }
  }
}
