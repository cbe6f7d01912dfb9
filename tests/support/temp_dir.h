// A temporary directory removed with everything in it when the object goes away, even when a
// test assertion fails.
#pragma once

#include <filesystem>
#include <string>

namespace qy::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Whole-file helpers for fixtures.
std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& bytes);
// The permission bits of a file or directory (e.g. 0600).
unsigned modeOf(const std::filesystem::path& path);

}  // namespace qy::testing
