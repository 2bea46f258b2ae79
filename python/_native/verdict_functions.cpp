// audit, detect_flip and repair with the tracking verdict; `profile` and `qc` add the timings and
// the QC figure's data to the result.
#include "verdict_functions.hpp"

#include <array>
#include <utility>

#include "boundary.hpp"
#include "call.hpp"
#include "glyphs.hpp"
#include "parameters.hpp"
#include "orivex/audit/report.hpp"

namespace orivex::py::native {

namespace {

#define ORIVEX_IMAGE_PARAMS                                                                  \
  param("dwi"), param("bvec"), param("bval"), param("grad"), param("mask"), param("tolerance"), \
      param("b0_threshold"), param("shell"), param("step"), param("margin_threshold")
#define ORIVEX_VERDICT_PARAMS \
  param("threads"), param("seeds"), param("verdict_margin"), param("memory_limit")

constexpr std::array audit_params{ORIVEX_IMAGE_PARAMS,  param("strict"), param("norm_tolerance"),
                                  ORIVEX_VERDICT_PARAMS, param("profile"), param("qc"),
                                  param("qc_tracks"), param("pretty"), param("coherence"),
                                  param("keep_pool")};
constexpr std::array detect_params{ORIVEX_IMAGE_PARAMS, ORIVEX_VERDICT_PARAMS, param("qc"),
                                   param("qc_tracks")};
constexpr std::array check_params{param("tolerance"), param("b0_threshold"), param("shell"),
                                  param("step"), param("margin_threshold"),
                                  param("norm_tolerance"), ORIVEX_VERDICT_PARAMS};
constexpr std::array repair_params{
    param("dwi"), param("out_bvec"), param("out_bval"), param("bvec"), param("bval"),
    param("grad"), param("mask"), param("out_grad"), param("provenance"), param("tolerance"),
    param("b0_threshold"), param("shell"), param("step"), param("margin_threshold"),
    param("dry_run"), param("in_place"), param("strict"), param("force_repair"),
    param("norm_tolerance"), ORIVEX_VERDICT_PARAMS, param("fix_volumes"), param("qc"),
    param("qc_tracks")};

}  // namespace

const Signature audit_signature{
    "audit", audit_params, 1,
    "The audit with the tracking verdict: the report JSON with `tracking`, `verdict` and\n"
    "`volumes` sections; `status` is the verdict's decision. With `profile` and `qc`, a tuple of\n"
    "the text, then the per-stage seconds (including `tracking`), then the QC figure's data.\n"
    "`keep_pool` serves run after run from one pool, as the BIDS App's workers do;\n"
    "`coherence` gives _orivex's audit instead (`qc`: its glyph payload).",
    true};
const Signature detect_flip_signature{
    "detect_flip", detect_params, 1,
    "The flip detection with the tracking verdict; with `qc`, (text, QC figure's data).",
    true};
const Signature repair_signature{
    "repair", repair_params, 3,
    "Applies a FLAG verdict's correction (or, with force_repair, a WARN verdict's best);\n"
    "with fix_volumes, also mends the rows of a partial_flip or shifted_rows finding;\n"
    "with `qc`, (text, QC figure's data).",
    true};
const Signature check_options_signature{
    "check_options", check_params, 0,
    "Raises the ValueError of an option out of range, as the calls would before reading a file.",
    true};

namespace {

enum class Pipeline { Audit, Detect, Repair };

struct Want {
  Pipeline pipeline = Pipeline::Audit;
  bool timed = false;
  bool qc = false;
  bool pretty = false;
  bool coherence = false;
  bool keep_pool = false;
};

VerdictParams verdict_params(const Bound& a, const ImageCall& call, bool qc) {
  VerdictParams vp;
  if (auto n = a.count("seeds")) vp.tracking.seeds = static_cast<std::size_t>(*n);
  vp.margin_threshold = a.real("verdict_margin");
  vp.voxel_sizes = call.volume.info.voxel_sizes;
  if (qc) vp.qc_tracks = static_cast<std::size_t>(a.count("qc_tracks").value_or(0));
  return vp;
}

VerdictParams repair_params_of(const Bound& a, const ImageCall& call, bool qc) {
  VerdictParams vp = verdict_params(a, call, qc);
  vp.fix_volumes = a.flag("fix_volumes");
  return vp;
}

PyObject* timings_dict(const ImageCall& call, const VerdictTimings& t, Duration total_time) {
  const double total = total_time.seconds();
  const double parts[] = {call.decompress.seconds(), call.convert.seconds(), t.fit.seconds(),
                          t.coherence.seconds(), t.tracking.seconds(), t.volumes.seconds()};
  double other = total;
  for (double p : parts) other -= p;
  if (!(other >= 0.0)) other = 0.0;
  return Py_BuildValue("{s:d,s:d,s:d,s:d,s:d,s:d,s:d,s:d,s:d}", "threads",
                       static_cast<double>(call.exec.concurrency()), "decompress", parts[0],
                       "convert", parts[1], "fit", parts[2], "coherence", parts[3], "tracking",
                       parts[4], "volumes", parts[5], "other", other, "total", total);
}

// Steals every item; nullptr (releasing the others) when any is missing.
PyObject* tuple_of(std::initializer_list<PyObject*> items) {
  bool ok = true;
  for (PyObject* o : items) ok = ok && o != nullptr;
  PyObject* tuple = ok ? PyTuple_New(static_cast<Py_ssize_t>(items.size())) : nullptr;
  Py_ssize_t i = 0;
  for (PyObject* o : items) {
    if (tuple != nullptr) PyTuple_SET_ITEM(tuple, i++, o);
    else Py_XDECREF(o);
  }
  return tuple;
}

// _orivex's audit (the coherence evidence) on the same road: its report, its stage timings under
// the verdict's names (no tracking), its glyph payload as the QC data.
PyObject* run_coherence(ImageCall& call, Want want) {
  const PipelineRequest request{.timings = want.timed, .glyphs = want.qc};
  ORIVEX_PY_ASSIGN(PipelineOutcome outcome, run_released(call.exec, [&] {
    return run_pipeline(call.table.table, &call.volume.array, call.mask_ptr(),
                        std::move(call.table.inputs), call.params, request);
  }));
  const Duration total = Duration::between(call.start, Clock::now());
  PyObject* timings = nullptr;
  if (want.timed) {
    const VerdictTimings t{outcome.timings.fit_time, outcome.timings.rank_time, {}, {}};
    if ((timings = timings_dict(call, t, total)) == nullptr) return nullptr;
  }
  if (!want.pretty) {
    return report_result(outcome.report, timings, want.qc ? &outcome.glyphs : nullptr,
                         call.volume.info);
  }
  PyObject* text = to_str(to_pretty_json(outcome.report));
  PyObject* payload = nullptr;
  if (want.qc && text != nullptr) {
    if (const GlyphData* data = glyphs_of(outcome.glyphs))
      payload = glyph_payload(*data, call.volume.info);
  }
  if (!want.timed && !want.qc) return text;
  if (!want.qc) return tuple_of({text, timings});
  return want.timed ? tuple_of({text, timings, payload}) : tuple_of({text, payload});
}

PyObject* run(const Bound& a, Want want) {
  auto call = load_image_call(a, want.timed, want.keep_pool);
  if (!call) return nullptr;
  if (want.coherence && want.pipeline == Pipeline::Audit) return run_coherence(*call, want);
  const VerdictParams vp = want.pipeline == Pipeline::Repair ? repair_params_of(a, *call, want.qc)
                                                             : verdict_params(a, *call, want.qc);
  VerdictOutcome outcome;
  if (want.pipeline == Pipeline::Repair) {
    const RepairSpec request = repair_spec(a, *call);
    ORIVEX_PY_ASSIGN(VerdictRepair repaired, run_released(call->exec, [&] {
      return repair_with_verdict(call->table.table, call->volume.array, call->mask_ptr(),
                                 std::move(call->table.inputs), call->params, vp, request);
    }));
    outcome = std::move(repaired.outcome);
  } else {
    const bool audit = want.pipeline == Pipeline::Audit;
    ORIVEX_PY_ASSIGN(outcome, run_released(call->exec, [&] {
      return audit ? audit_with_verdict(call->table.table, call->volume.array, call->mask_ptr(),
                                        std::move(call->table.inputs), call->params, vp)
                   : detect_with_verdict(call->table.table, call->volume.array, call->mask_ptr(),
                                         std::move(call->table.inputs), call->params, vp);
    }));
  }
  const Duration total = Duration::between(call->start, Clock::now());
  // What was noticed while loading comes before the pipeline's own notes.
  auto& notes = outcome.report.notes;
  notes.insert(notes.begin(), call->mask_notes.begin(), call->mask_notes.end());
  PyObject* text = to_str(want.pretty ? to_pretty_json(outcome) : to_json(outcome));
  if (!want.timed && !want.qc) return text;
  if (text == nullptr) return nullptr;
  PyObject* timings = want.timed ? timings_dict(*call, outcome.timings, total) : nullptr;
  if (want.timed && timings == nullptr) {
    Py_DECREF(text);
    return nullptr;
  }
  if (!want.qc) return tuple_of({text, timings});
  if (!outcome.qc) {
    Py_DECREF(text);
    Py_XDECREF(timings);
    raise_panic("verdict pipeline returned no QC data");
    return nullptr;
  }
  PyObject* payload = qc_payload(*outcome.qc, call->volume.info);
  return want.timed ? tuple_of({text, timings, payload}) : tuple_of({text, payload});
}

// The range checks of the core, before any file is opened; false with ValueError raised.
bool options_in_range(const Bound& a) {
  PackageOptions p;
  p.threads = a.threads();
  p.seeds = a.count("seeds");
  p.verdict_margin = a.real("verdict_margin");
  p.memory_limit = a.count("memory_limit");
  if (auto checked = check_options(options_of(a), p); !checked) {
    raise_error(std::move(checked).error());
    return false;
  }
  return true;
}

PyObject* entry(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                Pipeline pipeline) {
  return guarded([&]() -> PyObject* {
    auto a = bind(sig, args, nargs, kwnames);
    if (!a || !options_in_range(*a)) return nullptr;
    return run(*a, {pipeline, a->flag("profile"), a->flag("qc"), a->flag("pretty"),
                    a->flag("coherence"), a->flag("keep_pool")});
  });
}

}  // namespace

PyObject* version(PyObject*, PyObject*) {
  return guarded([] { return PyUnicode_FromString(tool_version); });
}

PyObject* parameters(PyObject*, PyObject*) {
  return guarded([] { return parameters_dict(); });
}

ORIVEX_NATIVE_FASTCALL(check_options) {
  (void)self;
  return guarded([&]() -> PyObject* {
    auto a = bind(check_options_signature, args, nargs, kwnames);
    if (!a || !options_in_range(*a)) return nullptr;
    Py_RETURN_NONE;
  });
}

ORIVEX_NATIVE_FASTCALL(audit) {
  (void)self;
  return entry(audit_signature, args, nargs, kwnames, Pipeline::Audit);
}

ORIVEX_NATIVE_FASTCALL(detect_flip) {
  (void)self;
  return entry(detect_flip_signature, args, nargs, kwnames, Pipeline::Detect);
}

ORIVEX_NATIVE_FASTCALL(repair) {
  (void)self;
  return entry(repair_signature, args, nargs, kwnames, Pipeline::Repair);
}

}  // namespace orivex::py::native
