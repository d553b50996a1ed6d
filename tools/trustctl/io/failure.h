// What kind of failure ended a command. The text says it to a person; the kind
// says it to a program (a configuration engine retries a busy container, not a
// damaged one), in the JSON of the commands such engines run.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace tl::ctl {

enum class FailureKind : uint8_t {
  kUsage,      // what was asked cannot be meant as written (exit 3)
  kInput,      // an input cannot be used: a file that cannot be read, a bad line
  kRefused,    // a refusal: the list would be emptied, created, lost to a collision
  kBusy,       // another writer held the container for the whole wait
  kDamaged,    // the container is damaged, or read back otherwise than written
  kNoRoom,     // the list does not fit in the container
  kSystem,     // the system refused an open, a read or a write, or memory ran out
  kSignature,  // the list's signature is missing, malformed, or not by a trusted key
};

// "usage", "input", "refused", "busy", "damaged", "no-room", "system",
// "signature".
const char* FailureKindName(FailureKind kind);

struct Failure {
  FailureKind kind = FailureKind::kSystem;
  std::string text;
};

// Ends a step: *failure gets `kind` and `text`. Returns false, for
// `return Fail(...)` from a step that returns whether it went on.
inline bool Fail(FailureKind kind, std::string text, Failure* failure) {
  failure->kind = kind;
  failure->text = std::move(text);
  return false;
}

}  // namespace tl::ctl
