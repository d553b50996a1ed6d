#include "support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>

#include "common/u16.h"
#include "platform/system.h"

namespace tl::test {

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  path_ = std::filesystem::temp_directory_path() /
          ("tl-test-" + std::to_string(platform::CurrentProcessId()) + "-" + std::to_string(stamp) +
           "-" + std::to_string(counter++));
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::u16string TempDir::File(const std::string& name) const { return U16Path(path_ / name); }

std::u16string U16Path(const std::filesystem::path& p) { return p.u16string(); }

std::vector<uint8_t> ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::filesystem::path& p, const std::vector<uint8_t>& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

}  // namespace tl::test
