// CSpinLocker: the list's lock, a semaphore with one permit. Not re-entrant,
// not bound to an owner thread (any thread may Unlock), no time limit.
//
// The permit is an atomic count of the threads that want the lock: the holder
// plus those waiting for it. Lock raises it and owns the lock when it was 0;
// Unlock lowers it and, when someone was waiting, wakes exactly one waiter,
// to whom the permit passes. Taking and releasing a free lock are therefore one
// atomic operation each, with no call into the system. A thread that finds the
// lock held spins for a short, bounded while (the list's operations are short)
// and then parks on the auto-reset event until an Unlock hands the permit on.
// Because the count includes every waiter, at most one wake-up is ever pending,
// so a binary auto-reset event is enough: a wake-up that comes before its
// waiter has started to wait leaves the event signalled, and that waiter's
// wait then returns at once.
//
// The event is created, not signalled, at construction. When that fails, the
// first Lock (or Unlock) tries once more; when that fails too, the lock falls
// back for good to a flag that a parked waiter polls with yields, which keeps
// the same semantics (one permit, any thread may release it).
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
  // Frees the lock, letting one waiter through. Returns 1. Unlocking a lock
  // that nobody holds changes nothing (as setting a signalled event would).
  virtual int32_t Unlock();

  enum class Backing : uint8_t { kPending, kEvent, kFlag };
  // Which mechanism parks a waiter now (kPending until the first use after a
  // failed creation). For diagnostics and tests.
  Backing backing() const { return backing_.load(std::memory_order_acquire); }

  // Spin rounds a Lock makes on a held lock before it parks.
  static constexpr int kSpinRounds = 128;

 private:
  Backing Resolve();
  // Waits for the wake-up that hands this thread the permit.
  void Park(Backing b);
  // Hands the permit to one parked (or about to park) waiter.
  void Wake(Backing b);

  platform::AutoResetEvent event_;
  std::atomic<Backing> backing_{Backing::kPending};
  // Guards the one late creation attempt.
  std::atomic_flag resolving_ = ATOMIC_FLAG_INIT;
  // The holder plus the waiters: 0 while the lock is free.
  std::atomic<int32_t> wanted_{0};
  // The fallback's wake-up: true from a hand-over until a waiter takes it.
  std::atomic<bool> handed_over_{false};
};

}  // namespace tl
