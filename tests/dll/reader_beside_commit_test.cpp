// A reader never stands in the product's way: trustctl.exe holds a container
// only while it reads its bytes, so a commit of the product into the same
// container goes through while the reader formats its output, or while that
// output waits on a pipe nobody reads (a pager), and the reader still prints
// the list as it was when it read it.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "dll_harness.h"
#include "stored_list.h"
#include "support/temp_dir.h"

namespace tl::test {
namespace {

namespace fs = std::filesystem;

// Starts `cmd` with standard output `out` and error `err` (both inherited);
// the process handle, or null.
HANDLE Launch(std::wstring cmd, HANDLE out, HANDLE err) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = out;
  si.hStdError = err;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &si, &pi)) {
    return nullptr;
  }
  CloseHandle(pi.hThread);
  return pi.hProcess;
}

DWORD WaitCode(HANDLE process) {
  DWORD code = 0xFFFFFFFF;
  if (WaitForSingleObject(process, 120000) == WAIT_OBJECT_0) GetExitCodeProcess(process, &code);
  CloseHandle(process);
  return code;
}

std::wstring Quoted(const fs::path& p) { return L"\"" + p.wstring() + L"\""; }

TEST(ReaderBesideCommit, ACommitGoesThroughWhateverTheReaderWaitsOn) {
  SharedConfigLock lock;
  ClientRegistrationGuard guard;
  if (!guard.usable()) GTEST_SKIP() << "a VeltrixClt registration of this machine exists";
  TempDir dir;
  const fs::path dll = dir.path() / L"trustlist.dll";
  fs::copy_file(ArtifactPath(L"trustlist.dll"), dll);
  const fs::path exe = ArtifactPath(L"trustctl.exe");
  const fs::path box = dir.path() / L"TrustCustom.mnf";
  const fs::path list = dir.path() / L"list.txt";
  const fs::path blocks = dir.path() / L"blocks.txt";
  for (const fs::path& p : {list, blocks}) {
    std::string text;
    for (int i = 1; i <= 20000; ++i) text += std::to_string(p == list ? i : i + 1000000) + " 7\r\n";
    WriteAll(p, std::vector<uint8_t>(text.begin(), text.end()));
  }
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const fs::path err_path = dir.path() / L"err.txt";
  HANDLE err = CreateFileW(err_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &inherit, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(err, INVALID_HANDLE_VALUE);

  struct Reader {
    const wchar_t* what;
    std::wstring args;  // after the program; BOX stands for the container
    bool output_waits;  // prints more than the pipe holds before its end
  };
  const Reader readers[] = {
      {L"dump", L"dump BOX", true},       {L"dump --json", L"dump --json BOX", true},
      {L"export", L"export BOX", true},   {L"diff", L"diff BOX BOX:BlockList", true},
      {L"verify", L"verify BOX", false},  {L"lint", L"lint BOX", false},
      {L"test", L"test BOX LIST", false},
  };
  for (const Reader& r : readers) {
    SCOPED_TRACE(std::string(r.what, r.what + wcslen(r.what)));
    fs::remove(box);
    HANDLE made =
        Launch(Quoted(exe) + L" import --no-notify " + Quoted(box) + L" " + Quoted(list), err, err);
    ASSERT_NE(made, nullptr);
    ASSERT_EQ(WaitCode(made), 0u);
    made = Launch(Quoted(exe) + L" import --no-notify --new-stream " + Quoted(box) +
                      L":BlockList " + Quoted(blocks),
                  err, err);
    ASSERT_NE(made, nullptr);
    ASSERT_EQ(WaitCode(made), 0u);

    // A pipe of 4 KiB that nobody reads until the commit is done.
    HANDLE pipe_read = nullptr, pipe_write = nullptr;
    ASSERT_TRUE(CreatePipe(&pipe_read, &pipe_write, &inherit, 4096));
    SetHandleInformation(pipe_read, HANDLE_FLAG_INHERIT, 0);
    std::wstring args = r.args;
    for (size_t at; (at = args.find(L"BOX")) != std::wstring::npos;) {
      args.replace(at, 3, Quoted(box));
    }
    if (const size_t at = args.find(L"LIST"); at != std::wstring::npos) {
      args.replace(at, 4, Quoted(list));
    }
    HANDLE reader = Launch(Quoted(exe) + L" " + args, pipe_write, err);
    CloseHandle(pipe_write);
    ASSERT_NE(reader, nullptr);
    if (r.output_waits) {
      // The reader writes: it has read the container and now waits on the pipe.
      DWORD available = 0;
      for (int i = 0; i < 6000 && available == 0; ++i) {
        PeekNamedPipe(pipe_read, nullptr, 0, nullptr, &available, nullptr);
        if (available == 0 && WaitForSingleObject(reader, 10) == WAIT_OBJECT_0) break;
      }
      if (available == 0) {
        const std::vector<uint8_t> e = ReadAll(err_path);
        FAIL() << "no output; errors: " << std::string(e.begin(), e.end());
      }
      EXPECT_EQ(WaitForSingleObject(reader, 300), static_cast<DWORD>(WAIT_TIMEOUT));
    } else {
      Sleep(200);  // somewhere in its run
    }
    const std::wstring worker =
        Quoted(ArtifactPath(L"commit_worker.exe")) + L" " + Quoted(dll) + L" 1 7 1 3";
    HANDLE commit = Launch(worker, err, err);
    ASSERT_NE(commit, nullptr);
    EXPECT_EQ(WaitCode(commit), 0u) << "the product's commit failed beside the reader";

    std::string output;
    char buf[65536];
    for (DWORD n = 0; ReadFile(pipe_read, buf, sizeof buf, &n, nullptr) && n > 0;) {
      output.append(buf, n);
    }
    CloseHandle(pipe_read);
    const DWORD code = WaitCode(reader);
    EXPECT_LE(code, 1u);
    // The reader showed the list it read, whole: the 20,000 entries.
    if (std::wstring(r.what) == L"export") {
      EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 20000);
    }
    const StoredList stored = ReadStoredList(box, u"ProgramList");
    ASSERT_EQ(stored.error, "");
    EXPECT_EQ(stored.names().size(), 3u);  // the commit's list
  }
  CloseHandle(err);
}

}  // namespace
}  // namespace tl::test
