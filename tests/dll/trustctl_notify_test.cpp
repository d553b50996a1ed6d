// trustctl.exe tells the product of every change it writes, as a commit does:
// it loads the client from beside itself (never from the current directory),
// calls the change notification once per command and releases it; a command
// that finds the list as wanted writes nothing and tells nobody; --no-notify
// leaves the telling out; a product that cannot be told is said on standard
// error, and the command still succeeds. Each case runs the built trustctl.exe
// as its own process, with a copy of it in a folder of the test's own.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "dll_harness.h"
#include "support/temp_dir.h"

namespace tl::test {
namespace {

namespace fs = std::filesystem;

struct ToolRun {
  DWORD code = 0xFFFFFFFF;
  std::string out, err;
};

std::string ReadText(const fs::path& p) {
  const std::vector<uint8_t> bytes = ReadAll(p);
  return std::string(bytes.begin(), bytes.end());
}

// Runs `exe` with `args` in folder `cwd`, its standard output and error into
// files; the environment (VELTRIXCLT_LOG) is inherited.
ToolRun RunTool(const fs::path& exe, const std::vector<std::wstring>& args, const fs::path& cwd,
                const fs::path& scratch) {
  ToolRun r;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  // Files of each run's own: a process of Wine's started with the tool may
  // hold the inherited handles a little longer than the tool itself.
  static int runs = 0;
  const std::wstring n = std::to_wstring(++runs);
  const fs::path out_file = scratch / (L"out" + n + L".txt");
  const fs::path err_file = scratch / (L"err" + n + L".txt");
  HANDLE out = CreateFileW(out_file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                           CREATE_ALWAYS, 0, nullptr);
  HANDLE err = CreateFileW(err_file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                           CREATE_ALWAYS, 0, nullptr);
  if (out == INVALID_HANDLE_VALUE || err == INVALID_HANDLE_VALUE) return r;
  std::wstring cmd = L"\"" + exe.wstring() + L"\"";
  for (const std::wstring& a : args) cmd += L" \"" + a + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = out;
  si.hStdError = err;
  PROCESS_INFORMATION pi{};
  const BOOL started = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                      nullptr, cwd.c_str(), &si, &pi);
  CloseHandle(out);
  CloseHandle(err);
  if (!started) return r;
  WaitForSingleObject(pi.hProcess, 120000);
  GetExitCodeProcess(pi.hProcess, &r.code);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  r.out = ReadText(out_file);
  r.err = ReadText(err_file);
  return r;
}

class TrustctlNotifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!guard_.usable()) GTEST_SKIP() << "a VeltrixClt registration of this machine exists";
    fs::create_directories(bin());
    fs::create_directories(work());
    fs::copy_file(ArtifactPath(L"trustctl.exe"), exe());
    // The DLLs it imports, as the package ships them beside it.
    const std::wstring beside = TL_TRUSTCTL_BESIDE;
    for (size_t at = 0; at < beside.size();) {
      size_t end = beside.find(L',', at);
      if (end == std::wstring::npos) end = beside.size();
      const std::wstring dll = beside.substr(at, end - at);
      fs::copy_file(ArtifactPath(dll), bin() / dll);
      at = end + 1;
    }
    WriteText(L"one.jsonl", Entry(1));
    WriteText(L"two.jsonl", Entry(1) + Entry(2));
  }

  fs::path bin() const { return tmp_.path() / L"bin"; }
  fs::path work() const { return tmp_.path() / L"work"; }
  fs::path exe() const { return bin() / L"trustctl.exe"; }
  fs::path box() const { return tmp_.path() / L"TrustCustom.mnf"; }

  // A fingerprint-only entry as export writes it (size 1, CRC n; n is 1 or 2).
  static std::string Entry(int n) {
    static const char* const kKeys[] = {"", "0x000000003f3d5229", "0x00000000b9a92087"};
    const std::string hex = "000000010000000" + std::to_string(n);
    return "{\"name\":\"" + hex + ".*\",\"key\":\"" + kKeys[n] +
           "\",\"kind\":2,\"flags\":128,\"fingerprint\":\"0x" + hex + "\"}\n";
  }
  void WriteText(const wchar_t* name, const std::string& text) {
    WriteAll(tmp_.path() / name, std::vector<uint8_t>(text.begin(), text.end()));
  }
  void PlaceClient(const fs::path& dir, const wchar_t* artifact = L"client\\VeltrixClt.dll") {
    fs::copy_file(ArtifactPath(artifact), dir / L"VeltrixClt.dll",
                  fs::copy_options::overwrite_existing);
  }
  ToolRun Apply(const wchar_t* list, std::vector<std::wstring> options = {}) {
    options.insert(options.begin(), L"apply");
    options.push_back(box().wstring());
    options.push_back((tmp_.path() / list).wstring());
    return RunTool(exe(), options, work(), tmp_.path());
  }

  SharedConfigLock lock_;
  ClientRegistrationGuard guard_;
  TempDir tmp_;
  ClientLog log_{tmp_.path() / L"client.log"};
};

TEST_F(TrustctlNotifyTest, AChangeNotifiesOnceAndNoChangeNobody) {
  PlaceClient(bin());
  ToolRun r = Apply(L"one.jsonl");
  ASSERT_EQ(r.code, 0u) << r.err;
  EXPECT_NE(("\n" + r.out).find("\nchanged: "), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(log_.Count("notify"), 1);
  EXPECT_EQ(log_.Paths("attach"), std::vector<std::string>{Lower(Utf8(bin() / L"VeltrixClt.dll"))});
  EXPECT_EQ(log_.Count("detach"), 1);  // released again

  const std::vector<uint8_t> stored = ReadAll(box());
  r = Apply(L"one.jsonl");
  ASSERT_EQ(r.code, 0u) << r.err;
  EXPECT_EQ(r.out.rfind("unchanged", 0), 0u) << r.out;
  EXPECT_EQ(log_.Count("attach"), 1);  // not even loaded
  EXPECT_EQ(log_.Count("notify"), 1);
  EXPECT_EQ(ReadAll(box()), stored);

  // Another command that writes tells it too, once.
  r = RunTool(exe(), {L"add", box().wstring(), L"--hash", L"5", L"5"}, work(), tmp_.path());
  ASSERT_EQ(r.code, 0u) << r.out << r.err;
  EXPECT_EQ(log_.Count("notify"), 2);
}

TEST_F(TrustctlNotifyTest, NoNotifyTellsNobody) {
  PlaceClient(bin());
  const ToolRun r = Apply(L"two.jsonl", {L"--no-notify"});
  ASSERT_EQ(r.code, 0u) << r.err;
  EXPECT_NE(("\n" + r.out).find("\nchanged: "), std::string::npos) << r.out;
  EXPECT_EQ(log_.Lines(), std::vector<std::string>{});
}

// Nothing beside trustctl.exe, a client in the current directory: that one is
// never loaded, and the command says the product was not told.
TEST_F(TrustctlNotifyTest, AClientInTheCurrentDirectoryIsNeverLoaded) {
  PlaceClient(work());
  const ToolRun r = Apply(L"one.jsonl");
  ASSERT_EQ(r.code, 0u) << r.err;
  EXPECT_NE(("\n" + r.out).find("\nchanged: "), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("the product was not told of the change: no client library"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(log_.Lines(), std::vector<std::string>{});
}

TEST_F(TrustctlNotifyTest, AClientWithoutTheNotificationIsSaid) {
  PlaceClient(bin(), L"client_no16\\VeltrixClt.dll");
  const ToolRun r = Apply(L"one.jsonl");
  ASSERT_EQ(r.code, 0u) << r.err;
  EXPECT_NE(r.err.find("has no change notification"), std::string::npos) << r.err;
  EXPECT_EQ(log_.Count("attach"), 1);
  EXPECT_EQ(log_.Count("notify"), 0);
}

}  // namespace
}  // namespace tl::test
