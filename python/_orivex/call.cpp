// Parameter tables of the module functions and the loading steps they share.
#include "call.hpp"

#include <array>

#include "boundary.hpp"
#include "glyphs.hpp"
#include "parameters.hpp"
#include "orivex/analysis/frame.hpp"

namespace orivex::py {

namespace {

constexpr std::array inspect_params{
    param("bvec"), param("bval"), param("grad"), param("tolerance"), param("b0_threshold"),
    param("shell"), param("strict"), param("norm_tolerance"), param("threads")};
constexpr std::array audit_params{
    param("bvec"), param("bval"), param("grad"), param("dwi"), param("mask"), param("tolerance"),
    param("b0_threshold"), param("shell"), param("step"), param("margin_threshold"),
    param("strict"), param("norm_tolerance"), param("threads")};
constexpr std::array profiled_params{
    param("dwi"), param("bvec"), param("bval"), param("grad"), param("mask"), param("tolerance"),
    param("b0_threshold"), param("shell"), param("step"), param("margin_threshold"),
    param("strict"), param("norm_tolerance"), param("threads")};
constexpr std::array bids_params{
    param("root"), param("tolerance"), param("b0_threshold"), param("shell"), param("step"),
    param("margin_threshold"), param("strict"), param("norm_tolerance"), param("threads")};
constexpr std::array detect_params{
    param("dwi"), param("bvec"), param("bval"), param("grad"), param("mask"), param("tolerance"),
    param("b0_threshold"), param("shell"), param("step"), param("margin_threshold"),
    param("threads")};
constexpr std::array repair_params{
    param("dwi"), param("out_bvec"), param("out_bval"), param("bvec"), param("bval"),
    param("grad"), param("mask"), param("out_grad"), param("provenance"), param("tolerance"),
    param("b0_threshold"), param("shell"), param("step"), param("margin_threshold"),
    param("dry_run"), param("in_place"), param("strict"), param("force_repair"),
    param("norm_tolerance"), param("threads")};
constexpr std::array recompute_params{
    param("out_bvec"), param("out_bval"), param("bvec"), param("bval"), param("grad"),
    param("out_grad"), param("provenance"), param("b0_threshold"), param("dry_run"),
    param("in_place"), param("threads")};

}  // namespace

const Signature inspect_signature{"inspect", inspect_params, 0};
const Signature audit_signature{"audit", audit_params, 0};
const Signature audit_with_glyphs_signature{"audit_with_glyphs", profiled_params, 1};
const Signature audit_profiled_signature{
    "audit_profiled", profiled_params, 1,
    "One instrumented audit: returns the report JSON plus a per-stage wall-clock\n"
    "split (`decompress`/`convert`/`fit`/`coherence`/`other`/`total`, seconds).\n"
    "The report is byte-identical to `audit`; only the timing instrumentation is\n"
    "added, so this drives the Python CLI's `--profile`."};
const Signature audit_profiled_with_glyphs_signature{"audit_profiled_with_glyphs",
                                                     profiled_params, 1};
const Signature audit_bids_signature{
    "audit_bids", bids_params, 1,
    "Audit every DWI under a BIDS root (shared `bids_batch` core path). Writes the\n"
    "per-run and dataset reports under `<root>/derivatives/orivex/` and returns a\n"
    "small JSON summary (`status`, `exit_code`, `summary_path`, `results`) for the\n"
    "caller to print. The exit code blocks only on WARN."};
const Signature detect_flip_signature{"detect_flip", detect_params, 1};
const Signature detect_flip_with_glyphs_signature{"detect_flip_with_glyphs", detect_params, 1};
const Signature repair_signature{"repair", repair_params, 3};
const Signature repair_with_glyphs_signature{"repair_with_glyphs", repair_params, 3};
const Signature recompute_bval_signature{
    "recompute_bval", recompute_params, 2,
    "Opt-in b-value recovery from amplitude-encoded bvecs. Never reached from\n"
    "`repair`; returns a JSON before/after summary."};

namespace {

// The value, or nothing with the error raised as ValueError.
template <class T>
std::optional<T> value_or_raise(Result<T> r) {
  if (!r) {
    raise_error(std::move(r).error());
    return std::nullopt;
  }
  return std::move(r).value();
}

}  // namespace

std::optional<Execution> execution_for(const Bound& a, bool keep_pool) {
  return value_or_raise(keep_pool ? Execution::kept(a.threads()) : Execution::create(a.threads()));
}

std::optional<LoadedTable> table_for(const Bound& a) {
  auto loaded = value_or_raise(load_table(a.path("bvec"), a.path("bval"), a.path("grad")));
  if (loaded && !*loaded) raise_value_error(no_table_message);
  if (!loaded || !*loaded) return std::nullopt;
  return std::move(**loaded);
}

std::optional<LoadedVolume> dwi_for(const Execution& exec, const std::string& path,
                                    const LoadOptions& options) {
  return value_or_raise(run_released(exec, [&] { return read_volume_with_info(path, options); }));
}

std::optional<Mask> mask_for(const Execution& exec, const Bound& a) {
  const std::optional<std::string> path = a.path("mask");
  auto mask = value_or_raise(run_released(exec, [&] { return read_optional_mask(path); }));
  return mask ? std::move(*mask) : std::nullopt;
}

CallOptions options_of(const Bound& a) {
  CallOptions o;
  o.shell = a.opt_real("shell");
  o.b0_threshold = a.real("b0_threshold");
  if (a.has("tolerance")) o.tolerance = a.real("tolerance");
  if (a.has("step")) o.step = a.opt_real("step");
  if (a.has("margin_threshold")) o.margin_threshold = a.real("margin_threshold");
  if (a.has("strict")) o.strict = a.flag("strict");
  if (a.has("norm_tolerance")) o.norm_tolerance = a.real("norm_tolerance");
  return o;
}

PyObject* to_str(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

std::optional<ImageCall> load_image_call(const Bound& a, bool timed, bool keep_pool) {
  auto exec = execution_for(a, keep_pool);
  if (!exec) return std::nullopt;
  auto table = table_for(a);
  if (!table) return std::nullopt;
  ImageCall call{std::move(*exec), std::move(*table), {}, {}, std::nullopt, {}, {}, {}, {}};
  const std::string dwi = a.path("dwi").value_or(std::string());
  // A series whose volume count differs from the table's is not inflated; the pipeline then
  // reports the mismatch after the mask, in its usual place.
  LoadOptions options;
  options.expected_volumes = call.table.table.size();
  // Only the second module's functions take a budget; _orivex's load with the machine's memory.
  if (a.has("memory_limit")) options.memory_budget = a.count("memory_limit");
  if (timed) {
    call.start = Clock::now();
    auto read =
        value_or_raise(run_released(call.exec, [&] { return read_volume_with_info_timed(dwi, options); }));
    if (!read) return std::nullopt;
    call.volume = std::move(read->volume);
    call.decompress = read->decompress;
    call.convert = read->convert;
  } else {
    auto volume = dwi_for(call.exec, dwi, options);
    if (!volume) return std::nullopt;
    call.volume = std::move(*volume);
  }
  if (auto placed = check_affine(call.volume.info); !placed) {
    raise_error(std::move(placed).error());
    return std::nullopt;
  }
  call.params = image_audit_params(options_of(a), call.volume.info, call.table.from_grad);
  const std::optional<std::string> mask_path = a.path("mask");
  auto mask = value_or_raise(
      run_released(call.exec, [&] { return read_optional_mask_image(mask_path); }));
  if (!mask) return std::nullopt;
  if (*mask) {
    if (a.package()) call.mask_notes = mask_notes(**mask, call.volume.info);
    call.mask = std::move((*mask)->mask);
  }
  return call;
}

const GlyphData* glyphs_of(const std::optional<GlyphData>& glyphs) {
  if (!glyphs) raise_panic("glyph pipeline returned no glyph data");
  return glyphs ? &*glyphs : nullptr;
}

PyObject* report_result(const Report& report, PyObject* timings,
                        const std::optional<GlyphData>* glyphs, const VolumeInfo& info) {
  PyObject* text = to_str(to_json(report));
  if (timings == nullptr && glyphs == nullptr) return text;
  PyObject* payload = nullptr;
  if (glyphs != nullptr && text != nullptr) {
    if (const GlyphData* data = glyphs_of(*glyphs)) payload = glyph_payload(*data, info);
  }
  PyObject* tuple = nullptr;
  if (text != nullptr && (glyphs == nullptr || payload != nullptr)) {
    tuple = timings == nullptr   ? PyTuple_Pack(2, text, payload)
            : glyphs == nullptr ? PyTuple_Pack(2, text, timings)
                                : PyTuple_Pack(3, text, timings, payload);
  }
  Py_XDECREF(text);
  Py_XDECREF(timings);
  Py_XDECREF(payload);
  return tuple;
}

OutputSet output_set(const Bound& a) {
  return OutputSet{a.path("out_bvec").value_or(std::string()),
                   a.path("out_bval").value_or(std::string()),
                   a.path("out_grad"),
                   a.path("provenance"),
                   a.flag("dry_run"),
                   a.flag("in_place")};
}

RepairSpec repair_spec(const Bound& a, const ImageCall& call) {
  const TableFrame frame = call.table.from_grad ? TableFrame::World : TableFrame::Fsl;
  return RepairSpec{output_set(a), FrameMaps::resolve(frame, call.volume.info),
                    a.flag("force_repair")};
}

}  // namespace orivex::py
