// The two streams the product reads, by the names the library writes them
// under: every caller that names them (the commit's target selection, trustctl's
// guards, test and lint) takes them from here.
#pragma once

namespace tl {

inline constexpr char16_t kProgramListStream[] = u"ProgramList";
inline constexpr char16_t kBlockListStream[] = u"BlockList";

}  // namespace tl
