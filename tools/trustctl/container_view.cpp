#include "container_view.h"

#include <filesystem>

#include "common/u16.h"
#include "format.h"

namespace tl::ctl {

StreamRef ParseStreamRef(const std::string& text) {
  StreamRef ref;
  const size_t colon = text.rfind(':');
  const bool drive = colon == 1;
  if (colon != std::string::npos && !drive &&
      text.find_first_of("/\\", colon + 1) == std::string::npos) {
    ref.container = Utf8ToU16(text.substr(0, colon));
    ref.stream = Utf8ToU16(text.substr(colon + 1));
    ref.explicit_stream = !ref.stream.empty();
  } else {
    ref.container = Utf8ToU16(text);
  }
  if (ref.stream.empty()) ref.stream = kDefaultStream;
  return ref;
}

std::string Shown(const std::u16string& path) { return PrintablePath(path); }

bool ReadStreamContents(const ContainerReader& reader, uint32_t entry, StreamContents* out,
                        std::string* error) {
  out->entry = static_cast<int32_t>(entry);
  const Defect d = reader.ReadStream(entry, &out->payload);
  if (d != Defect::kNone) {
    *error = std::string("stream cannot be read: ") + DefectName(d);
    return false;
  }
  out->view = ParsePayload(out->payload.data(), out->payload.size());
  return true;
}

bool LoadList(const StreamRef& ref, const LoadOptions& options, StreamContents* out,
              std::string* error) {
  *out = StreamContents();
  const std::string where = Shown(ref.container);
  const std::string stream = Printable(std::u16string_view(ref.stream));
  std::error_code ec;
  const bool exists = std::filesystem::exists(std::filesystem::path(ref.container), ec);
  if (!exists && options.missing_ok && !ec) return true;
  ContainerReader reader;
  if (!reader.Open(ref.container.c_str())) {
    *error = where + ": cannot open the container for reading";
    return false;
  }
  if (!reader.header_valid()) {
    if (options.missing_ok && reader.file_size() == 0) return true;
    *error = where + ": not a usable container (" + DefectName(reader.header_defect()) + ")";
    return false;
  }
  if (options.require_sound) {
    const std::vector<Finding> findings = reader.Verify();
    if (!findings.empty()) {
      *error = where + ": the container has defects (first: " + DefectName(findings[0].defect) +
               "); see trustctl verify — it is not changed";
      return false;
    }
  }
  const int entry = reader.FindStream(ref.stream.c_str());
  if (entry < 0) {
    if (options.missing_ok) return true;
    *error = where + ": no stream \"" + stream + "\"";
    return false;
  }
  std::string why;
  if (!ReadStreamContents(reader, static_cast<uint32_t>(entry), out, &why)) {
    *error = where + ": \"" + stream + "\": " + why;
    return false;
  }
  if (options.require_sound && !out->view.issues.empty()) {
    const PayloadIssue& first = out->view.issues.front();
    *error = where + ": \"" + stream + "\": damaged payload at offset " +
             std::to_string(first.offset) + ": " + first.text + "; it is not changed";
    return false;
  }
  return true;
}

bool LoadStreams(const StreamRef& ref, std::vector<NamedStream>* out, std::string* error) {
  out->clear();
  if (ref.explicit_stream) {
    NamedStream s;
    s.name = ref.stream;
    if (!LoadList(ref, LoadOptions(), &s.contents, error)) return false;
    out->push_back(std::move(s));
    return true;
  }
  const std::string where = Shown(ref.container);
  ContainerReader reader;
  if (!reader.Open(ref.container.c_str())) {
    *error = where + ": cannot open the container for reading";
    return false;
  }
  if (!reader.header_valid()) {
    *error = where + ": not a usable container (" + DefectName(reader.header_defect()) + ")";
    return false;
  }
  for (const DirEntryInfo& e : reader.entries()) {
    if (!e.present()) continue;
    NamedStream s;
    s.name = e.name;
    std::string why;
    if (!ReadStreamContents(reader, e.index, &s.contents, &why)) {
      *error = where;
      *error += ": \"" + Printable(std::u16string_view(e.name)) + "\": " + why;
      return false;
    }
    out->push_back(std::move(s));
  }
  return true;
}

std::u16string ProgramNameOfPath(const std::u16string& path) {
  const size_t slash = path.find_last_of(u"/\\");
  return (slash == std::u16string::npos ? path : path.substr(slash + 1)) + u"@*";
}

}  // namespace tl::ctl
