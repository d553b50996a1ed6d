// Test-only seam: makes the n-th read, write or flush of every file opened
// through the platform layer fail, on both backends, and counts those calls so
// that a test can walk every injection point of an operation.
//
// Usage (one thread; nothing else may do file I/O meanwhile):
//
//   for (uint64_t n = 1;; ++n) {
//     tl::platform::IoFaultPlan plan{tl::platform::IoOp::kWrite, n, /*persistent=*/false};
//     tl::platform::IoFaultScope scope(&plan);   // armed until the scope ends
//     RunTheOperation();                         // must report the failure
//     if (plan.failed == 0) break;               // the n-th call never came
//   }
//
// plan.calls[op] counts every call of that kind while the plan is armed, failed
// or not; plan.failed counts the calls that were made to fail. A persistent plan
// fails every call of its kind from the n-th on. With no plan armed the backends
// pay one pointer load per call and nothing else.
#pragma once

#include <atomic>
#include <cstdint>

namespace tl::platform {

enum class IoOp : uint8_t { kRead = 0, kWrite = 1, kFlush = 2 };
inline constexpr int kIoOpCount = 3;

struct IoFaultPlan {
  IoOp op = IoOp::kRead;
  uint64_t fail_at = 0;  // 1-based call number of `op` that fails; 0 = none
  bool persistent = false;
  uint64_t calls[kIoOpCount] = {};
  uint64_t failed = 0;
};

namespace detail {
extern std::atomic<IoFaultPlan*> g_io_fault_plan;
bool TakeIoFault(IoFaultPlan* plan, IoOp op);
}  // namespace detail

// True when the armed plan makes this call fail. Called by the backends at the
// top of every ReadAt, WriteAt and Flush.
inline bool InjectIoFault(IoOp op) {
  IoFaultPlan* plan = detail::g_io_fault_plan.load(std::memory_order_relaxed);
  return plan != nullptr && detail::TakeIoFault(plan, op);
}

// Arms `plan` (null disarms); the plan must outlive its arming.
void SetIoFaultPlan(IoFaultPlan* plan);

// Arms a plan for the lifetime of the scope and disarms it at the end.
class IoFaultScope {
 public:
  explicit IoFaultScope(IoFaultPlan* plan) { SetIoFaultPlan(plan); }
  ~IoFaultScope() { SetIoFaultPlan(nullptr); }
  IoFaultScope(const IoFaultScope&) = delete;
  IoFaultScope& operator=(const IoFaultScope&) = delete;
};

}  // namespace tl::platform
