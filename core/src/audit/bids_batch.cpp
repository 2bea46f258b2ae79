// The sequential batch audit of a BIDS dataset and its per-run and dataset reports.
#include "orivex/audit/bids_batch.hpp"

#include <algorithm>
#include <set>

#include "detail/text.hpp"
#include "orivex/audit/call_params.hpp"
#include "orivex/audit/input.hpp"
#include "orivex/io/file.hpp"
#include "orivex/io/input_file.hpp"
#include "orivex/io/volume.hpp"
#include "orivex/support/json_writer.hpp"
#include "orivex/support/numfmt.hpp"

namespace orivex::bids_batch {

namespace {

// The bare system text of an OS failure ("Permission denied (os error 13)"), without the
// "I/O error: " prefix a single-file call would show.
std::string system_text(const Error& e) {
  return e.kind() == ErrorKind::Io ? e.text() : e.message();
}

Status worst(Status a, Status b) { return static_cast<int>(b) > static_cast<int>(a) ? b : a; }

void write_results(JsonWriter& w, const std::vector<BatchItem>& items) {
  w.key("results").begin_array();
  for (const BatchItem& item : items) {
    w.begin_object();
    w.member("dwi", io::lossy_utf8(item.dwi));
    w.member("name", item.name);
    w.member("status", status_name(item.status));
    w.end_object();
  }
  w.end_array();
}

std::string summary_path_of(const std::string& root) {
  return io::bids::join(output_dir(root), "dataset_summary.json");
}

// "BIDS sidecar: PE=j-, TRT=0.0500s, MB=3", or empty when the sidecar offers none of the three.
std::string sidecar_note(const io::bids::BidsSidecar& s) {
  std::vector<std::string> parts;
  if (s.phase_encoding_direction) parts.push_back("PE=" + *s.phase_encoding_direction);
  if (s.total_readout_time) parts.push_back("TRT=" + numfmt::fixed(*s.total_readout_time, 4) + "s");
  if (s.multiband_acceleration_factor)
    parts.push_back("MB=" + std::to_string(*s.multiband_acceleration_factor));
  if (parts.empty()) return {};
  std::string note = "BIDS sidecar: ";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) note += ", ";
    note += parts[i];
  }
  return note;
}

Result<Status> audit_entry_impl(const io::bids::DwiEntry& entry, const io::OutputDir& out_dir,
                                const std::string& name, std::optional<double> step,
                                const AuditParams& params) {
  // bvec/bvecs and bval/bvals are FSL text whatever their extension, read as for a single audit.
  ORIVEX_ASSIGN(LoadedTable table, load_fsl(entry.bvec, entry.bval));
  // A series that cannot match its table is refused by the audit without being inflated.
  LoadOptions load;
  load.expected_volumes = table.table.size();
  ORIVEX_ASSIGN(LoadedVolume dwi, read_volume_with_info(entry.dwi, load));
  AuditParams run_params = params;
  run_params.flip.step = sampling_step(step, dwi.info);

  // Datasets often keep masks of other grids (anatomical resolution, templates) beside the
  // DWI; the first one on the DWI grid is the brain mask we can use.
  std::optional<Mask> mask;
  std::optional<std::string> mask_path;
  for (const std::string& candidate : entry.masks) {
    auto m = read_mask(candidate);
    if (!m || m->size() != dwi.array.grid_voxels()) continue;
    mask = std::move(*m);
    mask_path = candidate;
    break;
  }

  std::vector<InputFile> inputs = std::move(table.inputs);
  if (mask_path) {
    ORIVEX_ASSIGN(InputFile m, InputFile::of(*mask_path));
    inputs.push_back(std::move(m));
  }

  ORIVEX_ASSIGN(Report report, audit(table.table, &dwi.array, mask ? &*mask : nullptr,
                                     std::move(inputs), run_params));

  // The sidecar only annotates: an unreadable or malformed one never costs the run its audit.
  if (entry.sidecar) {
    if (auto s = io::bids::read_sidecar(*entry.sidecar)) {
      if (std::string note = sidecar_note(*s); !note.empty()) report.notes.push_back(note);
    }
  }

  // Replaced whole, never written through: a full disk keeps the previous report, and a link
  // planted under the report's name is replaced rather than followed.
  ORIVEX_TRY(out_dir.replace(name + "_report.json", to_pretty_json(report)));
  return report.status;
}

}  // namespace

std::string output_dir(const std::string& root) {
  return io::bids::join(io::bids::join(root, "derivatives"), "orivex");
}

std::string run_name(const io::bids::DwiEntry& entry) {
  auto base = io::bids::nifti_base(entry.dwi);
  if (!base) return "dwi";
  std::size_t slash = base->rfind('/');
  std::string name = slash == std::string::npos ? *base : base->substr(slash + 1);
  if (name.empty()) return "dwi";
  return io::lossy_utf8(name);
}

// Report names. BIDS names runs by entities, so two runs only share a file name when a dataset
// breaks the convention (a copied subject folder, a subject folder linked in twice, a stray
// run under code/ or sourcedata/). Such runs would write the same <name>_report.json, and the
// later one would silently replace the earlier. So, in discovery order, the first run keeps its
// name and every later run whose name is already taken gets the first free name of the series
// "<name>-2", "<name>-3", ... . "Taken" compares names with ASCII letters folded to lower case,
// because on a case-insensitive file system (macOS, Windows shares) sub-01_dwi and SUB-01_dwi
// would still be one file. The disambiguated name is the run's name in `results`, in the
// summary and in its report's file name; it depends only on the discovered paths, so a rerun
// over an unchanged dataset reproduces the same names and replaces the same files.
std::vector<std::string> report_names(const std::vector<io::bids::DwiEntry>& entries) {
  std::vector<std::string> names;
  std::set<std::string> taken;
  names.reserve(entries.size());
  for (const auto& entry : entries) {
    std::string base = run_name(entry);
    std::string name = base;
    for (std::size_t k = 2; taken.count(detail::lower_ascii(name)) != 0; ++k)
      name = base + "-" + std::to_string(k);
    taken.insert(detail::lower_ascii(name));
    names.push_back(std::move(name));
  }
  return names;
}

namespace {

TextResult<Status> audit_into(const io::bids::DwiEntry& entry, const io::OutputDir& out_dir,
                              const std::string& name, std::optional<double> step,
                              const AuditParams& params) {
  auto r = audit_entry_impl(entry, out_dir, name, step, params);
  if (!r) return r.error().message();
  return *r;
}

}  // namespace

TextResult<Status> audit_entry(const io::bids::DwiEntry& entry, const std::string& out_dir,
                               const std::string& name, std::optional<double> step,
                               const AuditParams& params) {
  auto dir = io::OutputDir::open(out_dir);
  if (!dir) return dir.error().message();
  return audit_into(entry, *dir, name, step, params);
}

std::string summary_json(const std::string& root, const BatchOutcome& outcome) {
  JsonWriter w(JsonWriter::Layout::Pretty);
  w.begin_object();
  w.member("bids_root", io::lossy_utf8(root));
  w.member("n_datasets", static_cast<std::uint64_t>(outcome.items.size()));
  write_results(w, outcome.items);
  w.member("status", status_name(outcome.status));
  w.member("tool", tool_name);
  w.end_object();
  return std::move(w).str();
}

int exit_code(Status status) { return status == Status::WARN ? 3 : 0; }

std::string audit_bids_json(const BatchOutcome& outcome) {
  JsonWriter w(JsonWriter::Layout::Compact);
  w.begin_object();
  w.member("exit_code", static_cast<std::int64_t>(exit_code(outcome.status)));
  write_results(w, outcome.items);
  w.member("status", status_name(outcome.status));
  w.member("summary_path", io::lossy_utf8(outcome.summary_path));
  w.end_object();
  return std::move(w).str();
}

TextResult<BatchOutcome> run(const std::string& root, const AuditParams& params,
                             std::optional<double> step) {
  auto entries = io::bids::discover(root);
  if (!entries) return system_text(entries.error());
  if (entries->empty())
    return "no *_dwi NIfTI with sibling bvec/bval (or bvecs/bvals) found under " +
                   io::lossy_utf8(root);

  // The root is the caller's to name (through links if they like); derivatives/ and orivex/
  // below it must be real directories, so a planted link cannot send reports out of the tree.
  auto out_dir = io::OutputDir::open(root, {"derivatives", "orivex"});
  if (!out_dir) return system_text(out_dir.error());

  const std::vector<std::string> names = report_names(*entries);
  BatchOutcome outcome;
  outcome.summary_path = summary_path_of(root);
  for (std::size_t i = 0; i < entries->size(); ++i) {
    const auto& entry = (*entries)[i];
    auto status = audit_into(entry, *out_dir, names[i], step, params);
    if (!status) return status.error();
    outcome.items.push_back(BatchItem{names[i], entry.dwi, *status});
    outcome.status = worst(outcome.status, *status);
  }

  // Written last, so a summary on disk always describes a batch that ran to its end.
  auto written = out_dir->replace("dataset_summary.json", summary_json(root, outcome));
  if (!written) return system_text(written.error());
  return outcome;
}

}  // namespace orivex::bids_batch
