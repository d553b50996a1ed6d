// CSpinLocker: the list's lock. A semaphore with one permit built on an
// auto-reset event created signalled (signalled = free): Lock waits for the
// event, Unlock sets it. Not re-entrant, not bound to an owner thread (any
// thread may Unlock), no time limit.
//
// The list must never run unprotected. When the event cannot be created at
// construction, the first Lock (or Unlock) tries once more; when that fails
// too, the lock falls back for good to an atomic flag spun on with yields,
// which keeps the same semantics (one permit, any thread may release it).
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/sync.h"

namespace tl {

class CSpinLocker {
 public:
  CSpinLocker();
  CSpinLocker(const CSpinLocker&) = delete;
  CSpinLocker& operator=(const CSpinLocker&) = delete;
  virtual ~CSpinLocker();

  // Waits until the lock is free and takes it. Returns 0 (the wait's result;
  // no caller examines it).
  virtual uint32_t Lock();
  // Frees the lock, letting one waiter through. Returns 1.
  virtual int32_t Unlock();

  enum class Backing : uint8_t { kPending, kEvent, kFlag };
  // Which mechanism guards the lock now (kPending until the first use after a
  // failed creation). For diagnostics and tests.
  Backing backing() const { return backing_.load(std::memory_order_acquire); }

 private:
  Backing Resolve();

  platform::AutoResetEvent event_;
  std::atomic<Backing> backing_{Backing::kPending};
  // Guards the one late creation attempt.
  std::atomic_flag resolving_ = ATOMIC_FLAG_INIT;
  // The fallback permit: true while someone holds the lock.
  std::atomic<bool> held_{false};
};

}  // namespace tl
