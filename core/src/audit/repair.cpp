// Repair: apply the chosen transform, back up what would be replaced, write, and record it.
#include "orivex/audit/repair.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <utility>

#include "orivex/audit/provenance.hpp"
#include "orivex/io/file.hpp"
#include "orivex/io/fsl.hpp"
#include "orivex/io/mrtrix.hpp"
#include "orivex/support/numfmt.hpp"

namespace orivex {

namespace {

constexpr const char* divergent_note =
    "FSL and world frames diverge for this image (positive affine determinant with a multi-axis "
    "rotation); confirm the gradient is in the frame you intend before consuming a cross-format "
    "output";

// Same file when the normalised absolute paths agree, or when both exist as one inode (a hard
// link, a symbolic link, or a path spelled through another directory).
bool same_file(const std::string& a, const std::string& b) {
  std::error_code ec;
  auto abs_a = std::filesystem::absolute(a, ec).lexically_normal();
  auto abs_b = std::filesystem::absolute(b, ec).lexically_normal();
  if (!ec && abs_a == abs_b) return true;
  if (a == b) return true;
  struct stat sa {}, sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

FrameProvenance frame_record(const FrameMaps& maps, bool emitted_mrtrix) {
  FrameProvenance f;
  f.input_format = maps.table_frame == TableFrame::World ? "mrtrix" : "fsl";
  f.affine_determinant_sign = maps.affine_determinant_sign;
  f.rotation = transpose(maps.world_voxel_map);
  f.fsl_voxel_map = maps.fsl_voxel_map;
  f.world_voxel_map = maps.world_voxel_map;
  f.frames_divergent = maps.divergent;
  f.emitted_fsl = true;
  f.emitted_mrtrix = emitted_mrtrix;
  return f;
}

}  // namespace

std::optional<Repair> Repair::force_from_best(const GradientTable& table, const FlipResult& flip) {
  const CandidateScore& best = flip.best;
  // The negated identity reverses every axis, which leaves every fibre axis where it was.
  if (best.is_identity || best.matrix == negated(identity3)) return std::nullopt;
  return Repair{apply_transform(table, best.matrix), best.label, best.matrix};
}

std::string with_suffix(const std::string& path, const std::string& suffix) {
  return path + "." + suffix;
}

std::string next_backup_path(const std::string& path) {
  std::string candidate = with_suffix(path, "bak");
  // A dangling link also counts as taken: a backup must never replace any directory entry.
  auto taken = [](const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 || ::lstat(p.c_str(), &st) == 0;
  };
  for (std::uint32_t n = 1; taken(candidate) && n != 0; ++n)
    candidate = with_suffix(path, "bak." + std::to_string(n));
  return candidate;
}

Result<std::optional<std::string>> prepare_output(const std::string& path, bool in_place) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return std::optional<std::string>{};
  if (!in_place) return Error::refuse_overwrite(path_str(path));
  if (S_ISLNK(st.st_mode)) {
    // Moving the link aside keeps whatever it points to; a link to a device or a directory
    // would have to be followed to mean anything, and writing through links is what we refuse.
    struct stat target {};
    if (::stat(path.c_str(), &target) == 0 && !S_ISREG(target.st_mode))
      return Error::output_through_link(path_str(path));
  } else if (S_ISBLK(st.st_mode)) {
    return Error::output_not_a_file(path_str(path));
  } else if (!S_ISREG(st.st_mode)) {
    // A character device or FIFO holds no data of the user's to keep, and renaming one would
    // move the node itself (as root, /dev/full would vanish); it is written through instead.
    // A directory is neither moved nor written into: the write fails with EISDIR.
    return std::optional<std::string>{};
  }
  std::string backup = next_backup_path(path);
  if (::rename(path.c_str(), backup.c_str()) != 0) return Error::io_errno(errno);
  return std::optional<std::string>{std::move(backup)};
}

Result<void> check_distinct_outputs(const std::vector<std::string>& paths) {
  // The OS would silently cut such a path at the NUL and write somewhere else.
  for (const std::string& p : paths) ORIVEX_TRY(io::check_path(p));
  for (std::size_t j = 1; j < paths.size(); ++j)
    for (std::size_t i = 0; i < j; ++i)
      if (same_file(paths[i], paths[j]))
        return Error::io("output paths must differ: " + path_str(paths[j]) +
                         " names the same file as " + path_str(paths[i]));
  return {};
}

Result<void> check_distinct_outputs(const OutputSet& set) {
  std::vector<std::string> paths{set.out_bvec, set.out_bval};
  if (set.out_grad) paths.push_back(*set.out_grad);
  if (set.provenance) paths.push_back(*set.provenance);
  return check_distinct_outputs(paths);
}

Result<void> write_file_replacing(const std::string& path, std::string_view data) {
  return io::replace_file(path, data);
}

Result<void> check_not_input(const std::string& path, const std::vector<InputFile>& inputs) {
  for (const InputFile& f : inputs)
    if (same_file(f.path, path)) return Error::output_is_input(path_str(path));
  return {};
}

Result<void> OutputFiles::prepare(const std::string& path) {
  struct stat st {};
  const bool absent = ::lstat(path.c_str(), &st) != 0 && errno == ENOENT;
  ORIVEX_ASSIGN(std::optional<std::string> backup, prepare_output(path, in_place_));
  targets_.push_back(Target{path, std::move(backup), absent, false});
  return {};
}

Result<void> OutputFiles::write(const std::string& path, std::string_view data) {
  // Marked before the write: a failed write leaves nothing behind, so removing it is harmless.
  for (Target& t : targets_)
    if (t.path == path) t.written = true;
  return write_file_replacing(path, data);
}

Error OutputFiles::roll_back(Error cause) {
  std::vector<std::string> kept;
  for (auto it = targets_.rbegin(); it != targets_.rend(); ++it) {
    if (it->backup) {
      // The rename replaces the new file, if one was written, in one step.
      if (::rename(it->backup->c_str(), it->path.c_str()) != 0) kept.push_back(*it->backup);
    } else if (it->was_absent && it->written) {
      ::unlink(it->path.c_str());
    }
  }
  targets_.clear();
  std::reverse(kept.begin(), kept.end());
  for (std::string& k : kept) k = path_str(k);
  return std::move(cause).with_backups_kept(kept);
}

std::vector<std::string> OutputFiles::backups() const {
  std::vector<std::string> out;
  for (const Target& t : targets_)
    if (t.backup) out.push_back(*t.backup);
  return out;
}

Result<WrittenOutputs> write_outputs(
    const OutputSet& set, const GradientTable& fsl, const GradientTable& world,
    const std::function<Provenance(const std::vector<std::string>& outputs)>& record) {
  // Every target is examined (and moved aside) before any is written, so a refusal leaves
  // every file as it was; any later failure is rolled back the same way.
  OutputFiles files(set.in_place);
  WrittenOutputs out;
  auto write_all = [&]() -> Result<void> {
    ORIVEX_TRY(files.prepare(set.out_bvec));
    ORIVEX_TRY(files.prepare(set.out_bval));
    if (set.out_grad) ORIVEX_TRY(files.prepare(*set.out_grad));
    if (set.provenance) ORIVEX_TRY(files.prepare(*set.provenance));
    ORIVEX_TRY(files.write(set.out_bvec, io::fsl::render_bvec(fsl)));
    ORIVEX_TRY(files.write(set.out_bval, io::fsl::render_bval(fsl)));
    out.outputs = {path_str(set.out_bvec), path_str(set.out_bval)};
    if (set.out_grad) {
      ORIVEX_TRY(files.write(*set.out_grad, io::mrtrix::render(world)));
      out.outputs.push_back(path_str(*set.out_grad));
    }
    if (set.provenance)
      ORIVEX_TRY(files.write(*set.provenance, to_pretty_json(record(out.outputs))));
    return {};
  };
  if (auto written = write_all(); !written) return files.roll_back(std::move(written).error());
  out.backups = files.backups();
  return out;
}

Result<RepairOutput> repair(const GradientTable& table, const FloatArray& dwi, const Mask* mask,
                            std::vector<InputFile> inputs, const AuditParams& params,
                            const RepairSpec& request, bool glyphs) {
  // Refused before the audit: a clash found only after minutes of fitting helps nobody.
  ORIVEX_TRY(check_distinct_outputs(request));
  if (request.provenance) ORIVEX_TRY(check_not_input(*request.provenance, inputs));
  ORIVEX_ASSIGN(PipelineOutcome audited,
                run_pipeline(table, &dwi, mask, inputs, params, {.glyphs = glyphs}));
  ORIVEX_ASSIGN(RepairOutput out, repair_from_report(table, std::move(audited.report), inputs,
                                                     request, params.flip.margin_threshold));
  out.glyphs = std::move(audited.glyphs);
  return out;
}

Result<RepairOutput> repair_from_report(const GradientTable& table, Report report,
                                        const std::vector<InputFile>& inputs,
                                        const RepairSpec& request, double margin_threshold,
                                        const std::function<void(Provenance&)>& amend) {
  ORIVEX_TRY(check_distinct_outputs(request));
  // The tables may be repaired in place (their originals kept as backups); a record written
  // over an input would replace the very evidence it describes.
  if (request.provenance) ORIVEX_TRY(check_not_input(*request.provenance, inputs));

  if (request.frames && request.frames->divergent) report.notes.push_back(divergent_note);
  RepairOutput out{std::move(report), std::nullopt, {}, std::nullopt};
  Report& rep = out.report;
  if (!rep.flip) return out;
  const FlipResult& flip = *rep.flip;

  std::optional<Repair> chosen;
  if (flip.recommended_transform && flip.recommended_label) {
    chosen = Repair{apply_transform(table, *flip.recommended_transform), *flip.recommended_label,
                    *flip.recommended_transform};
  } else if (request.force_repair && flip.decision == Decision::WARN) {
    chosen = Repair::force_from_best(table, flip);
    if (chosen)
      rep.notes.push_back("repair force-applied on a WARN decision (--force-repair); margin " +
                          numfmt::fixed(flip.relative_margin * 100.0, 2) + "% is below the " +
                          numfmt::fixed(margin_threshold * 100.0, 0) +
                          "% auto-repair threshold — verify the result.");
  }
  if (!chosen) return out;

  if (request.dry_run) {
    rep = std::move(rep).with_repair(RepairInfo{chosen->matrix, chosen->label, {}});
    out.table = std::move(chosen->table);
    return out;
  }

  // The transform was found in the table's own frame; only the written copies change frame.
  const GradientTable& t = chosen->table;
  const GradientTable fsl = request.frames ? apply_transform(t, request.frames->to_fsl()) : t;
  const GradientTable world = request.frames ? apply_transform(t, request.frames->to_world()) : t;
  ORIVEX_ASSIGN(WrittenOutputs written,
                write_outputs(request, fsl, world, [&](const std::vector<std::string>& outputs) {
                  Provenance record = Provenance::create(inputs);
                  if (rep.shells && rep.angular) {
                    record.shells = rep.shells;
                    record.angular = rep.angular;
                  }
                  record = std::move(record).with_flip(*rep.flip).with_outputs(outputs);
                  if (request.frames)
                    record.frame = frame_record(*request.frames, request.out_grad.has_value());
                  if (amend) amend(record);
                  return record;
                }));
  rep = std::move(rep).with_repair(RepairInfo{chosen->matrix, chosen->label, written.outputs});
  out.backups = std::move(written.backups);
  out.table = std::move(chosen->table);
  return out;
}

}  // namespace orivex
