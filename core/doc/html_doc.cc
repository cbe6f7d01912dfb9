// HTMLDoc construction: dark-support detection and segmentation, each one pass over the tokens.
// Work stays linear in the number of tokens on any input: the <br> neighbour scans stop at the
// first significant token, and an end tag touches the element stack only when an element of its
// name is open (a count per name says so), so each entry is popped at most once.
#include "core/doc/html_doc.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <unordered_map>

#include "core/base/regex.h"
#include "core/base/unicode.h"
#include "core/doc/entities.h"
#include "core/doc/text_util.h"

namespace qy {
namespace {

enum NameFlag : uint8_t { kInline = 1, kVoid = 2, kSkipped = 4 };

// Names of up to 8 bytes packed into an integer, so that classifying a tag is a short binary
// search without hashing.
constexpr uint64_t pack(std::string_view name) {
  uint64_t key = 0;
  for (char ch : name) key = (key << 8) | static_cast<unsigned char>(ch);
  return key;
}

struct NameEntry {
  uint64_t key;
  uint8_t flags;
};

constexpr auto kNameTable = [] {
  constexpr std::pair<std::string_view, uint8_t> kNames[] = {
      // Inline elements: they continue the current segment.
      {"a", kInline}, {"abbr", kInline}, {"acronym", kInline}, {"b", kInline}, {"bdi", kInline},
      {"bdo", kInline}, {"big", kInline}, {"cite", kInline}, {"code", kInline}, {"del", kInline},
      {"dfn", kInline}, {"em", kInline}, {"font", kInline}, {"i", kInline},
      {"img", kInline | kVoid}, {"ins", kInline}, {"kbd", kInline}, {"label", kInline},
      {"mark", kInline}, {"nobr", kInline}, {"q", kInline}, {"s", kInline}, {"samp", kInline},
      {"small", kInline}, {"span", kInline}, {"strike", kInline}, {"strong", kInline},
      {"sub", kInline}, {"sup", kInline}, {"time", kInline}, {"tt", kInline}, {"u", kInline},
      {"var", kInline}, {"wbr", kInline | kVoid},
      // Void elements: never pushed on the element stack.
      {"area", kVoid}, {"base", kVoid}, {"br", kVoid}, {"col", kVoid}, {"embed", kVoid},
      {"hr", kVoid}, {"input", kVoid}, {"link", kVoid}, {"meta", kVoid}, {"param", kVoid},
      {"source", kVoid}, {"track", kVoid},
      // Skipped elements: nothing inside them is prose a reader sees.
      {"head", kSkipped}, {"script", kSkipped}, {"style", kSkipped}, {"title", kSkipped},
      {"textarea", kSkipped}, {"select", kSkipped}, {"option", kSkipped}, {"pre", kSkipped},
      {"svg", kSkipped}, {"math", kSkipped}, {"object", kSkipped}, {"noscript", kSkipped},
      {"template", kSkipped}, {"xmp", kSkipped},
  };
  std::array<NameEntry, std::size(kNames)> table{};
  for (size_t i = 0; i < std::size(kNames); ++i) table[i] = {pack(kNames[i].first), kNames[i].second};
  std::sort(table.begin(), table.end(), [](const NameEntry& a, const NameEntry& b) { return a.key < b.key; });
  return table;
}();

uint8_t nameFlags(std::string_view name) {
  if (name.empty() || name.size() > 8) return 0;
  const uint64_t key = pack(name);
  auto it = std::lower_bound(kNameTable.begin(), kNameTable.end(), key,
                             [](const NameEntry& e, uint64_t k) { return e.key < k; });
  return it != kNameTable.end() && it->key == key ? it->flags : 0;
}

bool isOpen(const HTok& t, std::string_view name) { return t.kind == HTok::Kind::open && t.name == name; }

char lowerAscii(char ch) { return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch + 32) : ch; }

// Case-insensitive (ASCII) search for a lower-case needle.
bool containsIgnoringCase(std::string_view haystack, std::string_view needle) {
  if (needle.size() > haystack.size()) return false;
  for (size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
    size_t k = 0;
    while (k < needle.size() && lowerAscii(haystack[i + k]) == needle[k]) ++k;
    if (k == needle.size()) return true;
  }
  return false;
}

// Whether a text token shows nothing: after decoding, collapsing and trimming blanks it is
// empty, that is every scalar is a blank, a collapsible blank or an invisible one.
bool isBlankText(std::string_view raw) {
  std::string decoded;
  if (raw.find('&') != std::string_view::npos) {
    decoded = Entities::decode(raw);
    raw = decoded;
  }
  size_t offset = 0;
  while (offset < raw.size()) {
    const auto byte = static_cast<unsigned char>(raw[offset]);
    if (byte < 0x80) {
      if (byte != ' ' && byte != '\t' && byte != '\n' && byte != '\r' && byte != '\f') return false;
      ++offset;
      continue;
    }
    const char32_t cp = Unicode::next(raw, offset);
    if (!TextUtil::isBlank(cp) && !TextUtil::isCollapsibleBlank(cp) && !TextUtil::isInvisible(cp)) return false;
  }
  return true;
}

std::string textOf(const HTok& t) { return TextUtil::collapse(Entities::decode(t.raw)); }

// The segmentation pass: the run of tokens being gathered, the stack of open elements and the
// number of open elements that hide their content.
class Segmenter {
 public:
  Segmenter(const std::vector<HTok>& toks, bool splitLinked, std::vector<HTMLDoc::Segment>& out)
      : toks_(toks), splitLinked_(splitLinked), out_(out) {}

  void run() {
    significant_.resize(toks_.size());
    for (size_t i = 0; i < toks_.size(); ++i) {
      const HTok& t = toks_[i];
      significant_[i] = t.kind == HTok::Kind::open || t.kind == HTok::Kind::close ||
                        (t.kind == HTok::Kind::text && !isBlankText(t.raw));
    }
    for (size_t i = 0; i < toks_.size(); ++i) {
      const HTok& t = toks_[i];
      switch (t.kind) {
        case HTok::Kind::text:
          if (skipDepth_ == 0) run_.push_back(i);
          break;
        case HTok::Kind::other:
          break;  // comments and raw-text content neither join nor end the run
        case HTok::Kind::open:
          startTag(i, t);
          break;
        case HTok::Kind::close:
          endTag(i, t);
          break;
      }
    }
    flush();
  }

 private:
  void startTag(size_t i, const HTok& t) {
    if (t.name == "br") {
      if (skipDepth_ != 0) return;
      // Two line breaks with only blank text or comments between them end the paragraph.
      if (neighbourIsBr(i)) flush();
      else run_.push_back(i);
      return;
    }
    const uint8_t flags = nameFlags(t.name);
    const bool skip = (flags & kSkipped) || HTMLDoc::hidesElement(t.raw);
    if (skip || !(flags & kInline)) flush();
    else if (skipDepth_ == 0) run_.push_back(i);
    if (!(flags & kVoid)) {
      stack_.push_back({t.name, skip});
      ++openCount_[t.name];
      if (skip) ++skipDepth_;
    }
  }

  void endTag(size_t i, const HTok& t) {
    // Every end tag of a non-inline element ends the run, "</br>" and unknown names included.
    if (!(nameFlags(t.name) & kInline)) flush();
    else if (skipDepth_ == 0) run_.push_back(i);
    // Close the topmost open element of this name and everything above it. A name that is not
    // open leaves the stack alone, without looking at it.
    auto count = openCount_.find(t.name);
    if (count == openCount_.end() || count->second == 0) return;
    while (true) {
      const Entry top = stack_.back();
      stack_.pop_back();
      --openCount_[top.name];
      if (top.skip) --skipDepth_;
      if (top.name == t.name) break;
    }
  }

  bool neighbourIsBr(size_t i) const {
    size_t after = i + 1;
    while (after < toks_.size() && !significant_[after]) ++after;
    if (after < toks_.size() && isOpen(toks_[after], "br")) return true;
    size_t before = i;
    while (before > 0 && !significant_[before - 1]) --before;
    return before > 0 && isOpen(toks_[before - 1], "br");
  }

  void flush() {
    if (run_.empty()) return;
    std::string text;
    std::vector<size_t> textToks, brToks;
    std::optional<size_t> lastTok;
    bool hasLink = false;
    for (size_t k : run_) {
      const HTok& t = toks_[k];
      if (t.kind == HTok::Kind::text) {
        std::string piece = textOf(t);
        text += piece;
        if (!TextUtil::trimBlanks(piece).empty()) {
          textToks.push_back(k);
          lastTok = k;
        }
      } else if (t.kind == HTok::Kind::open) {
        if (t.name == "br") {
          text += '\n';
          brToks.push_back(k);
        } else if (t.name == "a") {
          hasLink = true;
        } else if (t.name == "img") {
          lastTok = k;
        }
      } else if (t.kind == HTok::Kind::close && lastTok) {
        lastTok = k;  // the translation follows the closing tags after the last text
      }
    }
    run_.clear();
    if (textToks.empty()) return;
    if (splitLinked_ && hasLink && textToks.size() > 1) {
      for (size_t k : textToks) {
        std::string piece = TextUtil::tidy(textOf(toks_[k]));
        if (TextUtil::translatable(piece)) out_.push_back({std::move(piece), {k}, {}, k});
      }
      return;
    }
    std::string tidied = TextUtil::tidy(text);
    if (TextUtil::translatable(tidied)) {
      out_.push_back({std::move(tidied), std::move(textToks), std::move(brToks), *lastTok});
    }
  }

  struct Entry {
    std::string_view name;  // points into the token's name, which outlives the pass
    bool skip;
  };

  const std::vector<HTok>& toks_;
  const bool splitLinked_;
  std::vector<HTMLDoc::Segment>& out_;
  std::vector<uint8_t> significant_;  // open and close tags, and text that shows something
  std::vector<size_t> run_;
  std::vector<Entry> stack_;
  std::unordered_map<std::string_view, uint32_t> openCount_;
  uint32_t skipDepth_ = 0;
};

}  // namespace

HTMLDoc::HTMLDoc(std::string_view html, bool splitLinked) : toks_(HTMLTokenizer::tokenize(html)) {
  findDarkSupport();
  segment(splitLinked);
}

bool HTMLDoc::hidesElement(std::string_view rawTag) {
  static const Regex kHidden(
      R"(display\s*:\s*none|visibility\s*:\s*hidden|mso-hide\s*:\s*all|max-height\s*:\s*0(px)?\s*(;|"|'|$)|opacity\s*:\s*0\s*(;|"|'|$))",
      Regex::kCaseless);
  return containsIgnoringCase(rawTag, "style") && kHidden.contains(rawTag);
}

void HTMLDoc::findDarkSupport() {
  bool afterStyle = false;
  for (const HTok& t : toks_) {
    if (t.kind == HTok::Kind::open && t.name == "meta" && containsIgnoringCase(t.raw, "color-scheme") &&
        containsIgnoringCase(t.raw, "dark")) {
      supportsDark_ = true;
    } else if (t.kind == HTok::Kind::other && afterStyle && containsIgnoringCase(t.raw, "prefers-color-scheme")) {
      supportsDark_ = true;
    }
    if (supportsDark_) return;
    afterStyle = isOpen(t, "style");
  }
}

void HTMLDoc::segment(bool splitLinked) { Segmenter(toks_, splitLinked, segments_).run(); }

std::vector<std::string> HTMLDoc::segmentTexts() const {
  std::vector<std::string> texts;
  texts.reserve(segments_.size());
  for (const Segment& s : segments_) texts.push_back(s.text);
  return texts;
}

}  // namespace qy
