// version, build_features and inspect: the functions that need no image.
#include "boundary.hpp"
#include "call.hpp"
#include "functions.hpp"
#include "orivex/audit/pipeline.hpp"
#include "orivex/audit/report.hpp"
#include "orivex/audit/scheme_qc.hpp"

namespace orivex::py {

PyObject* version(PyObject*, PyObject*) {
  return guarded([] { return PyUnicode_FromString(tool_version); });
}

PyObject* build_features(PyObject*, PyObject*) {
  return guarded([] { return PyList_New(0); });
}

ORIVEX_PY_FASTCALL(inspect) {
  (void)self;
  return guarded([&]() -> PyObject* {
    auto a = bind(inspect_signature, args, nargs, kwnames);
    if (!a) return nullptr;
    auto exec = execution_for(*a);
    if (!exec) return nullptr;
    auto loaded = table_for(*a);
    if (!loaded) return nullptr;
    const AuditParams params = table_audit_params(options_of(*a));
    ORIVEX_PY_ASSIGN(Report report, exec->run([&]() -> Result<Report> {
      Report r = scheme_report(loaded->table, std::move(loaded->inputs), params);
      return scheme_qc::apply(std::move(r), params.strict);
    }));
    return to_str(to_json(report));
  });
}

}  // namespace orivex::py
