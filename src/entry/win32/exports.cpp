// The exported entry points (by ordinal, see trustlist.def). Each is a thin,
// noexcept shell: nothing is thrown or logged across the library boundary.
#include <windows.h>

#include "entry/program_builder.h"
#include "entry/win32/commit.h"
#include "entry/win32/import_hash_list.h"
#include "entry/win32/library_state.h"
#include "entry/win32/select_target.h"
#include "trustlist/trustlist.h"

extern "C" {

// Ordinal 8. Any value is taken, null included (the host process's executable).
void SetHostModule(HMODULE module) noexcept { tl::entry::SetHostModuleHandle(module); }

// Ordinal 10.
TrustlistRequest* SelectTarget(int32_t custom_file, int32_t program_list) noexcept {
  return tl::entry::SelectTarget(custom_file, program_list);
}

// Ordinal 11. 0 for a null record, a record below 2048 bytes or one without
// any attribute; otherwise 1, whether or not the block could be stored.
int32_t AddProgram(TrustlistProgram* program) noexcept {
  if (program == nullptr) return 0;
  return tl::AddProgramTo(tl::entry::GlobalList(), program);
}

// Ordinal 19.
uint32_t Commit() noexcept { return tl::entry::Commit(); }

// Ordinal 20.
uint32_t ImportProgramList(const wchar_t* path) noexcept {
  return tl::entry::ImportHashList(path, 1);
}

// Ordinal 21.
uint32_t ImportBlockList(const wchar_t* path) noexcept {
  return tl::entry::ImportHashList(path, 0);
}

}  // extern "C"
