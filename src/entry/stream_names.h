// The two streams the product reads, by the names the library writes them
// under: every caller that names them (the commit's target selection, trustctl's
// guards, test and lint) takes them from here.
#pragma once

#include <string_view>

namespace tl {

inline constexpr char16_t kProgramListStream[] = u"ProgramList";
inline constexpr char16_t kBlockListStream[] = u"BlockList";

// Whether the product reads a stream of this name: the names above, exactly
// (the directory compares names unit for unit, so "Blocklist" is another
// stream, which nothing reads).
inline bool IsProductStream(std::u16string_view name) {
  return name == kProgramListStream || name == kBlockListStream;
}

}  // namespace tl
