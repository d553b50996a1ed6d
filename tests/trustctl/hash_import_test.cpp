// trustctl hash and import: the lines the hash command prints are the
// fingerprints the library computes, and import stores what the library's own
// import would, with a report of every line.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>

#include "blocklist/program_block.h"
#include "blocklist/var_block_list.h"
#include "common/crc32.h"
#include "common/le.h"
#include "common/u16.h"
#include "ctl_test_util.h"
#include "entry/hash_list.h"
#include "entry/list_payload.h"
#include "entry/list_store.h"
#include "entry/list_stream.h"
#include "entry/payload_builder.h"
#include "fingerprint/file_fingerprint.h"
#include "minifile/creation_parameters.h"
#include "minifile/header.h"
#include "minifile/minifile.h"
#include "platform/file.h"
#include "trustctl.h"
#include "view/payload_view.h"

namespace tl::test {
namespace {

using ctl::kExitFailure;
using ctl::kExitOk;
using ctl::kExitUsage;

std::string LineFor(const std::u16string& path) {
  const uint64_t fp = ComputeFileFingerprint(path.c_str());
  char buf[32];
  std::snprintf(buf, sizeof buf, "%08x %08x\n", static_cast<unsigned>(fp >> 32),
                static_cast<unsigned>(fp));
  return buf;
}

std::vector<uint8_t> Pattern(size_t n, unsigned seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 31 + seed) ^ (i >> 7));
  return v;
}

TEST(CtlHash, PrintsTheLibraryFingerprintOfEachFile) {
  TempDir dir;
  // Below, at and above the whole-file limit, and empty.
  const size_t sizes[] = {0, 5000, 8191, 8192, 100000};
  std::vector<std::string> args;
  std::string expected;
  for (size_t n : sizes) {
    const std::string name = "f" + std::to_string(n);
    WriteAll(dir.path() / name, Pattern(n, static_cast<unsigned>(n)));
    args.push_back(Arg(dir, name));
    expected += LineFor(dir.File(name));
  }
  args.insert(args.begin(), "hash");
  const CtlResult r = Ctl(args);
  EXPECT_EQ(r.rc, kExitOk) << r.err;
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.out.substr(0, 18), "00000000 00000000\n");
  EXPECT_EQ(r.out.substr(18, 9), "00001388 ");  // 5000 bytes
}

TEST(CtlHash, DirectoriesNeedRecursionAndAreListedInOrder) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "tree" / "sub");
  WriteAll(dir.path() / "tree" / "b.bin", Pattern(10, 1));
  WriteAll(dir.path() / "tree" / "a.bin", Pattern(20, 2));
  WriteAll(dir.path() / "tree" / "sub" / "c.bin", Pattern(30, 3));
  const std::string tree = Arg(dir, "tree");

  const CtlResult flat = Ctl({"hash", tree});
  EXPECT_EQ(flat.rc, kExitFailure);
  EXPECT_NE(flat.err.find("is a directory (use -r)"), std::string::npos);

  const CtlResult r = Ctl({"hash", "-r", "--names", tree});
  EXPECT_EQ(r.rc, kExitOk) << r.err;
  const size_t a = r.out.find("a.bin"), b = r.out.find("b.bin"), c = r.out.find("c.bin");
  ASSERT_NE(c, std::string::npos);
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_EQ(r.out.rfind("00000014 ", 0), 0u);  // a.bin, 20 bytes, comes first
}

TEST(CtlHash, MissingFilesAreNamedAndTheOthersStillPrinted) {
  TempDir dir;
  WriteAll(dir.path() / "there", Pattern(3, 0));
  const CtlResult r = Ctl({"hash", Arg(dir, "missing"), Arg(dir, "there")});
  EXPECT_EQ(r.rc, kExitFailure);
  EXPECT_NE(r.err.find("missing: cannot open the file for reading"), std::string::npos);
  EXPECT_EQ(r.out, LineFor(dir.File("there")));
  EXPECT_EQ(Ctl({"hash"}).rc, kExitUsage);
}

TEST(CtlHash, OutputImportsBackAsTheFilesFingerprints) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "in");
  for (int i = 0; i < 3; ++i) {
    WriteAll(dir.path() / "in" / ("f" + std::to_string(i)), Pattern(9000 + i, i));
  }
  const CtlResult h = Ctl({"hash", "-r", "--names", Arg(dir, "in")});
  ASSERT_EQ(h.rc, kExitOk);
  const std::string list = WriteText(dir, "list.txt", h.out);
  const std::string box = Arg(dir, "c.mnf");
  const CtlResult imp = Ctl({"import", box, "--stream", "ProgramList", list});
  ASSERT_EQ(imp.rc, kExitOk) << imp.err;
  const std::vector<uint8_t> payload = StreamPayload(box, u"ProgramList");
  const ctl::PayloadView v = ctl::ParsePayload(payload.data(), payload.size());
  ASSERT_EQ(v.blocks.size(), 3u);
  EXPECT_TRUE(v.issues.empty());
  for (int i = 0; i < 3; ++i) {
    const std::u16string f = U16Path(dir.path() / "in" / ("f" + std::to_string(i)));
    EXPECT_EQ(v.blocks[i].decoded.fingerprint, ComputeFileFingerprint(f.c_str()));
  }
}

// Bytes `bytes` at `offset` of a file, which may lie far past its written
// part (the rest of a sparse file reads as zeros).
void PutAt(const std::filesystem::path& p, uint64_t offset, const std::vector<uint8_t>& bytes) {
  std::fstream f(p, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(f.good());
}

// A file of 4 GiB or more is sampled by the low 32 bits of its size, as
// AddProgram samples it: hash prints, and test matches, what the builder
// stores. Sparse files: nothing near 4 GiB is written.
TEST(CtlHash, FilesOf4GiBOrMoreTakeTheLibrarysFingerprint) {
  TempDir dir;
  constexpr uint64_t k4GiB = 0x100000000ull;
  const std::vector<uint8_t> head = Pattern(9000, 1), low_end = Pattern(4096, 2),
                             real_end = Pattern(4096, 3);
  struct Case {
    uint64_t size;
    std::vector<uint8_t> sample;  // what the library's rule samples
  };
  std::vector<uint8_t> two_pieces(head.begin(), head.begin() + 4096);
  two_pieces.insert(two_pieces.end(), low_end.begin(), low_end.end());
  const Case cases[] = {
      {k4GiB + 100, std::vector<uint8_t>(head.begin(), head.begin() + 100)},  // whole 32-bit file
      {k4GiB + 20000, two_pieces},  // the second piece ends at 20000, not at the real end
  };
  for (const Case& c : cases) {
    const std::filesystem::path file = dir.path() / "big";
    WriteAll(file, head);
    std::filesystem::resize_file(file, c.size);
    PutAt(file, (c.size & 0xFFFFFFFFu) > 9000 ? (c.size & 0xFFFFFFFFu) - 4096 : 9000, low_end);
    PutAt(file, c.size - 4096, real_end);
    ASSERT_EQ(std::filesystem::file_size(file), c.size);

    const uint64_t library = ComputeFileFingerprint(U16Path(file).c_str());
    EXPECT_EQ(library, (c.size & 0xFFFFFFFFu) << 32 | Crc32(c.sample.data(), c.sample.size()));
    const CtlResult h = Ctl({"hash", Arg(dir, "big")});
    EXPECT_EQ(h.rc, kExitOk) << h.err;
    EXPECT_EQ(h.out, LineFor(U16Path(file)));
    EXPECT_NE(h.err.find("4 GiB or larger"), std::string::npos) << h.err;

    const std::string box = Arg(dir, "c.mnf");
    std::filesystem::remove(dir.path() / "c.mnf");
    char size_hex[16], crc_hex[16];
    std::snprintf(size_hex, sizeof size_hex, "%x", static_cast<unsigned>(library >> 32));
    std::snprintf(crc_hex, sizeof crc_hex, "%x", static_cast<unsigned>(library));
    ASSERT_EQ(Ctl({"add", box, "--hash", size_hex, crc_hex}).rc, kExitOk);
    const CtlResult t = Ctl({"test", box, Arg(dir, "big")});
    EXPECT_EQ(t.rc, kExitOk) << t.out << t.err;
    EXPECT_NE(t.out.find("match ProgramList entry 1 by fingerprint"), std::string::npos) << t.out;
    EXPECT_NE(t.err.find("4 GiB or larger"), std::string::npos) << t.err;
  }
}

// What the library's import stores for the same file: its reader and payload
// builder, written with the commit's parameters into a container.
std::vector<uint8_t> LibraryPayload(const TempDir& dir, const std::u16string& hash_list) {
  std::unique_ptr<platform::File> file = platform::OpenFileForReading(hash_list.c_str());
  PayloadBuilder built;
  EXPECT_TRUE(file && BuildHashListPayload(*file, built));
  const std::u16string box = dir.File("library.mnf");
  ListStore store;
  EXPECT_EQ(store.Open(box.c_str(), kCommitCreationParameters), StoreStatus::kOk);
  uint32_t count = 0;
  EXPECT_EQ(store.WriteBuilt(u"ProgramList", built, &count), StoreStatus::kOk);
  store.Close();
  return StreamPayload(U16ToUtf8(box), u"ProgramList");
}

struct ImportCase {
  const char* name;
  std::string text;
  std::vector<std::string> stored;  // block names in stored order
  std::string summary;
  std::vector<std::string> notes;
};

TEST(CtlImport, StoresWhatTheLibraryStoresAndReportsEveryLine) {
  const ImportCase cases[] = {
      {"single",
       "2000 1234abcd\n",
       {"000020001234abcd.*"},
       "1 lines: 1 accepted, 0 duplicate, 0 skipped",
       {}},
      {"prefixes", "0x2000 0X1234ABCD\n", {"000020001234abcd.*"}, "1 accepted", {}},
      {"spaces and a third token", "  10   20  thirty\n", {"0000001000000020.*"}, "1 accepted", {}},
      {"tab is no separator",
       "10\t20\n1 1\n",
       {"0000000100000001.*"},
       "1 accepted, 0 duplicate, 1 skipped",
       {":1: skipped: "}},
      {"short last line",
       "1 2\n1 3",
       {"0000000100000002.*"},
       "1 skipped",
       {":2: skipped: ", "accepted lines: 1\n"}},
      {"duplicate moves to the end",
       "1 1\n2 2\n1 1\n",
       {"0000000200000002.*", "0000000100000001.*"},
       "3 lines: 2 accepted, 1 duplicate, 0 skipped",
       {":3: duplicate of line 1 (00000001 00000001)", "accepted lines: 1-2\n"}},
      {"ranges",
       "1 1\n\n2 2\n3 3\n4 4\nx\n5 5\n",
       {"0000000100000001.*", "0000000200000002.*", "0000000300000003.*", "0000000400000004.*",
        "0000000500000005.*"},
       "7 lines: 5 accepted, 0 duplicate, 2 skipped",
       {"accepted lines: 1, 3-5, 7\n", ":2: skipped", ":6: skipped"}},
      {"crlf", "5 6\r\n7 8\r\n", {"0000000500000006.*", "0000000700000008.*"}, "2 accepted", {}},
      {"cr only",
       "5 6\r7 8\r9 a\r",
       {"0000000500000006.*", "0000000700000008.*", "000000090000000a.*"},
       "3 lines: 3 accepted, 0 duplicate, 0 skipped",
       {}},
      {"a NUL line among cr ends, named by its own number",
       std::string("5 6\r1 2") + '\0' + "x\r7 8\r",
       {"0000000500000006.*", "0000000700000008.*"},
       "3 lines: 2 accepted, 0 duplicate, 1 skipped",
       {":2: skipped: holds a NUL", "accepted lines: 1, 3\n"}},
  };
  for (const ImportCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string list = WriteText(dir, "h.txt", c.text);
    const std::string box = Arg(dir, "c.mnf");
    const CtlResult r = Ctl({"import", box, "--stream", "ProgramList", list});
    ASSERT_EQ(r.rc, kExitOk) << r.err;
    EXPECT_NE(r.out.find(c.summary), std::string::npos) << r.out;
    for (const auto& n : c.notes) EXPECT_NE(r.out.find(n), std::string::npos) << r.out;

    const std::vector<uint8_t> payload = StreamPayload(box, u"ProgramList");
    const ctl::PayloadView v = ctl::ParsePayload(payload.data(), payload.size());
    EXPECT_TRUE(v.issues.empty());
    ASSERT_EQ(v.blocks.size(), c.stored.size());
    for (size_t i = 0; i < c.stored.size(); ++i) {
      EXPECT_EQ(U16ToUtf8(v.blocks[i].decoded.name), c.stored[i]);
      EXPECT_EQ(v.blocks[i].decoded.size, 200u);
    }
    EXPECT_EQ(payload, LibraryPayload(dir, dir.File("h.txt")));
  }
}

TEST(CtlImport, NewContainerTakesTheCommitParameters) {
  TempDir dir;
  const std::string list = WriteText(dir, "h.txt", "2000 1234abcd\n");
  const std::string box = Arg(dir, "new.mnf");
  ASSERT_EQ(Ctl({"import", box, "--stream", "BlockList", list}).rc, kExitOk);
  const std::vector<uint8_t> bytes = FileBytes(box);
  ASSERT_GE(bytes.size(), 448u + 220u);
  EXPECT_EQ(LoadU32(bytes.data(), kHeaderBlockSizeOffset), 0x100000u);
  EXPECT_EQ(LoadU32(bytes.data(), kHeaderTableEntriesOffset), 32u);
  EXPECT_EQ(LoadU32(bytes.data(), kHeaderDirEntriesOffset), 4u);
  // One 220-byte stream (16 + 200 + 4): the file ends with its last byte.
  EXPECT_EQ(bytes.size(), 448u + 220u);
}

TEST(CtlImport, ReplacesOnlyItsStream) {
  TempDir dir;
  const std::string box = Arg(dir, "c.mnf");
  const std::string one = WriteText(dir, "one.txt", "1 1\n");
  const std::string two = WriteText(dir, "two.txt", "2 2\n3 3\n");
  ASSERT_EQ(Ctl({"import", box, "--stream", "ProgramList", one}).rc, kExitOk);
  ASSERT_EQ(Ctl({"import", box, "--stream", "BlockList", two}).rc, kExitOk);
  const auto block_list = StreamPayload(box, u"BlockList");
  ASSERT_EQ(Ctl({"import", box, "--stream", "ProgramList", two}).rc, kExitOk);
  EXPECT_EQ(StreamPayload(box, u"BlockList"), block_list);
  EXPECT_EQ(StreamPayload(box, u"ProgramList"), block_list);
  EXPECT_EQ(Ctl({"verify", box}).rc, kExitOk);
}

TEST(CtlImport, DryRunAndFailuresWriteNothing) {
  TempDir dir;
  const std::string list = WriteText(dir, "h.txt", "1 1\nx\n");
  const std::string box = Arg(dir, "c.mnf");

  const CtlResult dry = Ctl({"import", box, "--stream", "ProgramList", list, "--dry-run"});
  EXPECT_EQ(dry.rc, kExitOk);
  EXPECT_NE(dry.out.find("would hold 1 blocks (220-byte payload)"), std::string::npos) << dry.out;
  EXPECT_NE(dry.out.find("h.txt:2: skipped"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "c.mnf"));

  const CtlResult missing = Ctl({"import", box, "--stream", "ProgramList", Arg(dir, "nope.txt")});
  EXPECT_EQ(missing.rc, kExitFailure);
  EXPECT_NE(missing.err.find("nope.txt: cannot open the hash list"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "c.mnf"));

  // A directory: opened but unreadable on POSIX (EISDIR), not openable on
  // Windows; either way nothing is written.
  std::filesystem::create_directories(dir.path() / "adir");
  const CtlResult dir_list = Ctl({"import", box, "--stream", "ProgramList", Arg(dir, "adir")});
  EXPECT_EQ(dir_list.rc, kExitFailure);
  EXPECT_NE(dir_list.err.find("nothing was written"), std::string::npos) << dir_list.err;
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "c.mnf"));

  for (const char* name : {"", "ABCDEFGHIJKLMNOPQ"}) {
    EXPECT_EQ(Ctl({"import", box, "--stream", name, list}).rc, kExitUsage) << name;
  }
  EXPECT_EQ(Ctl({"import", box + ":A", "--stream", "B", list}).rc, kExitUsage);
  EXPECT_EQ(Ctl({"import", box}).rc, kExitUsage);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "c.mnf"));
}

TEST(CtlImport, RefusesADamagedContainerAndLeavesItAlone) {
  TempDir dir;
  const std::string list = WriteText(dir, "h.txt", "1 1\n");
  const std::string box = Arg(dir, "c.mnf");
  ASSERT_EQ(Ctl({"import", box, "--stream", "ProgramList", list}).rc, kExitOk);
  FlipByte(box, kHeaderTextOffset, 0x20);  // the header check no longer matches
  const std::vector<uint8_t> before = FileBytes(box);
  const CtlResult r = Ctl({"import", box, "--stream", "BlockList", list});
  EXPECT_EQ(r.rc, kExitFailure);
  EXPECT_NE(r.err.find("header-crc"), std::string::npos) << r.err;
  EXPECT_EQ(FileBytes(box), before);
}

TEST(CtlImport, AFullDirectoryFailsAndKeepsEveryStream) {
  TempDir dir;
  const std::string list = WriteText(dir, "h.txt", "1 1\n");
  const std::string box = Arg(dir, "c.mnf");
  for (const char* s : {"A", "B", "C", "D"}) {
    ASSERT_EQ(Ctl({"import", box, "--stream", s, list, "--new-stream"}).rc, kExitOk);
  }
  const std::vector<uint8_t> before = FileBytes(box);
  const CtlResult r = Ctl({"import", box, "--stream", "E", list, "--new-stream"});
  EXPECT_EQ(r.rc, kExitFailure);
  EXPECT_NE(r.err.find("no free directory slot"), std::string::npos) << r.err;
  EXPECT_EQ(FileBytes(box), before);
  EXPECT_EQ(Ctl({"import", box, "--stream", "D", list}).rc, kExitOk);  // an existing name still can
}

// import replaces the stream, and says what became of the older list's
// entries (by name key), in a dry run as in a write.
TEST(CtlImport, SaysWhatItKeepsAddsAndRemoves) {
  TempDir dir;
  const std::string box = Arg(dir, "c.mnf");
  const CtlResult first = Ctl({"import", box, WriteText(dir, "a.txt", "1 1\n2 2\n3 3\n")});
  EXPECT_NE(first.out.find("0 kept, 3 added, 0 removed of the older list"), std::string::npos)
      << first.out;
  const std::string next = WriteText(dir, "b.txt", "2 2\n3 3\n4 4\n4 4\n5 5\n");
  for (const bool dry : {true, false}) {
    std::vector<std::string> args = {"import", box, next};
    if (dry) args.insert(args.begin() + 1, "--dry-run");
    const CtlResult r = Ctl(args);
    EXPECT_EQ(r.rc, kExitOk) << r.err;
    EXPECT_NE(r.out.find("2 kept, 2 added, 1 removed of the older list"), std::string::npos)
        << r.out;
  }
  EXPECT_NE(Ctl({"import", box, next}).out.find("4 kept, 0 added, 0 removed"), std::string::npos);
}

// The import keeps only the older list's keys from its soundness pass: a list
// with the same length and keys in the same order is read again and compared
// byte for byte, so one that differs elsewhere (here a reserved byte, which
// does not stop an edit) is written, and only the same list is "unchanged".
TEST(CtlImport, SameKeysAreNotTheSameList) {
  TempDir dir;
  const std::string box = Arg(dir, "c.mnf");
  const std::string list = WriteText(dir, "a.txt", "1 1\n2 2\n3 3\n");
  ASSERT_EQ(Ctl({"import", box, list}).rc, kExitOk);
  const std::vector<uint8_t> clean = StreamPayload(box, u"ProgramList");
  std::vector<uint8_t> odd = clean;
  odd[kPayloadHeaderBytes + kHashBlockSize + kPbReserved32Offset] = 1;  // block 2
  {
    ListStore store;
    ASSERT_EQ(store.Open(Utf8ToU16(box).c_str(), kCommitCreationParameters), StoreStatus::kOk);
    ASSERT_EQ(store.Write(u"ProgramList", odd.data(), static_cast<uint32_t>(odd.size())),
              StoreStatus::kOk);
  }
  const CtlResult r = Ctl({"import", box, list});
  EXPECT_EQ(r.rc, kExitOk) << r.err;
  EXPECT_NE(r.out.find("3 kept, 0 added, 0 removed"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("wrote"), std::string::npos) << r.out;
  EXPECT_EQ(StreamPayload(box, u"ProgramList"), clean);
  EXPECT_NE(Ctl({"import", box, list}).out.find("unchanged"), std::string::npos);
}

}  // namespace
}  // namespace tl::test
