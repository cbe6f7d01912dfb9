// Feeds arbitrary bytes to the failure record's decoder, as the text of failures.json at a fixed
// "now". Invariants: every entry it keeps has errors and a date within the pause, and what it
// keeps survives an encode and a decode unchanged in keys and errors.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/engine/engine_failures.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace std::chrono;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const qy::Date now{seconds(1'700'000'000)};
  const auto pause = seconds(60);
  const auto entries = qy::FailureFile::decode(text, now, pause);
  for (const auto& [key, entry] : entries) {
    if (entry.errors.empty()) std::abort();
    if (now - entry.at >= pause || entry.at - now >= pause) std::abort();
  }
  const auto again = qy::FailureFile::decode(qy::FailureFile::encode(entries), now, pause);
  if (again.size() != entries.size()) std::abort();
  for (const auto& [key, entry] : entries) {
    auto it = again.find(key);
    if (it == again.end() || it->second.errors != entry.errors) std::abort();
  }
  return 0;
}
