// HTMLTokenizer: one forward pass over the bytes. The only rescans are the raw-text closer search
// and the tag-end fallback, and both are arranged so that no byte is looked at more than a small
// constant number of times, whatever the input.
#include "core/doc/html_tokenizer.h"

#include <cstring>

namespace qy::HTMLTokenizer {
namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

bool isAsciiLetter(unsigned char b) { return (b | 0x20) >= 'a' && (b | 0x20) <= 'z'; }

bool isNameByte(unsigned char b) {
  return isAsciiLetter(b) || (b >= '0' && b <= '9') || b == ':' || b == '-';
}

unsigned char lowerAscii(unsigned char b) { return (b >= 'A' && b <= 'Z') ? b + 32 : b; }

class Tokenizer {
 public:
  explicit Tokenizer(std::string_view input)
      : in_(input), data_(reinterpret_cast<const unsigned char*>(input.data())), n_(input.size()) {}

  std::vector<HTok> run() {
    toks_.reserve(estimateTokens());
    while (true) {
      size_t lt = find('<', i_);
      if (lt == kNone) break;
      i_ = lt;
      if (i_ + 1 == n_) break;  // a lone "<" at the very end is text
      const unsigned char c = data_[i_ + 1];
      if (c == '?') {
        emitOther(simpleEnd());
      } else if (c == '!') {
        const bool comment = i_ + 3 < n_ && data_[i_ + 2] == '-' && data_[i_ + 3] == '-';
        emitOther(comment ? commentEnd() : simpleEnd());
      } else if (isAsciiLetter(c)) {
        tag(HTok::Kind::open, i_ + 1);
      } else if (c == '/' && i_ + 2 < n_ && isAsciiLetter(data_[i_ + 2])) {
        tag(HTok::Kind::close, i_ + 2);
      } else {
        ++i_;  // "a < b", "<3", "</>", "</ p>": not markup
      }
    }
    flushText(n_);
    return std::move(toks_);
  }

 private:
  size_t find(unsigned char byte, size_t from) const {
    if (from >= n_) return kNone;
    const void* hit = std::memchr(data_ + from, byte, n_ - from);
    return hit ? static_cast<size_t>(static_cast<const unsigned char*>(hit) - data_) : kNone;
  }

  // Room for a text and a markup token per "<" that can start markup.
  size_t estimateTokens() const {
    size_t markup = 0;
    for (size_t p = find('<', 0); p != kNone && p + 1 < n_; p = find('<', p + 1)) {
      const unsigned char c = data_[p + 1];
      if (isAsciiLetter(c) || c == '/' || c == '!' || c == '?') ++markup;
    }
    return 2 * markup + 1;
  }

  void flushText(size_t end) {
    if (end > start_) toks_.push_back({HTok::Kind::text, {}, std::string(in_.substr(start_, end - start_))});
  }

  // Just after the first ">" at or after i + 2, or the end of the input.
  size_t simpleEnd() const {
    size_t gt = find('>', i_ + 2);
    return gt == kNone ? n_ : gt + 1;
  }

  // Just after the first "-->" that begins at i + 4 or later; "<!-->" is not closed.
  size_t commentEnd() const {
    if (i_ + 4 >= n_) return n_;
    size_t close = in_.find("-->", i_ + 4);
    return close == std::string_view::npos ? n_ : close + 3;
  }

  void emitOther(size_t end) {
    flushText(i_);
    toks_.push_back({HTok::Kind::other, {}, std::string(in_.substr(i_, end - i_))});
    start_ = i_ = end;
  }

  void tag(HTok::Kind kind, size_t nameStart) {
    const size_t end = tagEnd();
    std::string name;
    for (size_t p = nameStart; p < end && isNameByte(data_[p]); ++p) name += static_cast<char>(lowerAscii(data_[p]));
    flushText(i_);
    const bool rawText = kind == HTok::Kind::open && isRawTextElement(name);
    toks_.push_back({kind, std::move(name), std::string(in_.substr(i_, end - i_))});
    start_ = i_ = end;
    if (rawText) rawTextContent(toks_.back().name);
  }

  // Just after the ">" that ends the tag at i: the first ">" outside quotes; when every later
  // ">" sits inside quotes, the first ">" at all; with no ">", the end of the input.
  size_t tagEnd() {
    const size_t from = i_ + 1;
    size_t gt = quotedGreaterThan(from);
    if (gt == kNone) gt = find('>', from);
    return gt == kNone ? n_ : gt + 1;
  }

  // The first ">" outside quotes at or after `from`, or kNone. The first time a scan finds
  // none, whether one exists is computed for every position in one backward pass, so that input
  // such as `<a'>'` repeated costs linear time instead of a rescan to the end per tag.
  size_t quotedGreaterThan(size_t from) {
    if (!failsFrom_.empty() && failsFrom_[from]) return kNone;
    size_t p = from;
    while (p < n_) {
      const unsigned char b = data_[p];
      if (b == '>') return p;
      if (b == '"' || b == '\'') {
        p = find(b, p + 1);
        if (p == kNone) break;
      }
      ++p;
    }
    if (failsFrom_.empty()) computeFailures();
    return kNone;
  }

  void computeFailures() {
    failsFrom_.assign(n_ + 1, 0);
    // Whether a scan standing at p in each quote state reaches the end without a ">" outside.
    bool outside = true, inDouble = true, inSingle = true;
    failsFrom_[n_] = 1;
    for (size_t p = n_; p-- > 0;) {
      const unsigned char b = data_[p];
      const bool nextOutside = outside, nextDouble = inDouble, nextSingle = inSingle;
      outside = b == '>' ? false : b == '"' ? nextDouble : b == '\'' ? nextSingle : nextOutside;
      inDouble = b == '"' ? nextOutside : nextDouble;
      inSingle = b == '\'' ? nextOutside : nextSingle;
      failsFrom_[p] = outside;
    }
  }

  // After the start tag of a raw-text element: everything up to "</name" (letter case ignored,
  // nothing after the name compared) is one `other` token; unclosed, it runs to the end.
  void rawTextContent(const std::string& name) {
    const size_t closerLength = name.size() + 2;
    size_t contentEnd = n_;
    for (size_t p = find('<', i_); p != kNone && p + closerLength <= n_; p = find('<', p + 1)) {
      if (data_[p + 1] != '/') continue;
      size_t k = 0;
      while (k < name.size() && (data_[p + 2 + k] | 0x20) == static_cast<unsigned char>(name[k])) ++k;
      if (k == name.size()) {
        contentEnd = p;
        break;
      }
    }
    if (contentEnd > i_) {
      toks_.push_back({HTok::Kind::other, {}, std::string(in_.substr(i_, contentEnd - i_))});
      start_ = i_ = contentEnd;
    }
  }

  std::string_view in_;
  const unsigned char* data_;
  size_t n_;
  size_t start_ = 0;  // where the pending text began
  size_t i_ = 0;      // scan position
  std::vector<HTok> toks_;
  std::vector<uint8_t> failsFrom_;  // filled on the first failing quote-aware scan
};

}  // namespace

bool isRawTextElement(std::string_view lowerName) {
  for (std::string_view element : rawTextElements) {
    if (element == lowerName) return true;
  }
  return false;
}

std::vector<HTok> tokenize(std::string_view html) { return Tokenizer(html).run(); }

}  // namespace qy::HTMLTokenizer
