// Several product processes committing to one container at once, each through
// its own copy of the loaded library: no commit fails for meeting another
// writer, and what is stored at the end is whole and sound.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "dll_harness.h"
#include "minifile/container_reader.h"
#include "stored_list.h"
#include "support/temp_dir.h"

namespace tl::test {
namespace {

namespace fs = std::filesystem;

struct Worker {
  int list;  // 1: ProgramList, 0: BlockList
  int id;
};

// Starts commit_worker for `w`; the process handle, or null.
HANDLE StartWorker(const fs::path& dll, const Worker& w, int rounds, int entries) {
  std::wstring cmd = L"\"" + ArtifactPath(L"commit_worker.exe").wstring() + L"\" \"" +
                     dll.wstring() + L"\" " + std::to_wstring(w.list) + L" " +
                     std::to_wstring(w.id) + L" " + std::to_wstring(rounds) + L" " +
                     std::to_wstring(entries);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &pi)) {
    return nullptr;
  }
  CloseHandle(pi.hThread);
  return pi.hProcess;
}

// The names one worker's round commits.
std::vector<std::u16string> RoundNames(int id, int round, int entries) {
  std::vector<std::u16string> out;
  for (int e = 0; e < entries; ++e) {
    const std::string n =
        "w" + std::to_string(id) + "r" + std::to_string(round) + "e" + std::to_string(e) + ".exe@*";
    out.emplace_back(n.begin(), n.end());
  }
  return out;
}

TEST(DllWriters, ConcurrentCommitsAllSucceedAndLeaveWholeLists) {
  SharedConfigLock lock;
  ClientRegistrationGuard guard;
  if (!guard.usable()) GTEST_SKIP() << "a VeltrixClt registration of this machine exists";
  struct Case {
    const char* what;
    std::vector<Worker> workers;
  };
  const Case cases[] = {
      {"three processes, one stream", {{1, 0}, {1, 1}, {1, 2}}},
      {"two processes, ProgramList and BlockList", {{1, 0}, {0, 1}}},
  };
  constexpr int kRounds = 25;
  constexpr int kEntries = 5;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const fs::path dll = dir.path() / L"trustlist.dll";
    fs::copy_file(ArtifactPath(L"trustlist.dll"), dll);
    std::vector<HANDLE> running;
    for (const Worker& w : c.workers) {
      HANDLE h = StartWorker(dll, w, kRounds, kEntries);
      ASSERT_NE(h, nullptr);
      running.push_back(h);
    }
    for (size_t i = 0; i < running.size(); ++i) {
      EXPECT_EQ(WaitForSingleObject(running[i], 120000), WAIT_OBJECT_0);
      DWORD code = 0;
      GetExitCodeProcess(running[i], &code);
      CloseHandle(running[i]);
      EXPECT_EQ(code, 0u) << "worker " << i << ": commits that failed";
    }
    const fs::path box = dir.path() / L"TrustCustom.mnf";
    ContainerReader reader;
    ASSERT_TRUE(reader.Open(box.u16string().c_str()));
    EXPECT_TRUE(reader.Verify().empty());
    // Each stream is the last round of one of the workers that wrote it.
    for (const char16_t* stream : {u"ProgramList", u"BlockList"}) {
      const int list = stream[0] == u'P' ? 1 : 0;
      std::vector<std::vector<std::u16string>> candidates;
      for (const Worker& w : c.workers) {
        if (w.list == list) candidates.push_back(RoundNames(w.id, kRounds - 1, kEntries));
      }
      if (candidates.empty()) continue;
      const StoredList stored = ReadStoredList(box, stream);
      ASSERT_EQ(stored.error, "");
      EXPECT_NE(std::find(candidates.begin(), candidates.end(), stored.names()), candidates.end());
    }
  }
}

}  // namespace
}  // namespace tl::test
