// The orivex._native extension module: the verdict functions the command line uses.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "boundary.hpp"
#include "verdict_functions.hpp"

namespace {

using namespace orivex::py::native;

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

#define ORIVEX_NATIVE_FAST(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

#define ORIVEX_NATIVE_TAIL                                                                     \
  "tolerance=0.05, b0_threshold=50.0, shell=None, step=None, margin_threshold=0.02, "         \
  "strict=False, norm_tolerance=0.05, threads=None, seeds=2000, verdict_margin=0.05, "         \
  "memory_limit=None"

PyMethodDef functions[] = {
    {"version", version, METH_NOARGS, "version()\n--\n\n"},
    {"audit", ORIVEX_NATIVE_FAST(audit), fastcall,
     "audit(dwi, bvec=None, bval=None, grad=None, mask=None, " ORIVEX_NATIVE_TAIL ")\n--\n\n"
     "The audit with the tracking verdict: the report JSON with `tracking` and `verdict`\n"
     "sections; `status` is the verdict's decision."},
    {"audit_profiled", ORIVEX_NATIVE_FAST(audit_profiled), fastcall,
     "audit_profiled(dwi, bvec=None, bval=None, grad=None, mask=None, " ORIVEX_NATIVE_TAIL
     ")\n--\n\n(report JSON, per-stage seconds including `tracking`)."},
    {"audit_with_qc", ORIVEX_NATIVE_FAST(audit_with_qc), fastcall,
     "audit_with_qc(dwi, bvec=None, bval=None, grad=None, mask=None, " ORIVEX_NATIVE_TAIL
     ", qc_tracks=1000)\n--\n\n(report JSON, data of the QC figure)."},
    {"audit_profiled_with_qc", ORIVEX_NATIVE_FAST(audit_profiled_with_qc), fastcall,
     "audit_profiled_with_qc(dwi, bvec=None, bval=None, grad=None, mask=None, " ORIVEX_NATIVE_TAIL
     ", qc_tracks=1000)\n--\n\n(report JSON, per-stage seconds, data of the QC figure)."},
    {"detect_flip", ORIVEX_NATIVE_FAST(detect_flip), fastcall,
     "detect_flip(dwi, bvec=None, bval=None, grad=None, mask=None, tolerance=0.05, "
     "b0_threshold=50.0, shell=None, step=None, margin_threshold=0.02, threads=None, "
     "seeds=2000, verdict_margin=0.05, memory_limit=None)\n--\n\n"},
    {"detect_flip_with_qc", ORIVEX_NATIVE_FAST(detect_flip_with_qc), fastcall,
     "detect_flip_with_qc(dwi, bvec=None, bval=None, grad=None, mask=None, tolerance=0.05, "
     "b0_threshold=50.0, shell=None, step=None, margin_threshold=0.02, threads=None, "
     "seeds=2000, verdict_margin=0.05, memory_limit=None, qc_tracks=1000)\n--\n\n"},
    {"repair", ORIVEX_NATIVE_FAST(repair), fastcall,
     "repair(dwi, out_bvec, out_bval, bvec=None, bval=None, grad=None, mask=None, "
     "out_grad=None, provenance=None, tolerance=0.05, b0_threshold=50.0, shell=None, "
     "step=None, margin_threshold=0.02, dry_run=False, in_place=False, strict=False, "
     "force_repair=False, norm_tolerance=0.05, threads=None, seeds=2000, verdict_margin=0.05, "
     "memory_limit=None)"
     "\n--\n\nApplies a FLAG verdict's correction (or, with force_repair, a WARN verdict's best)."},
    {"repair_with_qc", ORIVEX_NATIVE_FAST(repair_with_qc), fastcall,
     "repair_with_qc(dwi, out_bvec, out_bval, bvec=None, bval=None, grad=None, mask=None, "
     "out_grad=None, provenance=None, tolerance=0.05, b0_threshold=50.0, shell=None, "
     "step=None, margin_threshold=0.02, dry_run=False, in_place=False, strict=False, "
     "force_repair=False, norm_tolerance=0.05, threads=None, seeds=2000, verdict_margin=0.05, "
     "memory_limit=None, qc_tracks=1000)\n--\n\n"},
    {"check_options", ORIVEX_NATIVE_FAST(check_options), fastcall,
     "check_options(tolerance=0.05, b0_threshold=50.0, shell=None, step=None, "
     "margin_threshold=0.02, norm_tolerance=0.05, threads=None, seeds=2000, verdict_margin=0.05, "
     "memory_limit=None)\n--\n\n"
     "Raises the ValueError of an option out of range, as the calls would before reading a file."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "orivex._native", "", 0, functions, nullptr, nullptr, nullptr, nullptr,
};

// Like _orivex: the process-wide pool and exception type belong to the first interpreter.
std::int64_t owner_interpreter = -1;

}  // namespace

PyMODINIT_FUNC PyInit__native() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  if (owner_interpreter >= 0 && owner_interpreter != id) {
    PyErr_SetString(PyExc_ImportError,
                    "orivex._native cannot be loaded into more than one interpreter of a process");
    return nullptr;
  }
  if (orivex::py::panic_exception_type() == nullptr) return nullptr;
  PyObject* module = PyModule_Create(&module_def);
  if (module != nullptr) owner_interpreter = id;
  return module;
}
