// The exported entry points (by ordinal, see trustlist.def). Each is a thin,
// noexcept shell: nothing is thrown or logged across the library boundary.
// They define the declarations of trustlist.h, so the compiler holds the
// public prototypes (and, below, the function types) to these definitions.
#include <windows.h>

#include <algorithm>

#include "blocklist/block_copy.h"
#include "entry/program_builder.h"
#include "entry/win32/commit.h"
#include "entry/win32/import_hash_list.h"
#include "entry/win32/library_state.h"
#include "entry/win32/select_target.h"
#include "trustlist/trustlist.h"

extern "C" {

// Ordinal 8. Any value is taken, null included (the host process's executable).
void SetHostModule(void* module) noexcept {
  tl::entry::SetHostModuleHandle(static_cast<HMODULE>(module));
}

// Ordinal 10.
TrustlistRequest* SelectTarget(int32_t custom_file, int32_t program_list) noexcept {
  return tl::entry::SelectTarget(custom_file, program_list);
}

// Ordinal 11. 0 for a null or unreadable record, a record below 2048 bytes or
// one without any attribute; otherwise 1, whether or not the block could be
// stored. The builder reads no further into the record than the start of text3
// plus its longest working copy, and never past cbSize; that much is probed,
// with one probe that measures how far the record is readable.
int32_t AddProgram(TrustlistProgram* program) noexcept {
  constexpr uint32_t kMostRead =
      static_cast<uint32_t>(tl::kPdText3Offset + (tl::kPdMaxStringUnits + 1) * 2);
  if (program == nullptr) return 0;
  const uint32_t readable = tl::ProbeReadableExtent(program, kMostRead);
  if (readable < sizeof(uint32_t)) return 0;
  const uint32_t declared = program->cbSize;
  if (declared < tl::kPdMinSize || readable < std::min(declared, kMostRead)) return 0;
  return tl::AddProgramTo(tl::entry::GlobalList(), program);
}

// Ordinal 19.
uint32_t Commit() noexcept { return tl::entry::Commit(); }

// Ordinal 20.
uint32_t ImportProgramList(const trustlist_wchar* path) noexcept {
  return tl::entry::ImportHashList(reinterpret_cast<const wchar_t*>(path), 1);
}

// Ordinal 21.
uint32_t ImportBlockList(const trustlist_wchar* path) noexcept {
  return tl::entry::ImportHashList(reinterpret_cast<const wchar_t*>(path), 0);
}

}  // extern "C"

// A caller resolving ordinals casts to these types: each must fit its entry.
static_assert(sizeof(wchar_t) == sizeof(trustlist_wchar), "UTF-16 units");
[[maybe_unused]] constexpr TrustlistSetHostModuleFn kSetHostModuleType = &SetHostModule;
[[maybe_unused]] constexpr TrustlistSelectTargetFn kSelectTargetType = &SelectTarget;
[[maybe_unused]] constexpr TrustlistAddProgramFn kAddProgramType = &AddProgram;
[[maybe_unused]] constexpr TrustlistCommitFn kCommitType = &Commit;
[[maybe_unused]] constexpr TrustlistImportFn kImportProgramListType = &ImportProgramList;
[[maybe_unused]] constexpr TrustlistImportFn kImportBlockListType = &ImportBlockList;
