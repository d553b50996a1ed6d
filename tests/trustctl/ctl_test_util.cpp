#include "ctl_test_util.h"

#include <fstream>
#include <sstream>

#include "common/le.h"
#include "common/u16.h"
#include "entry/list_store.h"
#include "minifile/container_reader.h"
#include "platform/fault_hook.h"
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

HotJournal MakeHotJournal(const TempDir& dir) {
  HotJournal hot;
  hot.box = Arg(dir, "hot.mnf");
  auto lines = [](int from, int to) {
    std::string s;
    for (int i = from; i <= to; ++i) s += std::to_string(i) + " 7\n";
    return s;
  };
  {
    // 1 KiB blocks, 14 data blocks: BlockList takes 1, ProgramList 8, and 50
    // entries (10 blocks) fit only by reusing the older stream's.
    ListStore store;
    store.Open(Utf8ToU16(hot.box).c_str(), CreationParameters{20, 1024, 16, 4, 0});
  }
  Ctl({"import", "--new-stream", hot.box + ":BlockList", WriteText(dir, "b", lines(900, 902))});
  Ctl({"import", "--new-stream", hot.box, WriteText(dir, "old", lines(1, 40))});
  hot.old_export = Ctl({"export", hot.box}).out;
  hot.blocks = Ctl({"export", hot.box + ":BlockList"}).out;
  hot.new_list = WriteText(dir, "new", lines(1, 50));
  const std::vector<uint8_t> before = FileBytes(hot.box);
  const std::vector<uint8_t> old_stream = StreamPayload(hot.box, u"ProgramList");
  const std::filesystem::path journal = Utf8ToU16(hot.box + "-journal");
  for (uint64_t n = 1; n < 400; ++n) {
    WriteAll(std::filesystem::path(Utf8ToU16(hot.box)), before);
    std::filesystem::remove(journal);
    {
      platform::IoFaultPlan plan{platform::IoOp::kWrite, n, /*persistent=*/true};
      platform::IoFaultScope scope(&plan);
      Ctl({"import", "--no-notify", hot.box, hot.new_list});
    }
    if (!std::filesystem::exists(journal)) continue;
    // Torn: the stream as the file now holds it is not the older one.
    const std::vector<uint8_t> bytes = FileBytes(hot.box);
    ContainerReader torn;
    std::vector<uint8_t> stream;
    if (torn.OpenBytes(bytes.data(), bytes.size()) && torn.header_valid()) {
      const int entry = torn.FindStream(u"ProgramList");
      if (entry >= 0) torn.ReadStream(static_cast<uint32_t>(entry), &stream);
    }
    if (stream != old_stream) return hot;
  }
  hot.box.clear();  // no such state: the caller's ASSERT says so
  return hot;
}

}  // namespace tl::test
