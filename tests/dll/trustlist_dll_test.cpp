// trustlist.dll driven by ordinal, as its callers drive it: each test loads a
// fresh copy from a folder of its own and checks what lands on disk with the
// checked container reader, and what the reference client was told.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/module_loader.h"
#include "dll_harness.h"
#include "entry/list_store.h"
#include "minifile/container_reader.h"
#include "minifile/journal.h"
#include "platform/file.h"
#include "stored_list.h"
#include "support/temp_dir.h"

namespace tl::test {
namespace {

namespace fs = std::filesystem;

constexpr char16_t kProgramList[] = u"ProgramList";
constexpr char16_t kBlockList[] = u"BlockList";
constexpr uint32_t kFlagFingerprint = TRUSTLIST_PB_FINGERPRINT;

// A program description with a path and a first text.
std::unique_ptr<TrustlistProgram> Program(const std::wstring& path, const std::wstring& text1) {
  auto p = std::make_unique<TrustlistProgram>();
  std::memset(p.get(), 0, sizeof(TrustlistProgram));
  p->cbSize = sizeof(TrustlistProgram);
  std::memcpy(p->path, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
  std::memcpy(p->text1, text1.c_str(), (text1.size() + 1) * sizeof(wchar_t));
  return p;
}

// A path as the import entry points take it.
const trustlist_wchar* Units(const fs::path& path) {
  return reinterpret_cast<const trustlist_wchar*>(path.c_str());
}

std::wstring Text(const trustlist_wchar* units, size_t cap) {
  std::wstring s;
  for (size_t i = 0; i < cap && units[i] != 0; ++i) s.push_back(static_cast<wchar_t>(units[i]));
  return s;
}

class DllTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!guard_.usable()) GTEST_SKIP() << "a VeltrixClt registration of this machine exists";
    Load(tmp_.path() / L"lib");
  }

  void Load(const fs::path& dir) {
    dll_.reset();
    dll_ = std::make_unique<TrustlistDll>(dir);
    ASSERT_TRUE(dll_->loaded()) << Utf8(dir);
  }

  fs::path lib_dir() const { return dll_->path().parent_path(); }
  fs::path custom_file() const { return lib_dir() / L"TrustCustom.mnf"; }
  fs::path hash_file() const { return lib_dir() / L"TrustHash.mnf"; }

  // The full reference client beside the loaded trustlist.dll, the first place
  // a commit looks.
  fs::path PlaceClientBesideLibrary(const wchar_t* artifact = L"client\\VeltrixClt.dll") {
    fs::copy_file(ArtifactPath(artifact), lib_dir() / L"VeltrixClt.dll",
                  fs::copy_options::overwrite_existing);
    return lib_dir() / L"VeltrixClt.dll";
  }
  fs::path ClientCopy(const wchar_t* sub_dir) {
    fs::create_directories(tmp_.path() / sub_dir);
    fs::path path = tmp_.path() / sub_dir / L"VeltrixClt.dll";
    fs::copy_file(ArtifactPath(L"client\\VeltrixClt.dll"), path,
                  fs::copy_options::overwrite_existing);
    return path;
  }

  int32_t Add(const std::wstring& path, const std::wstring& text1 = L"t") {
    auto p = Program(path, text1);
    return dll_->AddProgram(p.get());
  }

  fs::path WriteHashList(const std::string& name, const std::string& text) {
    fs::path path = tmp_.path() / name;
    WriteAll(path, std::vector<uint8_t>(text.begin(), text.end()));
    return path;
  }

  std::vector<fs::path> ContainerFiles() const {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(lib_dir())) {
      if (e.path().filename().wstring().rfind(L"Trust", 0) == 0) out.push_back(e.path());
    }
    return out;
  }

  static void ExpectEmptyPayload(const StoredList& s) {
    ASSERT_EQ(s.error, "");
    ASSERT_EQ(s.payload.size(), 20u);
    EXPECT_EQ(s.parsed.tag, 48);
    EXPECT_EQ(s.parsed.count, 0);
    EXPECT_EQ(s.parsed.blocks_size, 4u);
    EXPECT_TRUE(s.blocks.empty());
  }

  SharedConfigLock lock_;
  ClientRegistrationGuard guard_;
  TempDir tmp_;
  ClientLog log_{tmp_.path() / L"client.log"};
  std::unique_ptr<TrustlistDll> dll_;
};

TEST_F(DllTest, SelectTargetNamesFileAndStreamBesideTheLibrary) {
  struct Case {
    int32_t custom, program;
    const wchar_t* file;
    const wchar_t* stream;
  };
  const Case cases[] = {
      {0, 0, L"TrustHash.mnf", L"BlockList"},      {1, 1, L"TrustCustom.mnf", L"ProgramList"},
      {-1, 2, L"TrustCustom.mnf", L"ProgramList"}, {0, 7, L"TrustHash.mnf", L"ProgramList"},
      {9, 0, L"TrustCustom.mnf", L"BlockList"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.custom) + "," + std::to_string(c.program));
    TrustlistRequest* r = dll_->SelectTarget(c.custom, c.program);
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(fs::equivalent(lib_dir(), fs::path(Text(r->targetPath, 260)).parent_path()));
    EXPECT_EQ(fs::path(Text(r->targetPath, 260)).filename().wstring(), c.file);
    EXPECT_EQ(Text(r->streamName, 32), c.stream);
    EXPECT_EQ(r->skip, 0u);
    EXPECT_EQ(r->reserved0, 0u);
    EXPECT_EQ(r->next, nullptr);
    // Every byte past the two texts' terminators is zero.
    size_t path_len = Text(r->targetPath, 260).size();
    for (size_t i = path_len; i < 260; ++i) EXPECT_EQ(r->targetPath[i], 0) << i;
    for (size_t i = Text(r->streamName, 32).size(); i < 32; ++i) EXPECT_EQ(r->streamName[i], 0);
    for (uint8_t b : r->reserved1) EXPECT_EQ(b, 0);
  }
  EXPECT_TRUE(ContainerFiles().empty()) << "selecting writes nothing";
}

TEST_F(DllTest, SelectTargetFollowsTheHostModule) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  wchar_t kernel_path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(kernel, kernel_path, MAX_PATH), 0u);
  dll_->SetHostModule(kernel);
  TrustlistRequest* r = dll_->SelectTarget(1, 1);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(fs::path(Text(r->targetPath, 260)),
            fs::path(kernel_path).parent_path() / L"TrustCustom.mnf");

  wchar_t exe_path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, exe_path, MAX_PATH), 0u);
  dll_->SetHostModule(nullptr);
  r = dll_->SelectTarget(0, 0);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(fs::path(Text(r->targetPath, 260)),
            fs::path(exe_path).parent_path() / L"TrustHash.mnf");

  // A handle that names no module gives no target, and the commit writes nothing.
  dll_->SetHostModule(reinterpret_cast<void*>(0x12340000));
  EXPECT_EQ(dll_->SelectTarget(1, 1), nullptr);
  ASSERT_EQ(Add(L"C:\\x\\app.exe"), 1);
  EXPECT_EQ(dll_->Commit(), 0u);
  EXPECT_TRUE(ContainerFiles().empty());
}

TEST_F(DllTest, NoRecordWhenTheTargetPathWouldNotFit) {
  // A library folder of L units: the target is L + 1 + 15 units for
  // TrustCustom.mnf and L + 1 + 13 for TrustHash.mnf; 259 is the most that fits.
  std::wstring base = tmp_.path().wstring() + L"\\";
  // Beside the library the client's own path would not fit either: recorded.
  fs::path client = ClientCopy(L"p");
  WriteProfileStringW(L"VeltrixClt", L"Path64", client.c_str());
  for (size_t dir_len : {size_t{243}, size_t{244}, size_t{246}}) {
    SCOPED_TRACE(dir_len);
    ASSERT_LT(base.size() + 10, dir_len);
    fs::path dir = base + std::wstring(dir_len - base.size(), L'd');
    ASSERT_EQ(dir.wstring().size(), dir_len);
    Load(dir);
    bool custom_fits = dir_len + 16 <= 259;
    bool hash_fits = dir_len + 14 <= 259;

    TrustlistRequest* r = dll_->SelectTarget(1, 1);
    EXPECT_EQ(r != nullptr, custom_fits);
    if (r != nullptr) {
      EXPECT_EQ(Text(r->targetPath, 260).size(), dir_len + 16);
    }
    ASSERT_EQ(Add(L"C:\\x\\app.exe"), 1);
    int notified = log_.Count("notify");
    EXPECT_EQ(dll_->Commit(), custom_fits ? 1u : 0u);
    EXPECT_EQ(log_.Count("notify"), notified + 1) << "the client is told in every case";
    if (!custom_fits) {
      EXPECT_TRUE(ContainerFiles().empty()) << "no cut file name such as TrustCust";
      // The list was emptied by the failed selection: a later valid selection
      // commits nothing of it.
    }

    r = dll_->SelectTarget(0, 0);
    EXPECT_EQ(r != nullptr, hash_fits);
    if (hash_fits) {
      EXPECT_EQ(dll_->Commit(), 0u);
      ExpectEmptyPayload(ReadStoredList(hash_file(), kBlockList));
    }
  }
}

TEST_F(DllTest, CommitBeforeAnySelectionWritesNothingAndNotifies) {
  PlaceClientBesideLibrary();
  ASSERT_EQ(Add(L"C:\\x\\app.exe"), 1);
  EXPECT_EQ(dll_->Commit(), 0u);
  EXPECT_TRUE(ContainerFiles().empty());
  EXPECT_EQ(log_.Count("notify"), 1);
  EXPECT_EQ(log_.Count("attach"), 1);
  EXPECT_EQ(log_.Count("detach"), 1) << "the client is unloaded again";
}

// A commit or import that returns 0 leaves its cause as the thread's last
// error; one that stored its list (an empty one too) leaves ERROR_SUCCESS, so a
// caller can tell "nothing stored" from "an empty list stored".
TEST_F(DllTest, AResultOfZeroKeepsItsCause) {
  struct Case {
    const char* what;
    std::function<uint32_t()> run;
    DWORD cause;
  };
  const Case cases[] = {
      {"no selection", [this] { return dll_->Commit(); }, ERROR_INVALID_HANDLE},
      {"an empty list stored",
       [this] {
         dll_->SelectTarget(1, 1);
         return dll_->Commit();
       },
       ERROR_SUCCESS},
      {"the container is a folder",
       [this] {
         fs::remove(custom_file());
         fs::create_directory(custom_file());
         dll_->SelectTarget(1, 1);
         const uint32_t r = dll_->Commit();
         fs::remove(custom_file());
         return r;
       },
       ERROR_BAD_FILE_TYPE},
      {"another writer holds it for the whole wait",
       [this] {
         ListStore held;
         held.Open(custom_file().u16string().c_str(), kCommitCreationParameters);
         dll_->SelectTarget(1, 1);
         return dll_->Commit();
       },
       ERROR_SHARING_VIOLATION},
      {"the skip flag is set",
       [this] {
         dll_->SelectTarget(1, 1)->skip = 1;
         return dll_->Commit();
       },
       ERROR_CANCELLED},
      {"the list does not fit",
       [this] {
         fs::remove(custom_file());
         {
           ListStore small;  // 14 blocks of 512 bytes
           small.Open(custom_file().u16string().c_str(), CreationParameters{20, 512, 16, 4, 0});
         }
         dll_->SelectTarget(1, 1);
         for (int i = 0; i < 40; ++i) Add(L"C:\\x\\app" + std::to_wstring(i) + L".exe");
         const uint32_t r = dll_->Commit();
         fs::remove(custom_file());
         return r;
       },
       ERROR_DISK_FULL},
      {"an interrupted write that cannot be rolled back",
       [this] {
         dll_->SelectTarget(1, 1);
         fs::create_directory(custom_file().wstring() + L"-journal");
         const uint32_t r = dll_->Commit();
         fs::remove(custom_file().wstring() + L"-journal");
         return r;
       },
       ERROR_FILE_CORRUPT},
      {"an import of a missing file",
       [this] { return dll_->ImportProgramList(Units(tmp_.path() / L"missing.txt")); },
       ERROR_FILE_NOT_FOUND},
      {"an import that stored its list",
       [this] { return dll_->ImportProgramList(Units(WriteHashList("l.txt", "1 2\n"))); },
       ERROR_SUCCESS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(12345);
    const uint32_t result = c.run();
    const DWORD cause = GetLastError();
    EXPECT_EQ(cause, c.cause);
    EXPECT_EQ(result, c.what == std::string("an import that stored its list") ? 1u : 0u);
  }
}

TEST_F(DllTest, EmptyCommitStoresTheTwentyBytePayloadInANewContainer) {
  ASSERT_NE(dll_->SelectTarget(1, 1), nullptr);
  EXPECT_EQ(dll_->Commit(), 0u);
  StoredList s = ReadStoredList(custom_file(), kProgramList);
  ExpectEmptyPayload(s);
  const uint8_t expected[20] = {48, 0, 0, 0, 4, 0, 0, 0};
  EXPECT_EQ(std::memcmp(s.payload.data(), expected, 20), 0);
  EXPECT_EQ(s.geometry.block_size, 0x100000u);
  EXPECT_EQ(s.geometry.table_entries, 32u);
  EXPECT_EQ(s.geometry.dir_entries, 4u);
}

TEST_F(DllTest, TwoProgramsThenASecondCommitReplacesThemWithNothing) {
  PlaceClientBesideLibrary();
  ASSERT_NE(dll_->SelectTarget(1, 1), nullptr);
  ASSERT_EQ(Add(L"C:\\Tools\\app.exe", L"first"), 1);
  ASSERT_EQ(Add(L"tool.exe", L"second"), 1);
  EXPECT_EQ(dll_->Commit(), 2u);
  StoredList s = ReadStoredList(custom_file(), kProgramList);
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(s.parsed.count, 2);
  EXPECT_EQ(s.parsed.blocks_size + 16, s.payload.size());
  ASSERT_EQ(s.blocks.size(), 2u);
  EXPECT_EQ(s.names(), (std::vector<std::u16string>{u"app.exe@*", u"tool.exe"}));
  EXPECT_EQ(s.blocks[0].text1, u"first");
  EXPECT_EQ(s.blocks[1].text1, u"second");

  // The record stays selected; the list was emptied by the first commit.
  EXPECT_EQ(dll_->Commit(), 0u);
  ExpectEmptyPayload(ReadStoredList(custom_file(), kProgramList));
  EXPECT_EQ(log_.Count("notify"), 2);
}

TEST_F(DllTest, SameFileNameReplacesTheEarlierBlock) {
  ASSERT_NE(dll_->SelectTarget(1, 1), nullptr);
  ASSERT_EQ(Add(L"C:\\A\\app.exe", L"first"), 1);
  ASSERT_EQ(Add(L"C:\\Other\\tool.exe", L"other"), 1);
  ASSERT_EQ(Add(L"D:\\B\\APP.EXE", L"second"), 1);
  EXPECT_EQ(dll_->Commit(), 2u);
  StoredList s = ReadStoredList(custom_file(), kProgramList);
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(s.names(), (std::vector<std::u16string>{u"tool.exe@*", u"APP.EXE@*"}));
  EXPECT_EQ(s.blocks[1].text1, u"second");
}

TEST_F(DllTest, SkipFlagWritesNothingButEmptiesTheList) {
  PlaceClientBesideLibrary();
  TrustlistRequest* r = dll_->SelectTarget(1, 1);
  ASSERT_NE(r, nullptr);
  ASSERT_EQ(Add(L"C:\\x\\app.exe"), 1);
  r->skip = 1;
  EXPECT_EQ(dll_->Commit(), 0u);
  EXPECT_TRUE(ContainerFiles().empty());
  EXPECT_EQ(log_.Count("notify"), 1);

  r->skip = 0;
  EXPECT_EQ(dll_->Commit(), 0u);
  ExpectEmptyPayload(ReadStoredList(custom_file(), kProgramList));
}

TEST_F(DllTest, AChangedRecordIsUsedAsItStandsButNeverReadPastItsFields) {
  TrustlistRequest* r = dll_->SelectTarget(1, 1);
  ASSERT_NE(r, nullptr);
  // A caller may rename the stream; the commit takes the record as it stands.
  const std::u16string renamed = u"Renamed";
  std::memcpy(r->streamName, renamed.c_str(), (renamed.size() + 1) * 2);
  ASSERT_EQ(Add(L"C:\\x\\app.exe"), 1);
  EXPECT_EQ(dll_->Commit(), 1u);
  EXPECT_TRUE(HasStream(custom_file(), u"Renamed"));
  EXPECT_FALSE(HasStream(custom_file(), kProgramList));

  // Without a terminator inside the field nothing is written.
  for (auto& unit : r->streamName) unit = u'S';
  ASSERT_EQ(Add(L"C:\\x\\app.exe"), 1);
  EXPECT_EQ(dll_->Commit(), 0u);
  for (auto& unit : r->targetPath) unit = u'P';
  r->streamName[5] = 0;
  EXPECT_EQ(dll_->Commit(), 0u);
  EXPECT_EQ(ContainerFiles().size(), 1u);
}

TEST_F(DllTest, ASecondSelectionDiscardsTheBlocksAddedBefore) {
  ASSERT_NE(dll_->SelectTarget(1, 1), nullptr);
  ASSERT_EQ(Add(L"C:\\x\\app.exe"), 1);
  TrustlistRequest* r = dll_->SelectTarget(0, 1);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->next, nullptr);
  EXPECT_EQ(dll_->Commit(), 0u);
  ExpectEmptyPayload(ReadStoredList(hash_file(), kProgramList));
  EXPECT_FALSE(fs::exists(custom_file()));
}

TEST_F(DllTest, BothFilesAndStreamsLiveSideBySide) {
  ASSERT_NE(dll_->SelectTarget(0, 0), nullptr);
  ASSERT_EQ(Add(L"C:\\x\\hash.exe"), 1);
  EXPECT_EQ(dll_->Commit(), 1u);
  ASSERT_NE(dll_->SelectTarget(1, 1), nullptr);
  ASSERT_EQ(Add(L"C:\\x\\prog.exe"), 1);
  EXPECT_EQ(dll_->Commit(), 1u);
  ASSERT_NE(dll_->SelectTarget(1, 0), nullptr);
  ASSERT_EQ(Add(L"C:\\x\\block.exe"), 1);
  EXPECT_EQ(dll_->Commit(), 1u);

  EXPECT_EQ(ReadStoredList(hash_file(), kBlockList).names(),
            std::vector<std::u16string>{u"hash.exe@*"});
  EXPECT_EQ(ReadStoredList(custom_file(), kProgramList).names(),
            std::vector<std::u16string>{u"prog.exe@*"});
  EXPECT_EQ(ReadStoredList(custom_file(), kBlockList).names(),
            std::vector<std::u16string>{u"block.exe@*"});
}

TEST_F(DllTest, AddProgramRefusesWhatItCannotUseAndWritesResultsBack) {
  ASSERT_NE(dll_->SelectTarget(1, 1), nullptr);
  EXPECT_EQ(dll_->AddProgram(nullptr), 0);
  auto small = Program(L"C:\\x\\a.exe", L"t");
  small->cbSize = 2047;
  EXPECT_EQ(dll_->AddProgram(small.get()), 0);
  auto bare = Program(L"C:\\x\\b.exe", L"");
  EXPECT_EQ(dll_->AddProgram(bare.get()), 0) << "a path alone is no attribute";

  // Both file results cross the boundary into the caller's record.
  std::wstring self = dll_->path().wstring();
  auto p = Program(L"C:\\x\\c.exe", L"");
  p->fingerprintFile = reinterpret_cast<uint64_t>(self.c_str());
  p->timeStampFile = reinterpret_cast<uint64_t>(self.c_str());
  const uint64_t address_high = p->timeStampFile & 0xFFFFFFFF00000000ull;
  EXPECT_EQ(dll_->AddProgram(p.get()), 1);
  EXPECT_EQ(p->fingerprintFile >> 32, fs::file_size(dll_->path()));
  auto bytes = ReadAll(dll_->path());
  uint32_t pe = bytes[0x3C] | bytes[0x3D] << 8 | bytes[0x3E] << 16 | bytes[0x3F] << 24;
  uint32_t stamp = bytes[pe + 8] | bytes[pe + 9] << 8 | bytes[pe + 10] << 16 |
                   static_cast<uint32_t>(bytes[pe + 11]) << 24;
  EXPECT_EQ(static_cast<uint32_t>(p->timeStampFile), stamp);
  EXPECT_EQ(p->timeStampFile & 0xFFFFFFFF00000000ull, address_high);

  EXPECT_EQ(dll_->Commit(), 1u);
  StoredList s = ReadStoredList(custom_file(), kProgramList);
  ASSERT_EQ(s.blocks.size(), 1u);
  EXPECT_EQ(s.blocks[0].fingerprint, p->fingerprintFile);
  EXPECT_EQ(s.blocks[0].linkTimeStamp, stamp);
}

TEST_F(DllTest, AddProgramRefusesARecordThatRunsIntoUnreadableMemory) {
  ASSERT_NE(dll_->SelectTarget(1, 1), nullptr);
  // One readable page followed by one that may not be touched.
  auto* pages = static_cast<uint8_t*>(
      VirtualAlloc(nullptr, 2 * 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(pages, nullptr);
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(pages + 4096, 4096, PAGE_NOACCESS, &old));
  auto place = [&](size_t offset, uint32_t cb_size) {
    auto src = Program(L"C:\\x\\edge.exe", L"t");
    src->cbSize = cb_size;
    size_t n = std::min<size_t>(sizeof(TrustlistProgram), 4096 - offset);
    std::memcpy(pages + offset, src.get(), n);
    return reinterpret_cast<TrustlistProgram*>(pages + offset);
  };
  EXPECT_EQ(dll_->AddProgram(place(4096 - 2048, 2048)), 1) << "wholly readable";
  EXPECT_EQ(dll_->AddProgram(place(4096 - 2048, 0xFFFFFFFFu)), 0)
      << "declares more than is readable where text3 may be read";
  EXPECT_EQ(dll_->AddProgram(place(4096 - 1024, 2048)), 0) << "runs into the guarded page";
  EXPECT_EQ(dll_->AddProgram(reinterpret_cast<TrustlistProgram*>(pages + 4096)), 0);
  EXPECT_EQ(dll_->Commit(), 1u);
  VirtualFree(pages, 0, MEM_RELEASE);
}

TEST_F(DllTest, ConcurrentAddsKeepEveryBlockOnce) {
  ASSERT_NE(dll_->SelectTarget(1, 1), nullptr);
  constexpr int kThreads = 6;
  constexpr int kPerThread = 40;
  std::vector<std::thread> threads;
  std::vector<int> added(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        std::wstring path = L"C:\\t\\p" + std::to_wstring(t) + L"_" + std::to_wstring(i) + L".exe";
        added[t] += Add(path, L"v");
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int n : added) EXPECT_EQ(n, kPerThread);
  EXPECT_EQ(dll_->Commit(), static_cast<uint32_t>(kThreads * kPerThread));
  StoredList s = ReadStoredList(custom_file(), kProgramList);
  ASSERT_EQ(s.error, "");
  std::set<std::u16string> names;
  for (const auto& n : s.names()) EXPECT_TRUE(names.insert(n).second) << "duplicate block";
  EXPECT_EQ(names.size(), static_cast<size_t>(kThreads * kPerThread));
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kPerThread; ++i) {
      std::string n = "p" + std::to_string(t) + "_" + std::to_string(i) + ".exe@*";
      EXPECT_TRUE(names.count(std::u16string(n.begin(), n.end()))) << n;
    }
  }
}

TEST_F(DllTest, ImportProgramListStoresOneBlockPerUsedLine) {
  PlaceClientBesideLibrary();
  fs::path list = WriteHashList("list.txt",
                                "2000 1234abcd\n"
                                "  0x10   0X20  extra\n"
                                "1 2\n"
                                "short\tline\n"
                                "2000 1234ABCD\r\n"
                                "3 4");
  EXPECT_EQ(dll_->ImportProgramList(Units(list)), 3u);
  StoredList s = ReadStoredList(custom_file(), kProgramList);
  ASSERT_EQ(s.error, "");
  EXPECT_EQ(s.names(), (std::vector<std::u16string>{u"0000001000000020.*", u"0000000100000002.*",
                                                    u"000020001234abcd.*"}));
  EXPECT_EQ(s.blocks[2].flags, kFlagFingerprint);
  EXPECT_EQ(s.blocks[2].fingerprint, 0x000020001234ABCDull);
  EXPECT_EQ(s.blocks[2].size, 200u);
  EXPECT_FALSE(fs::exists(hash_file()));
  EXPECT_EQ(log_.Count("notify"), 1);
}

TEST_F(DllTest, ImportBlockListWritesTheCustomFile) {
  fs::path list = WriteHashList("list.txt", "2000 1234abcd\n");
  ASSERT_NE(dll_->SelectTarget(0, 1), nullptr);
  EXPECT_EQ(dll_->ImportBlockList(Units(list)), 1u);
  EXPECT_EQ(ReadStoredList(custom_file(), kBlockList).names(),
            std::vector<std::u16string>{u"000020001234abcd.*"});
  EXPECT_FALSE(fs::exists(hash_file()));
  EXPECT_FALSE(HasStream(custom_file(), kProgramList));

  // The import's selection stays: a later commit writes that stream again.
  EXPECT_EQ(dll_->Commit(), 0u);
  ExpectEmptyPayload(ReadStoredList(custom_file(), kBlockList));
}

TEST_F(DllTest, ImportOfAnEmptyFileStoresTheEmptyPayload) {
  fs::path list = WriteHashList("empty.txt", "");
  EXPECT_EQ(dll_->ImportProgramList(Units(list)), 0u);
  ExpectEmptyPayload(ReadStoredList(custom_file(), kProgramList));
}

TEST_F(DllTest, ImportOfAMissingFileChangesNothing) {
  PlaceClientBesideLibrary();
  ASSERT_NE(dll_->SelectTarget(0, 0), nullptr);
  ASSERT_EQ(Add(L"C:\\x\\kept.exe"), 1);
  fs::path missing = tmp_.path() / L"missing.txt";
  EXPECT_EQ(dll_->ImportProgramList(Units(missing)), 0u);
  EXPECT_EQ(dll_->ImportBlockList(nullptr), 0u);
  EXPECT_EQ(log_.Count("notify"), 0) << "no commit ran";

  EXPECT_EQ(dll_->Commit(), 1u);
  EXPECT_EQ(ReadStoredList(hash_file(), kBlockList).names(),
            std::vector<std::u16string>{u"kept.exe@*"});
  EXPECT_FALSE(fs::exists(custom_file()));
}

// A read that fails after the import opened its file (here: a pipe whose
// writer goes away after one line, so that the read after it fails) ends the
// import as a failed commit ends: the stream is what it was, the list emptied,
// the client told, the result 0.
TEST_F(DllTest, ImportThatCannotReadItsFileCommitsNothing) {
  PlaceClientBesideLibrary();
  fs::path first = WriteHashList("first.txt", "2000 1234abcd\n");
  ASSERT_EQ(dll_->ImportProgramList(Units(first)), 1u);
  const std::wstring pipe_name =
      L"\\\\.\\pipe\\tl-test-import-" + std::to_wstring(GetCurrentProcessId());
  HANDLE pipe = CreateNamedPipeW(pipe_name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE, 1, 4096,
                                 4096, 0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
  std::thread writer([pipe] {
    if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
      DWORD put = 0;
      WriteFile(pipe, "1 2\n", 4, &put, nullptr);
      FlushFileBuffers(pipe);
    }
    CloseHandle(pipe);  // the reader's next read fails: the pipe is broken
  });
  const int notified = log_.Count("notify");
  EXPECT_EQ(dll_->ImportProgramList(reinterpret_cast<const trustlist_wchar*>(pipe_name.c_str())),
            0u);
  writer.join();
  EXPECT_EQ(log_.Count("notify"), notified + 1);
  EXPECT_EQ(ReadStoredList(custom_file(), kProgramList).names(),
            std::vector<std::u16string>{u"000020001234abcd.*"});
  // The import's selection stays, and its list is gone.
  EXPECT_EQ(dll_->Commit(), 0u);
  ExpectEmptyPayload(ReadStoredList(custom_file(), kProgramList));
}

// A commit whose list fits only by reusing the blocks of the stream it
// replaces (two lists of over 15 of the 30 MiB) goes through the journal and
// leaves none behind; the other stream keeps its bytes.
TEST_F(DllTest, ReplacementInANearlyFullContainer) {
  std::string text;
  for (uint32_t i = 1; i <= 80000; ++i) text += std::to_string(i) + " 1\n";
  fs::path big = WriteHashList("big.txt", text);
  fs::path small = WriteHashList("small.txt", "5 6\n");
  ASSERT_EQ(dll_->ImportBlockList(Units(small)), 1u);
  ASSERT_EQ(dll_->ImportProgramList(Units(big)), 80000u);
  text.clear();
  for (uint32_t i = 1; i <= 80000; ++i) text += std::to_string(i) + " 2\n";
  fs::path other = WriteHashList("other.txt", text);
  EXPECT_EQ(dll_->ImportProgramList(Units(other)), 80000u);
  fs::path journal = custom_file();
  journal += L"-journal";
  EXPECT_FALSE(fs::exists(journal));
  StoredList s = ReadStoredList(custom_file(), kProgramList);
  ASSERT_EQ(s.error, "");
  ASSERT_EQ(s.blocks.size(), 80000u);
  EXPECT_EQ(s.blocks[0].fingerprint, 0x0000000100000002ull);
  EXPECT_EQ(ReadStoredList(custom_file(), kBlockList).names(),
            std::vector<std::u16string>{u"0000000500000006.*"});
}

// A complete journal beside the container (left by a write that was cut off)
// is rolled back by the next commit's open before that commit writes; also
// where the container's path is 259 units and the journal's beyond MAX_PATH.
TEST_F(DllTest, CommitRollsBackAPlantedJournalFirst) {
  const std::wstring base = tmp_.path().wstring() + L"\\";
  for (size_t dir_len : {size_t{0}, size_t{243}}) {
    SCOPED_TRACE(dir_len);
    if (dir_len != 0) Load(base + std::wstring(dir_len - base.size(), L'd'));
    fs::path list = WriteHashList("l.txt", "2000 1234abcd\n");
    ASSERT_EQ(dll_->ImportProgramList(Units(list)), 1u);
    const std::vector<uint8_t> saved = ReadAll(custom_file());
    ASSERT_EQ(dll_->ImportBlockList(Units(list)), 1u);
    ASSERT_TRUE(HasStream(custom_file(), kBlockList));
    // A journal that restores the container as it was before the BlockList.
    const std::u16string box = custom_file().u16string();
    const std::u16string journal = box + u"-journal";
    {
      // Bound to this container as a write to it would have bound it: its
      // header, and its table and directory now (after) and then (before).
      const std::vector<uint8_t> now = ReadAll(custom_file());
      ContainerReader r;
      ASSERT_TRUE(r.OpenBytes(now.data(), now.size()) && r.header_valid());
      const Geometry& g = r.geometry();
      const uint32_t meta = g.table_bytes() + g.dir_bytes();
      std::vector<uint8_t> after(meta, 0), before(meta, 0);
      for (uint32_t k = 0; k < meta; ++k) {
        if (g.table_offset + k < now.size()) after[k] = now[g.table_offset + k];
        if (g.table_offset + k < saved.size()) before[k] = saved[g.table_offset + k];
      }
      auto f = platform::CreateEmptyFile(journal.c_str());
      ASSERT_NE(f, nullptr);
      JournalWriter w(f.get());
      ASSERT_TRUE(w.Begin(static_cast<uint32_t>(saved.size()), 2, meta + saved.size(), now.data(),
                          g.table_offset, after.data(), meta));
      ASSERT_TRUE(w.Record(g.table_offset, before.data(), meta));
      ASSERT_TRUE(w.Record(0, saved.data(), static_cast<uint32_t>(saved.size())));
      ASSERT_TRUE(w.Finish());
    }
    ASSERT_EQ(InspectJournal(box.c_str()), JournalState::kComplete);
    ASSERT_NE(dll_->SelectTarget(1, 1), nullptr);
    ASSERT_EQ(Add(L"C:\\x\\app.exe"), 1);
    EXPECT_EQ(dll_->Commit(), 1u);
    EXPECT_FALSE(platform::FileExists(journal.c_str()));
    EXPECT_FALSE(HasStream(custom_file(), kBlockList)) << "rolled back before the write";
    EXPECT_EQ(ReadStoredList(custom_file(), kProgramList).names(),
              std::vector<std::u16string>{u"app.exe@*"});
  }
}

TEST(DllBuildTest, CarriesAVersionResource) {
  std::wstring dll = ArtifactPath(L"trustlist.dll").wstring();
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(dll.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<uint8_t> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(dll.c_str(), 0, size, info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixed_len = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_len));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
  wchar_t* name = nullptr;
  UINT name_len = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904b0\\OriginalFilename",
                             reinterpret_cast<void**>(&name), &name_len));
  EXPECT_STREQ(name, L"trustlist.dll");
}

// Where the commit finds the client, and that it tells it exactly once per
// commit, loading and unloading it each time: beside trustlist.dll, not beside
// the program, whatever host module the caller named.
TEST_F(DllTest, ClientBesideTheLibraryNotTheProgramIsNotifiedOncePerCommit) {
  fs::path client = PlaceClientBesideLibrary();
  wchar_t exe[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, exe, MAX_PATH), 0u);
  ASSERT_FALSE(fs::exists(fs::path(exe).parent_path() / L"VeltrixClt.dll"));
  ASSERT_NE(dll_->SelectTarget(1, 1), nullptr);
  dll_->SetHostModule(nullptr);  // the program's folder is not where the client is
  for (int i = 0; i < 3; ++i) dll_->Commit();
  EXPECT_EQ(log_.Count("notify"), 3);
  EXPECT_EQ(log_.Count("attach"), 3);
  EXPECT_EQ(log_.Count("detach"), 3);
  EXPECT_EQ(log_.Paths("notify"), std::vector<std::string>(3, Lower(Utf8(client))));
  EXPECT_EQ(GetModuleHandleW(L"VeltrixClt.dll"), nullptr) << "unloaded after the commit";
}

TEST_F(DllTest, ClientFoundThroughTheManifestBeforeTheProfile) {
  fs::path in_manifest = ClientCopy(L"m");
  fs::path in_profile = ClientCopy(L"p");
  CModuleLoader loader(L"VeltrixClt");
  ASSERT_EQ(loader.Register(in_manifest.c_str(), L"1.0"), 1);
  WriteProfileStringW(L"VeltrixClt", L"Path64", in_profile.c_str());
  EXPECT_EQ(dll_->Commit(), 0u);
  EXPECT_EQ(log_.Paths("notify"), std::vector<std::string>{Lower(Utf8(in_manifest))});
}

TEST_F(DllTest, ClientFoundThroughWinIni) {
  fs::path in_profile = ClientCopy(L"p");
  WriteProfileStringW(L"VeltrixClt", L"Path64", in_profile.c_str());
  EXPECT_EQ(dll_->Commit(), 0u);
  EXPECT_EQ(log_.Paths("notify"), std::vector<std::string>{Lower(Utf8(in_profile))});
}

TEST_F(DllTest, NoClientAnywhereIsNoFailure) {
  ASSERT_NE(dll_->SelectTarget(1, 1), nullptr);
  ASSERT_EQ(Add(L"C:\\x\\app.exe"), 1);
  EXPECT_EQ(dll_->Commit(), 1u);
  EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(DllTest, ClientWithoutTheNotificationIsLoadedAndUnloadedOnly) {
  PlaceClientBesideLibrary(L"client_no16\\VeltrixClt.dll");
  ASSERT_NE(dll_->SelectTarget(1, 1), nullptr);
  EXPECT_EQ(dll_->Commit(), 0u);
  EXPECT_EQ(dll_->Commit(), 0u);
  EXPECT_EQ(log_.Count("attach"), 2);
  EXPECT_EQ(log_.Count("notify"), 0);
  EXPECT_EQ(log_.Count("detach"), 2);
}

// Clients planted where an ordinary library search of this process finds them
// (each test first proves that it does) but no administrator put them: none is
// loaded by a commit.
class PlantedClientTest : public DllTest {
 protected:
  void SetUp() override {
    DllTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, old_cwd_), 0u);
    ASSERT_GT(GetEnvironmentVariableW(L"PATH", old_path_, kPathCap), 0u);
  }
  void TearDown() override {
    SetCurrentDirectoryW(old_cwd_);
    SetEnvironmentVariableW(L"PATH", old_path_);
    SetDllDirectoryW(nullptr);
  }

  fs::path Plant(const fs::path& dir, const std::wstring& relative = L"VeltrixClt.dll") {
    fs::create_directories((dir / relative).parent_path());
    fs::copy_file(ArtifactPath(L"client\\VeltrixClt.dll"), dir / relative,
                  fs::copy_options::overwrite_existing);
    return dir / relative;
  }
  // The ordinary search finds `name` at `planted`: what a plain LoadLibraryW of
  // the recorded value would have loaded.
  void ExpectOrdinarySearchFinds(const std::wstring& name, const fs::path& planted) {
    HMODULE module = LoadLibraryW(name.c_str());
    ASSERT_NE(module, nullptr) << "the plant is not where the ordinary search looks";
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    FreeLibrary(module);
    ASSERT_TRUE(fs::equivalent(path, planted));
  }
  // One commit that must load nothing.
  void ExpectCommitLoadsNothing() {
    int attached = log_.Count("attach");
    dll_->Commit();
    EXPECT_EQ(log_.Count("attach"), attached) << "a planted client was loaded";
    EXPECT_EQ(log_.Count("notify"), 0);
  }

  static constexpr DWORD kPathCap = 32767;
  wchar_t old_cwd_[MAX_PATH] = {};
  wchar_t old_path_[kPathCap] = {};
};

TEST_F(PlantedClientTest, InTheCurrentDirectoryIsNotLoaded) {
  fs::path cwd = tmp_.path() / L"cwd";
  fs::path planted = Plant(cwd);
  ASSERT_TRUE(SetCurrentDirectoryW(cwd.c_str()));
  ExpectOrdinarySearchFinds(L"VeltrixClt.dll", planted);
  ExpectCommitLoadsNothing();

  // The same commit does load an administrator's copy beside the library.
  fs::path client = PlaceClientBesideLibrary();
  dll_->Commit();
  EXPECT_EQ(log_.Paths("notify"), std::vector<std::string>{Lower(Utf8(client))});
}

// Run twice: by itself, putting the folder on PATH in-process, and by CTest
// with the folder given to Wine as WINEPATH (TL_PLANTED_PATH_DIR names it),
// which Wine puts on the PATH of the program it starts.
TEST_F(PlantedClientTest, OnPathIsNotLoaded) {
  wchar_t given[MAX_PATH] = {};
  fs::path dir;
  if (GetEnvironmentVariableW(L"TL_PLANTED_PATH_DIR", given, MAX_PATH) > 0) {
    dir = given;
    EXPECT_NE(std::wstring(old_path_).find(given), std::wstring::npos) << "WINEPATH not on PATH";
  } else {
    dir = tmp_.path() / L"onpath";
    std::wstring path = dir.wstring() + L";" + old_path_;
    ASSERT_TRUE(SetEnvironmentVariableW(L"PATH", path.c_str()));
  }
  fs::path planted = Plant(dir);
  ExpectOrdinarySearchFinds(L"VeltrixClt.dll", planted);
  ExpectCommitLoadsNothing();
  if (given[0] != L'\0') fs::remove(planted);
}

// A folder the host process added to its own search (SetDllDirectory) is
// none of the places either.
TEST_F(PlantedClientTest, InAFolderTheProcessAddedIsNotLoaded) {
  fs::path dir = tmp_.path() / L"added";
  fs::path planted = Plant(dir);
  ASSERT_TRUE(SetDllDirectoryW(dir.c_str()));
  ExpectOrdinarySearchFinds(L"VeltrixClt.dll", planted);
  ExpectCommitLoadsNothing();
}

TEST_F(PlantedClientTest, ARelativePath64IsNotFollowed) {
  fs::path cwd = tmp_.path() / L"cwd";
  fs::create_directories(cwd);
  ASSERT_TRUE(SetCurrentDirectoryW(cwd.c_str()));
  struct Case {
    const char* what;
    std::wstring recorded;
    std::wstring planted;  // below the current directory
    bool in_manifest;
  };
  const Case cases[] = {
      {"manifest, bare name", L"VeltrixClt.dll", L"VeltrixClt.dll", true},
      {"manifest, relative folder", L"planted\\VeltrixClt.dll", L"planted\\VeltrixClt.dll", true},
      {"profile, bare name", L"VeltrixClt.dll", L"VeltrixClt.dll", false},
      {"profile, relative folder", L"planted\\VeltrixClt.dll", L"planted\\VeltrixClt.dll", false},
      {"profile, up and down", L"..\\cwd\\up\\VeltrixClt.dll", L"up\\VeltrixClt.dll", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::path planted = Plant(cwd, c.planted);
    ExpectOrdinarySearchFinds(c.recorded, planted);
    CModuleLoader loader(L"VeltrixClt");
    if (c.in_manifest) {
      ASSERT_EQ(loader.Register(c.recorded.c_str(), L"1"), 1);
      WriteProfileStringW(L"VeltrixClt", L"Path64", nullptr);  // the manifest only
      ASSERT_TRUE(loader.ManifestTrusted()) << "the manifest itself is believed";
    } else {
      WriteProfileStringW(L"VeltrixClt", L"Path64", c.recorded.c_str());
    }
    ExpectCommitLoadsNothing();
    loader.Unregister();
  }
}

}  // namespace
}  // namespace tl::test
