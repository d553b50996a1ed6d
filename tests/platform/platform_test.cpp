#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "support/temp_dir.h"

namespace tl {
namespace {

using test::TempDir;

TEST(PlatformFile, ContainerOpenCreatesButNeverTruncates) {
  TempDir dir;
  const auto path = dir.File("c.bin");
  {
    auto f = platform::OpenContainerFile(path.c_str());
    ASSERT_NE(f, nullptr);
    uint32_t size = 99;
    ASSERT_TRUE(f->Size(&size));
    EXPECT_EQ(size, 0u);
    uint32_t done = 0;
    ASSERT_TRUE(f->WriteAt(10, "hello", 5, &done));
    EXPECT_EQ(done, 5u);
    EXPECT_TRUE(f->Flush());
  }
  auto f = platform::OpenContainerFile(path.c_str());
  ASSERT_NE(f, nullptr);
  uint32_t size = 0;
  ASSERT_TRUE(f->Size(&size));
  EXPECT_EQ(size, 15u);  // the existing bytes survive a second open
  char buf[8] = {};
  uint32_t done = 0;
  ASSERT_TRUE(f->ReadAt(10, buf, 8, &done));
  EXPECT_EQ(done, 5u);  // short read at the end of the file
  EXPECT_EQ(std::string(buf, 5), "hello");
  ASSERT_TRUE(f->ReadAt(0, buf, 2, &done));
  EXPECT_EQ(done, 2u);
  EXPECT_EQ(buf[0], 0);  // the gap reads as zeros
}

TEST(PlatformFile, ReadingNeedsAnExistingFile) {
  TempDir dir;
  EXPECT_EQ(platform::OpenFileForReading(dir.File("missing").c_str()), nullptr);
  EXPECT_EQ(platform::OpenFileForReading(nullptr), nullptr);
  EXPECT_EQ(platform::OpenContainerFile(nullptr), nullptr);
  // A folder is not a file.
  EXPECT_EQ(platform::OpenFileForReading(test::U16Path(dir.path()).c_str()), nullptr);
  test::WriteAll(dir.path() / "f", {1, 2, 3});
  auto f = platform::OpenFileForReading(dir.File("f").c_str());
  ASSERT_NE(f, nullptr);
  uint32_t size = 0;
  ASSERT_TRUE(f->Size(&size));
  EXPECT_EQ(size, 3u);
}

TEST(PlatformMapping, MapsWholeFilesAndEmptyOnes) {
  TempDir dir;
  std::vector<uint8_t> bytes(10000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  test::WriteAll(dir.path() / "m", bytes);
  test::WriteAll(dir.path() / "empty", {});

  platform::MappedFile m;
  ASSERT_TRUE(m.Open(dir.File("m").c_str()));
  ASSERT_EQ(m.size(), bytes.size());
  EXPECT_EQ(std::vector<uint8_t>(m.data(), m.data() + m.size()), bytes);

  platform::MappedFile moved(std::move(m));
  EXPECT_EQ(m.data(), nullptr);
  EXPECT_EQ(moved.size(), bytes.size());

  platform::MappedFile e;
  ASSERT_TRUE(e.Open(dir.File("empty").c_str()));
  EXPECT_EQ(e.size(), 0u);
  EXPECT_FALSE(e.Open(dir.File("missing").c_str()));
}

TEST(PlatformEvent, AutoResetLetsOneWaiterThrough) {
  platform::AutoResetEvent ev;
  ASSERT_TRUE(ev.Create(true));
  ev.Wait();  // signalled: passes and resets
  std::atomic<int> passed{0};
  std::thread waiter([&] {
    ev.Wait();
    passed = 1;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(passed.load(), 0);  // still blocked: the first wait reset the event
  ev.Set();                     // from another thread than the one that waited
  waiter.join();
  EXPECT_EQ(passed.load(), 1);
}

TEST(PlatformEvent, CreationFailureHook) {
  platform::AutoResetEvent::FailNextCreates(1);
  platform::AutoResetEvent a;
  EXPECT_FALSE(a.Create(true));
  EXPECT_FALSE(a.valid());
  EXPECT_TRUE(a.Create(true));
  EXPECT_TRUE(a.valid());
}

TEST(PlatformSystem, ReadabilityProbe) {
  int local = 42;
  EXPECT_TRUE(platform::IsReadable4(&local));
  EXPECT_FALSE(platform::IsReadable4(nullptr));
  EXPECT_FALSE(platform::IsReadable4(reinterpret_cast<const void*>(uintptr_t{16})));
}

TEST(PlatformSystem, RangeReadability) {
  std::vector<uint8_t> heap(3 * 4096 + 5, 1);
  struct Case {
    const char* name;
    const void* p;
    size_t len;
    bool readable;
  };
  const auto* top = reinterpret_cast<const void*>(UINTPTR_MAX - 2);
  for (const Case& c : {
           Case{"one byte", heap.data(), 1, true},
           Case{"whole buffer across pages", heap.data(), heap.size(), true},
           Case{"empty", heap.data(), 0, false},
           Case{"null page", nullptr, 4, false},
           Case{"low address", reinterpret_cast<const void*>(uintptr_t{16}), 4096, false},
           Case{"runs on into unmapped memory", heap.data(), size_t{1} << 40, false},
           Case{"wraps the address space", top, 8, false},
       }) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(platform::IsReadableRange(c.p, c.len), c.readable);
    // The extent agrees: the whole length exactly when the range is readable.
    if (c.len != 0) {
      EXPECT_EQ(platform::ReadableBytes(c.p, c.len) == c.len, c.readable);
    }
  }
  // Measured up to a limit, and ended by the first unreadable page.
  EXPECT_EQ(platform::ReadableBytes(heap.data(), 100), 100u);
  EXPECT_EQ(platform::ReadableBytes(nullptr, 100), 0u);
  const size_t reach = platform::ReadableBytes(heap.data(), size_t{1} << 40);
  EXPECT_GE(reach, heap.size());
  EXPECT_LT(reach, size_t{1} << 40);
}

TEST(PlatformSystem, FileTimeIsAfter2020) {
  // 2020-01-01 as FILETIME; a clock that is not converted from 1601 fails this.
  EXPECT_GT(platform::UtcNowFileTime(), 132223104000000000ull);
  platform::ErrorModeScope scope(0x8003);  // must be harmless to enter and leave
}

}  // namespace
}  // namespace tl
