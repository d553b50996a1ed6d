#include "blocklist/spin_locker.h"

#include <thread>

namespace tl {

CSpinLocker::CSpinLocker() {
  if (event_.Create(true)) backing_.store(Backing::kEvent, std::memory_order_release);
}

CSpinLocker::~CSpinLocker() { event_.Close(); }

// Settles the mechanism once: one more attempt to create the event, else the
// flag for good. Only one thread makes the attempt; the others wait for its
// outcome, so no two callers can ever guard the list with different mechanisms.
CSpinLocker::Backing CSpinLocker::Resolve() {
  Backing b = backing_.load(std::memory_order_acquire);
  if (b != Backing::kPending) return b;
  while (resolving_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
  b = backing_.load(std::memory_order_acquire);
  if (b == Backing::kPending) {
    b = event_.Create(true) ? Backing::kEvent : Backing::kFlag;
    backing_.store(b, std::memory_order_release);
  }
  resolving_.clear(std::memory_order_release);
  return b;
}

uint32_t CSpinLocker::Lock() {
  if (Resolve() == Backing::kEvent) {
    event_.Wait();
    return 0;
  }
  // Fallback: spin on the permit, yielding the processor between attempts.
  while (held_.exchange(true, std::memory_order_acquire)) {
    while (held_.load(std::memory_order_relaxed)) std::this_thread::yield();
  }
  return 0;
}

int32_t CSpinLocker::Unlock() {
  if (Resolve() == Backing::kEvent) {
    event_.Set();
  } else {
    held_.store(false, std::memory_order_release);
  }
  return 1;
}

}  // namespace tl
