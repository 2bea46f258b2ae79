// audit, detect_flip and repair with the tracking verdict, and their profiled and QC forms.
#include "verdict_functions.hpp"

#include <array>
#include <utility>

#include "boundary.hpp"
#include "call.hpp"
#include "orivex/audit/report.hpp"

namespace orivex::py::native {

namespace {

constexpr Param bvec{"bvec", Kind::OptPath};
constexpr Param bval{"bval", Kind::OptPath};
constexpr Param grad{"grad", Kind::OptPath};
constexpr Param dwi{"dwi", Kind::Path};
constexpr Param mask{"mask", Kind::OptPath};
constexpr Param tolerance{"tolerance", Kind::Real, 0.05};
constexpr Param b0_threshold{"b0_threshold", Kind::Real, 50.0};
constexpr Param shell{"shell", Kind::OptReal};
constexpr Param step{"step", Kind::OptReal};
constexpr Param margin_threshold{"margin_threshold", Kind::Real, 0.02};
constexpr Param strict{"strict", Kind::Flag};
constexpr Param norm_tolerance{"norm_tolerance", Kind::Real, 0.05};
constexpr Param threads{"threads", Kind::Threads};
constexpr Param seeds{"seeds", Kind::OptCount};
constexpr Param verdict_margin{"verdict_margin", Kind::Real, default_verdict_margin};
constexpr Param qc_tracks{"qc_tracks", Kind::OptCount};
constexpr Param memory_limit{"memory_limit", Kind::OptCount};

constexpr std::size_t default_qc_tracks = 1000;

#define ORIVEX_AUDIT_PARAMS                                                                 \
  dwi, bvec, bval, grad, mask, tolerance, b0_threshold, shell, step, margin_threshold, strict, \
      norm_tolerance, threads, seeds, verdict_margin, memory_limit
#define ORIVEX_DETECT_PARAMS                                                               \
  dwi, bvec, bval, grad, mask, tolerance, b0_threshold, shell, step, margin_threshold, threads, \
      seeds, verdict_margin, memory_limit
#define ORIVEX_REPAIR_PARAMS                                                                   \
  dwi, Param{"out_bvec", Kind::Path}, Param{"out_bval", Kind::Path}, bvec, bval, grad, mask,       \
      Param{"out_grad", Kind::OptPath}, Param{"provenance", Kind::OptPath}, tolerance, b0_threshold, \
      shell, step, margin_threshold, Param{"dry_run", Kind::Flag}, Param{"in_place", Kind::Flag},   \
      strict, Param{"force_repair", Kind::Flag}, norm_tolerance, threads, seeds, verdict_margin, \
      memory_limit

constexpr std::array audit_params{ORIVEX_AUDIT_PARAMS};
constexpr std::array audit_qc_params{ORIVEX_AUDIT_PARAMS, qc_tracks};
constexpr std::array detect_params{ORIVEX_DETECT_PARAMS};
constexpr std::array detect_qc_params{ORIVEX_DETECT_PARAMS, qc_tracks};
constexpr std::array repair_params{ORIVEX_REPAIR_PARAMS};
constexpr std::array repair_qc_params{ORIVEX_REPAIR_PARAMS, qc_tracks};
constexpr std::array check_params{tolerance, b0_threshold,   shell,         step,
                                  margin_threshold, norm_tolerance, threads, seeds,
                                  verdict_margin,   memory_limit};

const Signature audit_signature{"audit", audit_params, 1, "", true};
const Signature audit_profiled_signature{"audit_profiled", audit_params, 1, "", true};
const Signature audit_with_qc_signature{"audit_with_qc", audit_qc_params, 1, "", true};
const Signature audit_profiled_with_qc_signature{"audit_profiled_with_qc", audit_qc_params, 1, "",
                                                 true};
const Signature detect_flip_signature{"detect_flip", detect_params, 1, "", true};
const Signature detect_flip_with_qc_signature{"detect_flip_with_qc", detect_qc_params, 1, "",
                                              true};
const Signature repair_signature{"repair", repair_params, 3, "", true};
const Signature check_options_signature{"check_options", check_params, 0, "", true};
const Signature repair_with_qc_signature{"repair_with_qc", repair_qc_params, 3, "", true};

enum class Pipeline { Audit, Detect, Repair };

struct Want {
  Pipeline pipeline = Pipeline::Audit;
  bool timed = false;
  bool qc = false;
};

VerdictParams verdict_params(const Bound& a, const ImageCall& call, bool qc) {
  VerdictParams vp;
  if (auto n = a.count("seeds")) vp.tracking.seeds = static_cast<std::size_t>(*n);
  vp.margin_threshold = a.real("verdict_margin");
  vp.voxel_sizes = call.volume.info.voxel_sizes;
  if (qc) vp.qc_tracks = static_cast<std::size_t>(a.count("qc_tracks").value_or(default_qc_tracks));
  return vp;
}

PyObject* timings_dict(const ImageCall& call, const VerdictTimings& t, Duration total_time) {
  const double total = total_time.seconds();
  const double parts[] = {call.decompress.seconds(), call.convert.seconds(), t.fit.seconds(),
                          t.coherence.seconds(), t.tracking.seconds()};
  double other = total;
  for (double p : parts) other -= p;
  if (!(other >= 0.0)) other = 0.0;
  return Py_BuildValue("{s:d,s:d,s:d,s:d,s:d,s:d,s:d,s:d}", "threads",
                       static_cast<double>(call.exec.concurrency()), "decompress", parts[0],
                       "convert", parts[1], "fit", parts[2], "coherence", parts[3], "tracking",
                       parts[4], "other", other, "total", total);
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

PyObject* run(const Bound& a, Want want) {
  auto call = load_image_call(a, want.timed);
  if (!call) return nullptr;
  const VerdictParams vp = verdict_params(a, *call, want.qc);
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
  PyObject* text = to_str(to_json(outcome));
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
                Want want) {
  return guarded([&]() -> PyObject* {
    auto a = bind(sig, args, nargs, kwnames);
    if (!a || !options_in_range(*a)) return nullptr;
    return run(*a, want);
  });
}

}  // namespace

PyObject* version(PyObject*, PyObject*) {
  return guarded([] { return PyUnicode_FromString(tool_version); });
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
  return entry(audit_signature, args, nargs, kwnames, {Pipeline::Audit, false, false});
}

ORIVEX_NATIVE_FASTCALL(audit_profiled) {
  (void)self;
  return entry(audit_profiled_signature, args, nargs, kwnames, {Pipeline::Audit, true, false});
}

ORIVEX_NATIVE_FASTCALL(audit_with_qc) {
  (void)self;
  return entry(audit_with_qc_signature, args, nargs, kwnames, {Pipeline::Audit, false, true});
}

ORIVEX_NATIVE_FASTCALL(audit_profiled_with_qc) {
  (void)self;
  return entry(audit_profiled_with_qc_signature, args, nargs, kwnames,
               {Pipeline::Audit, true, true});
}

ORIVEX_NATIVE_FASTCALL(detect_flip) {
  (void)self;
  return entry(detect_flip_signature, args, nargs, kwnames, {Pipeline::Detect, false, false});
}

ORIVEX_NATIVE_FASTCALL(detect_flip_with_qc) {
  (void)self;
  return entry(detect_flip_with_qc_signature, args, nargs, kwnames,
               {Pipeline::Detect, false, true});
}

ORIVEX_NATIVE_FASTCALL(repair) {
  (void)self;
  return entry(repair_signature, args, nargs, kwnames, {Pipeline::Repair, false, false});
}

ORIVEX_NATIVE_FASTCALL(repair_with_qc) {
  (void)self;
  return entry(repair_with_qc_signature, args, nargs, kwnames, {Pipeline::Repair, false, true});
}

}  // namespace orivex::py::native
