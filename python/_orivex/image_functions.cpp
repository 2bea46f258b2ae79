// audit, audit_profiled and detect_flip, with their glyph forms.
#include <chrono>
#include <utility>

#include "boundary.hpp"
#include "call.hpp"
#include "functions.hpp"
#include "glyphs.hpp"
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

// Steals both; the pair's first element is the report text.
PyObject* pair(PyObject* first, PyObject* second) {
  if (first == nullptr || second == nullptr) {
    Py_XDECREF(first);
    Py_XDECREF(second);
    return nullptr;
  }
  PyObject* tuple = PyTuple_Pack(2, first, second);
  Py_DECREF(first);
  Py_DECREF(second);
  return tuple;
}

PyObject* audit_without_dwi(const Bound& a) {
  auto exec = execution_for(a);
  if (!exec) return nullptr;
  auto table = table_for(a);
  if (!table) return nullptr;
  const AuditParams params = table_audit_params(options_of(a));
  // The mask plays no part without an image, but a bad mask path is still an error.
  auto mask = mask_for(a);
  if (PyErr_Occurred()) return nullptr;
  ORIVEX_PY_ASSIGN(Report report, exec->run([&] {
    return orivex::audit(table->table, nullptr, mask ? &*mask : nullptr, std::move(table->inputs),
                         params);
  }));
  return to_str(to_json(report));
}

// The profiled audit: the timings stop when the core audit returns, before any encoding.
PyObject* profiled(const Bound& a, bool glyphs) {
  auto call = load_image_call(a, true);
  if (!call) return nullptr;
  ORIVEX_PY_ASSIGN(PipelineOutcome outcome, call->exec.run([&] {
    return run_pipeline(call->table.table, &call->volume.array, call->mask_ptr(),
                        std::move(call->table.inputs), call->params,
                        {.timings = true, .glyphs = glyphs});
  }));
  PyObject* timings = timings_dict(*call, outcome.timings);
  if (timings == nullptr) return nullptr;
  PyObject* text = to_str(to_json(outcome.report));
  if (!glyphs) return pair(text, timings);
  const GlyphData* data = glyphs_of(outcome.glyphs);
  if (text == nullptr || data == nullptr) {
    Py_XDECREF(text);
    Py_DECREF(timings);
    return nullptr;
  }
  PyObject* payload = glyph_payload(*data, call->volume.info);
  if (payload == nullptr) {
    Py_DECREF(text);
    Py_DECREF(timings);
    return nullptr;
  }
  PyObject* tuple = PyTuple_Pack(3, text, timings, payload);
  Py_DECREF(text);
  Py_DECREF(timings);
  Py_DECREF(payload);
  return tuple;
}

// The audit (`scheme`) or the detection, with its glyph payload.
PyObject* with_glyphs(const Bound& a, bool scheme) {
  auto call = load_image_call(a, false);
  if (!call) return nullptr;
  ORIVEX_PY_ASSIGN(PipelineOutcome outcome, call->exec.run([&] {
    return run_pipeline(call->table.table, &call->volume.array, call->mask_ptr(),
                        std::move(call->table.inputs), call->params,
                        {.scheme = scheme, .glyphs = true});
  }));
  PyObject* text = to_str(to_json(outcome.report));
  if (text == nullptr) return nullptr;
  const GlyphData* data = glyphs_of(outcome.glyphs);
  if (data == nullptr) {
    Py_DECREF(text);
    return nullptr;
  }
  return pair(text, glyph_payload(*data, call->volume.info));
}

}  // namespace

ORIVEX_PY_FASTCALL(audit) {
  (void)self;
  return guarded([&]() -> PyObject* {
    auto a = bind(audit_signature, args, nargs, kwnames);
    if (!a) return nullptr;
    if (!a->path("dwi")) return audit_without_dwi(*a);
    auto call = load_image_call(*a, false);
    if (!call) return nullptr;
    ORIVEX_PY_ASSIGN(Report report, call->exec.run([&] {
      return orivex::audit(call->table.table, &call->volume.array, call->mask_ptr(),
                           std::move(call->table.inputs), call->params);
    }));
    return to_str(to_json(report));
  });
}

ORIVEX_PY_FASTCALL(audit_with_glyphs) {
  (void)self;
  return guarded([&]() -> PyObject* {
    auto a = bind(audit_with_glyphs_signature, args, nargs, kwnames);
    if (!a) return nullptr;
    return with_glyphs(*a, true);
  });
}

ORIVEX_PY_FASTCALL(audit_profiled) {
  (void)self;
  return guarded([&]() -> PyObject* {
    auto a = bind(audit_profiled_signature, args, nargs, kwnames);
    if (!a) return nullptr;
    return profiled(*a, false);
  });
}

ORIVEX_PY_FASTCALL(audit_profiled_with_glyphs) {
  (void)self;
  return guarded([&]() -> PyObject* {
    auto a = bind(audit_profiled_with_glyphs_signature, args, nargs, kwnames);
    if (!a) return nullptr;
    return profiled(*a, true);
  });
}

ORIVEX_PY_FASTCALL(detect_flip) {
  (void)self;
  return guarded([&]() -> PyObject* {
    auto a = bind(detect_flip_signature, args, nargs, kwnames);
    if (!a) return nullptr;
    auto call = load_image_call(*a, false);
    if (!call) return nullptr;
    ORIVEX_PY_ASSIGN(Report report, call->exec.run([&] {
      return detect(call->table.table, call->volume.array, call->mask_ptr(),
                    std::move(call->table.inputs), call->params);
    }));
    return to_str(to_json(report));
  });
}

ORIVEX_PY_FASTCALL(detect_flip_with_glyphs) {
  (void)self;
  return guarded([&]() -> PyObject* {
    auto a = bind(detect_flip_with_glyphs_signature, args, nargs, kwnames);
    if (!a) return nullptr;
    return with_glyphs(*a, false);
  });
}

}  // namespace orivex::py
