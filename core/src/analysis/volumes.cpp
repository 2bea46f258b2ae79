// Every diffusion-weighted volume against its row: leave-one-out predictions of the log-linear
// tensor fit in a sample of the coherence mask, the hypotheses scored against them, and the
// whole-table tests.
#include "orivex/analysis/volumes.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <numbers>

#include "orivex/analysis/shell.hpp"
#include "orivex/analysis/tracking.hpp"
#include "orivex/support/execution.hpp"
#include "orivex/support/mat3.hpp"
#include "orivex/support/numfmt.hpp"

namespace orivex {

namespace {

using Row = std::array<double, 7>;

constexpr double min_gradient_norm = 1e-6;
constexpr double log_floor = 1e-6;
constexpr double pinv_cutoff = 1e-12;
// A design row with this much leverage is all but fixed by its own value: it cannot be left out.
constexpr double max_leverage = 1.0 - 1e-6;
constexpr std::size_t min_voxels = 20;
constexpr std::size_t block_voxels = 64;

// The decision thresholds, measured on phantoms at SNR 10 to 40 and 16 to 60 directions (the
// sweep in bench/volumes_sweep.py). z is the evidence for a hypothesis over the row as given in
// standard errors; a residual is relative to the typical residual of the volume's shell.
// Volumes this far above the typical residual are left out of the refit that judges the rest.
constexpr double refit_misfit = 1.5;
// A volume joins a pooled subset (one axis permutation for all) at this much evidence...
constexpr double member_z = 3.0;
constexpr double member_gain = 0.3;  // of its residual removed by the hypothesis
// ... and the subset, or a volume on its own, counts at this much.
constexpr double finding_z = 6.0;
constexpr double finding_gain = 0.5;
// A hypothesis explains a volume only when it brings it back among the typical ones.
constexpr double explained_residual = 3.0;
// A shift of every row counts when it removes this much of the whole fit's residual.
constexpr double shift_ratio_limit = 0.8;
// A table that captures less than this of the direction-dependent signal any six-term fit could
// (above chance) does not describe the series.
constexpr double min_explained = 0.5;
// ... judged only where the signal shows its six terms clearly: the best six capture this much
// more than six random ones (noise alone gives about 0).
constexpr double min_structure = 1.0;
// Below this share of the signal in six terms (Capture::signal) no volume is judged.
constexpr double min_signal_share = 0.3;
// The rotation test turns the fitted axes by this angle about 13 axes, both ways...
constexpr double rotation_deg = 25.0;
// ... and finds the table rotated when one of the turns tracks this much longer.
constexpr double rotation_margin = 0.1;

Row design_row(const Vec3& direction, double b) {
  Vec3 g = direction;
  const double t = norm(g);
  if (t > min_gradient_norm) {
    for (double& c : g) c /= t;
  } else {
    g = {0.0, 0.0, 0.0};
  }
  return {1.0, -b * g[0] * g[0], -b * g[1] * g[1], -b * g[2] * g[2],
          -2.0 * b * g[0] * g[1], -2.0 * b * g[0] * g[2], -2.0 * b * g[1] * g[2]};
}

double dot(const Row& a, const double* c) {
  double s = 0.0;
  for (std::size_t j = 0; j < 7; ++j) s += a[j] * c[j];
  return s;
}

// One least-squares design: the volume each row's signal is read from, its row, the matching
// column of the pseudo-inverse and 1/(1 − leverage) (0 when the row cannot be left out).
struct Fit {
  std::vector<std::size_t> volumes;
  std::vector<Row> design;
  std::vector<Row> pinv;
  std::vector<double> leave;
};

Fit make_fit(std::vector<std::size_t> volumes, std::vector<Row> design) {
  Fit f;
  const auto n = static_cast<Eigen::Index>(design.size());
  Eigen::MatrixXd a(n, 7);
  for (Eigen::Index r = 0; r < n; ++r)
    for (Eigen::Index j = 0; j < 7; ++j)
      a(r, j) = design[static_cast<std::size_t>(r)][static_cast<std::size_t>(j)];
  Eigen::JacobiSVD<Eigen::MatrixXd> svd(a, Eigen::ComputeThinU | Eigen::ComputeThinV);
  const Eigen::VectorXd& s = svd.singularValues();
  Eigen::VectorXd inv(s.size());
  for (Eigen::Index i = 0; i < s.size(); ++i) inv(i) = s(i) > pinv_cutoff ? 1.0 / s(i) : 0.0;
  const Eigen::MatrixXd p = svd.matrixV() * inv.asDiagonal() * svd.matrixU().transpose();
  f.volumes = std::move(volumes);
  f.design = std::move(design);
  f.pinv.resize(f.design.size());
  f.leave.resize(f.design.size());
  for (std::size_t r = 0; r < f.design.size(); ++r) {
    double h = 0.0;
    for (std::size_t j = 0; j < 7; ++j) {
      f.pinv[r][j] = p(static_cast<Eigen::Index>(j), static_cast<Eigen::Index>(r));
      h += f.design[r][j] * f.pinv[r][j];
    }
    f.leave[r] = h < max_leverage ? 1.0 / (1.0 - h) : 0.0;
  }
  return f;
}

// The coefficients of a fit and its residual on every design row.
void solve(const Fit& f, const float* y, double* c, std::vector<double>& resid) {
  std::fill(c, c + 7, 0.0);
  for (std::size_t r = 0; r < f.volumes.size(); ++r) {
    const double v = y[f.volumes[r]];
    for (std::size_t j = 0; j < 7; ++j) c[j] += f.pinv[r][j] * v;
  }
  resid.resize(f.volumes.size());
  for (std::size_t r = 0; r < f.volumes.size(); ++r)
    resid[r] = y[f.volumes[r]] - dot(f.design[r], c);
}

enum class Kind { Own, Axes, Scale, Row };

struct Hypothesis {
  Kind kind = Kind::Own;
  Row row{};
  std::size_t index = 0;  // axes: candidate; scale: scale; row: volume
};

// One volume under test: the fit that predicts it (and its row there, when it took part) and its
// hypotheses, the first being its own row.
struct Check {
  std::size_t volume = 0;
  std::size_t fit = 0;
  std::optional<std::size_t> fit_row;
  std::vector<Hypothesis> hyps;
  std::vector<double> scales;
};

// Weighted squared residuals per hypothesis and the squared distance of each hypothesis's
// prediction from the own row's; log residuals weigh by the squared predicted signal, which
// makes them about equally noisy.
struct Scores {
  std::vector<std::size_t> offset;
  std::vector<double> sse, dist;
};

// The weight of each voxel in each fit: its squared mean signal over the fit's diffusion-weighted
// rows, the same for every hypothesis (a prediction's own level would let one wild prediction
// outweigh the rest).
std::vector<double> signal_levels(const std::vector<Fit>& fits, const std::vector<float>& logs,
                                  std::size_t nt, std::size_t nvox) {
  std::vector<double> out(nvox * fits.size(), 0.0);
  for (std::size_t v = 0; v < nvox; ++v)
    for (std::size_t f = 0; f < fits.size(); ++f) {
      double sum = 0.0;
      std::size_t n = 0;
      for (std::size_t r = 0; r < fits[f].volumes.size(); ++r) {
        const Row& a = fits[f].design[r];
        if (a[1] != 0.0 || a[2] != 0.0 || a[3] != 0.0) {
          sum += logs[v * nt + fits[f].volumes[r]];
          ++n;
        }
      }
      const double mean = n > 0 ? sum / static_cast<double>(n) : 0.0;
      out[v * fits.size() + f] = n > 0 ? std::exp(2.0 * std::min(mean, 30.0)) : 0.0;
    }
  return out;
}

Scores evaluate(const std::vector<Fit>& fits, const std::vector<Check>& checks,
                const std::vector<float>& logs, std::size_t nt, std::size_t nvox) {
  const std::vector<double> levels = signal_levels(fits, logs, nt, nvox);
  Scores s;
  s.offset.resize(checks.size() + 1, 0);
  for (std::size_t k = 0; k < checks.size(); ++k)
    s.offset[k + 1] = s.offset[k] + checks[k].hyps.size();
  const std::size_t total = s.offset.back();
  const std::size_t blocks = (nvox + block_voxels - 1) / block_voxels;
  std::vector<double> parts(blocks * 2 * total, 0.0);
  parallel_for(blocks, [&](std::size_t b0, std::size_t b1) {
    std::vector<double> coef(fits.size() * 7);
    std::vector<std::vector<double>> resid(fits.size());
    for (std::size_t blk = b0; blk < b1; ++blk) {
      double* sse = parts.data() + blk * 2 * total;
      double* dist = sse + total;
      for (std::size_t v = blk * block_voxels; v < std::min(nvox, (blk + 1) * block_voxels); ++v) {
        const float* y = logs.data() + v * nt;
        for (std::size_t f = 0; f < fits.size(); ++f)
          solve(fits[f], y, coef.data() + 7 * f, resid[f]);
        const double* level = levels.data() + v * fits.size();
        for (std::size_t k = 0; k < checks.size(); ++k) {
          const Check& ck = checks[k];
          double c[7];
          std::copy_n(coef.data() + 7 * ck.fit, 7, c);
          if (ck.fit_row) {
            const std::size_t r = *ck.fit_row;
            const Fit& f = fits[ck.fit];
            const double e = resid[ck.fit][r] * f.leave[r];
            for (std::size_t j = 0; j < 7; ++j) c[j] -= f.pinv[r][j] * e;
          }
          const double yk = y[ck.volume];
          const double own = dot(ck.hyps[0].row, c);
          const double w = level[ck.fit];
          const std::size_t o = s.offset[k];
          sse[o] += w * (yk - own) * (yk - own);
          for (std::size_t h = 1; h < ck.hyps.size(); ++h) {
            const double p = dot(ck.hyps[h].row, c);
            sse[o + h] += w * (yk - p) * (yk - p);
            dist[o + h] += w * (p - own) * (p - own);
          }
        }
      }
    }
  });
  s.sse.assign(total, 0.0);
  s.dist.assign(total, 0.0);
  for (std::size_t blk = 0; blk < blocks; ++blk)
    for (std::size_t i = 0; i < total; ++i) {
      s.sse[i] += parts[blk * 2 * total + i];
      s.dist[i] += parts[blk * 2 * total + total + i];
    }
  return s;
}

// Whole-table fits: the residual of each fit over its diffusion-weighted rows, every voxel
// weighed by its squared mean signal, the same for every design, so that fits of different
// designs compare on equal terms.
std::vector<double> whole_residuals(const std::vector<Fit>& fits,
                                    const std::vector<std::size_t>& dwis,
                                    const std::vector<float>& logs, std::size_t nt,
                                    std::size_t nvox) {
  const std::size_t blocks = (nvox + block_voxels - 1) / block_voxels;
  const std::size_t width = fits.size();
  std::vector<double> parts(blocks * width, 0.0);
  parallel_for(blocks, [&](std::size_t b0, std::size_t b1) {
    double c[7];
    std::vector<double> resid;
    for (std::size_t blk = b0; blk < b1; ++blk) {
      double* out = parts.data() + blk * width;
      for (std::size_t v = blk * block_voxels; v < std::min(nvox, (blk + 1) * block_voxels); ++v) {
        const float* y = logs.data() + v * nt;
        double mean = 0.0;
        for (std::size_t t : dwis) mean += y[t];
        mean /= static_cast<double>(dwis.size());
        const double level = std::exp(2.0 * std::min(mean, 30.0));
        for (std::size_t f = 0; f < fits.size(); ++f) {
          solve(fits[f], y, c, resid);
          for (std::size_t r = 0; r < resid.size(); ++r) {
            const Row& a = fits[f].design[r];
            if (a[1] == 0.0 && a[2] == 0.0 && a[3] == 0.0) continue;  // b0 rows: the intercept only
            out[f] += level * resid[r] * resid[r];
          }
        }
      }
    }
  });
  std::vector<double> out(width, 0.0);
  for (std::size_t blk = 0; blk < blocks; ++blk)
    for (std::size_t f = 0; f < width; ++f) out[f] += parts[blk * width + f];
  return out;
}

// How much of the direction-dependent signal the table captures, of what the best six terms of
// any table could: in each shell, every voxel's log signals centred over the shell's volumes
// give a weighted covariance C over the volumes; the best six-dimensional fit captures its six
// largest eigenvalues, the table's tensor terms the trace of C projected on their span, and six
// random terms capture 6/(n − 1) of its trace on average. The share is (table − chance) /
// (best − chance): about 1 for the right table at any noise level, about 0 for unrelated
// directions.
struct Capture {
  double share = 1.0;      // (table − chance) / (best − chance)
  double structure = 0.0;  // (best − chance) / chance: how clearly the signal has six terms
  // (best − chance) / (trace − chance): the part of what lies above chance that six terms hold;
  // unlike `structure`, whose ceiling is (n − 1) / 6 − 1 for n directions, 1 for a noiseless
  // tensor signal at any n, and about 0 for noise.
  double signal = 0.0;
  // The most that `signal` would read in noise alone, from this many voxels (by weight) over
  // this many directions, in any shell.
  double noise_signal = 0.0;
};

// `signal` of pure noise: the top share q = 6/p of the p eigenvalues of the covariance of m
// noise samples in p dimensions follows the Marchenko-Pastur law (Marchenko and Pastur 1967,
// Math USSR Sbornik 1:457), whose upper tail holds more than q of the trace when m is not
// large next to p; with fewer samples than dimensions nothing can be told from noise.
double noise_signal(double p, double m) {
  if (!(p > 6.0) || !(m > p)) return 1.0;
  const double g = p / m, lo = (1.0 - std::sqrt(g)) * (1.0 - std::sqrt(g)),
               hi = (1.0 + std::sqrt(g)) * (1.0 + std::sqrt(g));
  const double q = 6.0 / p;
  // Mass and first moment of the density, integrated down from the upper edge until the mass
  // reaches q (midpoints of 4000 steps; the density is 0 at both edges).
  constexpr int steps = 4000;
  const double h = (hi - lo) / steps;
  double mass = 0.0, moment = 0.0;
  for (int k = steps - 1; k >= 0 && mass < q; --k) {
    const double x = lo + (k + 0.5) * h;
    const double f =
        std::sqrt(std::max(0.0, (hi - x) * (x - lo))) / (2.0 * std::numbers::pi * g * x);
    const double take = std::min(f * h, q - mass);
    mass += take;
    moment += take * x;
  }
  return std::max(0.0, (moment - q) / (1.0 - q));
}

Capture captured_share(const std::vector<const Shell*>& groups, const std::vector<Vec3>& bvecs,
                       const std::vector<double>& bvals, std::size_t nt,
                       const std::vector<float>& logs, std::size_t stride, std::size_t nvox) {
  double given = 0.0, best = 0.0, chance = 0.0, total = 0.0;
  double noise = 0.0;
  for (const Shell* g : groups) {
    std::vector<std::size_t> rows;
    for (std::size_t t : g->indices)
      if (t < nt && norm(bvecs[t]) > min_gradient_norm) rows.push_back(t);
    const std::size_t n = rows.size();
    const std::size_t blocks = (nvox + block_voxels - 1) / block_voxels;
    // Per block: the n × n sums, then Σw and Σw².
    const std::size_t width = n * n + 2;
    std::vector<double> parts(blocks * width, 0.0);
    parallel_for(blocks, [&](std::size_t b0, std::size_t b1) {
      std::vector<double> y(n);
      for (std::size_t blk = b0; blk < b1; ++blk) {
        double* c = parts.data() + blk * width;
        const std::size_t last = std::min(nvox, (blk + 1) * block_voxels);
        for (std::size_t v = blk * block_voxels; v < last; ++v) {
          double mean = 0.0;
          for (std::size_t r = 0; r < n; ++r) mean += (y[r] = logs[v * stride + rows[r]]);
          mean /= static_cast<double>(n);
          const double w = std::exp(2.0 * std::min(mean, 30.0));
          c[n * n] += w;
          c[n * n + 1] += w * w;
          for (double& x : y) x -= mean;
          for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) c[i * n + j] += w * y[i] * y[j];
        }
      }
    });
    const auto en = static_cast<Eigen::Index>(n);
    Eigen::MatrixXd c = Eigen::MatrixXd::Zero(en, en);
    double sum_w = 0.0, sum_w2 = 0.0;
    for (std::size_t blk = 0; blk < blocks; ++blk) {
      for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
          c(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) +=
              parts[blk * width + i * n + j];
      sum_w += parts[blk * width + n * n];
      sum_w2 += parts[blk * width + n * n + 1];
    }
    if (n > 1)
      noise = std::max(noise, noise_signal(static_cast<double>(n - 1),
                                           sum_w2 > 0.0 ? sum_w * sum_w / sum_w2 : 0.0));
    // The tensor terms of the rows, centred over them, and the projection on their span.
    Eigen::MatrixXd b(en, 6);
    for (std::size_t r = 0; r < n; ++r) {
      const Row a = design_row(bvecs[rows[r]], bvals[rows[r]]);
      for (std::size_t j = 0; j < 6; ++j)
        b(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(j)) = a[j + 1];
    }
    b.rowwise() -= b.colwise().mean();
    const Eigen::MatrixXd projection = b * b.completeOrthogonalDecomposition().pseudoInverse();
    const Eigen::VectorXd eig =
        Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd>(c, Eigen::EigenvaluesOnly).eigenvalues();
    const double trace = c.trace();
    given += (projection * c).trace();
    total += trace;
    for (Eigen::Index k = 0; k < std::min<Eigen::Index>(6, eig.size()); ++k)
      best += eig(eig.size() - 1 - k);
    chance += n > 7 ? 6.0 / static_cast<double>(n - 1) * trace : trace;
  }
  Capture out;
  if (best > chance) out.share = (given - chance) / (best - chance);
  if (chance > 0.0) out.structure = (best - chance) / chance;
  if (total > chance) out.signal = std::max(0.0, best - chance) / (total - chance);
  out.noise_signal = noise;
  return out;
}

Mat3 rotation(Vec3 axis, double degrees) {
  const double n = norm(axis);
  for (double& c : axis) c /= n;
  const double a = degrees * std::numbers::pi / 180.0;
  const double c = std::cos(a), s = std::sin(a), t = 1.0 - c;
  const double x = axis[0], y = axis[1], z = axis[2];
  return Mat3{{{t * x * x + c, t * x * y - s * z, t * x * z + s * y},
               {t * x * y + s * z, t * y * y + c, t * y * z - s * x},
               {t * x * z - s * y, t * y * z + s * x, t * z * z + c}}};
}

constexpr Vec3 rotation_axes[] = {{1, 0, 0},  {0, 1, 0},  {0, 0, 1},  {1, 1, 0},  {1, -1, 0},
                                  {1, 0, 1},  {1, 0, -1}, {0, 1, 1},  {0, 1, -1}, {1, 1, 1},
                                  {1, 1, -1}, {1, -1, 1}, {-1, 1, 1}};

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  const std::size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

std::string volume_list(const std::vector<std::size_t>& v) {
  std::string out = v.size() == 1 ? "volume " : "volumes ";
  const std::size_t shown = v.size() > 12 ? 10 : v.size();
  for (std::size_t i = 0; i < shown; ++i) {
    if (i > 0) out += (i + 1 == v.size()) ? " and " : ", ";
    out += std::to_string(v[i]);
  }
  if (shown < v.size()) out += " and " + std::to_string(v.size() - shown) + " more";
  return out;
}

std::string rest_clause(std::size_t suspects, std::size_t checked) {
  return suspects < checked ? "; the rest fit as given" : "";
}

// The log signals of the sampled voxels, volume fastest: the one place the analysis reads
// the series.
std::vector<float> read_logs(const FloatArray& dwi, const std::vector<std::size_t>& voxels) {
  const std::size_t nt = dwi.extent(3);
  std::vector<float> logs(voxels.size() * nt);
  for (std::size_t k = 0; k < voxels.size(); ++k)
    for (std::size_t t = 0; t < nt; ++t) {
      const double s = static_cast<double>(dwi.at(voxels[k], t));
      const double kept = std::isfinite(s) && s > log_floor ? s : log_floor;
      logs[k * nt + t] = static_cast<float>(std::log(kept));
    }
  return logs;
}

}  // namespace

RotationEvidence rotation_evidence(const TensorField& field, const Mask& region,
                                   const std::vector<Seed>& seeds, const Mat3& frame_map,
                                   const Mat3& best_axes, const TrackingGeometry& geometry,
                                   const TrackingParams& params, bool turn_given) {
  const auto n = static_cast<std::ptrdiff_t>(std::min(seeds.size(), rotation_seeds));
  const std::vector<Seed> some(seeds.begin(), seeds.begin() + n);
  // Where a turned table leaves no candidate clearly ahead, the best axes may sit a quarter turn
  // away from it, where no small turn finds the image: then the table as given is turned too.
  std::vector<Mat3> bases{best_axes};
  if (turn_given && best_axes != identity3) bases.push_back(identity3);
  std::vector<Mat3> maps{multiply(frame_map, best_axes)};
  for (const Mat3& axes : bases) {
    const Mat3 base = multiply(frame_map, axes);
    for (const Vec3& a : rotation_axes)
      for (double sign : {1.0, -1.0})
        maps.push_back(multiply(base, rotation(a, sign * rotation_deg)));
  }
  const std::vector<double> len = mean_track_lengths(field, region, some, maps, geometry, params);
  RotationEvidence r;
  std::size_t best = 1;
  for (std::size_t m = 2; m < maps.size(); ++m)
    if (len[m] > len[best]) best = m;
  const std::size_t turn = (best - 1) % (2 * std::size(rotation_axes));
  r.axis = rotation_axes[turn / 2];
  r.degrees = turn % 2 == 0 ? rotation_deg : -rotation_deg;
  r.ratio = len[0] > 0.0 ? len[best] / len[0] : 0.0;
  return r;
}

const char* pattern_name(VolumePattern p) {
  switch (p) {
    case VolumePattern::None: return "none";
    case VolumePattern::PartialFlip: return "partial_flip";
    case VolumePattern::SwappedRows: return "swapped_rows";
    case VolumePattern::ShiftedRows: return "shifted_rows";
    case VolumePattern::BValue: return "b_value";
    case VolumePattern::ForeignTable: return "foreign_table";
  }
  return "none";
}

const char* fit_name(VolumeFit f) {
  switch (f) {
    case VolumeFit::Given: return "given";
    case VolumeFit::Axes: return "axes";
    case VolumeFit::Row: return "row";
    case VolumeFit::BScale: return "b_scale";
    case VolumeFit::None: return "none";
  }
  return "none";
}

VolumeCheck check_volumes(const FloatArray& dwi, const GradientTable& table,
                          const TensorField& field, const Mask& mask,
                          const RotationEvidence& rotation, const VolumeCheckParams& params) {
  VolumeCheck out;
  const std::vector<double>& bvals = table.bvals();
  const std::vector<Vec3>& bvecs = table.bvecs();
  const std::size_t nt = std::min(table.size(), dwi.extent(3));
  const std::vector<Shell> shells = detect_shells(bvals, params.b0_threshold, params.tolerance);
  const std::vector<std::size_t> b0 = table.b0_indices(params.b0_threshold);

  // The diffusion-weighted volumes in series order, and the shells big enough to fit.
  std::vector<std::size_t> dwis;
  std::vector<std::size_t> shell_of(table.size(), 0);
  std::vector<const Shell*> groups;
  std::size_t largest = 0;
  for (std::size_t s = 0; s < shells.size(); ++s) {
    if (shells[s].is_b0) continue;
    std::size_t directions = 0;
    for (std::size_t t : shells[s].indices)
      if (t < nt && norm(bvecs[t]) > min_gradient_norm) ++directions;
    largest = std::max(largest, directions);
    if (directions >= params.min_directions) groups.push_back(&shells[s]);
    for (std::size_t t : shells[s].indices) shell_of[t] = s;
  }
  for (std::size_t t = 0; t < nt; ++t)
    if (bvals[t] > params.b0_threshold && std::isfinite(bvals[t]) &&
        norm(bvecs[t]) > min_gradient_norm)
      dwis.push_back(t);
  if (groups.empty()) {
    out.reason = "every shell has fewer than " + std::to_string(params.min_directions) +
                 " directions (the largest has " + std::to_string(largest) +
                 "): too few to predict each volume from the others";
    return out;
  }

  std::vector<std::size_t> voxels;
  {
    const std::size_t n = std::min({mask.size(), field.valid.size(), dwi.grid_voxels()});
    std::vector<std::size_t> all;
    for (std::size_t i = 0; i < n; ++i)
      if (mask[i] && field.valid[i]) all.push_back(i);
    const std::size_t keep = std::min(all.size(), params.max_voxels);
    for (std::size_t k = 0; k < keep; ++k)
      voxels.push_back(all[k * all.size() / std::max<std::size_t>(keep, 1)]);
  }
  if (voxels.size() < min_voxels) {
    out.reason = "only " + std::to_string(voxels.size()) +
                 " fitted voxels in the mask: too few to compare the volumes in";
    return out;
  }
  out.checked = true;
  out.voxels = voxels.size();
  const std::size_t stride = dwi.extent(3);
  const std::vector<float> logs = read_logs(dwi, voxels);
  const std::size_t nvox = voxels.size();

  // --- Whole-table tests: the rows shifted along the series, and how much the table explains.
  // A fit of the diffusion-weighted volumes with the rows `shift` further along the series
  // (rows `g`, `b`), over the volumes that a shift of `span` leaves a row to.
  auto whole_fit = [&](const std::vector<Vec3>& g, const std::vector<double>& b, long long shift,
                       long long span) {
    std::vector<std::size_t> vols = b0;
    std::vector<Row> design(b0.size(), Row{1.0, 0, 0, 0, 0, 0, 0});
    const std::size_t front = span < 0 ? 1 : 0, back = span > 0 ? 1 : 0;
    for (std::size_t n = front; n + back < dwis.size(); ++n) {
      const std::size_t from = dwis[static_cast<std::size_t>(static_cast<long long>(n) + shift)];
      vols.push_back(dwis[n]);
      design.push_back(design_row(g[from], b[from]));
    }
    return make_fit(std::move(vols), std::move(design));
  };
  const long long shifts[] = {1, -1};
  std::vector<double> shift_residual(2);
  {
    std::vector<Fit> whole;
    for (long long k : shifts) {
      whole.push_back(whole_fit(bvecs, bvals, 0, k));
      whole.push_back(whole_fit(bvecs, bvals, k, k));
    }
    const std::vector<double> sse = whole_residuals(whole, dwis, logs, stride, nvox);
    const Capture capture = captured_share(groups, bvecs, bvals, nt, logs, stride, nvox);
    out.explained = capture.share;
    out.structure = capture.structure;
    out.signal = capture.signal;
    out.noise_signal = capture.noise_signal;
    for (std::size_t i = 0; i < 2; ++i) {
      const double given = sse[2 * i], shifted = sse[2 * i + 1];
      shift_residual[i] = shifted;
      const double ratio = given > 0.0 ? shifted / given : 1.0;
      if (i == 0 || ratio < out.shift_ratio) {
        out.shift_ratio = ratio;
        out.best_shift = shifts[i];
      }
    }
  }

  // Few voxels (by weight) over many directions let the best six terms fit the noise itself:
  // where noise alone would read half the signal needed, the reading says nothing.
  if (out.noise_signal >= 0.5 * min_signal_share) {
    out.checked = false;
    out.reason = "too few voxels for the directions: noise alone would put " +
                 numfmt::fixed(100.0 * out.noise_signal, 0) +
                 "% of the direction-dependent signal in six terms, so single volumes cannot "
                 "be judged";
    return out;
  }

  // Every test below weighs a volume's misfit against what its row predicts. Where six terms
  // hold little of the direction-dependent signal, noise decides the misfits: on noisy
  // twelve-direction copies of real scans and phantoms (signal 0.10 to 0.24,
  // bench/degraded_sweep.py) some hypothesis always found something, and called a right table
  // foreign; every planted error the volume sweep finds sits at 0.8 or more.
  if (out.signal < min_signal_share) {
    out.checked = false;
    out.reason = "the direction-dependent signal barely stands above the noise (six terms hold " +
                 numfmt::fixed(100.0 * out.signal, 0) + "% of it above chance, " +
                 numfmt::fixed(100.0 * min_signal_share, 0) +
                 "% needed): single volumes cannot be judged";
    return out;
  }

  // --- Per-volume tests.
  const std::vector<Candidate> axes = distinct_candidates();
  auto nearest_group = [&](double b) {
    std::size_t best = 0;
    double dist = INFINITY;
    for (std::size_t g = 0; g < groups.size(); ++g) {
      const double d = std::fabs(std::log(b / groups[g]->nominal_b));
      if (d < dist) {
        dist = d;
        best = g;
      }
    }
    return best;
  };
  std::vector<std::size_t> group_of(table.size(), 0);
  for (std::size_t t : dwis) {
    const Shell& own = shells[shell_of[t]];
    auto it = std::find(groups.begin(), groups.end(), &own);
    group_of[t] = it != groups.end() ? static_cast<std::size_t>(it - groups.begin())
                                     : nearest_group(bvals[t]);
  }

  // The checks and fits of one pass: each group fits its b0 and shell rows except `excluded`;
  // volumes in `with_rows` are also tried against every other row.
  auto build = [&](const std::vector<std::uint8_t>& excluded,
                   const std::vector<std::uint8_t>& with_rows,
                   std::vector<Fit>& fits, std::vector<Check>& checks) {
    fits.clear();
    checks.clear();
    for (const Shell* g : groups) {
      std::vector<std::size_t> vols = b0;
      std::vector<Row> design(b0.size(), Row{1.0, 0, 0, 0, 0, 0, 0});
      for (std::size_t t : g->indices)
        if (t < nt && norm(bvecs[t]) > min_gradient_norm && !excluded[t]) {
          vols.push_back(t);
          design.push_back(design_row(bvecs[t], bvals[t]));
        }
      fits.push_back(make_fit(std::move(vols), std::move(design)));
    }
    for (std::size_t t : dwis) {
      Check ck;
      ck.volume = t;
      ck.fit = group_of[t];
      const Fit& f = fits[ck.fit];
      for (std::size_t r = 0; r < f.volumes.size(); ++r)
        if (f.volumes[r] == t && f.leave[r] > 0.0) ck.fit_row = r;
      ck.hyps.push_back({Kind::Own, design_row(bvecs[t], bvals[t]), t});
      for (std::size_t a = 1; a < axes.size(); ++a)
        ck.hyps.push_back(
            {Kind::Axes, design_row(multiply(axes[a].matrix, bvecs[t]), bvals[t]), a});
      // Other b-values: those of the other shells, and half and double.
      std::vector<double> scales{0.5, 2.0};
      for (const Shell& s : shells)
        if (!s.is_b0 && &s != &shells[shell_of[t]]) scales.push_back(s.nominal_b / bvals[t]);
      for (double s : scales) {
        if (std::fabs(s - 1.0) <= 2.0 * params.tolerance) continue;
        const bool seen = std::any_of(ck.scales.begin(), ck.scales.end(), [&](double q) {
          return std::fabs(q - s) <= params.tolerance * q;
        });
        if (seen) continue;
        ck.hyps.push_back({Kind::Scale, design_row(bvecs[t], s * bvals[t]), ck.scales.size()});
        ck.scales.push_back(s);
      }
      if (with_rows[t])
        for (std::size_t j : dwis)
          if (j != t) ck.hyps.push_back({Kind::Row, design_row(bvecs[j], bvals[j]), j});
      checks.push_back(std::move(ck));
    }
  };

  // The typical residual of each group: the median over the volumes its fit holds.
  auto typical = [&](const std::vector<Check>& checks, const Scores& s) {
    std::vector<std::vector<double>> own(groups.size());
    for (std::size_t k = 0; k < checks.size(); ++k)
      if (checks[k].fit_row) own[checks[k].fit].push_back(s.sse[s.offset[k]]);
    std::vector<double> m(groups.size());
    for (std::size_t g = 0; g < groups.size(); ++g) m[g] = median(own[g]);
    return m;
  };

  struct Evidence {
    double z = 0.0, gain = 0.0, residual = 0.0, d = 0.0, var = 0.0;
  };
  auto evidence = [&](const Scores& s, std::size_t k, std::size_t h, double m) {
    Evidence e;
    const double own = s.sse[s.offset[k]];
    const double sse = s.sse[s.offset[k] + h];
    const double q = s.dist[s.offset[k] + h];
    const double sigma2 = m / static_cast<double>(nvox);
    e.d = own - sse;
    e.var = 4.0 * sigma2 * q;
    e.z = e.var > 0.0 ? e.d / std::sqrt(e.var) : 0.0;
    e.gain = own > 0.0 ? e.d / own : 0.0;
    e.residual = m > 0.0 ? sse / m : 0.0;
    return e;
  };
  auto member = [](const Evidence& e) {
    return e.z >= member_z && e.gain >= member_gain && e.residual <= explained_residual;
  };
  auto finding = [&](const Evidence& e) {
    return member(e) && e.z >= finding_z && e.gain >= finding_gain;
  };

  std::vector<Fit> fits;
  std::vector<Check> checks;
  std::vector<std::uint8_t> excluded(table.size(), 0), with_rows(table.size(), 0);
  build(excluded, with_rows, fits, checks);
  Scores scores = evaluate(fits, checks, logs, stride, nvox);
  std::vector<double> m = typical(checks, scores);
  // The refit leaves out the volumes that misfit or that some hypothesis already explains, at
  // most a third of each group, worst first.
  {
    std::vector<std::vector<std::pair<double, std::size_t>>> bad(groups.size());
    for (std::size_t k = 0; k < checks.size(); ++k) {
      const Check& ck = checks[k];
      const double misfit = m[ck.fit] > 0.0 ? scores.sse[scores.offset[k]] / m[ck.fit] : 0.0;
      bool explained = false;
      for (std::size_t h = 1; h < ck.hyps.size(); ++h)
        explained = explained || finding(evidence(scores, k, h, m[ck.fit]));
      if (misfit > refit_misfit || explained) {
        with_rows[ck.volume] = 1;
        if (ck.fit_row) bad[ck.fit].push_back({misfit, ck.volume});
      }
    }
    for (std::size_t g = 0; g < groups.size(); ++g) {
      std::sort(bad[g].rbegin(), bad[g].rend());
      const std::size_t rows = fits[g].volumes.size() - b0.size();
      const std::size_t spare =
          rows > params.min_directions ? rows - params.min_directions + 1 : 0;
      const std::size_t cap = std::min(rows / 3, spare);
      for (std::size_t i = 0; i < std::min(cap, bad[g].size()); ++i) excluded[bad[g][i].second] = 1;
    }
  }
  // A volume that fits another row points at that row's volume, which is tried against the
  // rows in turn (the other half of a swap may fit well enough to pass unnoticed on its own).
  for (int pass = 0; pass < 3; ++pass) {
    build(excluded, with_rows, fits, checks);
    scores = evaluate(fits, checks, logs, stride, nvox);
    // The typical residual stays that of the volumes the refit holds; a volume left out is
    // judged against it like the rest.
    m = typical(checks, scores);
    bool grew = false;
    for (std::size_t k = 0; k < checks.size(); ++k)
      for (std::size_t h = 1; h < checks[k].hyps.size(); ++h) {
        const Hypothesis& hy = checks[k].hyps[h];
        if (hy.kind == Kind::Row && !with_rows[hy.index] &&
            member(evidence(scores, k, h, m[checks[k].fit]))) {
          with_rows[hy.index] = 1;
          grew = true;
        }
      }
    if (!grew) break;
  }

  // Per-volume entries and the pooled axis test.
  const std::size_t n_axes = axes.size();
  std::vector<double> pooled_d(n_axes, 0.0), pooled_var(n_axes, 0.0), pooled_own(n_axes, 0.0);
  std::vector<std::vector<std::size_t>> members(n_axes);
  std::vector<std::uint8_t> row_found(checks.size(), 0), scale_found(checks.size(), 0);
  std::vector<std::size_t> best_row(checks.size(), 0);
  std::vector<double> best_scale(checks.size(), 1.0);
  for (std::size_t k = 0; k < checks.size(); ++k) {
    const Check& ck = checks[k];
    const double mk = m[ck.fit];
    VolumeEntry e;
    e.volume = ck.volume;
    e.b = bvals[ck.volume];
    e.misfit = mk > 0.0 ? scores.sse[scores.offset[k]] / mk : 0.0;
    Evidence best_axes_ev, best_row_ev, best_scale_ev;
    bool has_row = false, has_scale = false, has_axes = false;
    for (std::size_t h = 1; h < ck.hyps.size(); ++h) {
      const Evidence ev = evidence(scores, k, h, mk);
      const Hypothesis& hy = ck.hyps[h];
      if (hy.kind == Kind::Axes) {
        if (member(ev)) {
          pooled_d[hy.index] += ev.d;
          pooled_var[hy.index] += ev.var;
          pooled_own[hy.index] += scores.sse[scores.offset[k]];
          members[hy.index].push_back(k);
        }
        if (!has_axes || ev.residual < best_axes_ev.residual) {
          has_axes = true;
          best_axes_ev = ev;
          e.axes_label = axes[hy.index].label;
        }
      } else if (hy.kind == Kind::Scale) {
        if (!has_scale || ev.residual < best_scale_ev.residual) {
          has_scale = true;
          best_scale_ev = ev;
          e.b_scale = ck.scales[hy.index];
        }
      } else if (hy.kind == Kind::Row) {
        if (!has_row || ev.residual < best_row_ev.residual) {
          has_row = true;
          best_row_ev = ev;
          e.row = hy.index;
        }
      }
    }
    e.axes_z = best_axes_ev.z;
    e.axes_residual = best_axes_ev.residual;
    e.b_scale_z = best_scale_ev.z;
    e.b_scale_residual = best_scale_ev.residual;
    e.row_z = best_row_ev.z;
    e.row_residual = best_row_ev.residual;
    if (has_row && finding(best_row_ev)) {
      row_found[k] = 1;
      best_row[k] = *e.row;
    }
    if (has_scale && finding(best_scale_ev)) {
      scale_found[k] = 1;
      best_scale[k] = e.b_scale;
    }
    e.fits = e.misfit > explained_residual ? VolumeFit::None : VolumeFit::Given;
    out.entries.push_back(std::move(e));
  }
  // The axes whose members, pooled, give the most evidence.
  std::optional<std::size_t> flip_axes;
  for (std::size_t a = 1; a < n_axes; ++a) {
    if (members[a].empty() || !(pooled_var[a] > 0.0)) continue;
    // The subset as a whole must carry a finding's evidence: strong members carry weak ones.
    const double z = pooled_d[a] / std::sqrt(pooled_var[a]);
    if (z < finding_z || pooled_d[a] < finding_gain * pooled_own[a]) continue;
    if (!flip_axes || pooled_d[a] > pooled_d[*flip_axes]) flip_axes = a;
  }
  std::vector<std::uint8_t> in_flip(checks.size(), 0);
  if (flip_axes)
    for (std::size_t k : members[*flip_axes]) in_flip[k] = 1;

  // Which volumes some hypothesis explains, and by what.
  std::vector<std::size_t> suspects;
  for (std::size_t k = 0; k < checks.size(); ++k) {
    VolumeEntry& e = out.entries[k];
    if (in_flip[k]) e.fits = VolumeFit::Axes;
    else if (row_found[k]) e.fits = VolumeFit::Row;
    else if (scale_found[k]) e.fits = VolumeFit::BScale;
    if (in_flip[k] || row_found[k] || scale_found[k]) suspects.push_back(k);
  }
  auto volumes_of = [&](const std::vector<std::size_t>& ks) {
    std::vector<std::size_t> v;
    for (std::size_t k : ks) v.push_back(checks[k].volume);
    return v;
  };
  const std::size_t n_checked = checks.size();

  const auto all_in = [&](const std::vector<std::uint8_t>& found) {
    return std::all_of(suspects.begin(), suspects.end(),
                       [&](std::size_t k) { return found[k] != 0; });
  };
  const bool all_flip = all_in(in_flip);
  const bool all_scale = all_in(scale_found);
  bool all_rows = all_in(row_found);
  if (all_rows) {
    // Swapped rows trade places: the rows the suspects fit are the suspects' own rows.
    std::vector<std::size_t> own = volumes_of(suspects), fitted;
    for (std::size_t k : suspects) fitted.push_back(best_row[k]);
    std::sort(fitted.begin(), fitted.end());
    all_rows = std::adjacent_find(fitted.begin(), fitted.end()) == fitted.end() && fitted == own;
  }
  // A few volumes that one pattern explains every one of: a local error, unless the shifted
  // table fits the series better than the table with that error mended (two swapped rows can
  // make a shifted table fit better than the table as given).
  bool local = !suspects.empty() && 2 * suspects.size() < dwis.size() &&
               (all_flip || all_rows || all_scale);
  if (local && out.shift_ratio <= shift_ratio_limit) {
    std::vector<Vec3> g = bvecs;
    std::vector<double> b = bvals;
    for (std::size_t k : suspects) {
      const std::size_t t = checks[k].volume;
      if (all_flip) g[t] = multiply(axes[*flip_axes].matrix, bvecs[t]);
      else if (all_rows) g[t] = bvecs[best_row[k]], b[t] = bvals[best_row[k]];
      else b[t] = best_scale[k] * bvals[t];
    }
    const std::size_t i = out.best_shift == shifts[0] ? 0 : 1;
    const double mended =
        whole_residuals({whole_fit(g, b, 0, out.best_shift)}, dwis, logs, stride, nvox)[0];
    local = mended < shift_residual[i];
  }

  // Whole-table findings first: they make the per-volume evidence meaningless.
  const Vec3& rot_axis = rotation.axis;
  const double rot_deg = rotation.degrees;
  out.rotation_ratio = rotation.ratio;
  if (out.shift_ratio <= shift_ratio_limit && !local) {
    out.pattern = VolumePattern::ShiftedRows;
    out.shift = out.best_shift;
    out.suspect = dwis;
    const std::string sign = out.best_shift > 0 ? "+" : "";
    out.summary = "every diffusion-weighted volume fits the row of the " +
                  std::string(out.best_shift > 0 ? "next" : "previous") +
                  " one (shift " + sign + std::to_string(out.best_shift) +
                  "): the rows are shifted along the series";
    for (VolumeEntry& e : out.entries) e.fits = VolumeFit::Row;
    return out;
  }
  if (out.explained < min_explained && out.structure >= min_structure && !local) {
    out.pattern = VolumePattern::ForeignTable;
    out.suspect = dwis;
    out.summary = "the table captures only " +
                  numfmt::fixed(100.0 * std::max(out.explained, 0.0), 0) +
                  "% of the direction-dependent signal any table could, and no shift mends it: "
                  "the table does not belong to this series";
    for (VolumeEntry& e : out.entries) e.fits = VolumeFit::None;
    return out;
  }
  if (out.rotation_ratio > 1.0 + rotation_margin) {
    out.pattern = VolumePattern::ForeignTable;
    out.suspect = dwis;
    out.summary = "tracks run " + numfmt::fixed(100.0 * (rotation.ratio - 1.0), 0) +
                  "% longer with the table turned by " +
                  numfmt::fixed(std::fabs(rot_deg), 0) + "° about (" +
                  numfmt::fixed(rot_axis[0], 0) + ", " + numfmt::fixed(rot_axis[1], 0) + ", " +
                  numfmt::fixed(rot_axis[2], 0) +
                  "): the table sits rotated off the image, as one from another series would";
    return out;
  }
  if (suspects.empty()) return out;
  // A table that captures less of the signal than random directions would, whose volumes fit
  // other rows or axes here and there: those fits are chance matches of a table that does not
  // describe the series, too noisy to be called foreign on the capture alone.
  if (out.explained < 0.0) {
    out.pattern = VolumePattern::ForeignTable;
    out.suspect = dwis;
    out.summary = "the table captures less of the direction-dependent signal than random "
                  "directions would, and " + volume_list(volumes_of(suspects)) +
                  " fit other rows or axes: the table does not match this series";
    return out;
  }

  out.suspect = volumes_of(suspects);
  const std::string who = volume_list(out.suspect);
  // When both explain every suspect, the one that leaves less residual.
  bool flip_first = all_flip;
  if (all_flip && all_rows) {
    double flip_residual = 0.0, row_residual = 0.0;
    for (std::size_t k : suspects) {
      const Check& ck = checks[k];
      for (std::size_t h = 1; h < ck.hyps.size(); ++h) {
        const Hypothesis& hy = ck.hyps[h];
        const double sse = scores.sse[scores.offset[k] + h];
        if (hy.kind == Kind::Axes && hy.index == *flip_axes) flip_residual += sse;
        if (hy.kind == Kind::Row && hy.index == best_row[k]) row_residual += sse;
      }
    }
    flip_first = flip_residual <= row_residual;
  }
  if (flip_first) {
    out.pattern = VolumePattern::PartialFlip;
    out.label = axes[*flip_axes].label;
    out.summary = who + (suspects.size() == 1 ? " fits its row under " : " fit their rows under ") +
                  *out.label + rest_clause(suspects.size(), n_checked);
  } else if (all_rows) {
    out.pattern = VolumePattern::SwappedRows;
    for (std::size_t k : suspects) out.rows.push_back(best_row[k]);
    out.summary = who + " fit the rows of " + volume_list(out.rows) + ": rows swapped" +
                  rest_clause(suspects.size(), n_checked);
  } else if (all_scale) {
    out.pattern = VolumePattern::BValue;
    for (std::size_t k : suspects) out.b_scales.push_back(best_scale[k]);
    std::string how;
    for (std::size_t i = 0; i < suspects.size(); ++i) {
      const std::size_t t = checks[suspects[i]].volume;
      if (i > 0) how += ", ";
      how += std::to_string(t) + " at b " +
             numfmt::shortest_plain(std::round(best_scale[suspects[i]] * bvals[t])) +
             " rather than " + numfmt::shortest_plain(bvals[t]);
    }
    out.summary = who +
                  (suspects.size() == 1 ? " fits its row at another b-value ("
                                        : " fit their rows at other b-values (") +
                  how + ")" + rest_clause(suspects.size(), n_checked);
  } else {
    // No one pattern explains every suspect: the one that explains most stands, the others'
    // evidence stays in the entries.
    const auto count = [&](const std::vector<std::uint8_t>& found) {
      return static_cast<std::size_t>(std::count_if(suspects.begin(), suspects.end(),
                                                    [&](std::size_t k) { return found[k] != 0; }));
    };
    const std::size_t nf = count(in_flip), nr = count(row_found), ns = count(scale_found);
    const std::vector<std::uint8_t>& kept =
        nf >= nr && nf >= ns ? in_flip : nr >= ns ? row_found : scale_found;
    std::vector<std::size_t> keep;
    for (std::size_t k : suspects)
      if (kept[k]) keep.push_back(k);
    suspects = keep;
    out.suspect = volumes_of(suspects);
    const std::string some = volume_list(out.suspect);
    if (&kept == &in_flip) {
      out.pattern = VolumePattern::PartialFlip;
      out.label = axes[*flip_axes].label;
      out.summary = some +
                    (suspects.size() == 1 ? " fits its row under " : " fit their rows under ") +
                    *out.label + "; other volumes misfit in other ways";
    } else if (&kept == &row_found) {
      out.pattern = VolumePattern::SwappedRows;
      for (std::size_t k : suspects) out.rows.push_back(best_row[k]);
      out.summary = some + " fit the rows of " + volume_list(out.rows) +
                    "; other volumes misfit in other ways";
    } else {
      out.pattern = VolumePattern::BValue;
      for (std::size_t k : suspects) out.b_scales.push_back(best_scale[k]);
      out.summary = some +
                    (suspects.size() == 1 ? " fits its row at another b-value"
                                          : " fit their rows at other b-values") +
                    "; other volumes misfit in other ways";
    }
  }
  return out;
}

}  // namespace orivex
