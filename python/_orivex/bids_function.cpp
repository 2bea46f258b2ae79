// audit_bids: the batch audit of a BIDS dataset.
#include "boundary.hpp"
#include "call.hpp"
#include "functions.hpp"
#include "orivex/audit/bids_batch.hpp"

namespace orivex::py {

ORIVEX_PY_FASTCALL(audit_bids) {
  (void)self;
  return guarded([&]() -> PyObject* {
    auto a = bind(audit_bids_signature, args, nargs, kwnames);
    if (!a) return nullptr;
    auto exec = execution_for(*a);
    if (!exec) return nullptr;
    const CallOptions options = options_of(*a);
    // The batch keeps the identity frame map: it does not derive one from each image.
    const AuditParams params = table_audit_params(options);
    const std::string root = a->path("root").value_or(std::string());
    auto outcome =
        run_released(*exec, [&] { return bids_batch::run(root, params, options.step); });
    if (!outcome) return raise_value_error(outcome.error());
    return to_str(bids_batch::audit_bids_json(*outcome));
  });
}

}  // namespace orivex::py
