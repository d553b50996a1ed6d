// The auto-reset event behind the list's lock: Wait lets exactly one waiter
// through and leaves the event non-signalled; Set releases one waiter. Not
// bound to an owner thread. Win32 event; POSIX mutex + condition + flag.
#pragma once

namespace tl::platform {

class AutoResetEvent {
 public:
  AutoResetEvent() = default;
  AutoResetEvent(const AutoResetEvent&) = delete;
  AutoResetEvent& operator=(const AutoResetEvent&) = delete;
  ~AutoResetEvent() { Close(); }

  // Creates the event, signalled or not; false when the system refuses.
  bool Create(bool signalled);
  bool valid() const { return os_ != nullptr; }
  // Waits without time limit. Only on a valid event.
  void Wait();
  void Set();
  void Close();

  // Test hook: the next `n` calls of Create fail (process-wide).
  static void FailNextCreates(int n);

 private:
  // Consumes one pending failure of the test hook; true when Create must fail.
  static bool TakeInjectedFailure();

  void* os_ = nullptr;
};

}  // namespace tl::platform
