// HTMLTokenizer: one forward pass over the bytes. The only rescans are the raw-text closer search
// and the tag-end fallback, and both are arranged so that no byte is looked at more than a small
// constant number of times, whatever the input. A token costs one small record of views: mail that
// is nearly all markup (long runs of <br>, say) has many tokens per byte and must stay cheap too.
#include "core/doc/html_tokenizer.h"

#include <algorithm>
#include <cstring>

namespace qy::HTMLTokenizer {
namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

// Byte classes, one table lookup per byte in the hot loops.
enum : uint8_t { kLetter = 1, kNameByte = 2, kCapital = 4, kQuote = 8, kGreaterThan = 16 };

constexpr std::array<uint8_t, 256> kClass = [] {
  std::array<uint8_t, 256> table{};
  for (int b = 'a'; b <= 'z'; ++b) table[b] = kLetter | kNameByte;
  for (int b = 'A'; b <= 'Z'; ++b) table[b] = kLetter | kNameByte | kCapital;
  for (int b = '0'; b <= '9'; ++b) table[b] = kNameByte;
  table[':'] = table['-'] = kNameByte;
  table['"'] = table['\''] = kQuote;
  table['>'] = kGreaterThan;
  return table;
}();

bool is(unsigned char b, uint8_t cls) { return (kClass[b] & cls) != 0; }

class Tokenizer {
 public:
  Tokenizer(std::string_view input, std::vector<HTok>& toks, std::unique_ptr<char[]>& lowered)
      : in_(input),
        data_(reinterpret_cast<const unsigned char*>(input.data())),
        n_(input.size()),
        toks_(toks),
        lowered_(lowered) {}

  void run() {
    toks_.reserve(estimateTokens());
    while (true) {
      size_t lt = find('<', i_);
      if (lt == kNone) break;
      i_ = lt;
      if (i_ + 1 == n_) break;  // a lone "<" at the very end is text
      const unsigned char c = data_[i_ + 1];
      if (is(c, kLetter)) {
        tag(HTok::Kind::open, i_ + 1);
      } else if (c == '/' && i_ + 2 < n_ && is(data_[i_ + 2], kLetter)) {
        tag(HTok::Kind::close, i_ + 2);
      } else if (c == '?') {
        emitOther(simpleEnd());
      } else if (c == '!') {
        const bool comment = i_ + 3 < n_ && data_[i_ + 2] == '-' && data_[i_ + 3] == '-';
        emitOther(comment ? commentEnd() : simpleEnd());
      } else {
        ++i_;  // "a < b", "<3", "</>", "</ p>": not markup
      }
    }
    flushText(n_);
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

  void emit(HTok::Kind kind, std::string_view name, size_t begin, size_t end) {
    toks_.push_back(HTok{kind, name, in_.substr(begin, end - begin)});
  }

  void flushText(size_t end) {
    if (end > start_) emit(HTok::Kind::text, {}, start_, end);
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
    emit(HTok::Kind::other, {}, i_, end);
    start_ = i_ = end;
  }

  void tag(HTok::Kind kind, size_t nameStart) {
    const size_t end = tagEnd();
    size_t nameEnd = nameStart;
    uint8_t seen = 0;
    while (nameEnd < end && is(data_[nameEnd], kNameByte)) seen |= kClass[data_[nameEnd++]];
    const std::string_view name = (seen & kCapital) ? lowerCased(nameStart, nameEnd)
                                                    : in_.substr(nameStart, nameEnd - nameStart);
    flushText(i_);
    emit(kind, name, i_, end);
    start_ = i_ = end;
    if (kind == HTok::Kind::open && isRawTextElement(name)) rawTextContent(name);
  }

  // The name's bytes lower-cased into the side buffer, at the name's own offset (names never
  // overlap, so one buffer the size of the input holds them all).
  std::string_view lowerCased(size_t begin, size_t end) {
    if (!lowered_) lowered_ = std::make_unique_for_overwrite<char[]>(n_);
    char* out = lowered_.get();
    for (size_t p = begin; p < end; ++p) {
      const unsigned char b = data_[p];
      out[p] = static_cast<char>(is(b, kCapital) ? b + 32 : b);
    }
    return {out + begin, end - begin};
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
      if (is(b, kQuote | kGreaterThan)) {
        if (b == '>') return p;
        p = find(b, p + 1);
        if (p == kNone) break;
      }
      ++p;
    }
    // Later tags need the table only if some ">" lies ahead: without one, this tag runs to the end.
    if (failsFrom_.empty() && find('>', from) != kNone) computeFailures();
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
  void rawTextContent(std::string_view name) {
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
      emit(HTok::Kind::other, {}, i_, contentEnd);
      start_ = i_ = contentEnd;
    }
  }

  std::string_view in_;
  const unsigned char* data_;
  size_t n_;
  size_t start_ = 0;  // where the pending text began
  size_t i_ = 0;      // scan position
  std::vector<HTok>& toks_;
  std::unique_ptr<char[]>& lowered_;
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

Tokens tokenize(std::string html) {
  Tokens tokens;
  tokens.text_ = std::make_unique<const std::string>(std::move(html));
  Tokenizer(*tokens.text_, tokens.toks_, tokens.lowered_).run();
  return tokens;
}

}  // namespace qy::HTMLTokenizer
