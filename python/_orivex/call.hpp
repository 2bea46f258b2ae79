// The steps every module function shares: parameter tables, the execution, the table, the mask,
// and the conversion of results into Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "args.hpp"
#include "boundary.hpp"
#include "orivex/audit/call_params.hpp"
#include "orivex/support/execution.hpp"
#include "orivex/analysis/flip.hpp"
#include "orivex/audit/input.hpp"
#include "orivex/audit/repair.hpp"
#include "orivex/audit/report.hpp"
#include "orivex/io/volume.hpp"

namespace orivex::py {

extern const Signature inspect_signature;
extern const Signature audit_signature;
extern const Signature audit_with_glyphs_signature;
extern const Signature audit_profiled_signature;
extern const Signature audit_profiled_with_glyphs_signature;
extern const Signature audit_bids_signature;
extern const Signature detect_flip_signature;
extern const Signature detect_flip_with_glyphs_signature;
extern const Signature repair_signature;
extern const Signature repair_with_glyphs_signature;
extern const Signature recompute_bval_signature;

// Each of these returns nothing with a Python exception set when it fails. `keep_pool`: the
// calling thread's kept pool (Execution::kept).
std::optional<Execution> execution_for(const Bound& a, bool keep_pool = false);
std::optional<LoadedTable> table_for(const Bound& a);
// The DWI and the mask are read on the call's pool, like the rest of its work.
std::optional<LoadedVolume> dwi_for(const Execution& exec, const std::string& path,
                                    const LoadOptions& options);
// Absent mask and failure are told apart by PyErr_Occurred.
std::optional<Mask> mask_for(const Execution& exec, const Bound& a);

// The options a function has; the ones it lacks keep their defaults.
CallOptions options_of(const Bound& a);

PyObject* to_str(const std::string& text);

using Clock = std::chrono::steady_clock;

// Runs core work on the call's pool with the GIL released (see without_gil).
template <class F>
auto run_released(const Execution& exec, F&& work) -> decltype(work()) {
  return without_gil([&] { return exec.run(work); });
}

// Everything a function with a DWI loads before its pipeline runs.
struct ImageCall {
  Execution exec;
  LoadedTable table;
  LoadedVolume volume;
  AuditParams params;
  std::optional<Mask> mask;
  // The second module's notes on how the mask fits the DWI (mask_notes), for the report.
  std::vector<std::string> mask_notes;
  // Only for the profiled functions: taken just before the DWI is opened.
  Clock::time_point start;
  Duration decompress;
  Duration convert;

  const Mask* mask_ptr() const { return mask ? &*mask : nullptr; }
};

// Execution, table, DWI (with its frame map and default step), then mask: this order decides
// which failure a caller sees when several inputs are bad. `timed` reads the DWI with its
// decompress and convert durations.
std::optional<ImageCall> load_image_call(const Bound& a, bool timed, bool keep_pool = false);

// The outputs named by out_bvec, out_bval, out_grad, provenance, dry_run and in_place.
OutputSet output_set(const Bound& a);
// Those outputs, the frame maps of the call's table and volume, and force_repair.
RepairSpec repair_spec(const Bound& a, const ImageCall& call);

// The glyph pipelines always attach their data; a missing payload is a broken invariant, raised
// as PanicException.
const GlyphData* glyphs_of(const std::optional<GlyphData>& glyphs);

// The report's text alone, or the tuple of the text, `timings` (stolen, when not null) and, when
// `glyphs` is given, its payload. Nothing leaks on failure.
PyObject* report_result(const Report& report, PyObject* timings,
                        const std::optional<GlyphData>* glyphs, const VolumeInfo& info);

}  // namespace orivex::py
