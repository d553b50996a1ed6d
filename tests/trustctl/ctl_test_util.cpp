#include "ctl_test_util.h"

#include <fstream>
#include <sstream>

#include "common/le.h"
#include "common/u16.h"
#include "minifile/container_reader.h"
#include "trustctl.h"

namespace tl::test {

CtlResult Ctl(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  CtlResult r;
  r.rc = ctl::RunTrustctl(args, out, err);
  r.out = out.str();
  r.err = err.str();
  return r;
}

std::string Arg(const TempDir& dir, const std::string& name) { return U16ToUtf8(dir.File(name)); }

std::string WriteText(const TempDir& dir, const std::string& name, const std::string& text) {
  WriteAll(dir.path() / name, std::vector<uint8_t>(text.begin(), text.end()));
  return Arg(dir, name);
}

std::vector<uint8_t> PeImage(uint32_t stamp, size_t size) {
  std::vector<uint8_t> image(size < 76 ? 76 : size, 0);
  image[0] = 'M';
  image[1] = 'Z';
  StoreU32(image.data(), 60, 64);
  image[64] = 'P';
  image[65] = 'E';
  StoreU32(image.data(), 72, stamp);
  return image;
}

std::vector<uint8_t> StreamPayload(const std::string& container, const std::u16string& stream) {
  ContainerReader r;
  const std::u16string path = Utf8ToU16(container);
  if (!r.Open(path.c_str()) || !r.header_valid()) return {};
  const int entry = r.FindStream(stream.c_str());
  std::vector<uint8_t> out;
  if (entry < 0 || r.ReadStream(static_cast<uint32_t>(entry), &out) != Defect::kNone) return {};
  return out;
}

uint32_t DataOffset(const std::string& container) {
  ContainerReader r;
  const std::u16string path = Utf8ToU16(container);
  if (!r.Open(path.c_str()) || !r.header_valid()) return 0;
  return r.geometry().data_offset;
}

std::vector<uint8_t> FileBytes(const std::string& path) {
  return ReadAll(std::filesystem::path(Utf8ToU16(path)));
}

void FlipByte(const std::string& path, uint64_t offset, uint8_t mask) {
  std::vector<uint8_t> bytes = FileBytes(path);
  if (offset < bytes.size()) bytes[offset] ^= mask;
  WriteAll(std::filesystem::path(Utf8ToU16(path)), bytes);
}

}  // namespace tl::test
