// Fuzzes HTMLTokenizer::tokenize on arbitrary bytes: the tokens' raw texts must give back the
// input exactly, no token is empty, tags carry their lower-cased name, and two text tokens are
// never adjacent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/doc/html_tokenizer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view html(reinterpret_cast<const char*>(data), size);
  const auto toks = qy::HTMLTokenizer::tokenize(std::string(html));
  std::string joined;
  joined.reserve(size);
  bool previousWasText = false;
  for (const qy::HTok& t : toks) {
    if (t.raw.empty()) std::abort();
    const bool isTag = t.kind == qy::HTok::Kind::open || t.kind == qy::HTok::Kind::close;
    if (isTag != !t.name.empty()) std::abort();
    if (isTag && t.raw[0] != '<') std::abort();
    for (char ch : t.name) {
      if (ch >= 'A' && ch <= 'Z') std::abort();
    }
    const bool isText = t.kind == qy::HTok::Kind::text;
    if (isText && previousWasText) std::abort();
    previousWasText = isText;
    joined += t.raw;
  }
  if (joined != html) std::abort();
  return 0;
}
