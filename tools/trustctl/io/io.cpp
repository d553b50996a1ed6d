#include "io/io.h"

namespace tl::ctl {

void Complain(Io& io, const std::string& message) { io.err << "trustctl: " << message << "\n"; }

}  // namespace tl::ctl
