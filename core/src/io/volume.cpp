// NIfTI-1 reading (header, gzip stream, conversion to 32-bit floats), masks and masked means.
#include "orivex/io/volume.hpp"

#include "orivex/io/file.hpp"

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

// Only the header layout, byte swapping and type names come from the NIfTI library; the file
// itself is read here, so its znz/zlib layer is not used.
#include <fcntl.h>
#include <isa-l/igzip_lib.h>
#include <nifti1_io.h>
#include <unistd.h>

#include <fstream>

#include "io/gzip_pieces.hpp"
#include "orivex/support/execution.hpp"

namespace orivex {

Duration Duration::between(std::chrono::steady_clock::time_point start,
                           std::chrono::steady_clock::time_point end) {
  if (end <= start) return {};
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
  return {static_cast<std::int64_t>(ns / 1'000'000'000),
          static_cast<std::uint32_t>(ns % 1'000'000'000)};
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t header_bytes = 348;
constexpr std::int64_t min_vox_offset = 352;
// Deflate cannot expand a stream by more than about 1032:1, so a compressed file of n bytes
// never holds more than this many times n bytes of data.
constexpr std::uint64_t max_deflate_ratio = 1032;
// Raw data is streamed through a staging chunk of about this size, so loading costs the
// converted array plus a bounded overhead rather than a second full copy.
constexpr std::size_t chunk_budget_bytes = std::size_t{32} << 20;
// Minimum volumes per chunk: 16 floats fill one cache line of a voxel's output record.
constexpr std::size_t min_chunk_volumes = 16;
// Tiles of the transposition: runs of this many stored bytes along x (whole cache lines, each
// consumed in one pass) by up to this many volumes. Volumes of a chunk lie a power-of-two
// multiple apart often enough that re-reading a line later would miss every cache level.
constexpr std::size_t run_bytes = 128;
constexpr std::size_t t_block = 64;
constexpr std::size_t cache_line_bytes = 64;
constexpr std::size_t prefetch_rows = 2;
// Workers from which a large compressed series inflates in pieces. Two pay only on a large
// file, where the pipeline's start is small beside the rest: on two cores the pieces loaded
// 100-900 MB files 1.02-1.19x faster than the inflate in order (the more, the faster the
// stream's blocks inflate), and 45 MB files no faster.
constexpr std::size_t min_split_workers = 3;
constexpr std::uint64_t min_split_bytes_on_two = std::uint64_t{96} << 20;

std::string os_error_text(int code) {
  return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

// 1.2e12 style for large counts, plain decimal otherwise.
std::string format_count(long double n) {
  char buf[64];
  if (n < 1e9L) {
    std::snprintf(buf, sizeof buf, "%.0Lf", n);
    return buf;
  }
  std::snprintf(buf, sizeof buf, "%.2Lg", n);
  std::string s = buf;
  const auto e = s.find('e');
  if (e == std::string::npos) return s;
  std::string mant = s.substr(0, e), exp = s.substr(e + 1);
  bool neg = false;
  if (!exp.empty() && (exp[0] == '+' || exp[0] == '-')) {
    neg = exp[0] == '-';
    exp.erase(0, 1);
  }
  while (exp.size() > 1 && exp[0] == '0') exp.erase(0, 1);
  return mant + "e" + (neg ? "-" : "") + exp;
}

template <class U>
U swap_bytes(U v) {
  if constexpr (sizeof(U) == 2) return __builtin_bswap16(v);
  else if constexpr (sizeof(U) == 4) return __builtin_bswap32(v);
  else if constexpr (sizeof(U) == 8) return __builtin_bswap64(v);
  else return v;
}

// The stored bytes of a file, inflated on the fly when it is gzip-compressed. Members of a
// multi-member gzip file follow one another as gzip -dc concatenates them, and each one read to
// its end is checked against its trailer (CRC-32 and length). A file that does not start with
// the gzip magic is read as it is, whatever its name.
class Stream {
 public:
  Stream() = default;
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  Stream(Stream&& o) noexcept { *this = std::move(o); }
  Stream& operator=(Stream&& o) noexcept {
    std::swap(fd_, o.fd_);
    gz_ = o.gz_;
    eof_ = o.eof_;
    ended_ = o.ended_;
    in_ = std::move(o.in_);
    state_ = std::move(o.state_);
    std::swap(file_pos_, o.file_pos_);
    std::swap(file_size_, o.file_size_);
    std::swap(cut_, o.cut_);
    std::swap(workers_, o.workers_);
    std::swap(want_, o.want_);
    history_ = std::move(o.history_);
    pieces_ = std::move(o.pieces_);
    return *this;
  }
  ~Stream() {
    if (fd_ >= 0) ::close(fd_);
  }

  static Result<Stream> open(const std::string& path) {
    Stream s;
    errno = 0;
    s.fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (s.fd_ < 0) return Error::nifti(os_error_text(errno ? errno : EIO));
    s.in_.resize(input_bytes);
    s.state_ = std::make_unique<inflate_state>();
    isal_inflate_init(s.state_.get());
    s.state_->next_in = s.in_.data();
    s.state_->avail_in = 0;
    ORIVEX_TRY(s.fill(2));
    s.gz_ = s.state_->avail_in >= 2 && s.state_->next_in[0] == 0x1f && s.state_->next_in[1] == 0x8b;
    s.state_->crc_flag = ISAL_GZIP;
    return s;
  }

  bool compressed() const { return gz_; }

  // Lets the rest of the current member, `want` bytes of it, inflate on `workers` threads in
  // pieces: from the first block boundary a little way on, so that the decoder in hand ends
  // its current blocks first. Where no boundary is found, or the decoder does not end exactly
  // there, it goes on alone. `file_size` is that of the open file.
  Result<void> split(std::size_t workers, std::uint64_t want, std::uint64_t file_size) {
    inflate_state& st = *state_;
    if (!gz_ || ended_ || st.block_state == ISAL_BLOCK_FINISH || st.tmp_in_size != 0) return {};
    const std::uint64_t next = file_pos_ - st.avail_in;
    if (next + split_min_bytes > file_size) return {};
    ORIVEX_ASSIGN(cut_, io::find_cut(fd_, next + split_lead_bytes));
    if (!cut_) return {};
    const std::uint64_t limit = input_limit();
    if (file_pos_ > limit) {
      st.avail_in -= static_cast<std::uint32_t>(file_pos_ - limit);
      file_pos_ = limit;
      eof_ = false;
      if (::lseek(fd_, static_cast<off_t>(limit), SEEK_SET) < 0)
        return Error::nifti(os_error_text(errno));
    }
    file_size_ = file_size;
    workers_ = workers;
    want_ = want;
    history_.clear();
    return {};
  }

  // Reads exactly n bytes or explains why not (a damaged stream or a short file).
  Result<void> read_exact(void* buf, std::size_t n, const char* what) {
    auto* out = static_cast<unsigned char*>(buf);
    ORIVEX_ASSIGN(const std::size_t got, gz_ ? inflate_into(out, n) : copy_into(out, n));
    if (got == n) return {};
    return Error::nifti(std::string("file ends after ") + std::to_string(got) + " of " +
                        std::to_string(n) + " bytes of " + what);
  }

  // Passes over n bytes (an extension between the header and the voxel data).
  Result<void> skip(std::uint64_t n, const char* what) {
    std::vector<unsigned char> scratch(static_cast<std::size_t>(std::min<std::uint64_t>(n, 1 << 16)));
    while (n > 0) {
      const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n, scratch.size()));
      ORIVEX_TRY(read_exact(scratch.data(), k, what));
      n -= k;
    }
    return {};
  }

  // Called once everything needed has been read: the member that holds the last of it is read
  // to its end, so that its trailer is checked too, provided it ends within the `unread` bytes
  // the header still describes (later volumes of a mask) and a little slack; a member that runs
  // on past that is refused rather than inflated.
  Result<void> finish(std::uint64_t unread) {
    if (!gz_ || ended_) return {};
    std::vector<unsigned char> scratch(1 << 16);
    std::uint64_t extra = 0;
    while (pieces_ || state_->block_state != ISAL_BLOCK_FINISH) {
      ORIVEX_ASSIGN(const std::size_t n, pieces_ ? from_pieces(scratch.data(), scratch.size())
                                                 : inflate_step(scratch.data(), scratch.size()));
      extra += n;
      if (extra > unread + trailing_slack_bytes)
        return Error::nifti("gzip stream goes on for more than " +
                            std::to_string(trailing_slack_bytes) +
                            " bytes past the data the header describes");
    }
    return {};
  }

 private:
  // Large reads keep the number of system calls down; the inflater consumes input in place.
  static constexpr std::size_t input_bytes = std::size_t{1} << 20;
  // Bytes a member may hold after the voxel data and still have its trailer checked.
  static constexpr std::uint64_t trailing_slack_bytes = std::uint64_t{1} << 20;

  // Makes at least `want` input bytes available unless the file ends first.
  Result<void> fill(std::size_t want) {
    inflate_state& st = *state_;
    if (st.avail_in >= want || eof_) return {};
    std::memmove(in_.data(), st.next_in, st.avail_in);
    st.next_in = in_.data();
    while (st.avail_in < want && !eof_) {
      std::size_t room = in_.size() - st.avail_in;
      if (cut_) {
        if (file_pos_ >= input_limit()) break;
        room = static_cast<std::size_t>(std::min<std::uint64_t>(room, input_limit() - file_pos_));
      }
      const ssize_t r = ::read(fd_, in_.data() + st.avail_in, room);
      if (r < 0) {
        if (errno == EINTR) continue;
        return Error::nifti(os_error_text(errno));
      }
      if (r == 0) eof_ = true;
      st.avail_in += static_cast<std::uint32_t>(r);
      file_pos_ += static_cast<std::uint64_t>(r);
    }
    return {};
  }

  Result<std::size_t> copy_into(unsigned char* out, std::size_t n) {
    inflate_state& st = *state_;
    const std::size_t take = std::min<std::size_t>(n, st.avail_in);
    std::memcpy(out, st.next_in, take);
    st.next_in += take;
    st.avail_in -= static_cast<std::uint32_t>(take);
    std::size_t done = take;
    while (done < n && !eof_) {
      const ssize_t r = ::read(fd_, out + done, n - done);
      if (r < 0) {
        if (errno == EINTR) continue;
        return Error::nifti(os_error_text(errno));
      }
      if (r == 0) eof_ = true;
      done += static_cast<std::size_t>(r);
    }
    return done;
  }

  // One call of the inflater into out[0, n), with input refilled first; returns the bytes made.
  Result<std::size_t> inflate_step(unsigned char* out, std::size_t n) {
    inflate_state& st = *state_;
    ORIVEX_TRY(fill(1));
    st.next_out = out;
    st.avail_out = static_cast<std::uint32_t>(std::min<std::size_t>(n, std::size_t{1} << 30));
    const std::uint32_t in_before = st.avail_in;
    const int rc = isal_inflate(&st);
    const auto made = static_cast<std::size_t>(st.next_out - out);
    if (rc != ISAL_DECOMP_OK) return gzip_error(rc);
    if (cut_) io::extend_history(history_, out, made);
    if (cut_ && made == 0 && st.avail_in == 0 && file_pos_ >= input_limit()) {
      ORIVEX_TRY(hand_over());
      return std::size_t{0};
    }
    if (made == 0 && st.avail_in == in_before && st.block_state != ISAL_BLOCK_FINISH) {
      if (eof_ && st.avail_in == 0) return Error::nifti("gzip stream is truncated");
      return Error::nifti("gzip stream is corrupt (the inflater made no progress)");
    }
    return made;
  }

  std::uint64_t input_limit() const { return (*cut_ + 7) / 8; }

  // The decoder in hand has used its input up to the cut: where it stands exactly there between
  // two blocks, the pieces take over; otherwise it goes on alone.
  Result<void> hand_over() {
    inflate_state& st = *state_;
    const auto consumed = file_pos_ - st.avail_in;
    const bool between = st.tmp_in_size == 0 && (st.block_state == ISAL_BLOCK_NEW_HDR ||
                                                  st.block_state == ISAL_BLOCK_HDR);
    // The pieces copy from the last 32 KiB, all of which must have been seen since the split.
    const bool history = history_.size() == io::history_bytes || history_.size() == st.total_out;
    const std::uint64_t cut = *cut_;
    cut_.reset();
    if (!between || !history ||
        8 * consumed - static_cast<std::uint64_t>(st.read_in_length) != cut)
      return {};
    io::PieceInflater::Start s;
    s.fd = fd_;
    s.file_size = file_size_;
    s.start_bit = cut;
    s.history = std::move(history_);
    s.crc = st.crc;
    s.total = st.total_out;
    s.limit = want_ > st.total_out ? want_ - st.total_out : 0;
    s.workers = workers_;
    pieces_ = std::make_unique<io::PieceInflater>(std::move(s));
    return {};
  }

  // Reads from the pieces; once their member is over, the next one (if any) is read here again.
  Result<std::size_t> from_pieces(unsigned char* out, std::size_t n) {
    ORIVEX_ASSIGN(const std::size_t got, pieces_->read(out, n));
    if (got < n && pieces_->member_end()) {
      const std::uint64_t at = *pieces_->member_end();
      pieces_.reset();
      if (::lseek(fd_, static_cast<off_t>(at), SEEK_SET) < 0)
        return Error::nifti(os_error_text(errno));
      file_pos_ = at;
      eof_ = false;
      state_->next_in = in_.data();
      state_->avail_in = 0;
      state_->block_state = ISAL_BLOCK_FINISH;
    }
    return got;
  }

  Result<std::size_t> inflate_into(unsigned char* out, std::size_t n) {
    inflate_state& st = *state_;
    std::size_t done = 0;
    while (done < n) {
      if (ended_) break;
      if (pieces_) {
        ORIVEX_ASSIGN(const std::size_t got, from_pieces(out + done, n - done));
        done += got;
        continue;
      }
      if (st.block_state == ISAL_BLOCK_FINISH) {
        // Another member may follow; anything else after a member ends the data, as gzip
        // ignores trailing garbage.
        ORIVEX_TRY(fill(2));
        if (st.avail_in < 2 || st.next_in[0] != 0x1f || st.next_in[1] != 0x8b) {
          ended_ = true;
          break;
        }
        isal_inflate_reset(&st);
        st.crc_flag = ISAL_GZIP;
      }
      ORIVEX_ASSIGN(const std::size_t made, inflate_step(out + done, n - done));
      done += made;
    }
    return done;
  }

  static Error gzip_error(int rc) {
    switch (rc) {
      case ISAL_INCORRECT_CHECKSUM:
        return Error::nifti("gzip stream is corrupt (CRC-32 or length check failed)");
      case ISAL_INVALID_WRAPPER: return Error::nifti("gzip stream is corrupt (bad member header)");
      case ISAL_UNSUPPORTED_METHOD:
        return Error::nifti("gzip stream uses an unsupported compression method");
      case ISAL_INVALID_BLOCK:
      case ISAL_INVALID_SYMBOL:
      case ISAL_INVALID_LOOKBACK:
        return Error::nifti("gzip stream is corrupt (invalid deflate data)");
      default:
        return Error::nifti("gzip stream is corrupt (inflate status " + std::to_string(rc) + ")");
    }
  }

  // Splitting pays only on large members, and starts this far past the decoder's position.
  static constexpr std::uint64_t split_min_bytes = std::uint64_t{16} << 20;
  static constexpr std::uint64_t split_lead_bytes = std::uint64_t{64} << 10;

  int fd_ = -1;
  bool gz_ = false;
  bool eof_ = false;
  bool ended_ = false;  // the last member is over and no other follows
  std::vector<unsigned char> in_;
  std::unique_ptr<inflate_state> state_;
  std::uint64_t file_pos_ = 0;   // bytes read from fd_
  std::uint64_t file_size_ = 0;
  // The bit where the pieces are to take over; input is read up to its byte until the hand-over.
  std::optional<std::uint64_t> cut_;
  std::size_t workers_ = 1;
  std::uint64_t want_ = 0;
  std::vector<unsigned char> history_;  // the last 32 KiB of output, for the pieces
  std::unique_ptr<io::PieceInflater> pieces_;
};

// Stored size of one value, or 0 for types that have no real-valued reading.
std::size_t value_bytes(int datatype) {
  switch (datatype) {
    case DT_UINT8:
    case DT_INT8: return 1;
    case DT_INT16:
    case DT_UINT16: return 2;
    case DT_INT32:
    case DT_UINT32:
    case DT_FLOAT32: return 4;
    case DT_INT64:
    case DT_UINT64:
    case DT_FLOAT64: return 8;
    default: return 0;
  }
}

std::string datatype_name(int datatype) {
  std::string s = nifti_datatype_string(datatype);
  if (s.empty() || s[0] == '*') return "unknown";  // the library's marker for an illegal code
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

struct Scaling {
  bool on = false;
  float slope = 1.0f;
  float inter = 0.0f;
};

// A NaN or infinite slope would turn every voxel into NaN; like the NIfTI libraries, such a
// slope means "no scaling".
Scaling scaling_of(const nifti_1_header& h) {
  Scaling s;
  s.on = h.scl_slope != 0.0f && std::isfinite(h.scl_slope);
  s.slope = h.scl_slope;
  s.inter = h.scl_inter;
  return s;
}

// Byte order and scaling are template arguments so the inner loops carry no per-value tests.
template <class T, bool Swap, bool Scale>
inline float convert_one(const unsigned char* src, Scaling sc) {
  using U = std::conditional_t<sizeof(T) == 1, std::uint8_t,
                               std::conditional_t<sizeof(T) == 2, std::uint16_t,
                                                  std::conditional_t<sizeof(T) == 4, std::uint32_t,
                                                                     std::uint64_t>>>;
  U bits;
  std::memcpy(&bits, src, sizeof(T));
  if constexpr (Swap && sizeof(T) > 1) bits = swap_bytes(bits);
  float v = static_cast<float>(std::bit_cast<T>(bits));
  if constexpr (Scale) {
    const float scaled = sc.slope * v;
    v = scaled + sc.inter;
  }
  return v;
}

// The stored value as the 16 bits the array keeps for the integer kinds: modular, so a signed
// value keeps its two's complement bits and an 8-bit one is sign- or zero-extended.
template <class T, bool Swap>
inline std::uint16_t narrow_one(const unsigned char* src) {
  using U = std::conditional_t<sizeof(T) == 1, std::uint8_t, std::uint16_t>;
  static_assert(sizeof(T) <= 2);
  U bits;
  std::memcpy(&bits, src, sizeof(T));
  if constexpr (Swap && sizeof(T) > 1) bits = swap_bytes(bits);
  return static_cast<std::uint16_t>(std::bit_cast<T>(bits));
}

// Integers of up to 16 bits are kept as stored; every other type becomes 32-bit floats.
SampleKind sample_kind(int datatype) {
  switch (datatype) {
    case DT_INT8:
    case DT_INT16: return SampleKind::Int16;
    case DT_UINT8:
    case DT_UINT16: return SampleKind::UInt16;
    default: return SampleKind::Float32;
  }
}

std::size_t sample_bytes(SampleKind kind) {
  return kind == SampleKind::Float32 ? sizeof(float) : sizeof(std::uint16_t);
}

// An opened file: header decoded to native byte order, stream positioned after the header.
struct OpenFile {
  Stream stream;
  nifti_1_header header{};
  bool swapped = false;
  std::uint64_t file_size = 0;
};

Result<OpenFile> open_file(const std::string& path) {
  if (io::has_nul(path)) return Error::nifti(io::nul_in_path_text);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return Error::nifti(os_error_text(errno));
  if (S_ISDIR(st.st_mode)) return Error::nifti(os_error_text(EISDIR));
  OpenFile f;
  f.file_size = static_cast<std::uint64_t>(st.st_size);
  ORIVEX_ASSIGN(f.stream, Stream::open(path));

  static_assert(sizeof(nifti_1_header) == header_bytes);
  ORIVEX_TRY(f.stream.read_exact(&f.header, header_bytes, "header"));
  nifti_1_header& h = f.header;
  if (h.sizeof_hdr != static_cast<int>(header_bytes)) {
    if (swap_bytes(static_cast<std::uint32_t>(h.sizeof_hdr)) != header_bytes) {
      if (h.sizeof_hdr == 540 || swap_bytes(static_cast<std::uint32_t>(h.sizeof_hdr)) == 540)
        return Error::nifti("NIfTI-2 files are not supported");
      return Error::nifti("not a NIfTI-1 file (header size field is " +
                          std::to_string(h.sizeof_hdr) + ", expected 348)");
    }
    f.swapped = true;
    swap_nifti_header(&h, 1);
  }
  if (std::memcmp(h.magic, "ni1", 4) == 0)
    return Error::nifti("two-file NIfTI-1 (.hdr/.img) is not supported; give a .nii or .nii.gz");
  if (std::memcmp(h.magic, "n+1", 4) != 0) return Error::nifti("not a NIfTI-1 file (bad magic)");
  return f;
}

// Grid geometry shared by the conversion kernels.
struct Layout {
  std::size_t nx = 1, ny = 1, nz = 1;
  std::size_t nt = 1;               // product of the axes after the third
  std::vector<std::size_t> t_slot;  // stored volume index -> position in the logical inner axes
  bool t_in_order = true;           // t_slot is the identity (at most one axis after the third)
};

Layout layout_of(const std::vector<std::size_t>& dims) {
  Layout l;
  auto ext = [&](std::size_t a) { return a < dims.size() ? dims[a] : std::size_t{1}; };
  l.nx = ext(0);
  l.ny = ext(1);
  l.nz = ext(2);
  std::vector<std::size_t> inner(dims.begin() + std::min<std::size_t>(3, dims.size()), dims.end());
  for (std::size_t d : inner) l.nt *= d;
  // The file numbers volumes with the first inner axis fastest; the array wants the last one
  // fastest.
  l.t_slot.resize(l.nt);
  for (std::size_t t = 0; t < l.nt; ++t) {
    std::size_t rest = t, slot = 0;
    std::vector<std::size_t> idx(inner.size());
    for (std::size_t a = 0; a < inner.size(); ++a) {
      idx[a] = rest % inner[a];
      rest /= inner[a];
    }
    for (std::size_t a = 0; a < inner.size(); ++a) slot = slot * inner[a] + idx[a];
    l.t_slot[t] = slot;
    l.t_in_order = l.t_in_order && slot == t;
  }
  return l;
}

// Converts a block of stored values (x fastest; planes z0..z1 of volumes t0..t1) into the
// array, where a voxel's volumes are contiguous. Work is split by stored rows (y, z) with z
// fastest, since voxels neighbouring in z are neighbours in the array too.
template <class T, bool Swap, bool Scale, class Out>
void scatter_block(const unsigned char* raw, Scaling sc, const Layout& l, std::size_t z0,
                   std::size_t z1, std::size_t t0, std::size_t t1, Out* out) {
  const std::size_t plane = l.nx * l.ny;
  const std::size_t zn = z1 - z0;
  const std::size_t nt = t1 - t0;
  const std::size_t x_run = std::max<std::size_t>(1, run_bytes / sizeof(T));
  const std::size_t vol_stride = zn * plane * sizeof(T);
  const bool in_order = l.t_in_order;
  const std::size_t x_out = l.ny * l.nz * l.nt;  // array distance between x and x + 1
  const std::size_t row_bytes = l.nx * sizeof(T);
  // Row r's stored values (of the chunk's first volume) and its voxels' records in the array.
  auto row_in = [&](std::size_t r) {
    return raw + ((r % zn) * plane + (r / zn) * l.nx) * sizeof(T);
  };
  auto row_at = [&](std::size_t r) { return out + ((r / zn) * l.nz + z0 + r % zn) * l.nt; };
  parallel_for(l.ny * zn, [&](std::size_t rb, std::size_t re) {
    Out tile[run_bytes * t_block];
    for (std::size_t r = rb; r < re; ++r) {
      const unsigned char* row = row_in(r);
      Out* row_out = row_at(r);
      // A row reads one run from each volume of the chunk, a plane apart, and writes one run
      // per x, an x-slab apart: strides no hardware prefetcher follows. Fetching the row after
      // next ahead took a fifth off the conversion of a large series.
      if (r + prefetch_rows < re) {
        const unsigned char* src = row_in(r + prefetch_rows);
        for (std::size_t t = 0; t < nt; ++t)
          for (std::size_t b = 0; b < row_bytes; b += cache_line_bytes)
            __builtin_prefetch(src + t * vol_stride + b, 0, 0);
        const Out* dst = row_at(r + prefetch_rows) + t0;
        for (std::size_t x = 0; x < l.nx; ++x) __builtin_prefetch(dst + x * x_out, 1, 0);
      }
      for (std::size_t xa = 0; xa < l.nx; xa += x_run) {
        const std::size_t xn = std::min(x_run, l.nx - xa);
        for (std::size_t ta = 0; ta < nt; ta += t_block) {
          const std::size_t tn = std::min(t_block, nt - ta);
          for (std::size_t t = 0; t < tn; ++t) {
            const unsigned char* run = row + (ta + t) * vol_stride + xa * sizeof(T);
            for (std::size_t x = 0; x < xn; ++x)
              if constexpr (std::is_same_v<Out, float>)
                tile[x * t_block + t] = convert_one<T, Swap, Scale>(run + x * sizeof(T), sc);
              else
                tile[x * t_block + t] = narrow_one<T, Swap>(run + x * sizeof(T));
          }
          for (std::size_t x = 0; x < xn; ++x) {
            Out* dst = row_out + (xa + x) * x_out;
            const Out* from = tile + x * t_block;
            if (in_order) {
              std::memcpy(dst + t0 + ta, from, tn * sizeof(Out));
            } else {
              for (std::size_t t = 0; t < tn; ++t) dst[l.t_slot[t0 + ta + t]] = from[t];
            }
          }
        }
      }
    }
  });
}

template <class T>
void scatter_typed(const unsigned char* raw, bool swap, Scaling sc, const Layout& l,
                   std::size_t z0, std::size_t z1, std::size_t t0, std::size_t t1,
                   FloatArray& array) {
  if constexpr (sizeof(T) <= 2 && std::is_integral_v<T>) {
    if (array.kind != SampleKind::Float32) {
      std::uint16_t* out = array.narrow.data();
      if (swap) return scatter_block<T, true, false>(raw, sc, l, z0, z1, t0, t1, out);
      return scatter_block<T, false, false>(raw, sc, l, z0, z1, t0, t1, out);
    }
  }
  float* out = array.data.data();
  if (swap) {
    if (sc.on) return scatter_block<T, true, true>(raw, sc, l, z0, z1, t0, t1, out);
    return scatter_block<T, true, false>(raw, sc, l, z0, z1, t0, t1, out);
  }
  if (sc.on) return scatter_block<T, false, true>(raw, sc, l, z0, z1, t0, t1, out);
  return scatter_block<T, false, false>(raw, sc, l, z0, z1, t0, t1, out);
}

void scatter_any(int datatype, const unsigned char* raw, bool swap, Scaling sc, const Layout& l,
                 std::size_t z0, std::size_t z1, std::size_t t0, std::size_t t1, FloatArray& out) {
  switch (datatype) {
    case DT_UINT8: return scatter_typed<std::uint8_t>(raw, swap, sc, l, z0, z1, t0, t1, out);
    case DT_INT8: return scatter_typed<std::int8_t>(raw, swap, sc, l, z0, z1, t0, t1, out);
    case DT_UINT16: return scatter_typed<std::uint16_t>(raw, swap, sc, l, z0, z1, t0, t1, out);
    case DT_INT16: return scatter_typed<std::int16_t>(raw, swap, sc, l, z0, z1, t0, t1, out);
    case DT_UINT32: return scatter_typed<std::uint32_t>(raw, swap, sc, l, z0, z1, t0, t1, out);
    case DT_INT32: return scatter_typed<std::int32_t>(raw, swap, sc, l, z0, z1, t0, t1, out);
    case DT_UINT64: return scatter_typed<std::uint64_t>(raw, swap, sc, l, z0, z1, t0, t1, out);
    case DT_INT64: return scatter_typed<std::int64_t>(raw, swap, sc, l, z0, z1, t0, t1, out);
    case DT_FLOAT32: return scatter_typed<float>(raw, swap, sc, l, z0, z1, t0, t1, out);
    case DT_FLOAT64: return scatter_typed<double>(raw, swap, sc, l, z0, z1, t0, t1, out);
    default: return;
  }
}

long double claimed_voxels(const std::vector<std::size_t>& dims) {
  long double n = 1;
  for (std::size_t d : dims) n *= static_cast<long double>(d);
  return n;
}

// "3.1 GB (3096576000 bytes)": the rounded size to read, the exact one to compare.
std::string format_bytes(std::uint64_t n) {
  char buf[32];
  const double v = static_cast<double>(n);
  if (v >= 1e9) std::snprintf(buf, sizeof buf, "%.1f GB", v / 1e9);
  else if (v >= 1e6) std::snprintf(buf, sizeof buf, "%.1f MB", v / 1e6);
  else std::snprintf(buf, sizeof buf, "%.1f kB", v / 1e3);
  return std::string(buf) + " (" + std::to_string(n) + " bytes)";
}

// The header's claims once they have passed every check that needs no voxel data.
struct Checked {
  VolumeInfo info;
  std::size_t value_bytes = 0;
  std::int64_t offset = 0;  // of the voxel data
};

// Everything that can be refused from the header and the file size alone is refused here,
// before a byte of the array is allocated: a corrupt or hostile header must not be able to ask
// for terabytes, nor a small compressed file for more than it can expand to.
Result<Checked> validate(const OpenFile& f, const LoadOptions& options) {
  ORIVEX_ASSIGN(VolumeInfo info, from_header(f.header));
  const nifti_1_header& h = f.header;

  if (options.mask && (info.dims.size() < 3 || info.dims.size() > 4))
    return Error::nifti("a mask must have 3 or 4 dimensions, this image has " +
                        std::to_string(info.dims.size()));

  const std::size_t vbytes = value_bytes(h.datatype);
  if (vbytes == 0)
    return Error::nifti("data type " + std::to_string(h.datatype) + " (" +
                        datatype_name(h.datatype) + ") cannot be converted");

  const long double claimed = claimed_voxels(info.dims);
  std::size_t nvox = 1;
  bool overflow = false;
  for (std::size_t d : info.dims) overflow |= __builtin_mul_overflow(nvox, d, &nvox);
  const SampleKind kind = sample_kind(h.datatype);
  std::size_t nbytes = 0, fbytes = 0;
  overflow |= __builtin_mul_overflow(nvox, vbytes, &nbytes);
  overflow |= __builtin_mul_overflow(nvox, sample_bytes(kind), &fbytes);
  if (overflow || nbytes > (std::size_t{1} << 62))
    return Error::nifti("header claims " + format_count(claimed) +
                        " voxels, more than can be addressed");
  const std::int64_t offset =
      h.vox_offset >= static_cast<float>(min_vox_offset) && std::isfinite(h.vox_offset)
          // Clamped so the conversion stays defined; any offset this far lies past the end.
          ? static_cast<std::int64_t>(std::min(h.vox_offset, 0x1p62f))
          : min_vox_offset;
  const auto uoffset = static_cast<std::uint64_t>(offset);
  if (!f.stream.compressed()) {
    const std::uint64_t avail = f.file_size > uoffset ? f.file_size - uoffset : 0;
    if (nbytes > avail)
      return Error::nifti("header claims " + format_count(claimed) + " voxels (" +
                          std::to_string(nbytes) + " bytes) but the file holds " +
                          std::to_string(avail) + " bytes of voxel data");
  } else if (nbytes / max_deflate_ratio > f.file_size) {
    return Error::nifti("header claims " + format_count(claimed) + " voxels (" +
                        std::to_string(nbytes) + " bytes), more than a compressed file of " +
                        std::to_string(f.file_size) + " bytes can hold");
  } else if (uoffset / max_deflate_ratio > f.file_size) {
    return Error::nifti("header puts the voxel data at byte " + std::to_string(offset) +
                        ", past what a compressed file of " + std::to_string(f.file_size) +
                        " bytes can hold");
  }

  // Only what will be loaded counts: a mask keeps its first volume.
  std::size_t loaded_bytes = fbytes;
  if (options.mask && info.dims.size() == 4) loaded_bytes = fbytes / info.dims[3];
  const std::optional<std::uint64_t> budget =
      options.memory_budget ? options.memory_budget : available_memory();
  if (budget && loaded_bytes > *budget)
    return Error::nifti("the image needs " + format_bytes(loaded_bytes) + " of memory for its " +
                        (kind == SampleKind::Float32 ? "32-bit float" : "16-bit integer") +
                        " array, more than " +
                        (options.memory_budget ? "the memory budget of " + format_bytes(*budget)
                                               : "the " + format_bytes(*budget) +
                                                     " of memory available") +
                        "; raise the memory budget to load it");
  return Checked{std::move(info), vbytes, offset};
}

// A run of whole volumes (t0..t1), or of whole planes (z0..z1) of one volume when a volume is
// larger than a staging chunk.
struct Chunk {
  std::size_t t0, t1, z0, z1;
};

struct StreamPlan {
  Layout layout;
  std::vector<std::size_t> shape;  // of the array
  std::size_t volumes = 1;         // stored volumes to read
  std::vector<Chunk> chunks;
  std::size_t stage_bytes = 0;  // of each of the two staging buffers
};

// Chunks are runs of whole volumes, at least min_chunk_volumes of them so that every output
// cache line is written in one go (the raw chunk never exceeds the raw data); a volume larger
// than the budget is read in slabs of whole planes. Two staging chunks share the budget: one is
// inflated while the other is converted.
StreamPlan plan(const VolumeInfo& info, std::size_t vbytes, bool first_volume_only) {
  StreamPlan p;
  p.layout = layout_of(info.dims);
  p.shape = info.dims;
  p.volumes = p.layout.nt;
  if (first_volume_only && p.layout.nt > 1) {
    p.volumes = 1;
    p.shape.resize(3);
    p.layout = layout_of(p.shape);
  }
  const Layout& l = p.layout;
  const std::size_t plane = l.nx * l.ny;
  const std::size_t vol_raw = plane * l.nz * vbytes;
  const std::size_t half = chunk_budget_bytes / 2;
  std::size_t chunk_vols = 1, chunk_planes = l.nz;
  if (vol_raw <= half) {
    chunk_vols = std::min(p.volumes, std::max(min_chunk_volumes, half / vol_raw));
  } else {
    chunk_planes = std::min(l.nz, std::max<std::size_t>(1, half / (plane * vbytes)));
  }
  for (std::size_t t0 = 0; t0 < p.volumes; t0 += chunk_vols)
    for (std::size_t z0 = 0; z0 < l.nz; z0 += chunk_planes)
      p.chunks.push_back({t0, std::min(p.volumes, t0 + chunk_vols), z0,
                          std::min(l.nz, z0 + chunk_planes)});
  p.stage_bytes = chunk_vols * chunk_planes * plane * vbytes;
  return p;
}

// Inflating is sequential, so it is the floor of the load; step k reads chunk k on one thread
// while the others convert chunk k - 1, which is also when the array's pages are first touched:
// faulting them in beside the inflate costs less than inflating the data that fills them, where
// faulting them all in first held the inflate up. Returns the time spent reading.
Result<Clock::duration> stream(OpenFile& f, const StreamPlan& p, std::size_t vbytes,
                               FloatArray& array) {
  const Layout& l = p.layout;
  const std::size_t plane = l.nx * l.ny;
  const std::size_t values = plane * l.nz * p.volumes;
  // Sized without being written: every value is written once, by its chunk's conversion. No huge
  // pages are asked for: in a virtual machine whose host backs guest memory lazily, faulting in
  // 2 MiB pages ran at 2-7 s per GB against 0.2-0.9 s for 4 KiB pages.
  if (array.kind == SampleKind::Float32) array.data.resize(values);
  else array.narrow.resize(values);
  // Inflation fills each staging chunk before it is read, so neither is zeroed first.
  std::vector<unsigned char, UninitAllocator<unsigned char>> stage[2];
  for (std::size_t b = 0; b < std::min<std::size_t>(2, p.chunks.size()); ++b) {
    stage[b].reserve(p.stage_bytes);
    stage[b].resize(p.stage_bytes);
  }
  const Scaling sc = scaling_of(f.header);
  Clock::duration read_time{};
  Result<void> read_status;
  for (std::size_t k = 0; k <= p.chunks.size(); ++k) {
    parallel_for(2, [&](std::size_t b, std::size_t e) {
      for (std::size_t job = b; job < e; ++job) {
        if (job == 0) {
          if (k == p.chunks.size()) continue;
          const Chunk& c = p.chunks[k];
          const std::size_t n = (c.t1 - c.t0) * (c.z1 - c.z0) * plane;
          const auto r0 = Clock::now();
          read_status = f.stream.read_exact(stage[k % 2].data(), n * vbytes, "voxel data");
          read_time += Clock::now() - r0;
        } else if (k > 0) {
          const Chunk& c = p.chunks[k - 1];
          scatter_any(f.header.datatype, stage[(k - 1) % 2].data(), f.swapped, sc, l, c.z0, c.z1,
                      c.t0, c.t1, array);
        }
      }
    });
    ORIVEX_TRY(read_status);
  }
  return read_time;
}

Result<TimedVolume> load(const std::string& path, const LoadOptions& options) {
  const auto start = Clock::now();
  ORIVEX_ASSIGN(OpenFile f, open_file(path));
  ORIVEX_ASSIGN(Checked c, validate(f, options));
  const auto zero = Clock::time_point{};

  // A series that cannot match the caller's table is not worth inflating.
  if (options.expected_volumes && *options.expected_volumes != c.info.n_volumes) {
    FloatArray header_only{c.info.dims, {}};
    const Duration read = Duration::between(start, Clock::now());
    return TimedVolume{LoadedVolume{std::move(header_only), std::move(c.info)}, read, {}};
  }

  ORIVEX_TRY(f.stream.skip(static_cast<std::uint64_t>(c.offset) - header_bytes, "voxel data"));
  const StreamPlan p = plan(c.info, c.value_bytes, options.mask);
  const std::size_t workers = current_concurrency();
  const std::size_t cores = std::min(workers, usable_processors());
  const bool pays = cores >= min_split_workers ||
                    (cores == 2 && f.file_size >= min_split_bytes_on_two);
  if (!options.mask && workers > 1 && options.inflate_in_pieces.value_or(pays)) {
    const auto data = static_cast<std::uint64_t>(claimed_voxels(c.info.dims)) * c.value_bytes;
    ORIVEX_TRY(f.stream.split(workers, static_cast<std::uint64_t>(c.offset) + data, f.file_size));
  }
  FloatArray array;
  array.shape = p.shape;
  array.kind = sample_kind(f.header.datatype);
  const Scaling sc = scaling_of(f.header);
  array.scale = SampleScale{sc.on, sc.slope, sc.inter};
  const auto loop_start = Clock::now();
  ORIVEX_ASSIGN(Clock::duration read_time, stream(f, p, c.value_bytes, array));
  const auto r0 = Clock::now();
  const std::uint64_t read_values = static_cast<std::uint64_t>(array.size());
  const std::uint64_t all_values = static_cast<std::uint64_t>(claimed_voxels(c.info.dims));
  ORIVEX_TRY(f.stream.finish((all_values - read_values) * c.value_bytes));
  read_time += (Clock::now() - r0) + (loop_start - start);
  // The conversion is whatever of the load the reading did not cover.
  const Clock::duration convert_time =
      std::max(Clock::duration::zero(), (Clock::now() - start) - read_time);
  return TimedVolume{LoadedVolume{std::move(array), std::move(c.info)},
                     Duration::between(zero, zero + read_time),
                     Duration::between(zero, zero + convert_time)};
}

std::optional<std::uint64_t> read_number(const char* path) {
  std::ifstream in(path);
  std::uint64_t v = 0;
  if (in >> v) return v;
  return std::nullopt;
}

// Non-finite voxels are left out: one NaN or infinity would otherwise turn the whole volume's
// mean, and with it the b0 drift, into NaN. value(i) is the i-th value of the sequence.
template <class Value>
double strided_masked_mean(std::size_t n, const Mask* mask, Value&& value) {
  double sum = 0.0;
  std::size_t count = 0;
  const std::size_t m = mask ? std::min(n, mask->size()) : n;
  for (std::size_t i = 0; i < m; ++i) {
    if (mask && !(*mask)[i]) continue;
    const float v = value(i);
    if (!std::isfinite(v)) continue;
    sum += static_cast<double>(v);
    ++count;
  }
  return count == 0 ? 0.0 : sum / static_cast<double>(count);
}

}  // namespace

Result<VolumeInfo> from_header(const nifti_1_header& h) {
  const int ndim = h.dim[0];
  if (ndim < 1 || ndim > 7)
    return Error::nifti("inconsistent dimensions: dim[0] is " + std::to_string(ndim) +
                        ", expected 1 to 7");
  VolumeInfo info;
  for (int a = 1; a <= ndim; ++a) {
    if (h.dim[a] <= 0)
      return Error::nifti("inconsistent dimensions: dim[" + std::to_string(a) + "] is " +
                          std::to_string(h.dim[a]) + ", expected at least 1");
    info.dims.push_back(static_cast<std::size_t>(h.dim[a]));
  }
  info.n_volumes = ndim >= 4 ? info.dims[3] : 1;
  const double px = h.pixdim[1], py = h.pixdim[2], pz = h.pixdim[3];
  info.voxel_sizes = {px, py, pz};

  Mat4 a{};
  a[3] = {0.0, 0.0, 0.0, 1.0};
  if (h.sform_code >= 1) {
    for (int c = 0; c < 4; ++c) {
      a[0][c] = h.srow_x[c];
      a[1][c] = h.srow_y[c];
      a[2][c] = h.srow_z[c];
    }
  } else if (h.qform_code >= 1) {
    const double b = h.quatern_b, c = h.quatern_c, d = h.quatern_d;
    const double aa = std::sqrt(std::max(0.0, 1.0 - (b * b + c * c + d * d)));
    const double qfac = h.pixdim[0] < 0.0f ? -1.0 : 1.0;
    const double r[3][3] = {
        {aa * aa + b * b - c * c - d * d, 2 * (b * c - aa * d), 2 * (b * d + aa * c)},
        {2 * (b * c + aa * d), aa * aa + c * c - b * b - d * d, 2 * (c * d - aa * b)},
        {2 * (b * d - aa * c), 2 * (c * d + aa * b), aa * aa + d * d - b * b - c * c}};
    const double scale[3] = {px, py, pz * qfac};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) a[i][j] = r[i][j] * scale[j];
    a[0][3] = h.qoffset_x;
    a[1][3] = h.qoffset_y;
    a[2][3] = h.qoffset_z;
  } else {
    a[0][0] = px;
    a[1][1] = py;
    a[2][2] = pz;
  }
  info.affine = a;
  return info;
}

Result<LoadedVolume> read_volume_with_info(const std::string& path, const LoadOptions& options) {
  ORIVEX_ASSIGN(TimedVolume t, load(path, options));
  return std::move(t.volume);
}

Result<TimedVolume> read_volume_with_info_timed(const std::string& path,
                                                const LoadOptions& options) {
  return load(path, options);
}

Result<Mask> read_mask(const std::string& path, LoadOptions options) {
  // Later volumes of a 4-D mask play no part, so they are never read.
  options.mask = true;
  options.expected_volumes.reset();
  ORIVEX_ASSIGN(TimedVolume t, load(path, options));
  return mask_from_volume(t.volume.array);
}

Result<MaskImage> read_mask_image(const std::string& path, LoadOptions options) {
  options.mask = true;
  options.expected_volumes.reset();
  ORIVEX_ASSIGN(TimedVolume t, load(path, options));
  MaskImage out{mask_from_volume(t.volume.array), std::move(t.volume.info), 0};
  const FloatArray& a = t.volume.array;
  const std::size_t stride = a.inner();
  for (std::size_t v = 0; v < out.mask.size() && v * stride < a.size(); ++v)
    out.nan_voxels += std::isnan(a.value(v * stride)) ? 1 : 0;
  return out;
}

std::optional<std::uint64_t> available_memory() {
  std::optional<std::uint64_t> avail;
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  std::uint64_t kb = 0;
  std::string unit;
  while (meminfo >> key >> kb >> unit) {
    if (key == "MemAvailable:") {
      avail = kb * 1024;
      break;
    }
  }
  if (!avail) {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page = ::sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0)
      avail = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
  }
  // A container's own limit (cgroup v2, else v1) caps what the host reports.
  for (const char* limit : {"/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"}) {
    if (const auto cap = read_number(limit)) {
      if (!avail || *cap < *avail) avail = *cap;
      break;
    }
  }
  return avail;
}

const float* FloatArray::voxel(std::size_t v, float* scratch) const {
  const std::size_t n = inner();
  if (kind == SampleKind::Float32) return data.data() + v * n;
  const std::uint16_t* src = narrow.data() + v * n;
  // One loop per case, so each converts a vector at a time.
  if (kind == SampleKind::Int16) {
    for (std::size_t t = 0; t < n; ++t) scratch[t] = static_cast<float>(static_cast<std::int16_t>(src[t]));
  } else {
    for (std::size_t t = 0; t < n; ++t) scratch[t] = static_cast<float>(src[t]);
  }
  if (scale.on) {
    for (std::size_t t = 0; t < n; ++t) {
      const float s = scale.slope * scratch[t];
      scratch[t] = s + scale.inter;
    }
  }
  return scratch;
}

std::vector<float> FloatArray::values() const {
  std::vector<float> out(size());
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = value(i);
  return out;
}

Mask mask_from_volume(const FloatArray& array) {
  const std::size_t n = array.grid_voxels();
  const std::size_t stride = array.inner();
  Mask mask(n);
  // NaN != 0, so a NaN voxel is inside.
  for (std::size_t v = 0; v < n && v * stride < array.size(); ++v)
    mask[v] = array.value(v * stride) != 0.0f ? 1 : 0;
  return mask;
}

double masked_mean(const float* values, std::size_t n, const Mask* mask) {
  return strided_masked_mean(n, mask, [&](std::size_t i) { return values[i]; });
}

std::vector<double> mean_for_volumes(const FloatArray& array,
                                     const std::vector<std::size_t>& volumes, const Mask* mask) {
  std::vector<double> out(volumes.size(), 0.0);
  if (array.ndim() < 4) {
    const double m =
        strided_masked_mean(array.size(), mask, [&](std::size_t i) { return array.value(i); });
    std::fill(out.begin(), out.end(), m);
    return out;
  }
  const std::size_t stride = array.inner();
  const std::size_t n = array.grid_voxels();
  parallel_for(volumes.size(), [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) {
      const std::size_t t = volumes[i];
      // A volume the array does not have has no values: its mean is that of an empty set.
      if (t >= stride) continue;
      out[i] = strided_masked_mean(n, mask, [&](std::size_t v) { return array.value(v * stride + t); });
    }
  });
  return out;
}

}  // namespace orivex
