// A fresh, empty folder for one test, removed with everything in it afterwards.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tl::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // A file name inside the folder, as the seam takes it.
  std::u16string File(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

std::vector<uint8_t> ReadAll(const std::filesystem::path& p);
void WriteAll(const std::filesystem::path& p, const std::vector<uint8_t>& bytes);
// The path as UTF-16 for the seam.
std::u16string U16Path(const std::filesystem::path& p);

}  // namespace tl::test
