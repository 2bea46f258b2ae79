// repair, repair_with_glyphs and recompute_bval: the functions that write gradient tables.
#include "boundary.hpp"
#include "call.hpp"
#include "functions.hpp"
#include "orivex/audit/recompute.hpp"
#include "orivex/audit/repair.hpp"
#include "orivex/audit/report.hpp"

namespace orivex::py {

namespace {

PyObject* run_repair(const Bound& a, bool glyphs) {
  auto call = load_image_call(a, false);
  if (!call) return nullptr;
  const RepairSpec request = repair_spec(a, *call);
  ORIVEX_PY_ASSIGN(RepairOutput out, run_released(call->exec, [&] {
    return orivex::repair(call->table.table, call->volume.array, call->mask_ptr(),
                          std::move(call->table.inputs), call->params, request, glyphs);
  }));
  return report_result(out.report, nullptr, glyphs ? &out.glyphs : nullptr, call->volume.info);
}

}  // namespace

ORIVEX_PY_FASTCALL(repair) {
  (void)self;
  return guarded([&]() -> PyObject* {
    auto a = bind(repair_signature, args, nargs, kwnames);
    if (!a) return nullptr;
    return run_repair(*a, false);
  });
}

ORIVEX_PY_FASTCALL(repair_with_glyphs) {
  (void)self;
  return guarded([&]() -> PyObject* {
    auto a = bind(repair_with_glyphs_signature, args, nargs, kwnames);
    if (!a) return nullptr;
    return run_repair(*a, true);
  });
}

ORIVEX_PY_FASTCALL(recompute_bval) {
  (void)self;
  return guarded([&]() -> PyObject* {
    auto a = bind(recompute_bval_signature, args, nargs, kwnames);
    if (!a) return nullptr;
    auto exec = execution_for(*a);
    if (!exec) return nullptr;
    auto loaded = table_for(*a);
    if (!loaded) return nullptr;
    const RecomputeSpec request = output_set(*a);
    const double b0_threshold = a->real("b0_threshold");
    ORIVEX_PY_ASSIGN(RecomputeOutput out, exec->run([&] {
      // recompute_bval takes no tolerance: its before/after shell counts use the default.
      return orivex::recompute_bval(loaded->table, loaded->inputs, request, b0_threshold,
                                    default_tolerance);
    }));
    return to_str(recompute_summary_json(out));
  });
}

}  // namespace orivex::py
