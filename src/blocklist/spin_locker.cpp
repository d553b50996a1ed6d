#include "blocklist/spin_locker.h"

#include <thread>

namespace tl {

namespace {

// A hint to the processor that this is a spin-wait loop.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

}  // namespace

CSpinLocker::CSpinLocker() {
  // Not signalled: in this protocol a signal is a hand-over to a waiter.
  if (event_.Create(false)) backing_.store(Backing::kEvent, std::memory_order_release);
}

CSpinLocker::~CSpinLocker() { event_.Close(); }

// Settles the mechanism once: one more attempt to create the event, else the
// flag for good. Only one thread makes the attempt; the others wait for its
// outcome, so no two callers can ever park and wake with different mechanisms.
CSpinLocker::Backing CSpinLocker::Resolve() {
  Backing b = backing_.load(std::memory_order_acquire);
  if (b != Backing::kPending) return b;
  while (resolving_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
  b = backing_.load(std::memory_order_acquire);
  if (b == Backing::kPending) {
    b = event_.Create(false) ? Backing::kEvent : Backing::kFlag;
    backing_.store(b, std::memory_order_release);
  }
  resolving_.clear(std::memory_order_release);
  return b;
}

void CSpinLocker::Park(Backing b) {
  if (b == Backing::kEvent) {
    event_.Wait();
    return;
  }
  while (!handed_over_.exchange(false, std::memory_order_acquire)) std::this_thread::yield();
}

void CSpinLocker::Wake(Backing b) {
  if (b == Backing::kEvent) {
    event_.Set();
  } else {
    handed_over_.store(true, std::memory_order_release);
  }
}

uint32_t CSpinLocker::Lock() {
  const Backing b = Resolve();
  // A free lock is taken by one exchange; a held one is watched for a short
  // while, since the list holds it only for a few pointer operations.
  for (int round = 0; round < kSpinRounds; ++round) {
    int32_t expected = 0;
    if (wanted_.load(std::memory_order_relaxed) == 0 &&
        wanted_.compare_exchange_weak(expected, 1, std::memory_order_acquire,
                                      std::memory_order_relaxed)) {
      return 0;
    }
    CpuRelax();
  }
  // Queue up. Whoever raises the count from 0 owns the lock; everyone else
  // parks until an Unlock hands the permit over.
  if (wanted_.fetch_add(1, std::memory_order_acquire) == 0) return 0;
  Park(b);
  return 0;
}

int32_t CSpinLocker::Unlock() {
  const Backing b = Resolve();
  int32_t wanted = wanted_.load(std::memory_order_relaxed);
  do {
    if (wanted <= 0) return 1;  // not held: nothing to release
  } while (!wanted_.compare_exchange_weak(wanted, wanted - 1, std::memory_order_release,
                                          std::memory_order_relaxed));
  if (wanted > 1) Wake(b);
  return 1;
}

}  // namespace tl
