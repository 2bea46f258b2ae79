// Every diffusion-weighted volume against its own row of the table. Each volume is predicted from
// a tensor fit it took no part in (exact leave-one-out of the log-linear fit, then a refit
// without the volumes that misfit), and the hypotheses that may explain a misfit are scored
// against that prediction: its row under another signed axis permutation, another row of the
// table, another b-value scale. Whole-table errors are tested as one pattern each: every row
// shifted along the series, a table whose directions do not explain the signal at all, and a
// table rotated off the image axes (by tracking the field under small rotations: a rotated table
// is consistent with the signal, only the anatomy shows it).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "orivex/analysis/tensor.hpp"
#include "orivex/analysis/tracking.hpp"
#include "orivex/io/gradient.hpp"
#include "orivex/io/volume.hpp"
#include "orivex/support/defaults.hpp"

namespace orivex {

enum class VolumePattern { None, PartialFlip, SwappedRows, ShiftedRows, BValue, ForeignTable };
const char* pattern_name(VolumePattern p);

// What explains one volume best: its row as given, its row under other axes, another row, its
// row at another b-value, or nothing tested.
enum class VolumeFit { Given, Axes, Row, BScale, None };
const char* fit_name(VolumeFit f);

// Below this many directions in a shell, a direction left out leaves too few to fit the six
// tensor terms with any redundancy: the shell is not checked. (With 10, one direction's
// prediction from the other nine already swings enough at low SNR to fit a permuted row.)
inline constexpr std::size_t default_min_volume_directions = 12;

struct VolumeCheckParams {
  double b0_threshold = default_b0_threshold;
  double tolerance = default_tolerance;
  double min_signal = default_min_signal;
  std::size_t min_directions = default_min_volume_directions;
  std::size_t max_voxels = 2000;  // voxels of the mask the volumes are compared in
};

// Seeds of the rotation test: the first of the tracking stage's.
inline constexpr std::size_t rotation_seeds = 400;

struct RotationEvidence {
  // The longest mean track of the field turned by a fixed angle about any of 13 axes (either
  // way), from the best axes (or from the table as given, when asked), over the mean track of
  // the field as the best axes leave it; 0 without tracks.
  double ratio = 0.0;
  Vec3 axis{};
  double degrees = 0.0;
};

// Tracks from up to rotation_seeds of `seeds` under the best axes and under each turn of them,
// and with `turn_given` under each turn of the table as given.
RotationEvidence rotation_evidence(const TensorField& field, const Mask& region,
                                   const std::vector<Seed>& seeds, const Mat3& frame_map,
                                   const Mat3& best_axes, const TrackingGeometry& geometry,
                                   const TrackingParams& params, bool turn_given);

struct VolumeEntry {
  std::size_t volume = 0;  // index in the series
  double b = 0.0;          // as the table gives it
  // Residual of the prediction from its row over the typical residual of its shell (1: typical).
  double misfit = 0.0;
  VolumeFit fits = VolumeFit::Given;
  // The best other axes, row and b-value scale, each with its evidence against the row as given
  // (z: how many standard errors closer the volume lies to it than to its own row; residual:
  // as `misfit`, under that hypothesis).
  std::string axes_label;
  double axes_z = 0.0;
  double axes_residual = 0.0;
  std::optional<std::size_t> row;  // tried only for volumes that misfit
  double row_z = 0.0;
  double row_residual = 0.0;
  double b_scale = 1.0;
  double b_scale_z = 0.0;
  double b_scale_residual = 0.0;
};

struct VolumeCheck {
  bool checked = false;
  std::string reason;  // why not checked
  VolumePattern pattern = VolumePattern::None;
  std::vector<std::size_t> suspect;  // volume indices, ascending
  // What explains the suspects: the axes they fit under, the row each fits (parallel to
  // `suspect`), the shift of every row along the series, the b-value scale of each suspect.
  std::optional<std::string> label;
  std::vector<std::size_t> rows;
  std::optional<long long> shift;
  std::vector<double> b_scales;
  std::size_t voxels = 0;
  // Of the direction-dependent signal that the best six tensor terms of any table could capture
  // above chance, the share the table as given captures (about 1 right, about 0 unrelated).
  double explained = 0.0;
  // How clearly the signal has six direction terms at all, whatever the table: what the best
  // six capture beyond six random ones, over what six random ones capture.
  double structure = 0.0;
  // The part of the direction-dependent signal above chance that six terms hold: 1 noiseless,
  // about 0 for noise, at any number of directions.
  double signal = 0.0;
  // What `signal` would read in noise alone from as many voxels (by weight) over as many
  // directions, at most over the shells; from half the signal share needed no volume is judged.
  double noise_signal = 0.0;
  // Residual of the whole fit with every row shifted by the best shift, over that of the table
  // as given (below 1: the shift fits better).
  double shift_ratio = 0.0;
  long long best_shift = 0;
  // RotationEvidence::ratio (above 1: the table sits rotated off the image).
  double rotation_ratio = 0.0;
  std::vector<VolumeEntry> entries;
  // A plain-words account of a finding ("" for none).
  std::string summary;
};

// Compares every diffusion-weighted volume of `dwi` with its row, in up to `max_voxels` voxels
// of `voxels` with a valid fit in `field` (the flip stage's field and coherence mask), and
// decides with the rotation evidence.
VolumeCheck check_volumes(const FloatArray& dwi, const GradientTable& table,
                          const TensorField& field, const Mask& voxels,
                          const RotationEvidence& rotation, const VolumeCheckParams& params);

}  // namespace orivex
