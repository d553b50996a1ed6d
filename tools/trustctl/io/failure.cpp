#include "io/failure.h"

namespace tl::ctl {

const char* FailureKindName(FailureKind kind) {
  switch (kind) {
    case FailureKind::kUsage:
      return "usage";
    case FailureKind::kInput:
      return "input";
    case FailureKind::kRefused:
      return "refused";
    case FailureKind::kBusy:
      return "busy";
    case FailureKind::kDamaged:
      return "damaged";
    case FailureKind::kNoRoom:
      return "no-room";
    case FailureKind::kSignature:
      return "signature";
    case FailureKind::kSystem:
      break;
  }
  return "system";
}

}  // namespace tl::ctl
