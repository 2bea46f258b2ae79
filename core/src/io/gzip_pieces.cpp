#include "io/gzip_pieces.hpp"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>

#include "orivex/support/execution.hpp"

namespace orivex::io {

static_assert(std::endian::native == std::endian::little, "the bit reader loads words as stored");

void Bytes::reserve(std::size_t n) {
  if (n <= capacity_) return;
  std::unique_ptr<unsigned char[]> grown(new unsigned char[n]);
  if (size_) std::memcpy(grown.get(), data_.get(), size_);
  data_ = std::move(grown);
  capacity_ = n;
}

void extend_history(std::vector<unsigned char>& history, const unsigned char* out, std::size_t n) {
  if (n >= history_bytes) {
    history.assign(out + n - history_bytes, out + n);
    return;
  }
  history.insert(history.end(), out, out + n);
  if (history.size() > history_bytes)
    history.erase(history.begin(), history.end() - static_cast<std::ptrdiff_t>(history_bytes));
}

namespace {

// ---- Block headers -------------------------------------------------------------------------

// Up to 57 bits from `bit` on, least significant first; bits past the end read as zero.
std::uint64_t peek(const unsigned char* d, std::size_t bytes, std::uint64_t bit) {
  const std::size_t at = static_cast<std::size_t>(bit >> 3);
  std::uint64_t v = 0;
  if (at + 8 <= bytes) std::memcpy(&v, d + at, 8);
  else if (at < bytes) std::memcpy(&v, d + at, bytes - at);
  return v >> (bit & 7);
}

// Kraft's sum of a code's lengths: 0 complete, 1 incomplete, -1 over-subscribed; `longest` is
// the longest length in use (0 for none).
int kraft(const std::uint8_t* lens, int n, int& longest) {
  int count[16] = {};
  longest = 0;
  for (int i = 0; i < n; ++i) {
    ++count[lens[i]];
    longest = std::max<int>(longest, lens[i]);
  }
  int left = 1;
  for (int len = 1; len <= 15; ++len) {
    left = (left << 1) - count[len];
    if (left < 0) return -1;
  }
  return left > 0 ? 1 : 0;
}

// Kraft sums (in 128ths) of four 3-bit code lengths at once.
constexpr auto kraft4 = [] {
  std::array<std::uint16_t, 4096> t{};
  for (int v = 0; v < 4096; ++v)
    for (int i = 0; i < 4; ++i) {
      const int len = (v >> (3 * i)) & 7;
      auto& sum = t[static_cast<std::size_t>(v)];
      sum = static_cast<std::uint16_t>(sum + (len ? 128 >> len : 0));
    }
  return t;
}();

// Canonical decoding of one symbol, bit by bit (only for the short code-length code).
struct SmallCode {
  int count[8] = {};
  int symbol[19] = {};
  explicit SmallCode(const std::uint8_t* lens) {
    int offs[8] = {};
    for (int i = 0; i < 19; ++i) ++count[lens[i]];
    count[0] = 0;
    for (int len = 1; len < 8; ++len) offs[len] = offs[len - 1] + count[len - 1];
    for (int i = 0; i < 19; ++i)
      if (lens[i]) symbol[offs[lens[i]]++] = i;
  }
  int decode(const unsigned char* d, std::size_t bytes, std::uint64_t& bit) const {
    const std::uint64_t v = peek(d, bytes, bit);
    int code = 0, first = 0, index = 0;
    for (int len = 1; len < 8; ++len) {
      code |= static_cast<int>((v >> (len - 1)) & 1);
      if (code - count[len] < first) {
        bit += static_cast<std::uint64_t>(len);
        return symbol[index + (code - first)];
      }
      index += count[len];
      first = (first + count[len]) << 1;
      code <<= 1;
    }
    return -1;
  }
};

// Whether a non-final block with its own code tables starts at `bit`, with code tables that an
// inflater accepts: a complete code-length code, lengths that stay within the tables, an
// end-of-block code, and literal and distance codes complete (or of a single code, or, for
// distances, empty).
bool dynamic_header_at(const unsigned char* d, std::size_t bytes, std::uint64_t bit) {
  const std::uint64_t v = peek(d, bytes, bit);
  if ((v & 7) != 4) return false;  // BFINAL 0, BTYPE 2
  const int hlit = static_cast<int>((v >> 3) & 31) + 257;
  const int hdist = static_cast<int>((v >> 8) & 31) + 1;
  const int hclen = static_cast<int>((v >> 13) & 15) + 4;
  if (hlit > 286 || hdist > 30) return false;
  static constexpr int order[19] = {16, 17, 18, 0,  8, 7,  9, 6,  10, 5,
                                    11, 4,  12, 3, 13, 2, 14, 1, 15};
  const std::uint64_t c = peek(d, bytes, bit + 17) & ((std::uint64_t{1} << (3 * hclen)) - 1);
  // The code-length code must be complete: its lengths' Kraft sum, in 128ths, is exactly 128.
  const int sum = kraft4[c & 0xfff] + kraft4[(c >> 12) & 0xfff] + kraft4[(c >> 24) & 0xfff] +
                  kraft4[(c >> 36) & 0xfff] + kraft4[(c >> 48) & 0xfff];
  if (sum != 128) return false;
  std::uint8_t cl[19] = {};
  for (int i = 0; i < hclen; ++i) cl[order[i]] = static_cast<std::uint8_t>((c >> (3 * i)) & 7);
  int longest = 0;
  if (static_cast<std::uint64_t>(bytes) * 8 < bit + 17 + 3 * hclen) return false;

  const SmallCode code(cl);
  std::uint8_t lens[286 + 30] = {};
  std::uint64_t at = bit + 17 + static_cast<std::uint64_t>(3 * hclen);
  const int total = hlit + hdist;
  for (int i = 0; i < total;) {
    if (at > static_cast<std::uint64_t>(bytes) * 8) return false;
    const int sym = code.decode(d, bytes, at);
    if (sym < 0) return false;
    if (sym < 16) {
      lens[i++] = static_cast<std::uint8_t>(sym);
      continue;
    }
    int repeat = 0;
    std::uint8_t value = 0;
    const std::uint64_t extra = peek(d, bytes, at);
    if (sym == 16) {
      if (i == 0) return false;
      value = lens[i - 1];
      repeat = 3 + static_cast<int>(extra & 3);
      at += 2;
    } else if (sym == 17) {
      repeat = 3 + static_cast<int>(extra & 7);
      at += 3;
    } else {
      repeat = 11 + static_cast<int>(extra & 127);
      at += 7;
    }
    if (i + repeat > total) return false;
    while (repeat-- > 0) lens[i++] = value;
  }
  if (at > static_cast<std::uint64_t>(bytes) * 8 || lens[256] == 0) return false;
  const int lit = kraft(lens, hlit, longest);
  if (lit < 0 || (lit > 0 && longest != 1)) return false;
  const int dist = kraft(lens + hlit, hdist, longest);
  return dist == 0 || (dist > 0 && longest <= 1);
}

// ---- Decoders ------------------------------------------------------------------------------

Result<std::size_t> pread_all(int fd, unsigned char* out, std::size_t n, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t r = ::pread(fd, out + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return Error::nifti(std::string("cannot read the file: ") + std::strerror(errno));
    }
    if (r == 0) break;
    done += static_cast<std::size_t>(r);
  }
  return done;
}

// Small enough to come from the heap: fresh pages cost more to fault in than to inflate into.
constexpr std::size_t input_step = std::size_t{64} << 10;

}  // namespace

std::optional<std::uint64_t> find_block_header(const unsigned char* data, std::size_t bytes,
                                               std::uint64_t from_bit, std::uint64_t to_bit) {
  to_bit = std::min<std::uint64_t>(to_bit, static_cast<std::uint64_t>(bytes) * 8);
  // 32 positions at a time: one word gives each its first 13 bits, and bit operations keep those
  // whose block type, literal count and distance count are possible (about one in ten).
  for (std::uint64_t base = from_bit; base < to_bit; base += 32) {
    const std::uint64_t w = peek(data, bytes, base);
    std::uint64_t m = ~w & (~w >> 1) & (w >> 2);
    m &= ~((w >> 4) & (w >> 5) & (w >> 6) & (w >> 7));
    m &= ~((w >> 9) & (w >> 10) & (w >> 11) & (w >> 12));
    m &= 0xffffffffu;
    while (m) {
      const std::uint64_t bit = base + static_cast<std::uint64_t>(std::countr_zero(m));
      m &= m - 1;
      if (bit >= to_bit) return std::nullopt;
      if (dynamic_header_at(data, bytes, bit)) return bit;
    }
  }
  return std::nullopt;
}

// One raw-deflate inflater over the file's bytes from a bit on, reading its input up to a cap.
struct Inflater {
  std::unique_ptr<inflate_state> st = std::make_unique<inflate_state>();
  Bytes in;
  std::uint64_t in_offset = 0;  // file offset of in[0]
  std::uint64_t read_to = 0;    // file offset up to which input has been read
  std::uint64_t cap = 0;        // file offset input must not go past
  bool finished = false;        // the final block is over

  Result<void> start(int fd, std::uint64_t bit, const unsigned char* dict, std::size_t dict_len,
                     std::uint64_t cap_byte) {
    isal_inflate_init(st.get());
    if (dict_len) isal_inflate_set_dict(st.get(), const_cast<unsigned char*>(dict),
                                        static_cast<std::uint32_t>(dict_len));
    in.resize(static_cast<std::size_t>(
        std::clamp<std::uint64_t>(cap_byte - std::min(cap_byte, bit >> 3), 1, input_step)));
    in_offset = read_to = bit >> 3;
    cap = cap_byte;
    st->next_in = in.data();
    st->avail_in = 0;
    if (bit & 7) {
      ORIVEX_TRY(refill(fd));
      if (st->avail_in == 0) return Error::nifti("gzip stream is truncated");
      st->read_in = st->next_in[0] >> (bit & 7);
      st->read_in_length = static_cast<std::int32_t>(8 - (bit & 7));
      ++st->next_in;
      --st->avail_in;
    }
    return {};
  }

  // The bit the inflater has reached (input consumed but not decoded is not counted).
  std::uint64_t position() const {
    const auto consumed = static_cast<std::uint64_t>(st->next_in - in.data()) + in_offset;
    return 8 * (consumed - static_cast<std::uint64_t>(st->tmp_in_size)) -
           static_cast<std::uint64_t>(st->read_in_length);
  }
  bool between_blocks_at(std::uint64_t bit) const {
    return !finished && st->tmp_in_size == 0 &&
           (st->block_state == ISAL_BLOCK_NEW_HDR || st->block_state == ISAL_BLOCK_HDR) &&
           position() == bit;
  }

  Result<void> refill(int fd) {
    if (st->avail_in > 0 || read_to >= cap) return {};
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(in.size(), cap - read_to));
    ORIVEX_ASSIGN(const std::size_t got, pread_all(fd, in.data(), n, read_to));
    in_offset = read_to;
    read_to += got;
    if (got < n) cap = read_to;  // the file ended
    st->next_in = in.data();
    st->avail_in = static_cast<std::uint32_t>(got);
    return {};
  }

  // Inflates into out (appending) until the input is used up to the cap, the final block is
  // over, or out holds `most` bytes. Out grows by halves, without being copied more than once in
  // a while: a piece's buffer is reused, and its first size is the caller's estimate.
  Result<void> run(int fd, Bytes& out, std::size_t most) {
    while (!finished && out.size() < most) {
      ORIVEX_TRY(refill(fd));
      if (out.capacity() - out.size() < (std::size_t{64} << 10))
        out.reserve(std::min(most, out.size() + std::max(out.size() / 2, std::size_t{1} << 20)));
      const std::size_t room = std::min<std::size_t>(
          {most - out.size(), out.capacity() - out.size(), std::size_t{1} << 30});
      const std::size_t at = out.size();
      out.resize(at + room);
      st->next_out = out.data() + at;
      st->avail_out = static_cast<std::uint32_t>(room);
      const std::uint32_t in_before = st->avail_in;
      const int rc = isal_inflate(st.get());
      const auto made = static_cast<std::size_t>(st->next_out - (out.data() + at));
      out.resize(at + made);
      if (rc != ISAL_DECOMP_OK)
        return Error::nifti("gzip stream is corrupt (invalid deflate data)");
      if (st->block_state == ISAL_BLOCK_INPUT_DONE || st->block_state == ISAL_BLOCK_FINISH) {
        finished = true;
      } else if (made == 0 && st->avail_in == in_before) {
        if (st->avail_in > 0)
          return Error::nifti("gzip stream is corrupt (the inflater made no progress)");
        if (read_to >= cap) break;  // the input is used up to the cap
      }
    }
    return {};
  }

  // File offset of the byte after the final block (where the member's trailer starts).
  std::uint64_t end_byte() const { return (position() + 7) / 8; }
};

struct PieceInflater::Piece {
  std::uint64_t begin = 0, end = 0;  // bits; the next piece begins at end
  bool at_header = true;             // begin is a block header (else: only ever continued)
  Bytes out;
  std::unique_ptr<Inflater> inflater;
  Result<void> status;  // of the inflation against the stand-in
  std::vector<std::uint32_t> crcs;  // of each crc_block of out, as inflated
  std::size_t mended_to = 0;        // out is as inflated from here on
};

namespace {

constexpr std::size_t search_bytes = std::size_t{256} << 10;  // past a nominal cut
constexpr std::size_t min_piece_bytes = std::size_t{256} << 10;
constexpr std::size_t max_piece_bytes = std::size_t{8} << 20;
constexpr std::size_t piece_output_bytes = std::size_t{8} << 20;  // aimed at per piece
constexpr std::size_t piece_output_cap = std::size_t{32} << 20;   // what one piece may make
// Pieces in a batch: two per worker, but no more than this, as the mending, which is in order,
// keeps up with about that many and every piece in flight holds its output.
constexpr std::size_t max_batch = 8;
constexpr std::size_t probe_bytes = std::size_t{64} << 10;
constexpr std::uint64_t slack_bytes = std::uint64_t{1} << 20;
// CRCs are taken in blocks as the pieces inflate, so that mending retakes only the first few.
constexpr std::size_t crc_block = std::size_t{1} << 20;
const std::array<unsigned char, history_bytes> stand_in{};  // zeros

std::uint32_t le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

PieceInflater::PieceInflater(Start s)
    : s_(std::move(s)), history_(std::move(s_.history)), crc_(s_.crc), total_(s_.total),
      planned_to_(s_.start_bit) {}

PieceInflater::~PieceInflater() = default;

Result<std::optional<std::uint64_t>> find_cut(int fd, std::uint64_t at) {
  // One window per thread, kept: a fresh one would cost its page faults at every cut.
  thread_local std::vector<unsigned char> window(search_bytes);
  ORIVEX_ASSIGN(const std::size_t got, pread_all(fd, window.data(), window.size(), at));
  std::uint64_t bit = 0;
  while (auto h = find_block_header(window.data(), got, bit, 8 * static_cast<std::uint64_t>(got))) {
    Inflater probe;
    Bytes scratch;
    if (probe.start(fd, 8 * at + *h, stand_in.data(), stand_in.size(), at + got) &&
        probe.run(fd, scratch, probe_bytes))
      return std::optional<std::uint64_t>(8 * at + *h);
    bit = *h + 1;
  }
  return std::optional<std::uint64_t>();
}

// Where the batch that begins at planned_to_ is to be cut: two pieces per worker (up to
// max_batch), at block headers about a piece's input apart (searched by search_cut, during the
// round before).
PieceInflater::Cuts PieceInflater::cuts_from_here() const {
  Cuts c;
  c.from_bit = planned_to_;
  c.piece_bytes = static_cast<std::uint64_t>(std::clamp<double>(
      static_cast<double>(piece_output_bytes) / std::max(1.0, ratio_),
      static_cast<double>(min_piece_bytes), static_cast<double>(max_piece_bytes)));
  c.at.assign(std::min(2 * s_.workers, max_batch), std::optional<std::uint64_t>());
  return c;
}

void PieceInflater::search_cut(Cuts& c, std::size_t j) const {
  const std::uint64_t at = c.from_bit / 8 + (j + 1) * c.piece_bytes;
  c.at[j] = at + search_bytes >= s_.file_size ? std::optional<std::uint64_t>(8 * s_.file_size)
                                              : find_cut(s_.fd, at);
}

// The next batch, from its cuts. Where no header was found, the piece runs to the end of the
// file and is inflated in order: a stream without such headers (stored or fixed-code blocks) is
// not searched again.
Result<void> PieceInflater::plan(std::vector<Piece>& batch, Cuts& c) {
  const std::uint64_t eof = 8 * s_.file_size;
  for (std::size_t j = 0; j < c.at.size() && !planned_all_; ++j) {
    ORIVEX_TRY(c.at[j]);
    const bool found = splittable_ && c.at[j]->has_value() && **c.at[j] > planned_to_;
    Piece& p = batch.emplace_back();
    p.begin = planned_to_;
    p.end = found ? **c.at[j] : eof;
    p.at_header = next_at_header_ && found;
    if (!found) splittable_ = false;
    planned_to_ = p.end;
    next_at_header_ = found;
    planned_all_ = p.end >= eof;
  }
  return {};
}

Result<void> PieceInflater::check_trailer() {
  unsigned char t[8];
  const std::uint64_t at = exact_->end_byte();
  ORIVEX_ASSIGN(const std::size_t got, pread_all(s_.fd, t, sizeof t, at));
  if (got < sizeof t) return Error::nifti("gzip stream is truncated");
  if (le32(t) != crc_ || le32(t + 4) != static_cast<std::uint32_t>(total_))
    return Error::nifti("gzip stream is corrupt (CRC-32 or length check failed)");
  member_end_ = at + sizeof t;
  return {};
}

// Mends the pending pieces in order and hands their output to `done`. A piece that begins
// exactly where the exact inflater stands, between blocks, is mended; any other is inflated by
// the exact inflater going on through it.
Result<void> PieceInflater::chain(std::vector<Bytes>& done, std::size_t most) {
  for (Piece& p : pending_) {
    if (!exact_) {
      exact_ = std::make_unique<Inflater>();
      ORIVEX_TRY(
          exact_->start(s_.fd, s_.start_bit, history_.data(), history_.size(), s_.file_size));
    }
    if (p.at_header && p.inflater && p.status && exact_->between_blocks_at(p.begin)) {
      ORIVEX_TRY(mend(p));
      exact_ = std::move(p.inflater);
    } else {
      p.out.resize(0);
      p.crcs.clear();
      exact_->cap = (p.end + 7) / 8;
      ORIVEX_TRY(exact_->run(s_.fd, p.out, most));
    }
    Bytes& out = p.out;
    for (std::size_t at = 0, i = 0; at < out.size(); at += crc_block, ++i) {
      const std::size_t n = std::min(crc_block, out.size() - at);
      const std::uint32_t c = i < p.crcs.size() && at >= p.mended_to
                                  ? p.crcs[i]
                                  : crc32_gzip_refl(0, out.data() + at, n);
      crc_ = static_cast<std::uint32_t>(crc32_combine(crc_, c, static_cast<z_off_t>(n)));
    }
    total_ += out.size();
    extend_history(history_, out.data(), out.size());
    last_made_ = out.size();
    done.push_back(std::move(out));
    if (exact_->finished) return check_trailer();
    if (produced() > s_.limit + slack_bytes)
      return Error::nifti("gzip stream goes on for more than " + std::to_string(slack_bytes) +
                          " bytes past the data the header describes");
  }
  return {};
}

// One step of the pipeline: the pieces inflated in the last step are mended while the next
// batch inflates against the stand-in.
Result<void> PieceInflater::round() {
  if (planned_all_ && pending_.empty()) {
    // The last piece made as much as one piece may: the exact inflater goes on.
    if (!exact_ || last_made_ == 0)
      return Error::nifti("gzip stream is truncated");
    Piece& p = pending_.emplace_back();
    p.begin = exact_->position();
    p.end = 8 * s_.file_size;
    p.at_header = false;
  }
  if (exact_ && produced() > 0) {
    const std::uint64_t bits = exact_->position() - s_.start_bit;
    if (bits > 0) ratio_ = 8.0 * static_cast<double>(produced()) / static_cast<double>(bits);
  }
  const std::size_t most = static_cast<std::size_t>(std::min<std::uint64_t>(
      s_.limit - std::min(s_.limit, produced()) + 2 * slack_bytes, piece_output_cap));
  std::vector<Piece> batch;
  if (!planned_all_) {
    if (!cuts_ || cuts_->from_bit != planned_to_) {
      cuts_ = cuts_from_here();
      parallel_for(cuts_->at.size(), [&](std::size_t b, std::size_t e) {
        for (std::size_t j = b; j < e; ++j) search_cut(*cuts_, j);
      });
    }
    ORIVEX_TRY(plan(batch, *cuts_));
    cuts_.reset();
  }
  // The cuts of the batch after this one are searched during this round.
  if (!planned_all_ && splittable_) cuts_ = cuts_from_here();
  const std::size_t searches = cuts_ ? cuts_->at.size() : 0;
  for (Piece& p : batch) p.out = spare();
  std::vector<Bytes> done;
  Result<void> chained;
  // Job 0, the mending, comes first: it is the one the next step waits for.
  parallel_for(1 + batch.size() + searches, [&](std::size_t b, std::size_t e) {
    for (std::size_t j = b; j < e; ++j) {
      if (j == 0) {
        chained = chain(done, most);
        continue;
      }
      if (j > batch.size()) {
        search_cut(*cuts_, j - 1 - batch.size());
        continue;
      }
      Piece& p = batch[j - 1];
      if (!p.at_header) continue;
      p.inflater = std::make_unique<Inflater>();
      p.status =
          p.inflater->start(s_.fd, p.begin, stand_in.data(), stand_in.size(), (p.end + 7) / 8);
      if (!p.status) continue;
      // Buffers are reused from round to round, so one size for all keeps them from growing.
      const double estimate = static_cast<double>(p.end - p.begin) / 8.0 * ratio_ * 1.25;
      p.out.reserve(std::min<std::size_t>(
          most, std::max(2 * piece_output_bytes, static_cast<std::size_t>(estimate))));
      p.status = p.inflater->run(s_.fd, p.out, most);
      if (!p.status) continue;
      for (std::size_t at = 0; at < p.out.size(); at += crc_block)
        p.crcs.push_back(
            crc32_gzip_refl(0, p.out.data() + at, std::min(crc_block, p.out.size() - at)));
    }
  });
  ORIVEX_TRY(chained);
  for (Bytes& d : done) ready_.push_back(std::move(d));
  for (Piece& p : pending_)
    if (p.out.capacity()) spare_.push_back(std::move(p.out));
  pending_ = std::move(batch);
  if (member_end_) pending_.clear();
  return {};
}

// Inflates the start of a piece again against the true history, over the stand-in output,
// until the two have agreed for a whole history: from there on the piece's own inflater is
// exact. Where they never agree, the true inflater goes through the whole piece and takes over.
Result<void> PieceInflater::mend(Piece& p) {
  auto truth = std::make_unique<Inflater>();
  ORIVEX_TRY(truth->start(s_.fd, p.begin, history_.data(), history_.size(), (p.end + 7) / 8));
  Bytes& out = scratch_;
  out.resize(0);
  std::size_t agreed_from = 0;
  constexpr std::size_t step = std::size_t{64} << 10;
  while (out.size() < p.out.size()) {
    const std::size_t at = out.size();
    ORIVEX_TRY(truth->run(s_.fd, out, std::min(at + step, p.out.size())));
    if (out.size() == at) break;
    // Compared in small blocks; a block that differs is taken whole from the true output.
    constexpr std::size_t cmp = 256;
    for (std::size_t i = at; i < out.size(); i += cmp) {
      const std::size_t n = std::min(cmp, out.size() - i);
      if (std::memcmp(out.data() + i, p.out.data() + i, n) != 0) {
        std::memcpy(p.out.data() + i, out.data() + i, n);
        agreed_from = i + n;
      }
    }
    p.mended_to = (agreed_from + crc_block - 1) / crc_block * crc_block;
    if (out.size() - agreed_from >= history_bytes) return {};
  }
  p.mended_to = p.out.size();
  if (out.size() != p.out.size() || truth->finished != p.inflater->finished ||
      truth->position() != p.inflater->position())
    return Error::nifti("gzip stream is corrupt (invalid deflate data)");
  p.inflater = std::move(truth);
  return {};
}

Bytes PieceInflater::spare() {
  if (spare_.empty()) return {};
  Bytes b = std::move(spare_.back());
  spare_.pop_back();
  b.resize(0);
  return b;
}

Result<std::size_t> PieceInflater::read(unsigned char* out, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    if (ready_piece_ == ready_.size()) {
      for (Bytes& b : ready_) spare_.push_back(std::move(b));
      ready_.clear();
      ready_piece_ = ready_offset_ = 0;
      if (member_end_) break;
      ORIVEX_TRY(round());
      continue;
    }
    const Bytes& b = ready_[ready_piece_];
    const std::size_t take = std::min(n - done, b.size() - ready_offset_);
    std::memcpy(out + done, b.data() + ready_offset_, take);
    done += take;
    ready_offset_ += take;
    if (ready_offset_ == b.size()) {
      ++ready_piece_;
      ready_offset_ = 0;
    }
  }
  return done;
}

}  // namespace orivex::io
