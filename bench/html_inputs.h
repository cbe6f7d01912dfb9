// Inputs shared by the HTML benchmarks: a newsletter built from the corpus's HTML bodies, and
// hostile patterns of the same size. Benchmark support only.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qy::bench {

// The corpus's HTML bodies, concatenated in name order and repeated until at least `bytes`.
inline std::string newsletter(size_t bytes) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(QY_CORPUS_DIR) / "html")) {
    files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  std::string all;
  for (const auto& path : files) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    all += buffer.str();
  }
  std::string out;
  while (!all.empty() && out.size() < bytes) out += all;
  return out;
}

// `unit` repeated until the text has at least `bytes`.
inline std::string repeated(const std::string& unit, size_t bytes) {
  std::string out;
  out.reserve(bytes + unit.size());
  while (out.size() < bytes) out += unit;
  return out;
}

}  // namespace qy::bench
