// Log-linear least-squares DTI fit per voxel and the white-matter proxy mask.
#include "orivex/analysis/tensor.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "orivex/support/execution.hpp"

namespace orivex {

namespace {

constexpr double pinv_cutoff = 1e-12;
// Shorter gradient directions carry no orientation and enter the design as b0-like rows.
constexpr double min_gradient_norm = 1e-6;
constexpr double log_floor = 1e-6;
constexpr std::size_t n_coef = 7;
constexpr int histogram_bins = 256;
constexpr std::size_t histogram_block = std::size_t{1} << 16;  // voxels

struct VoxelFit {
  Vec3 evec{0.0, 0.0, 0.0};
  double fa = 0.0;
  double s0 = 0.0;
  bool valid = false;
};

// Unknowns (ln S0, Dxx, Dyy, Dzz, Dxy, Dxz, Dyz); b0 rows only carry ln S0 whatever their
// nominal b-value, so a small residual weighting in the b0 volumes does not leak into D.
Eigen::MatrixXd design_matrix(const GradientTable& table, const std::vector<std::size_t>& b0,
                              const std::vector<std::size_t>& shell) {
  Eigen::MatrixXd a = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(b0.size() + shell.size()),
                                            static_cast<Eigen::Index>(n_coef));
  Eigen::Index r = 0;
  for (std::size_t i = 0; i < b0.size(); ++i) a(r++, 0) = 1.0;
  for (std::size_t k : shell) {
    const double b = table.bvals()[k];
    Vec3 g = table.bvecs()[k];
    const double t = norm(g);
    if (t > min_gradient_norm) {
      for (double& c : g) c /= t;
    } else {
      g = {0.0, 0.0, 0.0};
    }
    a(r, 0) = 1.0;
    a(r, 1) = -b * g[0] * g[0];
    a(r, 2) = -b * g[1] * g[1];
    a(r, 3) = -b * g[2] * g[2];
    a(r, 4) = -2.0 * b * g[0] * g[1];
    a(r, 5) = -2.0 * b * g[0] * g[2];
    a(r, 6) = -2.0 * b * g[1] * g[2];
    ++r;
  }
  return a;
}

Result<Eigen::MatrixXd> pseudo_inverse(const Eigen::MatrixXd& a) {
  if (!a.allFinite()) return Error::tensor_fit("singular design matrix: non-finite entries");
  Eigen::JacobiSVD<Eigen::MatrixXd> svd(a, Eigen::ComputeThinU | Eigen::ComputeThinV);
  if (svd.info() != Eigen::Success)
    return Error::tensor_fit("singular design matrix: singular value decomposition did not converge");
  const Eigen::VectorXd& s = svd.singularValues();
  Eigen::VectorXd inv(s.size());
  // An absolute cut-off: the design's scale is set by the b-values, and a relative one would
  // silently keep near-degenerate directions of low-b schemes.
  for (Eigen::Index i = 0; i < s.size(); ++i) inv(i) = s(i) > pinv_cutoff ? 1.0 / s(i) : 0.0;
  return Eigen::MatrixXd(svd.matrixV() * inv.asDiagonal() * svd.matrixU().transpose());
}

// Logarithms of the floor and of the integers 1..log_table_size-1. Scanners store DWI as
// integers, so most voxels need no logarithm at all. Each entry is computed by the same routine
// the direct path would apply at that position (the library's packet version over the even
// head of a voxel's signals, the scalar one on an odd last value), so both paths agree bit
// for bit.
constexpr std::size_t log_table_size = 65536;

struct LogTables {
  std::vector<double> packet;  // index 0: the floor; k: ln k
  std::vector<double> scalar;
};

const LogTables& log_tables() {
  static const LogTables tables = [] {
    LogTables t;
    t.packet.resize(log_table_size);
    t.scalar.resize(log_table_size);
    t.packet[0] = log_floor;
    for (std::size_t k = 1; k < log_table_size; ++k) t.packet[k] = static_cast<double>(k);
    for (std::size_t k = 0; k < log_table_size; ++k) t.scalar[k] = std::log(t.packet[k]);
    Eigen::Map<Eigen::ArrayXd, Eigen::Aligned16> all(t.packet.data(),
                                                     static_cast<Eigen::Index>(log_table_size));
    all = all.log();
    return t;
  }();
  return tables;
}

struct FitPlan {
  const FloatArray* dwi;
  // Volume of each design row, ascending: the solve does not depend on the order of its rows,
  // and a voxel's signals are then read front to back, in one contiguous run when the design
  // uses a run of volumes (every volume, for a single-shell series).
  std::vector<std::size_t> rows;
  std::size_t first_row = 0;
  bool contiguous = false;
  std::vector<std::size_t> mean_rows;
  // The pseudo-inverse by design rows, each row's seven coefficients padded to eight so that a
  // row is whole vector registers: c += P[:, r] · y_r walks it once, front to back.
  std::vector<double> pinv_by_row;
  double min_signal;
};

constexpr std::size_t coef_stride = 8;

// The table key of a stored value: the integer itself (0 stands for the floor), or a miss.
// Written without branches so that a run of values converts a vector at a time.
inline std::int32_t table_key(float x, std::int32_t& miss) {
  // NaN fails both range tests.
  const std::int32_t in_range = static_cast<std::int32_t>(x >= 0.0f) &
                                static_cast<std::int32_t>(x < static_cast<float>(log_table_size));
  const auto k = static_cast<std::int32_t>(in_range ? x : 0.0f);
  miss |= (in_range ^ 1) | static_cast<std::int32_t>(static_cast<float>(k) != x);
  return k;
}

// The table keys of a contiguous run of values, eight at a time where the processor allows
// (four in the narrow build); nonzero when any value misses the table.
using Floats = float __attribute__((vector_size(32)));
using Ints = std::int32_t __attribute__((vector_size(32)));

__attribute__((target_clones("avx2", "default")))
std::int32_t run_keys(const float* run, std::size_t n, std::int32_t* keys) {
  constexpr std::size_t lanes = sizeof(Floats) / sizeof(float);
  const Floats zero = {}, limit = zero + static_cast<float>(log_table_size);
  std::int32_t miss = 0;
  if (n < lanes) {
    for (std::size_t r = 0; r < n; ++r) keys[r] = table_key(run[r], miss);
    return miss;
  }
  Ints hit = ~Ints{};
  auto step = [&](std::size_t r) {
    Floats x;
    std::memcpy(&x, run + r, sizeof x);
    // Comparisons give all-ones lanes; NaN fails both range tests.
    const Ints in_range = (x >= zero) & (x < limit);
    const Ints k =
        __builtin_convertvector(reinterpret_cast<Floats>(in_range & reinterpret_cast<Ints>(x)), Ints);
    hit &= in_range & (__builtin_convertvector(k, Floats) == x);
    std::memcpy(keys + r, &k, sizeof k);
  };
  for (std::size_t r = 0; r + lanes <= n; r += lanes) step(r);
  // A short tail is done as the last full vector, overlapping keys already written with the
  // same values.
  if (n % lanes != 0) step(n - lanes);
  for (std::size_t l = 0; l < lanes; ++l) miss |= hit[l] != -1;
  return miss;
}

// How a voxel's logarithms were found: every signal an integer the tables hold (the keys are
// filled), some other value (the logarithms are filled), or a NaN or infinite sample (such a
// voxel has no logarithm that means anything).
enum class Logs { Table, Direct, Bad };

// y_r = ln(max(S_r, floor)) for every design row. Integer signals (what scanners store) are left
// as table keys, looked up as the solve reads them; any other value sends the whole voxel down
// the direct path.
Logs log_signals(const FitPlan& p, const float* s, double* logs, std::int32_t* keys) {
  const std::size_t n = p.rows.size();
  const std::size_t head = n - n % 2;
  std::int32_t miss = 0;
  if (p.contiguous) {
    miss = run_keys(s + p.first_row, n, keys);
  } else {
    for (std::size_t r = 0; r < n; ++r) keys[r] = table_key(s[p.rows[r]], miss);
  }
  if (miss == 0) return Logs::Table;
  for (std::size_t r = 0; r < n; ++r) {
    const double x = static_cast<double>(s[p.rows[r]]);
    if (!std::isfinite(x)) return Logs::Bad;
    logs[r] = x > log_floor ? x : log_floor;
  }
  Eigen::Map<Eigen::ArrayXd, Eigen::Aligned16> y(logs, static_cast<Eigen::Index>(head));
  y = y.log();
  if (head < n) logs[head] = std::log(logs[head]);
  return Logs::Direct;
}

// The closed form costs a fraction of the iterative solver but loses accuracy as eigenvalues
// approach each other, so its answer is kept only when it is provably as good: the principal
// pair within a few ulps of the tensor's scale, the largest eigenvalue well separated from the
// next and dominant enough that FA cannot move, and the other two eigenvalues pinned by the
// trace and the Frobenius norm. Everything else, including every exact tie, goes to the
// iterative solver, whose eigenvalue order then settles the principal direction as before.
constexpr double direct_residual = 1e-13;  // of the spectral radius
constexpr double direct_gap = 1e-4;        // largest minus middle eigenvalue, of the radius
constexpr double direct_dominance = 1e-2;  // largest eigenvalue, of the radius

bool direct_is_reliable(const Eigen::Matrix3d& d, const Eigen::Vector3d& lam,
                        const Eigen::Matrix3d& v) {
  const double radius = std::max(std::fabs(lam(0)), std::fabs(lam(2)));
  // Negated comparisons so that NaN fails every test.
  if (!(lam(2) >= direct_dominance * radius)) return false;
  if (!(lam(2) - lam(1) >= direct_gap * radius)) return false;
  const double tol = direct_residual * radius;
  const Eigen::Vector3d e = v.col(2);
  if (!((d * e - lam(2) * e).norm() <= tol) || !(std::fabs(e.squaredNorm() - 1.0) <= direct_residual))
    return false;
  if (lam(0) < 0.0) {
    // Clamping then separates the lower two, so each needs its own check; the closed form's
    // vectors for a nearly equal lower pair are not orthogonal, which sends those to the solver.
    const Eigen::Matrix3d r = d * v - v * lam.asDiagonal();
    for (int i = 0; i < 2; ++i)
      if (!(r.col(i).norm() <= tol)) return false;
    const Eigen::Matrix3d gram = v.transpose() * v - Eigen::Matrix3d::Identity();
    return gram.cwiseAbs().maxCoeff() <= direct_residual;
  }
  // Unclamped, FA depends on the spectrum only through its sum and sum of squares.
  return std::fabs(lam.sum() - d.trace()) <= tol &&
         std::fabs(lam.squaredNorm() - d.squaredNorm()) <= tol * radius;
}

// Eigenvalues ascending with their eigenvectors as columns, as the iterative solver returns them.
void decompose(const Eigen::Matrix3d& d, Eigen::Vector3d& lam, Eigen::Matrix3d& v) {
  Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eig;
  eig.computeDirect(d);
  if (direct_is_reliable(d, eig.eigenvalues(), eig.eigenvectors())) {
    lam = eig.eigenvalues();
    v = eig.eigenvectors();
    return;
  }
  eig.compute(d);
  lam = eig.eigenvalues();
  v = eig.eigenvectors();
}

// c += P·y, row by row: c += P[:, r] · y_r. Every coefficient is a separate multiply then add
// in row order, so the wide and the narrow build give the same bits, and so do the table and the
// direct routes; the wide one only does four at a time where the processor allows. y_r is
// logs[r], or with `keys` the table entry keys[r] read straight into the multiply.
using Lanes = double __attribute__((vector_size(32)));

__attribute__((target_clones("avx2", "default")))
void accumulate(const double* cols, const double* logs, const std::int32_t* keys, std::size_t n,
                double* c) {
  Lanes lo, hi;
  std::memcpy(&lo, c, sizeof lo);
  std::memcpy(&hi, c + 4, sizeof hi);
  for (std::size_t r = 0; r < n; ++r, cols += coef_stride) {
    Lanes a, b;
    std::memcpy(&a, cols, sizeof a);
    std::memcpy(&b, cols + 4, sizeof b);
    const double y = keys != nullptr ? logs[keys[r]] : logs[r];
    const Lanes yy = {y, y, y, y};
    lo += a * yy;
    hi += b * yy;
  }
  std::memcpy(c, &lo, sizeof lo);
  std::memcpy(c + 4, &hi, sizeof hi);
}

// The same for two voxels on the table route at once: each row's coefficients are loaded once
// for both, and each voxel still sees exactly its own operations in its own order.
__attribute__((target_clones("avx2", "default")))
void accumulate_pair(const double* cols, const double* table, const std::int32_t* keys0,
                     const std::int32_t* keys1, std::size_t n, double* c0, double* c1) {
  Lanes lo0, hi0, lo1, hi1;
  std::memcpy(&lo0, c0, sizeof lo0);
  std::memcpy(&hi0, c0 + 4, sizeof hi0);
  std::memcpy(&lo1, c1, sizeof lo1);
  std::memcpy(&hi1, c1 + 4, sizeof hi1);
  auto row = [&](const double* col, std::size_t r) {
    Lanes a, b;
    std::memcpy(&a, col, sizeof a);
    std::memcpy(&b, col + 4, sizeof b);
    const double y0 = table[keys0[r]], y1 = table[keys1[r]];
    const Lanes yy0 = {y0, y0, y0, y0}, yy1 = {y1, y1, y1, y1};
    lo0 += a * yy0;
    hi0 += b * yy0;
    lo1 += a * yy1;
    hi1 += b * yy1;
  };
  std::size_t r = 0;
  for (; r + 2 <= n; r += 2, cols += 2 * coef_stride) {
    row(cols, r);
    row(cols + coef_stride, r + 1);
  }
  if (r < n) row(cols, r);
  std::memcpy(c0, &lo0, sizeof lo0);
  std::memcpy(c0 + 4, &hi0, sizeof hi0);
  std::memcpy(c1, &lo1, sizeof lo1);
  std::memcpy(c1 + 4, &hi1, sizeof hi1);
}

// Scratch for one voxel's logarithms. Eigen's aligned packet loads need the 16 bytes operator
// new guarantees.
struct RowScratch {
  RowScratch(std::size_t rows, std::size_t volumes) : logs(rows), keys(rows), samples(volumes) {}
  std::vector<double> logs;
  std::vector<std::int32_t> keys;
  std::vector<float> samples;  // a voxel's signals when the array holds integers
};

// A voxel's way into the fit: its mean unweighted signal, and whether and how it is fitted.
struct Prepared {
  double s0 = 0.0;
  bool fitted = false;
  Logs logs = Logs::Bad;
};

// The mean unweighted signal of voxel v.
double mean_signal(const FitPlan& p, std::size_t v) {
  double sum = 0.0;
  for (std::size_t t : p.mean_rows) sum += static_cast<double>(p.dwi->at(v, t));
  return sum / static_cast<double>(p.mean_rows.size());
}

// `means`, when given, holds every voxel's mean_signal() already.
Prepared prepare(const FitPlan& p, std::size_t v, RowScratch& w, double tissue,
                 const double* means) {
  Prepared out;
  const double m = means != nullptr ? means[v] : mean_signal(p, v);
  out.s0 = m;
  // A NaN or infinite sample (a corrupt voxel, an overflowing scl_slope) has no logarithm that
  // means anything: the voxel is not fitted rather than fitted to garbage.
  if (!std::isfinite(m) || p.min_signal > m || !(m >= tissue)) return out;
  const float* s = p.dwi->voxel(v, w.samples.data());
  out.logs = log_signals(p, s, w.logs.data(), w.keys.data());
  out.fitted = out.logs != Logs::Bad;
  return out;
}

// c = P·y for one prepared voxel.
void solve(const FitPlan& p, Logs logs, const RowScratch& w, double* c) {
  const std::size_t n = p.rows.size();
  if (logs == Logs::Direct) {
    accumulate(p.pinv_by_row.data(), w.logs.data(), nullptr, n, c);
    return;
  }
  // The packet entries for all rows but an odd last one, which takes the scalar entry.
  const LogTables& t = log_tables();
  const std::size_t head = n - n % 2;
  accumulate(p.pinv_by_row.data(), t.packet.data(), w.keys.data(), head, c);
  if (head < n) {
    const double y = t.scalar[static_cast<std::size_t>(w.keys[head])];
    accumulate(p.pinv_by_row.data() + head * coef_stride, &y, nullptr, 1, c);
  }
}

// The same for two voxels that both take the tables.
void solve_pair(const FitPlan& p, const RowScratch& w0, const RowScratch& w1, double* c0,
                double* c1) {
  const std::size_t n = p.rows.size();
  const LogTables& t = log_tables();
  const std::size_t head = n - n % 2;
  accumulate_pair(p.pinv_by_row.data(), t.packet.data(), w0.keys.data(), w1.keys.data(), head,
                  c0, c1);
  if (head < n) {
    const double* col = p.pinv_by_row.data() + head * coef_stride;
    const double y0 = t.scalar[static_cast<std::size_t>(w0.keys[head])];
    const double y1 = t.scalar[static_cast<std::size_t>(w1.keys[head])];
    accumulate(col, &y0, nullptr, 1, c0);
    accumulate(col, &y1, nullptr, 1, c1);
  }
}

// Eigen-decomposition, FA and principal direction from the coefficients.
VoxelFit finish(const double* c, double s0) {
  VoxelFit out;
  out.s0 = s0;
  Eigen::Matrix3d d;
  d << c[1], c[4], c[5], c[4], c[2], c[6], c[5], c[6], c[3];
  Eigen::Vector3d raw;
  Eigen::Matrix3d vecs;
  decompose(d, raw, vecs);
  double lam[3];
  for (int i = 0; i < 3; ++i) lam[i] = raw(i) > 0.0 ? raw(i) : 0.0;
  int principal = 0;
  for (int i = 1; i < 3; ++i)
    if (lam[i] >= lam[principal]) principal = i;
  const double sq = lam[0] * lam[0] + lam[1] * lam[1] + lam[2] * lam[2];
  double fa = 0.0;
  if (sq > 0.0) {
    const double md = (lam[0] + lam[1] + lam[2]) / 3.0;
    const double dev = (lam[0] - md) * (lam[0] - md) + (lam[1] - md) * (lam[1] - md) +
                       (lam[2] - md) * (lam[2] - md);
    fa = std::sqrt(1.5 * dev / sq);
  }
  if (!std::isfinite(fa) || !(lam[principal] > 0.0)) return out;
  const Eigen::Vector3d e = vecs.col(principal);
  out.evec = {e(0), e(1), e(2)};
  out.fa = fa;
  out.valid = true;
  return out;
}

}  // namespace

Result<TensorField> fit_dti(const FloatArray& dwi, const GradientTable& table,
                            const std::vector<std::size_t>& b0_indices,
                            const std::vector<std::size_t>& shell_indices, double min_signal,
                            FitScope scope) {
  if (dwi.ndim() != 4)
    return Error::tensor_fit("expected 4-D DWI, got " + std::to_string(dwi.ndim()) + "-D");
  if (shell_indices.empty()) return Error::tensor_fit("no DWI volumes in the working shell");
  const std::size_t nt = dwi.extent(3);
  for (const auto* list : {&b0_indices, &shell_indices})
    for (std::size_t k : *list)
      if (k >= nt || k >= table.size())
        return Error::tensor_fit("volume index " + std::to_string(k) + " outside the series of " +
                                 std::to_string(std::min(nt, table.size())) + " volumes");

  const Eigen::MatrixXd a = design_matrix(table, b0_indices, shell_indices);
  ORIVEX_ASSIGN(Eigen::MatrixXd pinv, pseudo_inverse(a));

  FitPlan plan;
  plan.dwi = &dwi;
  std::vector<std::size_t> design_rows = b0_indices;
  design_rows.insert(design_rows.end(), shell_indices.begin(), shell_indices.end());
  std::vector<std::size_t> order(design_rows.size());
  for (std::size_t r = 0; r < order.size(); ++r) order[r] = r;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return design_rows[a] < design_rows[b]; });
  for (std::size_t r : order) plan.rows.push_back(design_rows[r]);
  plan.first_row = plan.rows.front();
  plan.contiguous = true;
  for (std::size_t r = 0; r < plan.rows.size(); ++r)
    plan.contiguous = plan.contiguous && plan.rows[r] == plan.first_row + r;
  plan.mean_rows = b0_indices.empty() ? shell_indices : b0_indices;
  plan.min_signal = min_signal;
  log_tables();  // built once, before the workers need it
  const std::size_t n = plan.rows.size();
  plan.pinv_by_row.assign(coef_stride * n, 0.0);
  for (std::size_t r = 0; r < n; ++r)
    for (std::size_t j = 0; j < n_coef; ++j)
      plan.pinv_by_row[r * coef_stride + j] =
          pinv(static_cast<Eigen::Index>(j), static_cast<Eigen::Index>(order[r]));

  TensorField field;
  field.dims = {dwi.extent(0), dwi.extent(1), dwi.extent(2)};
  const std::size_t nvox = dwi.grid_voxels();
  field.evecs.assign(nvox, Vec3{0.0, 0.0, 0.0});
  field.fa.assign(nvox, 0.0);
  field.s0.assign(nvox, 0.0);
  field.valid.assign(nvox, 0);
  double tissue = -std::numeric_limits<double>::infinity();
  const double* means = nullptr;
  if (scope == FitScope::Tissue) {
    // The means first, then the threshold they give.
    parallel_for(nvox, [&](std::size_t begin, std::size_t end) {
      for (std::size_t v = begin; v < end; ++v) field.s0[v] = mean_signal(plan, v);
    });
    tissue = field.s0_threshold();
    field.tissue_threshold = tissue;
    means = field.s0.data();
  }
  parallel_for(nvox, [&](std::size_t begin, std::size_t end) {
    RowScratch w[2] = {RowScratch(n, nt), RowScratch(n, nt)};
    // Voxels go in pairs, which share the solve when both take the tables.
    for (std::size_t v = begin; v < end; v += 2) {
      const std::size_t m = std::min<std::size_t>(2, end - v);
      Prepared pr[2];
      double c[2][coef_stride] = {};
      for (std::size_t k = 0; k < m; ++k) pr[k] = prepare(plan, v + k, w[k], tissue, means);
      if (m == 2 && pr[0].logs == Logs::Table && pr[1].logs == Logs::Table) {
        solve_pair(plan, w[0], w[1], c[0], c[1]);
      } else {
        for (std::size_t k = 0; k < m; ++k)
          if (pr[k].fitted) solve(plan, pr[k].logs, w[k], c[k]);
      }
      for (std::size_t k = 0; k < m; ++k) {
        VoxelFit f;
        f.s0 = pr[k].s0;
        if (pr[k].fitted) f = finish(c[k], pr[k].s0);
        field.evecs[v + k] = f.evec;
        field.fa[v + k] = f.fa;
        field.s0[v + k] = f.s0;
        field.valid[v + k] = f.valid ? 1 : 0;
      }
    }
  });
  return field;
}

double TensorField::s0_threshold() const {
  if (tissue_threshold) return *tissue_threshold;
  // In blocks on the pool: minima, maxima and bin counts come out the same however the blocks
  // are shared out.
  const std::size_t blocks = (s0.size() + histogram_block - 1) / histogram_block;
  auto each_block = [&](auto&& body) {
    parallel_for(blocks, [&](std::size_t b, std::size_t e) {
      for (std::size_t k = b; k < e; ++k)
        body(k, k * histogram_block, std::min(s0.size(), (k + 1) * histogram_block));
    });
  };
  // The range comes from the finite values only: one infinite s0 would stretch it to nothing.
  std::vector<double> block_lo(blocks, std::numeric_limits<double>::infinity());
  std::vector<double> block_hi(blocks, -std::numeric_limits<double>::infinity());
  each_block([&](std::size_t k, std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) {
      const double v = s0[i];
      if (!std::isfinite(v)) continue;
      block_lo[k] = std::min(block_lo[k], v);
      block_hi[k] = std::max(block_hi[k], v);
    }
  });
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  for (std::size_t k = 0; k < blocks; ++k) {
    lo = std::min(lo, block_lo[k]);
    hi = std::max(hi, block_hi[k]);
  }
  double threshold = 0.0;
  if (!s0.empty()) {
    if (hi <= lo) {
      threshold = lo;
    } else {
      // Otsu on the s0 histogram separates background and partial-volume voxels from tissue.
      const double scale = histogram_bins / (hi - lo);
      std::vector<std::uint64_t> counts(blocks * histogram_bins, 0);
      each_block([&](std::size_t k, std::size_t b, std::size_t e) {
        std::uint64_t* block = counts.data() + k * histogram_bins;
        for (std::size_t i = b; i < e; ++i) {
          const double v = s0[i];
          // Non-finite values have no bin (their index would be NaN); they are left out of the
          // histogram like they were left out of the range, and never pass the threshold.
          if (!std::isfinite(v)) continue;
          const double f = std::floor((v - lo) * scale);
          // Negated so that a NaN from an overflowing range (inf times a zero scale) lands in 0.
          const int bin = !(f > 0.0) ? 0 : f >= histogram_bins - 1 ? histogram_bins - 1 : static_cast<int>(f);
          ++block[bin];
        }
      });
      std::vector<double> h(histogram_bins, 0.0);
      double total = 0.0;
      for (int bin = 0; bin < histogram_bins; ++bin) {
        std::uint64_t n = 0;
        for (std::size_t k = 0; k < blocks; ++k) n += counts[k * histogram_bins + static_cast<std::size_t>(bin)];
        h[static_cast<std::size_t>(bin)] = static_cast<double>(n);
        total += static_cast<double>(n);
      }
      double weighted = 0.0;
      for (int k = 0; k < histogram_bins; ++k) weighted += k * h[k];
      double w0 = 0.0, u0 = 0.0, best = -1.0;
      int kept = 0;
      for (int k = 0; k < histogram_bins; ++k) {
        w0 += h[k];
        u0 += k * h[k];
        if (w0 == 0.0) continue;
        const double w1 = total - w0;
        if (w1 == 0.0) break;
        const double diff = u0 / w0 - (weighted - u0) / w1;
        const double sigma = w0 * w1 * diff * diff;
        if (sigma > best) {
          best = sigma;
          kept = k;
        }
      }
      threshold = lo + (kept + 0.5) / scale;
    }
  }
  return threshold;
}

Mask TensorField::wm_proxy(double fa_threshold) const {
  const double threshold = s0_threshold();
  const std::size_t n = std::min({fa.size(), valid.size(), s0.size()});
  Mask mask(n);
  for (std::size_t i = 0; i < n; ++i)
    mask[i] = valid[i] && fa[i] >= fa_threshold && std::isfinite(s0[i]) && s0[i] >= threshold ? 1 : 0;
  return mask;
}

TensorField smooth_directions(const TensorField& field, const Mask& region) {
  TensorField out = field;
  const std::size_t nx = field.dims[0], ny = field.dims[1], nz = field.dims[2];
  const std::size_t n = std::min({region.size(), field.valid.size(), field.fa.size(),
                                  field.evecs.size(), nx * ny * nz});
  auto usable = [&](std::size_t v) {
    const Vec3& e = field.evecs[v];
    return region[v] && field.valid[v] && e[0] * e[0] + e[1] * e[1] + e[2] * e[2] >= 1e-18;
  };
  double weight[4];
  for (int d = 0; d < 4; ++d) weight[d] = std::exp(-0.5 * d);
  parallel_for(n, [&](std::size_t begin, std::size_t end) {
    for (std::size_t v = begin; v < end; ++v) {
      if (!usable(v)) continue;
      const std::size_t at[3] = {v / (ny * nz), (v / nz) % ny, v % nz};
      Eigen::Matrix3d m = Eigen::Matrix3d::Zero();
      for (int dx = -1; dx <= 1; ++dx)
        for (int dy = -1; dy <= 1; ++dy)
          for (int dz = -1; dz <= 1; ++dz) {
            const int d[3] = {dx, dy, dz};
            std::size_t q[3];
            bool inside = true;
            for (int a = 0; a < 3; ++a) {
              // Unsigned wrap-around sends a step below 0 past the extent.
              q[a] = at[a] + static_cast<std::size_t>(static_cast<std::ptrdiff_t>(d[a]));
              inside = inside && q[a] < field.dims[static_cast<std::size_t>(a)];
            }
            if (!inside) continue;
            const std::size_t u = (q[0] * ny + q[1]) * nz + q[2];
            if (u >= n || !usable(u)) continue;
            const Vec3& e = field.evecs[u];
            const Eigen::Vector3d ev(e[0], e[1], e[2]);
            m += weight[dx * dx + dy * dy + dz * dz] * field.fa[u] * (ev * ev.transpose());
          }
      Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eig;
      eig.computeDirect(m);
      const Eigen::Vector3d p = eig.eigenvectors().col(2).normalized();
      if (p.allFinite()) out.evecs[v] = {p(0), p(1), p(2)};
    }
  });
  return out;
}

}  // namespace orivex
