// trustctl.exe's output on Windows: a console gets the text as characters
// (read back from the console's own screen buffer), a pipe gets no console
// writer and so the UTF-8 bytes.
#include "platform/win32/console_win32.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <iostream>
#include <ostream>
#include <string>

namespace tl::ctl {
namespace {

TEST(ConsoleWin32, APipeGetsTheBytes) {
  HANDLE read_end = nullptr, write_end = nullptr;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 0));
  EXPECT_EQ(ConsoleBufferFor(write_end), nullptr);
  {
    std::ostream out(std::cout.rdbuf());
    const ConsoleRoute untouched(out, write_end);
    EXPECT_EQ(out.rdbuf(), std::cout.rdbuf());
  }
  CloseHandle(read_end);
  CloseHandle(write_end);
}

TEST(ConsoleWin32, ConsoleShowsTheCharacters) {
  // A console of this process's own (a test process runs without one). Wine
  // without a display does not always give one a screen buffer.
  FreeConsole();
  ASSERT_TRUE(AllocConsole());
  HANDLE screen =
      CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD mode = 0;
  if (screen == INVALID_HANDLE_VALUE || !GetConsoleMode(screen, &mode)) {
    FreeConsole();
    GTEST_SKIP() << "no console screen buffer here";
  }
  // A new console's cursor is at its top left; Wine's console without a
  // display may not describe its buffer.
  COORD start{0, 0};
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(screen, &info)) start = info.dwCursorPosition;
  {
    std::ostream out(std::cout.rdbuf());
    const ConsoleRoute route(out, screen);
    ASSERT_NE(out.rdbuf(), std::cout.rdbuf());
    // "café Ωμέγα Привет" in UTF-8, cut inside a character by the flush:
    // characters no OEM code page has all of.
    out << "caf\xc3" << std::flush
        << "\xa9 \xce\xa9\xce\xbc\xce\xad\xce\xb3\xce\xb1 "
           "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82";
    out.flush();
    EXPECT_TRUE(out.good());
  }
  const std::wstring want =
      L"caf\u00e9 \u03a9\u03bc\u03ad\u03b3\u03b1 \u041f\u0440\u0438\u0432\u0435\u0442";
  std::wstring shown(want.size(), L'\0');
  DWORD read = 0;
  ASSERT_TRUE(ReadConsoleOutputCharacterW(screen, shown.data(), static_cast<DWORD>(shown.size()),
                                          start, &read));
  shown.resize(read);
  EXPECT_EQ(shown, want);
  CloseHandle(screen);
  FreeConsole();
}

}  // namespace
}  // namespace tl::ctl
