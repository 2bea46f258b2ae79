// The verdict: the flip stage that gathers both kinds of evidence, the decision rule, and the
// report sections that show them.
#include "orivex/audit/verdict.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <utility>

#include "orivex/analysis/angular.hpp"
#include "orivex/support/json_writer.hpp"
#include "orivex/support/numfmt.hpp"

namespace orivex {

namespace {

using Clock = std::chrono::steady_clock;
using numfmt::fixed;

std::string percent(double fraction) { return fixed(100.0 * fraction, 1) + "%"; }
std::string mm(double v) { return fixed(v, 1) + " mm"; }

// What the stage hands back besides the report's flip section.
struct StageData {
  TrackingResult tracking;
  std::vector<EvidencePass> passes;
  std::size_t deciding = 0;  // the pass `tracking` holds
  // Set when the smoothed field confirmed the structure the fitted field's short tracks left
  // in doubt: the winner's mean track length there.
  std::optional<double> smoothed_length_mm;
  // Set when escalated evidence cleared the noise with tracks that noise shortened below the
  // minimum but not below noise_length_fraction of it.
  bool noise_shortened = false;
  EvidenceLimits limits;
  Verdict verdict;
  VerdictTimings timings;
  std::optional<QcData> qc;
  VolumeCheck volumes;
};

// Coherence in the caller's mask counts only the voxels that carry a fibre direction: a
// whole-brain mask otherwise averages grey matter and CSF into the score.
void restrict_to_fibres(FittedMask& fm, double fa_threshold) {
  const TensorField& f = fm.field;
  const std::size_t n = std::min({fm.wm_mask.size(), f.valid.size(), f.fa.size()});
  fm.wm_mask.resize(n);
  std::size_t count = 0;
  double fa_sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const bool keep = fm.wm_mask[i] && f.valid[i] && f.fa[i] >= fa_threshold;
    fm.wm_mask[i] = keep ? 1 : 0;
    if (keep) {
      ++count;
      fa_sum += f.fa[i];
    }
  }
  fm.n_wm_voxels = count;
  fm.mask_mean_fa = count > 0 ? fa_sum / static_cast<double>(count) : 0.0;
}

QcData qc_data(const TensorField& field, const Mask& region, const std::vector<Seed>& seeds,
               const Mat3& frame_map, const TrackingGeometry& geometry,
               const VerdictParams& vp, const Verdict& verdict) {
  QcData qc;
  qc.dims = field.dims;
  qc.fa = field.fa;
  qc.region = region;
  const std::vector<Seed> shown(seeds.begin(),
                                seeds.begin() + static_cast<std::ptrdiff_t>(
                                                    std::min(vp.qc_tracks, seeds.size())));
  const Candidate& other = verdict.best.candidate.is_identity ? verdict.runner_up.candidate
                                                              : verdict.best.candidate;
  const Candidate given = all_candidates().front();
  for (const Candidate* c : {&given, &other}) {
    const Mat3 k = multiply(frame_map, c->matrix);
    qc.tracks.push_back(QcTracks{c->label, c->matrix,
                                 trace_tracks(field, region, shown, k, geometry, vp.tracking)});
  }
  return qc;
}

// Every volume against its row, in the coherence mask of the fit; the rotation test tracks from
// the stage's seeds about tracking's best axes.
VolumeCheck check_stage_volumes(const FloatArray& dwi, const GradientTable& table,
                                const FittedMask& fm, const Mask& region,
                                const std::vector<Seed>& seeds, const TrackingGeometry& geometry,
                                const TrackingResult& tracking, const AuditParams& params,
                                const VerdictParams& vp) {
  VolumeCheckParams cp;
  cp.b0_threshold = params.flip.b0_threshold;
  cp.tolerance = params.flip.tolerance;
  cp.min_signal = params.flip.min_signal;
  // Tracks that go nowhere under the best axes cannot tell a turned table either.
  const Vec3& voxel = geometry.voxel_mm;
  const double largest = std::max({voxel[0], voxel[1], voxel[2]});
  RotationEvidence rotation;
  if (!tracking.ranking.empty() &&
      tracking.ranking.front().mean_length_mm >= vp.min_track_voxels * largest) {
    // Turns of the table as given matter only where it is within the margin of the best: a
    // best clearly ahead of it is the image's own frame, and turning that is enough.
    const auto& r = tracking.ranking;
    const auto given = std::find_if(r.begin(), r.end(),
                                    [](const TrackingScore& t) { return t.candidate.is_identity; });
    const bool thin = given != r.end() && r[0].mean_length_mm > 0.0 &&
                      (r[0].mean_length_mm - given->mean_length_mm) / r[0].mean_length_mm <
                          vp.margin_threshold;
    rotation = rotation_evidence(fm.field, region, seeds, params.flip.frame_map,
                                 r.front().candidate.matrix, geometry, vp.tracking, thin);
  }
  return check_volumes(dwi, table, fm.field, fm.wm_mask, rotation, cp);
}

// What the acquisition allows: the working shell's directions and their conditioning, the
// region's coverage, and the shortest mean track length worth judging by. That minimum is a few
// of the largest voxels; where the field of view cuts the anatomy it is at most a quarter of
// the thinnest extent the region has, since no track can be longer than what is there.
EvidenceLimits evidence_limits(const GradientTable& table, const Shell& shell, const Mask& region,
                               const std::array<std::size_t, 3>& dims,
                               const TrackingGeometry& geometry, const VerdictParams& vp) {
  EvidenceLimits lim;
  std::vector<Vec3> dirs;
  for (std::size_t k : shell.indices) {
    const Vec3& g = table.bvecs()[k];
    const double n = norm(g);
    if (n > 1e-6) dirs.push_back({g[0] / n, g[1] / n, g[2] / n});
  }
  lim.directions = dirs.size();
  lim.condition_number = design_condition_number(dirs).value_or(
      std::numeric_limits<double>::infinity());
  const Vec3& voxel = geometry.voxel_mm;
  lim.min_length_mm = vp.min_track_voxels * std::max({voxel[0], voxel[1], voxel[2]});
  lim.coverage = region_coverage(region, dims, voxel);
  // Nothing here weights the fit: with so few samples the noise shows in the spread of the
  // margin, which then asks for more evidence; what is left is to say so.
  if (lim.directions <= few_directions)
    lim.notes.push_back(std::to_string(lim.directions) +
                        " directions in the working shell (condition number " +
                        fixed(lim.condition_number, 1) +
                        "): too few to fit a tensor robustly, so directions are noisy and the "
                        "evidence thinner");
  if (lim.coverage.partial()) {
    std::string axes;
    double thinnest = std::numeric_limits<double>::infinity();
    for (int a = 0; a < 3; ++a)
      if (lim.coverage.cut[a]) {
        axes += axes.empty() ? "" : ", ";
        axes += "xyz"[a];
        thinnest = std::min(thinnest, lim.coverage.extent_mm[a]);
      }
    lim.min_length_mm = std::min(lim.min_length_mm, 0.25 * thinnest);
    lim.notes.push_back("partial coverage: the grid cuts the tracking region along " + axes +
                        " (" + mm(thinnest) + " across); tracks that leave it end there, and "
                        "the minimum mean track length is " + mm(lim.min_length_mm));
  }
  return lim;
}

EvidencePass look(std::string what, const TrackingResult& t, const std::vector<Seed>& seeds,
                  const std::array<std::size_t, 3>& dims, const TrackingGeometry& geometry) {
  EvidencePass p;
  p.evidence = std::move(what);
  p.seeds = seeds.size();
  p.spread = margin_spread(t, seeds, dims, geometry.voxel_mm);
  if (!t.ranking.empty()) {
    p.best = t.ranking[0].candidate.label;
    const double best = t.ranking[0].mean_length_mm;
    if (best > 0.0) {
      p.relative_margin = t.ranking.size() > 1 ? (best - t.ranking[1].mean_length_mm) / best : 0.0;
      p.relative_margin_se = p.spread.lead_se_mm / best;
    }
  }
  return p;
}

// A first pass decides when its margin clears the threshold, its lead over every other
// candidate clears the noise and its tracks are long enough to judge by; without seeds there
// is nothing more to gather.
bool first_pass_decides(const EvidencePass& p, const TrackingResult& t, const VerdictParams& vp,
                        double min_length_mm) {
  if (t.seeds == 0) return true;
  return t.ranking[0].mean_length_mm >= min_length_mm &&
         p.relative_margin >= vp.margin_threshold && p.spread.z >= vp.z_needed;
}

// The first pass tracks the usual seeds and decides alone when it is clear, so a clear scan
// costs what it always did. Otherwise the evidence grows:
// 1. The first pass's seeds are kept and further voxels join them, from the upper half of the
//    eligible ones by FA and agreement with their neighbours (upper_seed_region), up to
//    escalation_seed_factor times the first count, then doubling up to max_seed_factor times
//    while the lead can still clear the noise (its z, grown as the square root of the seeds,
//    would reach z_needed), and never beyond those voxels. The noise test decides on all
//    of them together; these looks need only a fraction of the margin threshold
//    (default_escalated_margin_fraction), since the spread now says how far a thinner margin can
//    be trusted.
// 2. When that evidence clears the noise but its tracks are shorter than the minimum, noise may
//    be what ends them. Tracks that reach noise_length_fraction of the minimum decide: a lead
//    beyond the noise over every one of the other candidates is the structure that the length
//    otherwise vouches for. Shorter ones are tracked once more, from the first pass's seeds, on
//    the field with smoothed directions; if the same candidate wins there, beyond the noise and
//    with tracks long enough, the image has the structure and the fitted field's evidence
//    decides.
// The smoothed field never picks the candidate itself. Measured on degraded real scans and
// phantoms (bench/degraded_sweep.py), a wrong candidate never led the right one by more than
// one standard error on the fitted field, and copies without any fibre structure never
// passed 1 (so their stubs never decide, however many seeds), but on a smoothed six-direction
// field one led by 7% at 4.5 standard errors: smoothing averages the noise away, not the bias the
// scheme gives every voxel's fit.
std::vector<Seed> gather_evidence(const TensorField& field, const Mask& region,
                                  const Mat3& frame_map, const TrackingGeometry& geometry,
                                  const VerdictParams& vp, StageData& out) {
  std::size_t eligible = 0;
  std::vector<Seed> seeds = draw_seeds(field, region, vp.tracking, &eligible);
  out.tracking = score_candidates(field, region, seeds, frame_map, geometry, vp.tracking);
  out.tracking.seed_voxels = eligible;
  out.passes.push_back(look("first pass", out.tracking, seeds, field.dims, geometry));
  const double min_length = out.limits.min_length_mm;
  if (!vp.escalate || first_pass_decides(out.passes.back(), out.tracking, vp, min_length))
    return seeds;

  const double margin = vp.escalated_margin_fraction * vp.margin_threshold;
  const auto clears_noise = [&](const EvidencePass& p) {
    return p.spread.z >= vp.z_needed && p.relative_margin >= margin;
  };
  const Mask upper = upper_seed_region(field, region, vp.tracking.seed_fa);
  const std::size_t most = std::min(eligible, vp.tracking.seeds * vp.max_seed_factor);
  std::size_t target = std::min(most, vp.tracking.seeds * vp.escalation_seed_factor);
  while (target > seeds.size()) {
    const std::vector<Seed> more =
        draw_more_seeds(field, upper, vp.tracking, seeds, target - seeds.size());
    if (more.empty()) break;
    absorb(out.tracking, score_candidates(field, region, more, frame_map, geometry, vp.tracking));
    seeds.insert(seeds.end(), more.begin(), more.end());
    out.passes.push_back(look("more seeds", out.tracking, seeds, field.dims, geometry));
    const EvidencePass& p = out.passes.back();
    const std::size_t next = std::min(most, 2 * seeds.size());
    const double grown = p.spread.z * std::sqrt(static_cast<double>(next) /
                                                static_cast<double>(seeds.size()));
    if (clears_noise(p) || !(grown >= vp.z_needed) || p.relative_margin < margin ||
        seeds.size() < target)  // the upper half is used up
      break;
    target = next;
  }
  out.deciding = out.passes.size() - 1;

  const double length = out.tracking.ranking[0].mean_length_mm;
  if (!clears_noise(out.passes.back()) || length >= min_length) return seeds;
  if (length >= vp.noise_length_fraction * min_length) {
    out.noise_shortened = true;
    return seeds;
  }
  // The first pass's seeds suffice to see whether tracks grow, at a fraction of the cost.
  const std::vector<Seed> first(seeds.begin(),
                                seeds.begin() + static_cast<std::ptrdiff_t>(out.passes[0].seeds));
  const TensorField smooth = smooth_directions(field, region);
  const TrackingResult st = score_candidates(smooth, region, first, frame_map, geometry, vp.tracking);
  out.passes.push_back(look("smoothed field", st, first, field.dims, geometry));
  const EvidencePass& s = out.passes.back();
  if (s.best == out.passes[out.deciding].best && st.ranking[0].mean_length_mm >= min_length &&
      clears_noise(s))
    out.smoothed_length_mm = st.ranking[0].mean_length_mm;
  return seeds;
}

Result<StagedFlip> verdict_stage(const FloatArray& dwi, const GradientTable& table,
                                 const Mask* mask, const AuditParams& params,
                                 const VerdictParams& vp, StageData& out) {
  Shell shell;
  if (params.shell) {
    ORIVEX_ASSIGN(shell, pick_shell(table.bvals(), params.b0_threshold, params.tolerance,
                                    *params.shell));
  } else {
    ORIVEX_ASSIGN(shell, select_working_shell(table, params.flip.b0_threshold,
                                              params.flip.tolerance));
  }
  const double t = vp.margin_threshold;
  if (!(std::isfinite(t) && t > 0.0 && t <= 1.0)) return Error::invalid_margin(t);

  const auto fit_start = Clock::now();
  // The QC picture shows FA everywhere.
  FlipParams flip = params.flip;
  flip.whole_field = flip.whole_field || vp.qc_tracks > 0;
  ORIVEX_ASSIGN(FittedMask fm, fit_and_mask(dwi, table, mask, shell, flip));
  if (mask != nullptr) {
    restrict_to_fibres(fm, params.flip.fa_threshold);
    if (fm.n_wm_voxels == 0) return Error::tensor_fit("no WM voxels above the FA threshold");
  }
  const auto fit_end = Clock::now();
  FlipResult coherence = assemble_result(
      rank_candidates(fm.field, fm.wm_mask, params.flip.frame_map, params.flip.step),
      fm.n_wm_voxels, shell.nominal_b, fm.mask_mean_fa, params.flip.margin_threshold);
  const auto rank_end = Clock::now();

  const Mask region = tracking_region(fm.field, mask);
  const TrackingGeometry geometry =
      TrackingGeometry::from_voxel_sizes(vp.voxel_sizes, vp.tracking.step_fraction);
  out.limits = evidence_limits(table, shell, region, fm.field.dims, geometry, vp);
  const std::vector<Seed> seeds = gather_evidence(fm.field, region, params.flip.frame_map,
                                                  geometry, vp, out);
  out.tracking.region_from_mask = mask != nullptr;
  const auto track_end = Clock::now();

  const double needed = out.deciding > 0 ? vp.escalated_margin_fraction * t : t;
  const double min_length = out.smoothed_length_mm ? 0.0
                            : out.noise_shortened
                                ? vp.noise_length_fraction * out.limits.min_length_mm
                                : out.limits.min_length_mm;
  out.verdict = decide(out.tracking, coherence, needed, min_length,
                       &out.passes[out.deciding].spread, vp.z_needed);
  if (out.noise_shortened)
    out.verdict.reasons.insert(
        out.verdict.reasons.end() - 1,
        "tracks average " + mm(out.tracking.ranking[0].mean_length_mm) + ", short of " +
            mm(out.limits.min_length_mm) + ": noise ends them early, but with " +
            std::to_string(out.tracking.seeds) + " seeds the lead over every other candidate "
            "is beyond the noise, which is the structure the length would show");
  if (out.smoothed_length_mm)
    out.verdict.reasons.insert(
        out.verdict.reasons.end() - 1,
        "tracks on the fitted field average " + mm(out.tracking.ranking[0].mean_length_mm) +
            ", stopped early by noise: with its directions smoothed the same candidate wins "
            "beyond the noise with tracks of " + mm(*out.smoothed_length_mm));
  out.verdict.passes = std::move(out.passes);
  out.verdict.deciding_pass = out.deciding;
  out.verdict.z_needed = vp.z_needed;
  // What limits the answer is said whatever it is.
  for (const std::string& note : out.limits.notes) out.verdict.reasons.push_back(note);
  out.verdict.limits = std::move(out.limits);
  out.volumes =
      check_stage_volumes(dwi, table, fm, region, seeds, geometry, out.tracking, params, vp);
  apply_volume_finding(out.verdict, out.volumes);
  out.timings = VerdictTimings{Duration::between(fit_start, fit_end),
                               Duration::between(fit_end, rank_end),
                               Duration::between(rank_end, track_end),
                               Duration::between(track_end, Clock::now())};
  if (vp.qc_tracks > 0)
    out.qc = qc_data(fm.field, region, seeds, params.flip.frame_map, geometry, vp, out.verdict);

  StagedFlip staged;
  staged.status = out.verdict.decision;
  staged.flip.result = std::move(coherence);
  staged.flip.timings = DetectTimings{out.timings.fit, out.timings.coherence};
  return staged;
}

Result<VerdictOutcome> run_with_verdict(const GradientTable& table, const FloatArray& dwi,
                                        const Mask* mask, std::vector<InputFile> inputs,
                                        const AuditParams& params, const VerdictParams& vp,
                                        bool scheme) {
  StageData data;
  const FlipStage stage = [&](const FloatArray& d, const GradientTable& g, const Mask* m,
                              const AuditParams& p) { return verdict_stage(d, g, m, p, vp, data); };
  ORIVEX_ASSIGN(PipelineOutcome o,
                run_pipeline(table, &dwi, mask, std::move(inputs), params,
                             {.scheme = scheme, .timings = true, .flip_stage = stage}));
  return VerdictOutcome{std::move(o.report), std::move(data.tracking), std::move(data.verdict),
                        data.timings, std::move(data.qc), std::move(data.volumes)};
}

void write_candidate(JsonWriter& w, const TrackingScore& s) {
  w.begin_object();
  w.member("label", s.candidate.label);
  w.key("matrix");
  write_json(w, s.candidate.matrix);
  w.member("mean_length_mm", s.mean_length_mm);
  w.end_object();
}

void write_tracking(JsonWriter& w, const TrackingResult& t) {
  w.begin_object();
  w.key("candidates").begin_array();
  for (const TrackingScore& s : t.ranking) write_candidate(w, s);
  w.end_array();
  w.member("seeds", t.seeds);
  w.member("seed_voxels", t.seed_voxels);
  w.member("step_mm", t.step_mm);
  w.member("region_voxels", t.region_voxels);
  w.member("region", t.region_from_mask ? "mask" : "otsu");
  w.end_object();
}

// The spread of the deciding pass, and every pass that was looked at.
void write_uncertainty(JsonWriter& w, const Verdict& v) {
  w.key("uncertainty").begin_object();
  const EvidencePass last = v.deciding_pass < v.passes.size() ? v.passes[v.deciding_pass]
                                                               : EvidencePass{};
  w.member("relative_margin_se", last.relative_margin_se);
  w.member("lead_mm", last.spread.lead_mm);
  w.member("lead_se_mm", last.spread.lead_se_mm);
  w.member("z", last.spread.z);
  w.member("z_needed", v.z_needed);
  w.member("block_mm", default_spread_block_mm);
  w.member("blocks", last.spread.blocks);
  w.member("escalated", v.passes.size() > 1);
  w.member("deciding_pass", v.deciding_pass);
  w.key("passes").begin_array();
  for (const EvidencePass& p : v.passes) {
    w.begin_object();
    w.member("evidence", p.evidence);
    w.member("seeds", p.seeds);
    w.member("best", p.best);
    w.member("relative_margin", p.relative_margin);
    w.member("relative_margin_se", p.relative_margin_se);
    w.member("z", p.spread.z);
    w.end_object();
  }
  w.end_array();
  w.end_object();
}

void write_limits(JsonWriter& w, const EvidenceLimits& l) {
  w.key("limits").begin_object();
  w.member("directions", l.directions);
  w.member("condition_number", l.condition_number);
  w.member("coverage", l.coverage.partial() ? "partial" : "whole");
  std::string cut;
  for (int a = 0; a < 3; ++a)
    if (l.coverage.cut[a]) cut += "xyz"[a];
  w.member("cut_axes", cut);
  w.key("extent_mm").begin_array();
  for (double e : l.coverage.extent_mm) w.value(e);
  w.end_array();
  w.member("min_length_mm", l.min_length_mm);
  w.key("notes").array(l.notes);
  w.end_object();
}

void write_verdict(JsonWriter& w, const Verdict& v) {
  w.begin_object();
  w.member("decision", decision_name(v.decision));
  w.key("recommended_label");
  if (v.recommended_label) w.value(*v.recommended_label);
  else w.null();
  w.key("recommended_transform");
  if (v.recommended_transform) write_json(w, *v.recommended_transform);
  else w.null();
  w.member("relative_margin", v.relative_margin);
  w.member("given_rank", v.given_rank);
  w.key("evidence").begin_object();
  w.member("decided_by", "tracking");
  w.member("margin_threshold", v.margin_threshold);
  w.key("best");
  write_candidate(w, v.best);
  w.key("runner_up");
  write_candidate(w, v.runner_up);
  w.member("given_mean_length_mm", v.given_mean_length_mm);
  w.key("coherence").begin_object();
  w.member("decision", decision_name(v.coherence_decision));
  w.member("best", v.coherence_best);
  w.member("agrees", v.coherence_agrees);
  w.end_object();
  write_uncertainty(w, v);
  w.end_object();
  w.key("reasons").array(v.reasons);
  write_limits(w, v.limits);
  w.end_object();
}

template <class T>
std::string compact(void (*write)(JsonWriter&, const T&), const T& value) {
  JsonWriter w;
  write(w, value);
  return std::move(w).str();
}

// `"name": value` as a member of a pretty object's top level: the value's own pretty text, one
// level deeper (strings hold no raw line feeds, so every line feed is a line of the layout).
template <class T>
void append_pretty_member(std::string& text, const char* name,
                          void (*write)(JsonWriter&, const T&), const T& value) {
  JsonWriter w(JsonWriter::Layout::Pretty);
  write(w, value);
  const std::string inner = std::move(w).str();
  text += ",\n  \"";
  text += name;
  text += "\": ";
  for (char c : inner) {
    text += c;
    if (c == '\n') text += "  ";
  }
}

void write_volumes(JsonWriter& w, const VolumeCheck& v) {
  w.begin_object();
  w.member("checked", v.checked);
  w.key("reason");
  if (v.checked) w.null();
  else w.value(v.reason);
  w.member("pattern", pattern_name(v.pattern));
  w.key("suspect").begin_array();
  for (std::size_t s : v.suspect) w.value(s);
  w.end_array();
  w.key("explanation").begin_object();
  w.key("label");
  if (v.label) w.value(*v.label);
  else w.null();
  w.key("rows").begin_array();
  for (std::size_t r : v.rows) w.value(r);
  w.end_array();
  w.key("shift");
  if (v.shift) w.value(static_cast<std::int64_t>(*v.shift));
  else w.null();
  w.key("b_scales").begin_array();
  for (double b : v.b_scales) w.value(b);
  w.end_array();
  w.member("summary", v.summary);
  w.end_object();
  w.key("evidence").begin_object();
  w.member("voxels", v.voxels);
  w.member("explained", v.explained);
  w.member("structure", v.structure);
  w.member("signal", v.signal);
  w.member("noise_signal", v.noise_signal);
  w.member("best_shift", static_cast<std::int64_t>(v.best_shift));
  w.member("shift_ratio", v.shift_ratio);
  w.member("rotation_ratio", v.rotation_ratio);
  w.end_object();
  w.key("entries").begin_array();
  for (const VolumeEntry& e : v.entries) {
    w.begin_object();
    w.member("volume", e.volume);
    w.member("b", e.b);
    w.member("misfit", e.misfit);
    w.member("fits", fit_name(e.fits));
    w.key("axes").begin_object();
    w.member("label", e.axes_label);
    w.member("z", e.axes_z);
    w.member("residual", e.axes_residual);
    w.end_object();
    w.key("row");
    if (e.row) {
      w.begin_object();
      w.member("volume", *e.row);
      w.member("z", e.row_z);
      w.member("residual", e.row_residual);
      w.end_object();
    } else {
      w.null();
    }
    w.key("b_scale").begin_object();
    w.member("scale", e.b_scale);
    w.member("z", e.b_scale_z);
    w.member("residual", e.b_scale_residual);
    w.end_object();
    w.end_object();
  }
  w.end_array();
  w.end_object();
}

}  // namespace

void apply_volume_finding(Verdict& verdict, const VolumeCheck& volumes) {
  if (volumes.pattern == VolumePattern::None) return;
  if (verdict.decision == Decision::PASS) verdict.decision = Decision::WARN;
  verdict.reasons.push_back(volumes.summary);
}

std::optional<GradientTable> mend_rows(const GradientTable& table, const VolumeCheck& volumes) {
  std::vector<Vec3> bvecs = table.bvecs();
  std::vector<double> bvals = table.bvals();
  if (volumes.pattern == VolumePattern::PartialFlip && volumes.label) {
    const std::vector<Candidate> all = all_candidates();
    const auto c = std::find_if(all.begin(), all.end(),
                                [&](const Candidate& k) { return k.label == *volumes.label; });
    if (c == all.end()) return std::nullopt;
    for (std::size_t t : volumes.suspect)
      if (t < bvecs.size()) bvecs[t] = multiply(c->matrix, bvecs[t]);
  } else if (volumes.pattern == VolumePattern::ShiftedRows && volumes.shift) {
    // Each suspect (the diffusion-weighted volumes in order) takes the row of the one `shift`
    // further on; a volume whose row lies beyond the end keeps its own.
    const std::vector<std::size_t>& s = volumes.suspect;
    const long long k = *volumes.shift;
    for (std::size_t n = 0; n < s.size(); ++n) {
      const long long from = static_cast<long long>(n) + k;
      if (from < 0 || from >= static_cast<long long>(s.size())) continue;
      bvecs[s[n]] = table.bvecs()[s[static_cast<std::size_t>(from)]];
      bvals[s[n]] = table.bvals()[s[static_cast<std::size_t>(from)]];
    }
  } else {
    return std::nullopt;
  }
  auto mended = GradientTable::create(std::move(bvecs), std::move(bvals));
  if (!mended) return std::nullopt;
  return std::move(*mended);
}

Verdict decide(const TrackingResult& tracking, const FlipResult& coherence,
               double margin_threshold, double min_length_mm, const MarginSpread* spread,
               double z_needed) {
  Verdict v;
  v.margin_threshold = margin_threshold;
  v.coherence_decision = coherence.decision;
  v.coherence_best = coherence.best.label;
  const std::vector<TrackingScore>& r = tracking.ranking;
  if (r.empty()) {
    v.reasons.push_back("tracking scored no candidate");
    return v;
  }
  v.best = r[0];
  v.runner_up = r.size() > 1 ? r[1] : r[0];
  const double best = v.best.mean_length_mm;
  v.relative_margin = best > 0.0 ? (best - v.runner_up.mean_length_mm) / best : 0.0;
  for (std::size_t i = 0; i < r.size(); ++i)
    if (r[i].candidate.is_identity) {
      v.given_rank = i + 1;
      v.given_mean_length_mm = r[i].mean_length_mm;
    }
  v.coherence_agrees = antipodal_or_equal(coherence.best.matrix, v.best.candidate.matrix);
  const bool coherence_flags_other =
      coherence.decision == Decision::FLAG && coherence.recommended_transform &&
      !antipodal_or_equal(*coherence.recommended_transform, v.best.candidate.matrix);

  v.reasons.push_back("tracking: " + v.best.candidate.label + " gives the longest tracks (mean " +
                      mm(best) + "), " + percent(v.relative_margin) + " ahead of " +
                      v.runner_up.candidate.label + " (" + mm(v.runner_up.mean_length_mm) + ")");
  v.reasons.push_back("the table as given ranks " + std::to_string(v.given_rank) + " of " +
                      std::to_string(r.size()) + " (mean " + mm(v.given_mean_length_mm) + ")");
  const std::string threshold = fixed(100.0 * margin_threshold, 1) + "%";
  const std::string beyond =
      spread == nullptr ? ""
      : std::isfinite(spread->z)
          ? " and by " + fixed(spread->z, 1) + " standard errors of its lead"
          : " and by the same lead from every cube of seeds";
  if (tracking.seeds == 0) {
    v.reasons.push_back("no voxel of the tracking region is anisotropic enough to seed a track: "
                        "the image gives no tracking evidence");
  } else if (!(best >= min_length_mm)) {
    v.reasons.push_back("tracks average " + mm(best) + ": too little structure to judge by (" +
                        mm(min_length_mm) + " at least, a few voxels)");
  } else if (spread != nullptr && !(spread->z >= z_needed)) {
    const TrackingScore& closest = r[std::min(spread->closest, r.size() - 1)];
    v.reasons.push_back("the two best candidates are within the noise: " +
                        v.best.candidate.label + " leads " + closest.candidate.label + " by " +
                        fixed(spread->lead_mm, 2) + " ± " + fixed(spread->lead_se_mm, 2) +
                        " mm per seed (" + fixed(spread->z, 1) + " standard errors; a decision "
                        "needs " + fixed(z_needed, 1) + ")");
  } else if (!(v.relative_margin >= margin_threshold)) {
    v.reasons.push_back("the margin is below the " + threshold +
                        " threshold: too thin to decide; look at the QC figure");
  } else if (coherence_flags_other) {
    v.reasons.push_back("coherence on its own would FLAG " +
                        coherence.recommended_label.value_or(coherence.best.label) +
                        ", a different correction: check the QC figure before trusting either");
  } else if (v.best.candidate.is_identity) {
    v.decision = Decision::PASS;
    v.reasons.push_back("the table as given wins by at least the " + threshold + " threshold" +
                        beyond);
  } else {
    v.decision = Decision::FLAG;
    v.recommended_label = v.best.candidate.label;
    v.recommended_transform = v.best.candidate.matrix;
    v.reasons.push_back(v.best.candidate.label + " wins by at least the " + threshold +
                        " threshold" + beyond + ": it corrects the table");
  }
  v.reasons.push_back("coherence (shown beside): " + std::string(decision_name(coherence.decision)) +
                      ", best " + coherence.best.label + " by " +
                      percent(coherence.relative_margin) +
                      (v.coherence_agrees ? ", the same axes" : ", other axes"));
  return v;
}

Result<VerdictOutcome> audit_with_verdict(const GradientTable& table, const FloatArray& dwi,
                                          const Mask* mask, std::vector<InputFile> inputs,
                                          const AuditParams& params,
                                          const VerdictParams& verdict_params) {
  return run_with_verdict(table, dwi, mask, std::move(inputs), params, verdict_params, true);
}

Result<VerdictOutcome> detect_with_verdict(const GradientTable& table, const FloatArray& dwi,
                                           const Mask* mask, std::vector<InputFile> inputs,
                                           const AuditParams& params,
                                           const VerdictParams& verdict_params) {
  return run_with_verdict(table, dwi, mask, std::move(inputs), params, verdict_params, false);
}

Result<VerdictRepair> repair_with_verdict(const GradientTable& table, const FloatArray& dwi,
                                          const Mask* mask, std::vector<InputFile> inputs,
                                          const AuditParams& params,
                                          const VerdictParams& verdict_params,
                                          const RepairSpec& request) {
  // Refused before the audit, as the plain repair does.
  ORIVEX_TRY(check_distinct_outputs(request));
  std::vector<InputFile> audit_inputs = inputs;
  ORIVEX_ASSIGN(VerdictOutcome o, audit_with_verdict(table, dwi, mask, std::move(audit_inputs),
                                                     params, verdict_params));
  const Verdict& v = o.verdict;
  if (!o.report.flip) return VerdictRepair{std::move(o), std::nullopt, {}};

  // Rows are mended only on request, and only for the findings with one clear correction.
  const VolumeCheck& vc = o.volumes;
  std::optional<GradientTable> mended;
  RepairSpec applied = request;
  std::vector<std::string> mended_notes;
  if (vc.pattern != VolumePattern::None) {
    if (verdict_params.fix_volumes) mended = mend_rows(table, vc);
    std::string what;
    if (vc.pattern == VolumePattern::PartialFlip)
      what = "apply " + vc.label.value_or("") + " to the rows of the suspect volumes";
    else if (vc.pattern == VolumePattern::ShiftedRows)
      what = "give each volume the row it fits (shift " +
             std::to_string(vc.shift.value_or(0)) + ")";
    if (mended) {
      const std::string note = "rows mended for the " + std::string(pattern_name(vc.pattern)) +
                               " finding (--fix-volumes): " + what + "; " + vc.summary;
      o.report.notes.push_back(note);
      mended_notes.push_back(note);
    } else if (!what.empty()) {
      o.report.notes.push_back("the volume check found " + std::string(pattern_name(vc.pattern)) +
                               ": repair would " + what +
                               " with --fix-volumes; no row was changed");
    } else {
      o.report.notes.push_back("the volume check found " + std::string(pattern_name(vc.pattern)) +
                               ": repair changes no row for it (only partial_flip and shifted_rows "
                               "findings are mended, on request); check the table against the "
                               "acquisition");
    }
  }
  const GradientTable& base = mended ? *mended : table;

  // repair_from_report applies the recommendation of the flip section it is handed, so it gets
  // the coherence result with the verdict's decision and correction; the report keeps the
  // coherence result as measured.
  const FlipResult coherence = *o.report.flip;
  FlipResult decided = coherence;
  decided.decision = v.decision;
  decided.recommended_label = v.recommended_label;
  decided.recommended_transform = v.recommended_transform;
  const bool forced = request.force_repair && v.decision == Decision::WARN &&
                      !v.best.candidate.is_identity;
  if (forced) {
    decided.recommended_label = v.best.candidate.label;
    decided.recommended_transform = v.best.candidate.matrix;
  }
  if (mended && !decided.recommended_transform) {
    // The mended rows are the repair, with the axes as given.
    decided.recommended_label = all_candidates().front().label;
    decided.recommended_transform = identity3;
  }
  o.report.flip = std::move(decided);
  applied.force_repair = false;  // a forced choice is already the recommendation above
  // The record keeps the evidence as measured: the coherence result, then the tracking and the
  // verdict that chose the correction, and the volume check with any rows it mended.
  const auto amend = [&](Provenance& record) {
    record.flip = coherence;
    record.sections = {{"tracking", [&](JsonWriter& w) { write_tracking(w, o.tracking); }},
                       {"verdict", [&](JsonWriter& w) { write_verdict(w, v); }},
                       {"volumes", [&](JsonWriter& w) { write_volumes(w, vc); }}};
    record.notes.insert(record.notes.end(), mended_notes.begin(), mended_notes.end());
  };
  ORIVEX_ASSIGN(RepairOutput out, repair_from_report(base, std::move(o.report), inputs, applied,
                                                     verdict_params.margin_threshold, amend));
  out.report.flip = coherence;
  if (forced && out.report.repair)
    out.report.notes.push_back(
        "repair force-applied on a WARN verdict (--force-repair); tracking margin " +
        fixed(v.relative_margin * 100.0, 2) + "% is below the " +
        fixed(verdict_params.margin_threshold * 100.0, 0) + "% auto-repair threshold — verify "
        "the result.");
  o.report = std::move(out.report);
  return VerdictRepair{std::move(o), std::move(out.table), std::move(out.backups)};
}

std::string to_json(const VerdictOutcome& outcome) {
  std::string text = orivex::to_json(outcome.report);
  // The report is one object; its last character closes it, and the three sections follow its keys.
  text.pop_back();
  text += ",\"tracking\":" + compact(write_tracking, outcome.tracking) +
          ",\"verdict\":" + compact(write_verdict, outcome.verdict) +
          ",\"volumes\":" + compact(write_volumes, outcome.volumes) + "}";
  return text;
}

std::string to_pretty_json(const VerdictOutcome& outcome) {
  std::string text = orivex::to_pretty_json(outcome.report);
  // The report's object closes with a line feed and its brace; the three sections go before them.
  text.resize(text.size() - 2);
  append_pretty_member(text, "tracking", write_tracking, outcome.tracking);
  append_pretty_member(text, "verdict", write_verdict, outcome.verdict);
  append_pretty_member(text, "volumes", write_volumes, outcome.volumes);
  text += "\n}";
  return text;
}

}  // namespace orivex
