// The analysis defaults every module function shares, defined once: the parameter blocks, the
// binding's signatures and docstrings read them from here (the command line is tested against
// those signatures).
#pragma once

namespace orivex {

// b-values at or below this are b0 volumes (s/mm²).
inline constexpr double default_b0_threshold = 50.0;
// Relative tolerance of shell grouping: a volume joins a shell while b ≤ (1 + tolerance)·b_ref.
inline constexpr double default_tolerance = 0.05;
// Relative tolerance of a unit direction length in the norm statistics.
inline constexpr double default_norm_tolerance = 0.05;
// Relative coherence margin the best correction must win by to be recommended (FLAG).
inline constexpr double default_margin_threshold = 0.02;
// Relative margin by which the verdict's longest tracks must win. Clear real scans win by 13% to
// 50%; at 2000 seeds, seed sampling moves the margin by a point or two.
inline constexpr double default_verdict_margin = 0.05;
// Angle under which two directions of a shell count as near-duplicate axes.
inline constexpr double default_duplicate_angle_deg = 5.0;
// Minimum mean b0 signal of a voxel worth a tensor fit.
inline constexpr double default_min_signal = 1.0;
// FA at or above which a fitted voxel may join the white-matter mask.
inline constexpr double default_fa_threshold = 0.2;

}  // namespace orivex
