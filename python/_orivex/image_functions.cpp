// audit, audit_profiled and detect_flip, with their glyph forms.
#include <chrono>
#include <utility>

#include "boundary.hpp"
#include "call.hpp"
#include "functions.hpp"
#include "orivex/audit/pipeline.hpp"
#include "orivex/audit/report.hpp"

namespace orivex::py {

namespace {

PyObject* timings_dict(const ImageCall& call, const DetectTimings& timings) {
  const double total = Duration::between(call.start, Clock::now()).seconds();
  const double decompress = call.decompress.seconds();
  const double convert = call.convert.seconds();
  const double fit = timings.fit_time.seconds();
  const double coherence = timings.rank_time.seconds();
  double other = total - decompress - convert - fit - coherence;
  if (!(other >= 0.0)) other = 0.0;
  return Py_BuildValue("{s:d,s:d,s:d,s:d,s:d,s:d,s:d}", "threads",
                       static_cast<double>(call.exec.concurrency()), "decompress", decompress,
                       "convert", convert, "fit", fit, "coherence", coherence, "other", other,
                       "total", total);
}

PyObject* audit_without_dwi(const Bound& a) {
  auto exec = execution_for(a);
  if (!exec) return nullptr;
  auto table = table_for(a);
  if (!table) return nullptr;
  const AuditParams params = table_audit_params(options_of(a));
  // The mask plays no part without an image, but a bad mask path is still an error.
  auto mask = mask_for(*exec, a);
  if (PyErr_Occurred()) return nullptr;
  ORIVEX_PY_ASSIGN(Report report, exec->run([&] {
    return orivex::audit(table->table, nullptr, mask ? &*mask : nullptr, std::move(table->inputs),
                         params);
  }));
  return to_str(to_json(report));
}

// Every function with a DWI: load, run the pipeline, then the report text, or the tuple of the
// text with the timings and the glyph payload the request asked for. The timings stop when the
// pipeline returns, before any encoding.
PyObject* run_image(const Bound& a, PipelineRequest request) {
  auto call = load_image_call(a, request.timings);
  if (!call) return nullptr;
  ORIVEX_PY_ASSIGN(PipelineOutcome outcome, run_released(call->exec, [&] {
    return run_pipeline(call->table.table, &call->volume.array, call->mask_ptr(),
                        std::move(call->table.inputs), call->params, request);
  }));
  PyObject* timings = nullptr;
  if (request.timings && (timings = timings_dict(*call, outcome.timings)) == nullptr) return nullptr;
  return report_result(outcome.report, timings, request.glyphs ? &outcome.glyphs : nullptr,
                       call->volume.info);
}

}  // namespace

ORIVEX_PY_FASTCALL(audit) {
  (void)self;
  return guarded([&]() -> PyObject* {
    auto a = bind(audit_signature, args, nargs, kwnames);
    if (!a) return nullptr;
    return a->path("dwi") ? run_image(*a, {}) : audit_without_dwi(*a);
  });
}

ORIVEX_PY_FASTCALL(audit_with_glyphs) {
  (void)self;
  return guarded([&]() -> PyObject* {
    auto a = bind(audit_with_glyphs_signature, args, nargs, kwnames);
    return a ? run_image(*a, {.glyphs = true}) : nullptr;
  });
}

ORIVEX_PY_FASTCALL(audit_profiled) {
  (void)self;
  return guarded([&]() -> PyObject* {
    auto a = bind(audit_profiled_signature, args, nargs, kwnames);
    return a ? run_image(*a, {.timings = true}) : nullptr;
  });
}

ORIVEX_PY_FASTCALL(audit_profiled_with_glyphs) {
  (void)self;
  return guarded([&]() -> PyObject* {
    auto a = bind(audit_profiled_with_glyphs_signature, args, nargs, kwnames);
    return a ? run_image(*a, {.timings = true, .glyphs = true}) : nullptr;
  });
}

ORIVEX_PY_FASTCALL(detect_flip) {
  (void)self;
  return guarded([&]() -> PyObject* {
    auto a = bind(detect_flip_signature, args, nargs, kwnames);
    return a ? run_image(*a, {.scheme = false}) : nullptr;
  });
}

ORIVEX_PY_FASTCALL(detect_flip_with_glyphs) {
  (void)self;
  return guarded([&]() -> PyObject* {
    auto a = bind(detect_flip_with_glyphs_signature, args, nargs, kwnames);
    return a ? run_image(*a, {.scheme = false, .glyphs = true}) : nullptr;
  });
}

}  // namespace orivex::py
