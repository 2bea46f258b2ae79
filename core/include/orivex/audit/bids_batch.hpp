// The batch audit of a BIDS dataset: every discovered run audited in turn, one report per run
// and a dataset summary under <root>/derivatives/orivex/.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "orivex/io/bids.hpp"
#include "orivex/audit/pipeline.hpp"
#include "orivex/audit/report.hpp"

namespace orivex::bids_batch {

// The batch reports its failures as plain texts: OS failures of the walk, the output folder and
// the summary carry the bare system text, a failed run the display text of its Error.
template <class T>
using TextResult = Result<T, std::string>;

struct BatchItem {
  std::string name;  // report name of the run (see report_names)
  std::string dwi;   // the DWI path as discovered
  Status status = Status::PASS;
};

struct BatchOutcome {
  std::string summary_path;
  std::vector<BatchItem> items;  // discovery order
  Status status = Status::PASS;  // the largest item status, PASS < WARN < FLAG
};

// <root>/derivatives/orivex
std::string output_dir(const std::string& root);

// The file name of the run's base path ("sub-01_ses-1_dwi"), invalid UTF-8 replaced; "dwi" when
// the DWI path has no such base.
std::string run_name(const io::bids::DwiEntry& entry);

// One name per entry, in order: the run name, made unique within the batch so that no report
// replaces another (see bids_batch.cpp).
std::vector<std::string> report_names(const std::vector<io::bids::DwiEntry>& entries);

// Audits one run and writes <out_dir>/<name>_report.json whole (io::OutputDir::replace). `step`
// absent: derived from the DWI's voxel sizes. On failure a report already there is unchanged.
TextResult<Status> audit_entry(const io::bids::DwiEntry& entry, const std::string& out_dir,
                               const std::string& name, std::optional<double> step,
                               const AuditParams& params);

// Discovers, audits in order and writes the dataset summary. The first failing run ends the
// batch: reports written before it stay, no summary is written. With no run found nothing is
// created on disk. derivatives/ and orivex/ below the root must not be symbolic links (refused
// with output_through_link); every file is replaced whole, a link at its name never followed.
TextResult<BatchOutcome> run(const std::string& root, const AuditParams& params,
                             std::optional<double> step);

// The dataset summary as written to dataset_summary.json (pretty, no final line feed).
std::string summary_json(const std::string& root, const BatchOutcome& outcome);

// 3 when the dataset status is WARN (the caller should look), 0 for PASS and for FLAG (a FLAG
// comes with its correction, which the caller applies by repair).
int exit_code(Status status);

// What audit_bids returns: {"exit_code","results","status","summary_path"}, compact.
std::string audit_bids_json(const BatchOutcome& outcome);

}  // namespace orivex::bids_batch
