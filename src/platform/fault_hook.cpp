// The I/O fault seam shared by both file backends.
#include "platform/fault_hook.h"

namespace tl::platform {

namespace detail {

std::atomic<IoFaultPlan*> g_io_fault_plan{nullptr};

bool TakeIoFault(IoFaultPlan* plan, IoOp op) {
  const uint64_t n = ++plan->calls[static_cast<int>(op)];
  if (op != plan->op || plan->fail_at == 0) return false;
  const bool fail = plan->persistent ? n >= plan->fail_at : n == plan->fail_at;
  if (fail) ++plan->failed;
  return fail;
}

}  // namespace detail

void SetIoFaultPlan(IoFaultPlan* plan) { detail::g_io_fault_plan.store(plan); }

}  // namespace tl::platform
