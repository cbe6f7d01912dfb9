// HTMLTokenizer: one forward pass over the bytes. The only rescans are the raw-text closer search
// and the tag-end fallback, and both are arranged so that no byte is looked at more than a small
// constant number of times, whatever the input.
#include "core/doc/html_tokenizer.h"

#include <algorithm>
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
  // The first `byte` at or after `from`, or kNone. Short distances are common in dense markup,
  // so a few bytes are looked at directly before handing over to memchr.
  size_t find(unsigned char byte, size_t from) const {
    const size_t direct = std::min(n_, from + 16);
    for (size_t p = from; p < direct; ++p) {
      if (data_[p] == byte) return p;
    }
    if (direct >= n_) return kNone;
    const void* hit = std::memchr(data_ + direct, byte, n_ - direct);
    return hit ? static_cast<size_t>(static_cast<const unsigned char*>(hit) - data_) : kNone;
  }

  // A guess at the token count from the density of "<" in the first 64 KiB: a text and a markup
  // token per "<", never more than one token per two bytes. The vector grows past a low guess.
  size_t estimateTokens() const {
    const size_t sample = std::min<size_t>(n_, 64 * 1024);
    const size_t angles = static_cast<size_t>(std::count(in_.begin(), in_.begin() + sample, '<'));
    const size_t scaled = sample == 0 ? 0 : angles * (n_ / sample);
    return std::min(2 * scaled + 16, n_ / 2 + 2);
  }

  HTok& emit(HTok::Kind kind, size_t begin, size_t end) {
    HTok& t = toks_.emplace_back();
    t.kind = kind;
    t.raw.assign(in_.data() + begin, end - begin);
    return t;
  }

  void flushText(size_t end) {
    if (end > start_) emit(HTok::Kind::text, start_, end);
  }

  // Just after the first ">" at or after i + 2, or the end of the input.
  size_t simpleEnd() const {
    size_t gt = find('>', i_ + 2);
    return gt == kNone ? n_ : gt + 1;
  }

  // Just after the first "-->" that begins at i + 4 or later; "<!-->" is not closed.
  size_t commentEnd() const {
    if (i_ + 4 >= n_) return n_;
    const void* close = memmem(data_ + i_ + 4, n_ - i_ - 4, "-->", 3);
    return close ? static_cast<size_t>(static_cast<const unsigned char*>(close) - data_) + 3 : n_;
  }

  void emitOther(size_t end) {
    flushText(i_);
    emit(HTok::Kind::other, i_, end);
    start_ = i_ = end;
  }

  void tag(HTok::Kind kind, size_t nameStart) {
    const size_t end = tagEnd();
    size_t nameEnd = nameStart;
    while (nameEnd < end && isNameByte(data_[nameEnd])) ++nameEnd;
    flushText(i_);
    HTok& t = emit(kind, i_, end);
    t.name.resize(nameEnd - nameStart);
    for (size_t p = nameStart; p < nameEnd; ++p) t.name[p - nameStart] = static_cast<char>(lowerAscii(data_[p]));
    start_ = i_ = end;
    if (kind == HTok::Kind::open && isRawTextElement(t.name)) rawTextContent(t.name);
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
  void rawTextContent(const std::string name) {  // a copy: emitting may move the tokens
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
      emit(HTok::Kind::other, i_, contentEnd);
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
  if (lowerName.size() < 3 || lowerName.size() > 8) return false;
  for (std::string_view element : rawTextElements) {
    if (element == lowerName) return true;
  }
  return false;
}

std::vector<HTok> tokenize(std::string_view html) { return Tokenizer(html).run(); }

}  // namespace qy::HTMLTokenizer
