// The target path composition at its limits, including the module paths that
// a loaded library cannot produce in a test (no folder, a cut path).
#include "entry/win32/target_path.h"

#include <gtest/gtest.h>

#include <string>

namespace tl::entry {
namespace {

TEST(TargetPathTest, ReplacesTheFileNameOrRefuses) {
  struct Case {
    const char* what;
    std::wstring module;
    size_t len_delta;  // added to the text's length as the reported length
    bool custom;
    std::wstring expected;  // empty: refused
  };
  const std::wstring dir244 = L"C:\\" + std::wstring(240, L'd') + L"\\";  // 244 units
  const Case cases[] = {
      {"custom file", L"C:\\dir\\lib.dll", 0, true, L"C:\\dir\\TrustCustom.mnf"},
      {"hash file", L"C:\\dir\\lib.dll", 0, false, L"C:\\dir\\TrustHash.mnf"},
      {"module at a root", L"C:\\lib.dll", 0, true, L"C:\\TrustCustom.mnf"},
      {"slash is no separator", L"C:\\a/b/lib.dll", 0, false, L"C:\\TrustHash.mnf"},
      {"exactly 259 units", dir244 + L"x.dll", 0, true, dir244 + L"TrustCustom.mnf"},
      {"one unit too long", L"C:\\" + std::wstring(241, L'd') + L"\\x.dll", 0, true, L""},
      {"no backslash", L"lib.dll", 0, true, L""},
      {"empty path", L"", 0, true, L""},
      {"length beyond the text", L"C:\\dir\\lib.dll", 3, true, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    wchar_t out[kTargetPathUnits];
    out[0] = L'?';
    std::wstring module = c.module + std::wstring(4, L'\0');
    bool ok = ComposeTargetPath(module.c_str(), c.module.size() + c.len_delta, kTargetPathUnits,
                                c.custom, out);
    EXPECT_EQ(ok, !c.expected.empty());
    EXPECT_EQ(std::wstring(out), c.expected);
  }
}

TEST(TargetPathTest, ACutModulePathIsRefused) {
  // GetModuleFileNameW reports the buffer's size when it had to cut the path.
  std::wstring module = L"C:\\dir\\lib.dll";
  wchar_t out[kTargetPathUnits];
  EXPECT_FALSE(ComposeTargetPath(module.c_str(), module.size(), module.size(), true, out));
  EXPECT_EQ(out[0], L'\0');
  EXPECT_TRUE(ComposeTargetPath(module.c_str(), module.size(), module.size() + 1, true, out));
  EXPECT_FALSE(ComposeTargetPath(nullptr, 5, kTargetPathUnits, true, out));
}

}  // namespace
}  // namespace tl::entry
