// Tracking evidence: deterministic tensor tracking on the fitted field, one score (the mean track
// length) for each of the 24 distinct candidate corrections.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "orivex/analysis/candidate.hpp"
#include "orivex/io/gradient.hpp"
#include "orivex/analysis/tensor.hpp"
#include "orivex/io/volume.hpp"

namespace orivex {

// A generator whose sequence we define (SplitMix64), so seeds and jitter are the same with every
// compiler and standard library.
class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t state) : state_(state) {}
  std::uint64_t next();
  // Uniform in [0, n) without modulo bias; n > 0.
  std::uint64_t below(std::uint64_t n);
  // Uniform in [0, 1), 53 random bits.
  double unit();

 private:
  std::uint64_t state_;
};

struct TrackingParams {
  std::size_t seeds = 2000;
  std::uint64_t rng_seed = 0x6f726976657831ULL;
  double seed_fa = 0.3;            // seed voxels have at least this FA
  double stop_fa = 0.2;            // a track ends on entering a voxel below this FA
  double max_turn_deg = 60.0;      // ... or on a sharper turn than this between two steps
  double max_half_length_mm = 200.0;
  double step_fraction = 0.5;      // step length as a fraction of the smallest voxel size
};

// The grid in millimetres: voxel sizes per axis (unusable sizes count as 1 mm) and the step.
struct TrackingGeometry {
  Vec3 voxel_mm{1.0, 1.0, 1.0};
  double step_mm = 0.5;

  static TrackingGeometry from_voxel_sizes(const Vec3& voxel_sizes, double step_fraction);
};

// Where tracks may run: inside the caller's mask or, without one, the Otsu brain mask of the mean
// b0 signal; in both cases only voxels with a valid fit.
Mask tracking_region(const TensorField& field, const Mask* mask);

struct Seed {
  std::size_t voxel = 0;
  Vec3 point{};  // voxel coordinates: the voxel centre plus a jitter of up to half a voxel
};

// Up to `params.seeds` region voxels with FA at or above `params.seed_fa`, drawn without
// replacement (partial Fisher-Yates over the eligible voxels in ascending order), then one
// jitter per axis for each seed in the order drawn. `eligible` receives the number of candidates.
std::vector<Seed> draw_seeds(const TensorField& field, const Mask& region,
                             const TrackingParams& params, std::size_t* eligible = nullptr);

// `more` further seeds, drawn like draw_seeds() from the eligible voxels that `drawn` does not
// hold (a stream of its own, so `drawn` stays exactly as it was): the seeds that extend a
// first pass.
std::vector<Seed> draw_more_seeds(const TensorField& field, const Mask& region,
                                  const TrackingParams& params, const std::vector<Seed>& drawn,
                                  std::size_t more);

// Of the voxels draw_seeds() could seed from, the upper half by FA times the agreement of their
// direction with their neighbours' (the mean |cos| over the 26 around them that have one): the
// seeds of evidence that has to grow. Noise raises every voxel's FA, most where the signal is
// lowest, but it leaves directions unrelated from voxel to voxel, while a fibre keeps them
// alike; and the agreement is the same under every candidate, which turns all directions alike.
Mask upper_seed_region(const TensorField& field, const Mask& region, double seed_fa);

struct TrackingScore {
  Candidate candidate;
  double mean_length_mm = 0.0;
  std::size_t column = 0;  // of this candidate in TrackingResult::seed_steps
};

struct TrackingResult {
  std::vector<TrackingScore> ranking;  // the 24 distinct candidates, longest tracks first
  std::size_t seeds = 0;               // seeds tracked
  std::size_t seed_voxels = 0;         // voxels a seed could have been drawn from
  std::size_t region_voxels = 0;
  bool region_from_mask = false;
  double step_mm = 0.0;
  // Steps taken from each seed (both halves) under each distinct candidate, seed by seed: entry
  // s·24 + column. The spread of the margin is measured from these.
  std::vector<std::uint32_t> seed_steps;
};

// The first of each candidate and its negation, in generation order: 24 matrices.
std::vector<Candidate> distinct_candidates();

// Mean length in mm of the tracks both ways from every seed with each map applied to the
// principal eigenvectors as they are read; on the current call's pool, the same whatever the
// number of workers.
std::vector<double> mean_track_lengths(const TensorField& field, const Mask& region,
                                       const std::vector<Seed>& seeds,
                                       const std::vector<Mat3>& maps,
                                       const TrackingGeometry& geometry,
                                       const TrackingParams& params);

// Tracks both ways from every seed under every distinct candidate (`frame_map`·C applied to each
// principal eigenvector as it is read) and ranks the candidates by mean track length. Runs over
// the seeds on the current call's pool; the lengths are whole step counts, so the result does not
// depend on the number of workers.
TrackingResult score_candidates(const TensorField& field, const Mask& region,
                                const std::vector<Seed>& seeds, const Mat3& frame_map,
                                const TrackingGeometry& geometry, const TrackingParams& params);

// The scores of `into`'s seeds and `more`'s together, as if tracked in one call (the same
// field, region and candidates).
void absorb(TrackingResult& into, const TrackingResult& more);

// One polyline per seed (voxel coordinates, from the end of the backward half through the seed to
// the end of the forward half), for drawing.
std::vector<std::vector<Vec3>> trace_tracks(const TensorField& field, const Mask& region,
                                            const std::vector<Seed>& seeds, const Mat3& transform,
                                            const TrackingGeometry& geometry,
                                            const TrackingParams& params);

}  // namespace orivex
