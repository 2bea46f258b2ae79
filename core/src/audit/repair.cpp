// Repair: apply the chosen transform, back up what would be replaced, write, and record it.
#include "orivex/audit/repair.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
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

// prepare_output, keeping the name of the backup it made.
Result<void> prepare_into(const std::string& path, bool in_place,
                          std::vector<std::string>& backups) {
  ORIVEX_ASSIGN(std::optional<std::string> backup, prepare_output(path, in_place));
  if (backup) backups.push_back(std::move(*backup));
  return {};
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
  if (::stat(path.c_str(), &st) != 0) return std::optional<std::string>{};
  if (!in_place) return Error::refuse_overwrite(path_str(path));
  // A device or FIFO holds no data of the user's to keep, and renaming one would move the
  // node itself (as root, /dev/full would vanish); it is written through instead.
  if (!S_ISREG(st.st_mode)) return std::optional<std::string>{};
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
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return io::write_bytes(path, data);

  // The sibling lives in the same directory so the final rename never crosses a file system.
  static std::atomic<std::uint64_t> counter{0};
  std::string tmp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    tmp = path + ".orivex-tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return Error::io_errno(errno);
  }
  if (fd < 0) return Error::io_errno(EEXIST);
  auto fail = [&](int code) -> Result<void> {
    if (fd >= 0) ::close(fd);
    ::unlink(tmp.c_str());
    return Error::io_errno(code);
  };
  if (int e = io::write_all(fd, data); e != 0) return fail(e);
  // On disk before it takes the user's file name, so a crash cannot leave an empty table there.
  if (::fsync(fd) != 0) return fail(errno);
  int rc = ::close(fd);
  fd = -1;
  if (rc != 0) return fail(errno);
  if (::rename(tmp.c_str(), path.c_str()) != 0) return fail(errno);
  return {};
}

Result<WrittenOutputs> write_outputs(
    const OutputSet& set, const GradientTable& fsl, const GradientTable& world,
    const std::function<Provenance(const std::vector<std::string>& outputs)>& record) {
  WrittenOutputs out;
  // Both FSL paths are examined (and moved aside) before either is written, so a refusal
  // leaves every file as it was, and from here on each replaced original sits under its
  // backup name whatever fails next.
  ORIVEX_TRY(prepare_into(set.out_bvec, set.in_place, out.backups));
  ORIVEX_TRY(prepare_into(set.out_bval, set.in_place, out.backups));
  ORIVEX_TRY(write_file_replacing(set.out_bvec, io::fsl::render_bvec(fsl)));
  ORIVEX_TRY(write_file_replacing(set.out_bval, io::fsl::render_bval(fsl)));
  out.outputs = {path_str(set.out_bvec), path_str(set.out_bval)};
  if (set.out_grad) {
    ORIVEX_TRY(prepare_into(*set.out_grad, set.in_place, out.backups));
    ORIVEX_TRY(write_file_replacing(*set.out_grad, io::mrtrix::render(world)));
    out.outputs.push_back(path_str(*set.out_grad));
  }
  if (set.provenance) ORIVEX_TRY(io::provenance::write(*set.provenance, record(out.outputs)));
  return out;
}

Result<RepairOutput> repair(const GradientTable& table, const FloatArray& dwi, const Mask* mask,
                            std::vector<InputFile> inputs, const AuditParams& params,
                            const RepairSpec& request, bool glyphs) {
  // Refused before the audit: a clash found only after minutes of fitting helps nobody.
  ORIVEX_TRY(check_distinct_outputs(request));
  ORIVEX_ASSIGN(PipelineOutcome audited,
                run_pipeline(table, &dwi, mask, inputs, params, {.glyphs = glyphs}));
  ORIVEX_ASSIGN(RepairOutput out, repair_from_report(table, std::move(audited.report), inputs,
                                                     request, params.flip.margin_threshold));
  out.glyphs = std::move(audited.glyphs);
  return out;
}

Result<RepairOutput> repair_from_report(const GradientTable& table, Report report,
                                        const std::vector<InputFile>& inputs,
                                        const RepairSpec& request, double margin_threshold) {
  ORIVEX_TRY(check_distinct_outputs(request));

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
                  return record;
                }));
  rep = std::move(rep).with_repair(RepairInfo{chosen->matrix, chosen->label, written.outputs});
  out.backups = std::move(written.backups);
  out.table = std::move(chosen->table);
  return out;
}

}  // namespace orivex
