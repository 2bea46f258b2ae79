// The _orivex extension module: function table and module initialisation.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "boundary.hpp"
#include "functions.hpp"

namespace {

using namespace orivex::py;

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

#define ORIVEX_PY_FAST(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef functions[] = {
    {"version", version, METH_NOARGS, "version()\n--\n\n"},
    {"build_features", build_features, METH_NOARGS, "build_features()\n--\n\n"},
    {"inspect", ORIVEX_PY_FAST(inspect), fastcall,
     "inspect(bvec=None, bval=None, grad=None, tolerance=0.05, b0_threshold=50.0, shell=None, "
     "strict=False, norm_tolerance=0.05, threads=None)\n--\n\n"},
    {"audit", ORIVEX_PY_FAST(audit), fastcall,
     "audit(bvec=None, bval=None, grad=None, dwi=None, mask=None, tolerance=0.05, "
     "b0_threshold=50.0, shell=None, step=None, margin_threshold=0.02, strict=False, "
     "norm_tolerance=0.05, threads=None)\n--\n\n"},
    {"audit_with_glyphs", ORIVEX_PY_FAST(audit_with_glyphs), fastcall,
     "audit_with_glyphs(dwi, bvec=None, bval=None, grad=None, mask=None, tolerance=0.05, "
     "b0_threshold=50.0, shell=None, step=None, margin_threshold=0.02, strict=False, "
     "norm_tolerance=0.05, threads=None)\n--\n\n"},
    {"audit_profiled", ORIVEX_PY_FAST(audit_profiled), fastcall,
     "audit_profiled(dwi, bvec=None, bval=None, grad=None, mask=None, tolerance=0.05, "
     "b0_threshold=50.0, shell=None, step=None, margin_threshold=0.02, strict=False, "
     "norm_tolerance=0.05, threads=None)\n--\n\n"
     "One instrumented audit: returns the report JSON plus a per-stage wall-clock\n"
     "split (`decompress`/`convert`/`fit`/`coherence`/`other`/`total`, seconds).\n"
     "The report is byte-identical to `audit`; only the timing instrumentation is\n"
     "added, so this drives the Python CLI's `--profile`."},
    {"audit_profiled_with_glyphs", ORIVEX_PY_FAST(audit_profiled_with_glyphs), fastcall,
     "audit_profiled_with_glyphs(dwi, bvec=None, bval=None, grad=None, mask=None, "
     "tolerance=0.05, b0_threshold=50.0, shell=None, step=None, margin_threshold=0.02, "
     "strict=False, norm_tolerance=0.05, threads=None)\n--\n\n"},
    {"audit_bids", ORIVEX_PY_FAST(audit_bids), fastcall,
     "audit_bids(root, tolerance=0.05, b0_threshold=50.0, shell=None, step=None, "
     "margin_threshold=0.02, strict=False, norm_tolerance=0.05, threads=None)\n--\n\n"
     "Audit every DWI under a BIDS root (shared `bids_batch` core path). Writes the\n"
     "per-run and dataset reports under `<root>/derivatives/orivex/` and returns a\n"
     "small JSON summary (`status`, `exit_code`, `summary_path`, `results`) for the\n"
     "caller to print. The exit code blocks only on WARN."},
    {"detect_flip", ORIVEX_PY_FAST(detect_flip), fastcall,
     "detect_flip(dwi, bvec=None, bval=None, grad=None, mask=None, tolerance=0.05, "
     "b0_threshold=50.0, shell=None, step=None, margin_threshold=0.02, threads=None)\n--\n\n"},
    {"detect_flip_with_glyphs", ORIVEX_PY_FAST(detect_flip_with_glyphs), fastcall,
     "detect_flip_with_glyphs(dwi, bvec=None, bval=None, grad=None, mask=None, tolerance=0.05, "
     "b0_threshold=50.0, shell=None, step=None, margin_threshold=0.02, threads=None)\n--\n\n"},
    {"repair", ORIVEX_PY_FAST(repair), fastcall,
     "repair(dwi, out_bvec, out_bval, bvec=None, bval=None, grad=None, mask=None, "
     "out_grad=None, provenance=None, tolerance=0.05, b0_threshold=50.0, shell=None, "
     "step=None, margin_threshold=0.02, dry_run=False, in_place=False, strict=False, "
     "force_repair=False, norm_tolerance=0.05, threads=None)\n--\n\n"},
    {"repair_with_glyphs", ORIVEX_PY_FAST(repair_with_glyphs), fastcall,
     "repair_with_glyphs(dwi, out_bvec, out_bval, bvec=None, bval=None, grad=None, mask=None, "
     "out_grad=None, provenance=None, tolerance=0.05, b0_threshold=50.0, shell=None, "
     "step=None, margin_threshold=0.02, dry_run=False, in_place=False, strict=False, "
     "force_repair=False, norm_tolerance=0.05, threads=None)\n--\n\n"},
    {"recompute_bval", ORIVEX_PY_FAST(recompute_bval), fastcall,
     "recompute_bval(out_bvec, out_bval, bvec=None, bval=None, grad=None, out_grad=None, "
     "provenance=None, b0_threshold=50.0, dry_run=False, in_place=False, threads=None)\n--\n\n"
     "Opt-in b-value recovery from amplitude-encoded bvecs. Never reached from\n"
     "`repair`; returns a JSON before/after summary."},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_orivex",
    "",
    0,  // no module state; 0 rather than -1 so every interpreter runs PyInit (see below)
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The process-wide worker pool and the PanicException type are shared by everything loaded in
// this process, so the module belongs to the first interpreter that imports it. An m_size of 0
// makes CPython call PyInit again in any other interpreter (instead of copying a cached module
// dict), which is where that interpreter is refused.
std::int64_t owner_interpreter = -1;

}  // namespace

PyMODINIT_FUNC PyInit__orivex() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  if (owner_interpreter >= 0 && owner_interpreter != id) {
    PyErr_SetString(PyExc_ImportError,
                    "_orivex cannot be loaded into more than one interpreter of a process");
    return nullptr;
  }
  if (panic_exception_type() == nullptr) return nullptr;

  PyObject* module = PyModule_Create(&module_def);
  if (module == nullptr) return nullptr;
  PyObject* name = PyModule_GetNameObject(module);
  if (name == nullptr) {
    Py_DECREF(module);
    return nullptr;
  }
  for (PyMethodDef& def : functions) {
    PyObject* fn = PyCFunction_NewEx(&def, module, name);
    if (fn == nullptr || PyModule_Add(module, def.ml_name, fn) < 0) {
      Py_DECREF(name);
      Py_DECREF(module);
      return nullptr;
    }
  }
  Py_DECREF(name);
  owner_interpreter = id;
  return module;
}
