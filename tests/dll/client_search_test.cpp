// The places the client may be loaded from: which recorded paths count as
// absolute, which names may be looked for by themselves, and how a folder and
// a file name are joined.
#include "client/client_search.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>

namespace tl::test {
namespace {

TEST(ClientSearchTest, OnlyFullyQualifiedPathsAreAbsolute) {
  struct Case {
    const wchar_t* path;
    bool absolute;
  };
  const Case cases[] = {
      {L"C:\\Product\\VeltrixClt.dll", true},
      {L"z:\\x.dll", true},
      {L"C:\\", true},
      {L"\\\\server\\share\\VeltrixClt.dll", true},
      {L"\\\\?\\C:\\Product\\VeltrixClt.dll", true},
      {L"\\\\.\\C:\\x.dll", true},
      {L"C:\\..\\x.dll", true},  // still one fixed place
      {L"VeltrixClt.dll", false},
      {L"VeltrixClt", false},
      {L"sub\\VeltrixClt.dll", false},
      {L"..\\VeltrixClt.dll", false},
      {L".\\VeltrixClt.dll", false},
      {L"\\Product\\VeltrixClt.dll", false},  // the current drive's root
      {L"C:VeltrixClt.dll", false},           // the current folder of drive C
      {L"C:/Product/VeltrixClt.dll", false},
      {L"1:\\x.dll", false},
      {L"\\\\", false},
      {L"", false},
      {nullptr, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(client::IsAbsolutePath(c.path), c.absolute) << (c.path ? c.path : L"(null)");
  }
}

TEST(ClientSearchTest, OnlyPlainFileNamesAreLookedForByThemselves) {
  struct Case {
    std::wstring name;
    std::wstring file;  // empty: refused
  };
  const std::wstring longest = std::wstring(255, L'n');  // with ".dll" 259 units
  const std::wstring dotted = std::wstring(259, L'.');   // has a dot: taken as it is
  const Case cases[] = {
      {L"VeltrixClt", L"VeltrixClt.dll"},
      {L"VeltrixClt.plugin", L"VeltrixClt.plugin"},
      {L"a.b.c", L"a.b.c"},
      {longest, longest + L".dll"},
      {longest + L"n", L""},
      {dotted, dotted},
      {dotted + L".", L""},
      {L"", L""},
      {L"..\\VeltrixClt", L""},
      {L"sub\\VeltrixClt", L""},
      {L"sub/VeltrixClt", L""},
      {L"C:VeltrixClt", L""},
      {L"C:\\VeltrixClt", L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name.size() << " units: " << c.name.substr(0, 20));
    wchar_t out[client::kPathUnits];
    out[0] = L'?';
    EXPECT_EQ(client::ClientFileName(c.name.c_str(), out), !c.file.empty());
    EXPECT_EQ(std::wstring(out), c.file);
  }
  wchar_t out[client::kPathUnits];
  EXPECT_FALSE(client::ClientFileName(nullptr, out));
  EXPECT_EQ(out[0], L'\0');
}

TEST(ClientSearchTest, JoinsOnlyAbsoluteFoldersAndWholePaths) {
  const std::wstring file = L"VeltrixClt.dll";  // 14 units
  struct Case {
    std::wstring folder;
    std::wstring expected;  // empty: refused
  };
  const std::wstring deep = L"C:\\" + std::wstring(259 - 3 - 1 - 14, L'd');  // joined: 259
  const std::wstring too_deep = deep + L"e";                                 // joined: 260
  const Case cases[] = {
      {L"C:\\Product", L"C:\\Product\\VeltrixClt.dll"},
      {L"C:\\Product\\", L"C:\\Product\\VeltrixClt.dll"},
      {L"C:\\", L"C:\\VeltrixClt.dll"},
      {L"\\\\server\\share", L"\\\\server\\share\\VeltrixClt.dll"},
      {deep, deep + L"\\" + file},
      {too_deep, L""},
      {L"Product", L""},
      {L"", L""},
      {L"\\Product", L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.folder.size() << " units: " << c.folder.substr(0, 20));
    wchar_t out[client::kPathUnits];
    out[0] = L'?';
    EXPECT_EQ(client::JoinFolder(c.folder.c_str(), file.c_str(), out), !c.expected.empty());
    EXPECT_EQ(std::wstring(out), c.expected);
  }
  wchar_t out[client::kPathUnits];
  EXPECT_FALSE(client::JoinFolder(L"C:\\Product", L"", out));
  EXPECT_FALSE(client::JoinFolder(nullptr, file.c_str(), out));
}

TEST(ClientSearchTest, OwnModuleFolderIsTheFolderOfTheModuleHoldingTheCode) {
  // Linked into this program, the code's module is the program itself.
  wchar_t exe[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH);
  ASSERT_GT(n, 0u);
  wchar_t folder[client::kPathUnits];
  ASSERT_TRUE(client::OwnModuleFolder(folder));
  EXPECT_TRUE(client::IsAbsolutePath(folder));
  EXPECT_TRUE(std::filesystem::equivalent(folder, std::filesystem::path(exe).parent_path()));
}

}  // namespace
}  // namespace tl::test
