#include "edit/write_guards.h"

#include <filesystem>
#include <system_error>

#include "common/u16.h"
#include "edit/capacity.h"
#include "edit/edit_session.h"
#include "edit/soundness.h"
#include "io/format.h"
#include "platform/input_backend.h"
#include "platform/path_info.h"
#include "platform/system.h"
#include "view/journal_notes.h"

namespace tl::ctl {

bool OpenLook(const std::u16string& container, ContainerReader* reader,
              const ContainerReader** look, Io& io, std::string* error) {
  *look = nullptr;
  const platform::PathInfo info = platform::ExaminePath(container.c_str());
  if (info.kind == platform::PathKind::kMissing) return true;
  if (!OpenReader(container, reader, io, error)) return false;
  *look = reader;
  return true;
}

bool CheckNotEmptyFile(const std::u16string& container, std::string* error) {
  if (platform::ExaminePath(container.c_str()).kind != platform::PathKind::kRegular) return true;
  // The size in 64 bits: a file of a multiple of 4 GiB is not empty, whatever
  // the low 32 bits of its size say.
  std::error_code ec;
  const uintmax_t size = std::filesystem::file_size(input_backend::NativePath(container), ec);
  if (ec || size != 0) return true;  // what cannot be measured is judged by the open
  *error = EmptyFileText(container);
  return false;
}

bool CheckSoundForEdit(const std::u16string& container, const ContainerReader* look,
                       std::string* error, KeptStream* keep) {
  if (look == nullptr) return true;
  for (const Problem& p : ContainerProblems(*look, keep)) {
    if (!p.stops_edit) continue;
    *error = ProblemLine(container, p) +
             "; a damaged container is not written to (see trustctl verify); it is not changed";
    return false;
  }
  return true;
}

bool CheckStreamTarget(const std::u16string& container, const ContainerReader* look,
                       const std::u16string& stream, bool new_stream, std::string* error) {
  if (new_stream || IsProductStream(stream)) return true;
  if (look != nullptr && (!look->header_valid() || look->FindStream(stream.c_str()) >= 0)) {
    return true;  // an unusable header is refused by the soundness check
  }
  *error = Shown(container) + ": holds no stream \"" + Printable(std::u16string_view(stream)) +
           "\"; --new-stream creates it (nothing was written)";
  return false;
}

bool CheckStreamNameCase(const ContainerReader* look, const std::u16string& stream,
                         std::string* error) {
  std::vector<std::u16string> known = {kProgramListStream, kBlockListStream};
  if (look != nullptr && look->header_valid()) {
    for (const DirEntryInfo& e : look->entries()) {
      if (e.present()) known.push_back(e.name);
    }
  }
  for (const std::u16string& name : known) {
    if (name != stream && U16EqualFoldAscii(name.c_str(), stream.c_str())) {
      *error = "stream \"" + Printable(std::u16string_view(stream)) +
               "\" differs only in case from \"" + Printable(std::u16string_view(name)) +
               "\"; stream names are exact, and the product reads only ProgramList and "
               "BlockList (nothing was written)";
      return false;
    }
  }
  return true;
}

bool CheckNotEmptied(const std::u16string& container, const std::u16string& stream,
                     bool held_before, size_t entries_after, bool allow_empty, std::string* error) {
  if (entries_after != 0 || !held_before || allow_empty) return true;
  *error = "stream \"" + Printable(std::u16string_view(stream)) + "\" of " + Shown(container) +
           " holds entries and would be left empty; --allow-empty empties it (nothing was "
           "written)";
  return false;
}

bool StreamHoldsEntries(const ContainerReader* look, const std::u16string& stream) {
  if (look == nullptr || !look->header_valid()) return false;
  const int entry = look->FindStream(stream.c_str());
  return entry >= 0 && look->entries()[static_cast<size_t>(entry)].size > kPayloadOverhead;
}

bool CheckNotContainer(const std::string& path_arg, const char* role,
                       const std::u16string& container, std::string* error) {
  if (path_arg == "-") return true;
  const std::u16string path = Utf8ToU16(path_arg);
  const platform::PathInfo a = platform::ExaminePath(path.c_str());
  const platform::PathInfo b = platform::ExaminePath(container.c_str());
  if (!a.same_file(b)) return true;
  *error = PrintablePath(path) + ": the " + role + " is the container " + Shown(container) +
           " itself; nothing was written";
  return false;
}

bool OtherName(const std::u16string& a, const std::u16string& b) {
  return !U16EqualFoldAscii(a.c_str(), b.c_str());
}

void CollisionWatch::Enter(uint64_t key, const std::u16string& name, const std::string& from) {
  auto [it, first] = held_.try_emplace(key, Held{name, from});
  if (first) return;
  if (OtherName(it->second.name, name)) {
    found_.push_back({key, it->second.name, it->second.from, name, from});
  }
  it->second = Held{name, from};
}

bool ReportCollisions(const std::vector<Collision>& found, bool allow, Io& io) {
  for (const Collision& c : found) {
    Complain(io, "collision: \"" + Printable(std::u16string_view(c.new_name)) + "\" (" +
                     c.new_from + ") has the name key " + Hex64(c.key) + " of \"" +
                     Printable(std::u16string_view(c.held_name)) + "\" (" + c.held_from +
                     "), which a list cannot hold beside it: \"" +
                     Printable(std::u16string_view(c.held_name)) + "\" is lost");
  }
  if (found.empty()) return true;
  if (!allow) {
    Complain(io, std::to_string(found.size()) +
                     " collision(s); nothing was written (--allow-collisions writes the list "
                     "without the entries named as lost)");
  }
  return allow;
}

}  // namespace tl::ctl
