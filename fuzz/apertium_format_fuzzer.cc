// The Apertium stream format: escaping round-trips any text (invalid UTF-8 repaired, NUL as a
// space), a record never holds a NUL before its end, output records of any shape are read or
// refused without a crash, and stage lines parse or are refused.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/base/unicode.h"
#include "platform/apertium_format.h"

namespace fmt = qy::platform::ApertiumFormat;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string want = qy::Unicode::repairUtf8(text);
  for (char& c : want)
    if (c == '\0') c = ' ';

  const std::string escaped = fmt::escape(text);
  if (escaped.find('\0') != std::string::npos) std::abort();
  if (fmt::unescape(escaped) != want) std::abort();

  const std::string record = fmt::record(42, text);
  if (record.find('\0') != record.size() - 1) std::abort();
  // Fed straight back as if the pipeline changed nothing: the text, less spaces at its ends.
  const auto back = fmt::translation(42, std::string_view(record).substr(0, record.size() - 1));
  const size_t first = want.find_first_not_of(' ');
  const std::string trimmed =
      first == std::string::npos ? std::string() : want.substr(first, want.find_last_not_of(' ') - first + 1);
  if (!back || *back != trimmed) std::abort();
  if (fmt::translation(41, std::string_view(record).substr(0, record.size() - 1))) std::abort();

  (void)fmt::translation(7, text);
  (void)fmt::parseStages(text, "-n");
  (void)fmt::parseModeName(text);
  return 0;
}
