// After a command wrote a stream, the running product is told, as the
// library's commit tells it, so that it takes the new list up at once rather
// than at its next reload. Once per command, only after a write (a command
// that finds the list already as wanted writes nothing and tells nobody), and
// not at all with --no-notify. Telling is best effort, as in a commit: a
// product that cannot be told is said on the error stream, and the command
// still succeeds, since the list is written.
#pragma once

#include "io/io.h"

namespace tl::ctl {

// Tells the product unless io.notify is off; a product that could not be
// told is said on the error stream.
void TellProduct(Io& io);

}  // namespace tl::ctl
