#include "stored_list.h"

#include "minifile/container_reader.h"

namespace tl::test {

std::vector<std::u16string> StoredList::names() const {
  std::vector<std::u16string> out;
  for (const DecodedProgramBlock& b : blocks) out.push_back(b.name);
  return out;
}

StoredList ReadStoredList(const std::filesystem::path& container, const char16_t* stream) {
  StoredList out;
  ContainerReader reader;
  if (!reader.Open(container.u16string().c_str())) {
    out.error = "container cannot be opened";
    return out;
  }
  if (!reader.header_valid()) {
    out.error = std::string("header: ") + DefectName(reader.header_defect());
    return out;
  }
  out.geometry = reader.geometry();
  for (const Finding& f : reader.Verify()) {
    out.error += std::string(DefectName(f.defect)) + " ";
  }
  if (!out.error.empty()) return out;
  int entry = reader.FindStream(stream);
  if (entry < 0) {
    out.error = "no such stream";
    return out;
  }
  Defect d = reader.ReadStream(static_cast<uint32_t>(entry), &out.payload);
  if (d != Defect::kNone) {
    out.error = std::string("stream: ") + DefectName(d);
    return out;
  }
  if (!ParseListPayload(out.payload.data(), out.payload.size(), &out.parsed)) {
    out.error = "payload defects " + std::to_string(out.parsed.defects);
    return out;
  }
  for (const SequenceBlock& sb : out.parsed.blocks) {
    DecodedProgramBlock block;
    if (!DecodeProgramBlock(out.payload.data() + sb.offset, sb.size, &block) ||
        block.defects != 0) {
      out.error = "block defects " + std::to_string(block.defects);
      return out;
    }
    out.blocks.push_back(block);
  }
  return out;
}

bool HasStream(const std::filesystem::path& container, const char16_t* stream) {
  ContainerReader reader;
  return reader.Open(container.u16string().c_str()) && reader.header_valid() &&
         reader.FindStream(stream) >= 0;
}

}  // namespace tl::test
