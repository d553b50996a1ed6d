// POSIX backend of the auto-reset event: a mutex, a condition and a flag.
#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/sync.h"

namespace tl::platform {
namespace {

struct Event {
  std::mutex m;
  std::condition_variable cv;
  bool signalled;
};

}  // namespace

bool AutoResetEvent::Create(bool signalled) {
  Close();
  if (TakeInjectedFailure()) return false;
  auto* e = new (std::nothrow) Event{{}, {}, signalled};
  os_ = e;
  return e != nullptr;
}

void AutoResetEvent::Wait() {
  auto* e = static_cast<Event*>(os_);
  std::unique_lock<std::mutex> lock(e->m);
  e->cv.wait(lock, [e] { return e->signalled; });
  e->signalled = false;
}

void AutoResetEvent::Set() {
  auto* e = static_cast<Event*>(os_);
  {
    std::lock_guard<std::mutex> lock(e->m);
    e->signalled = true;
  }
  e->cv.notify_one();
}

void AutoResetEvent::Close() {
  delete static_cast<Event*>(os_);
  os_ = nullptr;
}

}  // namespace tl::platform
