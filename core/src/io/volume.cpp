// NIfTI-1 reading (header, gzip stream, conversion to 32-bit floats), masks and masked means.
#include "orivex/io/volume.hpp"

#include "orivex/io/file.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The distribution builds znzlib with zlib; the struct layout of znzFile depends on this.
#ifndef HAVE_ZLIB
#define HAVE_ZLIB 1
#endif
#include <nifti1_io.h>
#include <znzlib.h>

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

void quiet_library() {
  static std::once_flag once;
  std::call_once(once, [] { nifti_set_debug_level(0); });
}

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

bool ends_with(const std::string& s, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

struct ZnzCloser {
  void operator()(znzptr* f) const {
    if (f) Xznzclose(&f);
  }
};
using ZnzHandle = std::unique_ptr<znzptr, ZnzCloser>;

// Reads exactly n bytes or explains why not (gzip damage or a short file).
Result<void> read_exact(znzptr* fp, void* buf, std::size_t n, const char* what) {
  const std::size_t got = znzread(buf, 1, n, fp);
  if (got == n) return {};
  if (fp->withz) {
    int code = 0;
    const char* msg = gzerror(fp->zfptr, &code);
    if (code == Z_ERRNO) return Error::nifti(os_error_text(errno ? errno : EIO));
    if (code != Z_OK && msg && *msg) return Error::nifti(std::string("gzip stream: ") + msg);
  } else if (std::ferror(fp->nzfptr)) {
    return Error::nifti(os_error_text(errno ? errno : EIO));
  }
  return Error::nifti(std::string("file ends after ") + std::to_string(got) + " of " +
                      std::to_string(n) + " bytes of " + what);
}

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

// An opened file: header decoded to native byte order, stream positioned after the header.
struct OpenFile {
  ZnzHandle fp;
  nifti_1_header header{};
  bool swapped = false;
  bool gz = false;
  std::uint64_t file_size = 0;
};

Result<OpenFile> open_file(const std::string& path) {
  quiet_library();
  if (io::has_nul(path)) return Error::nifti(io::nul_in_path_text);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return Error::nifti(os_error_text(errno));
  if (S_ISDIR(st.st_mode)) return Error::nifti(os_error_text(EISDIR));
  OpenFile f;
  f.gz = ends_with(path, ".gz");
  f.file_size = static_cast<std::uint64_t>(st.st_size);
  errno = 0;
  f.fp.reset(znzopen(path.c_str(), "rb", f.gz ? 1 : 0));
  if (!f.fp) return Error::nifti(os_error_text(errno ? errno : EIO));
  // zlib's default 8 KiB input buffer makes inflate noticeably slower than gzip itself.
  if (f.fp->withz) gzbuffer(f.fp->zfptr, 256 * 1024);

  static_assert(sizeof(nifti_1_header) == header_bytes);
  ORIVEX_TRY(read_exact(f.fp.get(), &f.header, header_bytes, "header"));
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
template <class T, bool Swap, bool Scale>
void scatter_block(const unsigned char* raw, Scaling sc, const Layout& l, std::size_t z0,
                   std::size_t z1, std::size_t t0, std::size_t t1, float* out) {
  const std::size_t plane = l.nx * l.ny;
  const std::size_t zn = z1 - z0;
  const std::size_t nt = t1 - t0;
  const std::size_t x_run = std::max<std::size_t>(1, run_bytes / sizeof(T));
  const std::size_t vol_stride = zn * plane * sizeof(T);
  const bool in_order = l.t_in_order;
  parallel_for(l.ny * zn, [&](std::size_t rb, std::size_t re) {
    float tile[run_bytes * t_block];
    for (std::size_t r = rb; r < re; ++r) {
      const std::size_t y = r / zn, zi = r % zn;
      const unsigned char* row = raw + (zi * plane + y * l.nx) * sizeof(T);
      float* row_out = out + (y * l.nz + z0 + zi) * l.nt;
      const std::size_t x_out = l.ny * l.nz * l.nt;  // array distance between x and x + 1
      for (std::size_t xa = 0; xa < l.nx; xa += x_run) {
        const std::size_t xn = std::min(x_run, l.nx - xa);
        for (std::size_t ta = 0; ta < nt; ta += t_block) {
          const std::size_t tn = std::min(t_block, nt - ta);
          for (std::size_t t = 0; t < tn; ++t) {
            const unsigned char* run = row + (ta + t) * vol_stride + xa * sizeof(T);
            for (std::size_t x = 0; x < xn; ++x)
              tile[x * t_block + t] = convert_one<T, Swap, Scale>(run + x * sizeof(T), sc);
          }
          for (std::size_t x = 0; x < xn; ++x) {
            float* dst = row_out + (xa + x) * x_out;
            const float* from = tile + x * t_block;
            if (in_order) {
              std::memcpy(dst + t0 + ta, from, tn * sizeof(float));
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
                   std::size_t z0, std::size_t z1, std::size_t t0, std::size_t t1, float* out) {
  if (swap) {
    if (sc.on) return scatter_block<T, true, true>(raw, sc, l, z0, z1, t0, t1, out);
    return scatter_block<T, true, false>(raw, sc, l, z0, z1, t0, t1, out);
  }
  if (sc.on) return scatter_block<T, false, true>(raw, sc, l, z0, z1, t0, t1, out);
  return scatter_block<T, false, false>(raw, sc, l, z0, z1, t0, t1, out);
}

void scatter_any(int datatype, const unsigned char* raw, bool swap, Scaling sc, const Layout& l,
                 std::size_t z0, std::size_t z1, std::size_t t0, std::size_t t1, float* out) {
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

struct Loaded {
  FloatArray array;
  VolumeInfo info;
  Duration decompress;
  Duration convert;
};

long double claimed_voxels(const std::vector<std::size_t>& dims) {
  long double n = 1;
  for (std::size_t d : dims) n *= static_cast<long double>(d);
  return n;
}

// Reads and converts the volumes [0, volumes) of the stored data (all of them when absent).
Result<Loaded> load(const std::string& path, bool first_volume_only, bool require_mask_dims) {
  const auto start = Clock::now();
  ORIVEX_ASSIGN(OpenFile f, open_file(path));
  ORIVEX_ASSIGN(VolumeInfo info, from_header(f.header));
  const nifti_1_header& h = f.header;

  if (require_mask_dims && (info.dims.size() < 3 || info.dims.size() > 4))
    return Error::nifti("a mask must have 3 or 4 dimensions, this image has " +
                        std::to_string(info.dims.size()));

  const std::size_t vbytes = value_bytes(h.datatype);
  if (vbytes == 0)
    return Error::nifti("data type " + std::to_string(h.datatype) + " (" +
                        datatype_name(h.datatype) + ") cannot be converted");

  // Size checks come before any allocation: a corrupt or hostile header must not be able to
  // ask for terabytes.
  const long double claimed = claimed_voxels(info.dims);
  std::size_t nvox = 1;
  bool overflow = false;
  for (std::size_t d : info.dims) overflow |= __builtin_mul_overflow(nvox, d, &nvox);
  std::size_t nbytes = 0, fbytes = 0;
  overflow |= __builtin_mul_overflow(nvox, vbytes, &nbytes);
  overflow |= __builtin_mul_overflow(nvox, sizeof(float), &fbytes);
  if (overflow || nbytes > (std::size_t{1} << 62))
    return Error::nifti("header claims " + format_count(claimed) +
                        " voxels, more than can be addressed");
  const std::int64_t offset =
      h.vox_offset >= static_cast<float>(min_vox_offset) && std::isfinite(h.vox_offset)
          // Clamped so the conversion stays defined; any offset this far lies past the end.
          ? static_cast<std::int64_t>(std::min(h.vox_offset, 0x1p62f))
          : min_vox_offset;
  if (!f.gz) {
    const std::uint64_t avail =
        f.file_size > static_cast<std::uint64_t>(offset) ? f.file_size - offset : 0;
    if (nbytes > avail)
      return Error::nifti("header claims " + format_count(claimed) + " voxels (" +
                          std::to_string(nbytes) + " bytes) but the file holds " +
                          std::to_string(avail) + " bytes of voxel data");
  } else if (nbytes / max_deflate_ratio > f.file_size) {
    return Error::nifti("header claims " + format_count(claimed) + " voxels (" +
                        std::to_string(nbytes) + " bytes), more than a compressed file of " +
                        std::to_string(f.file_size) + " bytes can hold");
  }

  if (znzseek(f.fp.get(), offset, SEEK_SET) < 0)
    return Error::nifti("cannot seek to the voxel data at byte " + std::to_string(offset));

  Layout l = layout_of(info.dims);
  std::vector<std::size_t> shape = info.dims;
  std::size_t volumes = l.nt;
  if (first_volume_only && l.nt > 1) {
    volumes = 1;
    shape.resize(3);
    l = layout_of(shape);
  }
  const std::size_t plane = l.nx * l.ny;
  const std::size_t vol_vox = plane * l.nz;

  FloatArray array;
  array.shape = std::move(shape);

  // Chunks are runs of whole volumes, at least min_chunk_volumes of them so that every output
  // cache line is written in one go (the raw chunk never exceeds the raw data); a volume larger
  // than the budget is read in slabs of whole planes. Two staging chunks share the budget: one
  // is inflated while the other is converted.
  const std::size_t vol_raw = vol_vox * vbytes;
  const std::size_t stage_bytes = chunk_budget_bytes / 2;
  std::size_t chunk_vols = 1, chunk_planes = l.nz;
  if (vol_raw <= stage_bytes) {
    chunk_vols = std::min(volumes, std::max(min_chunk_volumes, stage_bytes / vol_raw));
  } else {
    chunk_planes = std::min(l.nz, std::max<std::size_t>(1, stage_bytes / (plane * vbytes)));
  }
  struct Chunk {
    std::size_t t0, t1, z0, z1;
  };
  std::vector<Chunk> chunks;
  for (std::size_t t0 = 0; t0 < volumes; t0 += chunk_vols)
    for (std::size_t z0 = 0; z0 < l.nz; z0 += chunk_planes)
      chunks.push_back({t0, std::min(volumes, t0 + chunk_vols), z0, std::min(l.nz, z0 + chunk_planes)});
  const std::size_t stage_len = chunk_vols * chunk_planes * plane * vbytes;
  std::vector<unsigned char> stage[2];
  stage[0].resize(stage_len);
  if (chunks.size() > 1) stage[1].resize(stage_len);
  const Scaling sc = scaling_of(h);

  // Inflating is sequential, so it is the floor of the load; step k reads chunk k on one thread
  // while the others convert chunk k - 1 (and step 0 zero-fills the array, which faults in
  // its pages). The conversion is timed as whatever of the load the reading did not cover.
  const auto loop_start = Clock::now();
  Clock::duration read_time = loop_start - start;
  Result<void> read_status;
  for (std::size_t k = 0; k <= chunks.size(); ++k) {
    parallel_for(2, [&](std::size_t b, std::size_t e) {
      for (std::size_t job = b; job < e; ++job) {
        if (job == 0) {
          if (k == chunks.size()) continue;
          const Chunk& c = chunks[k];
          const std::size_t n = (c.t1 - c.t0) * (c.z1 - c.z0) * plane;
          const auto r0 = Clock::now();
          read_status = read_exact(f.fp.get(), stage[k % 2].data(), n * vbytes, "voxel data");
          read_time += Clock::now() - r0;
        } else if (k == 0) {
          array.data.resize(vol_vox * volumes);
        } else {
          const Chunk& c = chunks[k - 1];
          scatter_any(h.datatype, stage[(k - 1) % 2].data(), f.swapped, sc, l, c.z0, c.z1, c.t0,
                      c.t1, array.data.data());
        }
      }
    });
    ORIVEX_TRY(read_status);
  }
  stage[0] = {};
  stage[1] = {};
  const Clock::duration convert_time =
      std::max(Clock::duration::zero(), (Clock::now() - start) - read_time);
  const auto zero = Clock::time_point{};
  return Loaded{std::move(array), std::move(info), Duration::between(zero, zero + read_time),
                Duration::between(zero, zero + convert_time)};
}

double strided_masked_mean(const float* values, std::size_t n, std::size_t stride,
                           const Mask* mask) {
  double sum = 0.0;
  std::size_t count = 0;
  if (mask) {
    const std::size_t m = std::min(n, mask->size());
    for (std::size_t i = 0; i < m; ++i) {
      if ((*mask)[i]) {
        sum += static_cast<double>(values[i * stride]);
        ++count;
      }
    }
  } else {
    for (std::size_t i = 0; i < n; ++i) sum += static_cast<double>(values[i * stride]);
    count = n;
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

Result<LoadedVolume> read_volume_with_info(const std::string& path) {
  ORIVEX_ASSIGN(Loaded l, load(path, false, false));
  return LoadedVolume{std::move(l.array), std::move(l.info)};
}

Result<TimedVolume> read_volume_with_info_timed(const std::string& path) {
  ORIVEX_ASSIGN(Loaded l, load(path, false, false));
  return TimedVolume{LoadedVolume{std::move(l.array), std::move(l.info)}, l.decompress, l.convert};
}

Result<Mask> read_mask(const std::string& path) {
  // Later volumes of a 4-D mask play no part, so they are never read.
  ORIVEX_ASSIGN(Loaded l, load(path, true, true));
  return mask_from_volume(l.array);
}

Mask mask_from_volume(const FloatArray& array) {
  const std::size_t n = array.grid_voxels();
  const std::size_t stride = array.inner();
  Mask mask(n);
  // NaN != 0, so a NaN voxel is inside.
  for (std::size_t v = 0; v < n && v * stride < array.data.size(); ++v)
    mask[v] = array.data[v * stride] != 0.0f ? 1 : 0;
  return mask;
}

double masked_mean(const float* values, std::size_t n, const Mask* mask) {
  return strided_masked_mean(values, n, 1, mask);
}

std::vector<double> mean_for_volumes(const FloatArray& array,
                                     const std::vector<std::size_t>& volumes, const Mask* mask) {
  std::vector<double> out(volumes.size(), 0.0);
  if (array.ndim() < 4) {
    const double m = masked_mean(array.data.data(), array.data.size(), mask);
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
      out[i] = strided_masked_mean(array.data.data() + t, n, stride, mask);
    }
  });
  return out;
}

}  // namespace orivex
