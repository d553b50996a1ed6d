/*
 * Linked by an MSVC-style linker (lld-link) against lib/trustlist.lib, without
 * any C runtime: it only has to reference all six entry points, so that the
 * import table it gets shows how that linker imports them. Never run.
 */
#include "trustlist/trustlist.h"

int ProbeEntry(void) {
  SetHostModule(0);
  SelectTarget(1, 1);
  AddProgram(0);
  Commit();
  ImportProgramList(0);
  return (int)ImportBlockList(0);
}
