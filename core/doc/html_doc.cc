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
#include "core/doc/html_attributes.h"
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

// A tag name's classes, and its position in the table (kUnknown for names not in it).
struct NameInfo {
  static constexpr uint32_t kUnknown = static_cast<uint32_t>(-1);
  uint8_t flags = 0;
  uint32_t id = kUnknown;
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
      // Common blocks, listed only so that they are counted without hashing.
      {"body", 0}, {"center", 0}, {"div", 0}, {"h1", 0}, {"h2", 0}, {"h3", 0}, {"h4", 0},
      {"h5", 0}, {"h6", 0}, {"html", 0}, {"li", 0}, {"ol", 0}, {"p", 0}, {"table", 0},
      {"tbody", 0}, {"td", 0}, {"th", 0}, {"thead", 0}, {"tr", 0}, {"ul", 0},
  };
  std::array<NameEntry, std::size(kNames)> table{};
  for (size_t i = 0; i < std::size(kNames); ++i) table[i] = {pack(kNames[i].first), kNames[i].second};
  std::sort(table.begin(), table.end(), [](const NameEntry& a, const NameEntry& b) { return a.key < b.key; });
  return table;
}();

NameInfo nameInfo(std::string_view name) {
  if (name.empty() || name.size() > 8) return {};
  const uint64_t key = pack(name);
  auto it = std::lower_bound(kNameTable.begin(), kNameTable.end(), key,
                             [](const NameEntry& e, uint64_t k) { return e.key < k; });
  if (it == kNameTable.end() || it->key != key) return {};
  return {it->flags, static_cast<uint32_t>(it - kNameTable.begin())};
}

bool isOpen(const HTok& t, std::string_view name) { return t.kind == HTok::Kind::open && t.name == name; }

// Case-insensitive (ASCII) search for a lower-case needle.
bool containsIgnoringCase(std::string_view haystack, std::string_view needle) {
  if (needle.size() > haystack.size()) return false;
  for (size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
    size_t k = 0;
    while (k < needle.size() && Unicode::asciiLower(haystack[i + k]) == needle[k]) ++k;
    if (k == needle.size()) return true;
  }
  return false;
}

// False when the tag is all ASCII and holds none of the property names that can hide an element
// (ignoring case); one pass over the bytes.
bool mayHoldHidingProperty(std::string_view tag) {
  static constexpr std::string_view kNames[] = {"display", "visibility", "mso-hide", "max-height", "opacity"};
  for (size_t i = 0; i < tag.size(); ++i) {
    const auto byte = static_cast<unsigned char>(tag[i]);
    if (byte >= 0x80) return true;
    // The first letters of the names, either case.
    static constexpr auto kFirst = [] {
      std::array<bool, 128> table{};
      for (char ch : std::string_view("dvmoDVMO")) table[static_cast<unsigned char>(ch)] = true;
      return table;
    }();
    if (!kFirst[byte]) continue;
    const char first = Unicode::asciiLower(static_cast<char>(byte));
    for (std::string_view name : kNames) {
      if (name[0] != first || tag.size() - i < name.size()) continue;
      size_t k = 1;
      while (k < name.size() && Unicode::asciiLower(tag[i + k]) == name[k]) ++k;
      if (k == name.size()) return true;
    }
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

std::string textOf(const HTok& t) {
  if (t.raw.find('&') == std::string::npos) return TextUtil::collapse(t.raw);
  return TextUtil::collapse(Entities::decode(t.raw));
}

// What a blank text token adds to a segment's text: the common run of ASCII white space
// collapses to one space; anything else (a wide space, an invisible character) is collapsed in
// full.
std::string blankPiece(std::string_view raw) {
  for (char ch : raw) {
    if (ch != ' ' && ch != '\t' && ch != '\n' && ch != '\r' && ch != '\f') {
      return raw.find('&') == std::string_view::npos ? TextUtil::collapse(raw)
                                                      : TextUtil::collapse(Entities::decode(raw));
    }
  }
  return " ";
}

// The segmentation pass: the run of tokens being gathered, the stack of open elements and the
// number of open elements that hide their content.
class Segmenter {
 public:
  Segmenter(std::span<const HTok> toks, bool splitLinked, std::vector<HTMLDoc::Segment>& out)
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
          if (skipDepth_ == 0) {
            run_.push_back(i);
            if (significant_[i]) noteContent();
          }
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
    const NameInfo info = nameInfo(t.name);
    // The end tag of the head may be left out: the body's start tag ends the head, or an
    // unclosed head would hide the whole mail.
    if (t.name == "body") close("head", nameInfo("head").id, kNoToken);
    const bool hidden = (info.flags & kSkipped) || HTMLDoc::hidesElement(t.raw);
    // Text the sender marked as not to be translated (names, codes, addresses) joins no segment.
    // An inline one does not end the sentence around it, which is still read as one.
    const bool keptOut = !hidden && HTMLAttributes::marksNoTranslate(t.raw);
    const bool skip = hidden || keptOut;
    const bool joins = !skip && (info.flags & kInline) && skipDepth_ == 0;
    if (hidden || !(info.flags & kInline)) flush();
    else if (joins || (keptOut && skipDepth_ == 0)) run_.push_back(i);  // kept out: a gap
    if (joins && t.name == "img") noteContent();
    if (!(info.flags & kVoid)) {
      stack_.push_back({t.name, info.id, skip, (info.flags & kInline) != 0, nextEntrySerial_++});
      ++openCount(t.name, info.id);
      if (skip) ++skipDepth_;
    }
  }

  // The inline elements inside the innermost open block that are open at every visible token
  // (text and images) of the run so far, outermost first: the candidates that may hold the run's
  // translation.
  // Within one run no block opens or closes (either would end the run), so the candidates stay
  // a prefix of the stack above the same block.
  void noteContent() {
    if (!sawContent_) {
      size_t first = stack_.size();
      while (first > 0 && stack_[first - 1].isInline) --first;
      chainBase_ = first;
      enclosing_.clear();
      for (size_t k = first; k < stack_.size(); ++k) enclosing_.push_back(stack_[k].serial);
      closedAt_.assign(enclosing_.size(), kNoToken);
      sawContent_ = true;
      return;
    }
    size_t common = 0;
    while (common < enclosing_.size() && chainBase_ + common < stack_.size() &&
           enclosing_[common] == stack_[chainBase_ + common].serial)
      ++common;
    enclosing_.resize(common);
    closedAt_.resize(common);
  }

  uint32_t& openCount(std::string_view name, uint32_t id) {
    return id == NameInfo::kUnknown ? otherOpenCount_[name] : knownOpenCount_[id];
  }

  void endTag(size_t i, const HTok& t) {
    // Every end tag of a non-inline element ends the run, "</br>" and unknown names included.
    const NameInfo info = nameInfo(t.name);
    bool joins = false;
    if (!(info.flags & kInline)) flush();
    else if (skipDepth_ == 0) joins = true, run_.push_back(i);
    close(t.name, info.id, joins ? i : kNoToken);
  }

  // Closes the topmost open element of this name and everything above it. A name that is not
  // open leaves the stack alone, without looking at it. `endTok`: the end tag that closes it as
  // part of the run, if it is one.
  void close(std::string_view name, uint32_t id, size_t endTok) {
    if (id == NameInfo::kUnknown) {
      auto count = otherOpenCount_.find(name);
      if (count == otherOpenCount_.end() || count->second == 0) return;
    } else if (knownOpenCount_[id] == 0) {
      return;
    }
    while (true) {
      const Entry top = stack_.back();
      stack_.pop_back();
      --openCount(top.name, top.id);
      if (top.skip) --skipDepth_;
      if (top.name == name) {
        // A candidate closed by its own end tag within the run.
        const size_t at = stack_.size() - chainBase_;
        if (endTok != kNoToken && sawContent_ && stack_.size() >= chainBase_ &&
            at < enclosing_.size() && enclosing_[at] == top.serial)
          closedAt_[at] = endTok;
        break;
      }
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
    bool afterGap = false;  // right after text kept out of translation
    for (size_t k : run_) {
      const HTok& t = toks_[k];
      if (t.kind == HTok::Kind::text) {
        if (significant_[k]) {
          std::string piece = textOf(t);
          // The spaces on both sides of the left-out text are one space of the sentence.
          if (afterGap && !text.empty() && text.back() == ' ' && piece.starts_with(' ')) piece.erase(0, 1);
          afterGap = false;
          text += piece;
          textToks.push_back(k);
          lastTok = k;
        } else if (std::string blank = blankPiece(t.raw);
                   !(afterGap && blank == " " && !text.empty() && text.back() == ' ')) {
          text += blank;
        }
      } else if (t.kind == HTok::Kind::open) {
        if (t.name == "br") {
          text += '\n';
          brToks.push_back(k);
        } else if (HTMLAttributes::marksNoTranslate(t.raw)) {
          afterGap = true;
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
    const std::optional<size_t> inside = innermostEnd();
    sawContent_ = false;
    if (textToks.empty()) return;
    // One inline element holding all of the text: its translation goes inside it, just before
    // its end tag, so that it takes on the text's colour, size, face and visibility (and a link
    // around the whole text wraps the translation too).
    if (inside) lastTok = *inside - 1;
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

  // The end tag of the innermost element that encloses all visible tokens of the run and was
  // closed by its own end tag within the run.
  std::optional<size_t> innermostEnd() const {
    if (!sawContent_) return std::nullopt;
    for (size_t p = closedAt_.size(); p-- > 0;) {
      if (closedAt_[p] != kNoToken) return closedAt_[p];
    }
    return std::nullopt;
  }

  static constexpr size_t kNoToken = static_cast<size_t>(-1);

  struct Entry {
    std::string_view name;  // points into the token's name, which outlives the pass
    uint32_t id;            // NameInfo::id
    bool skip;
    bool isInline;
    uint64_t serial;  // tells entries of the same name apart
  };

  std::span<const HTok> toks_;
  const bool splitLinked_;
  std::vector<HTMLDoc::Segment>& out_;
  std::vector<uint8_t> significant_;  // open and close tags, and text that shows something
  std::vector<size_t> run_;
  std::vector<Entry> stack_;
  // Open entries per name: an end tag whose name has none never looks at the stack.
  std::array<uint32_t, kNameTable.size()> knownOpenCount_{};
  std::unordered_map<std::string_view, uint32_t> otherOpenCount_;
  uint32_t skipDepth_ = 0;
  uint64_t nextEntrySerial_ = 0;
  bool sawContent_ = false;       // the run has a visible token
  // The candidates for the run's translation: serials of the inline elements from stack_[chainBase_]
  // up that are open at every visible token, and the end tag that closed each (or kNoToken).
  size_t chainBase_ = 0;
  std::vector<uint64_t> enclosing_;
  std::vector<size_t> closedAt_;
};

}  // namespace

HTMLDoc::HTMLDoc(std::string html, bool splitLinked) : toks_(HTMLTokenizer::tokenize(std::move(html))) {
  findDarkSupport();
  segment(splitLinked);
}

bool HTMLDoc::hidesElement(std::string_view rawTag) {
  static const Regex kHidden(hiddenPattern, Regex::kCaseless);
  // Each alternative starts with a property name; in an all-ASCII tag, caseless matching is
  // ASCII-caseless, so a tag that holds none of the names cannot match and skips the pattern.
  if (!mayHoldHidingProperty(rawTag) || !containsIgnoringCase(rawTag, "style")) return false;
  return kHidden.contains(rawTag);
}

void HTMLDoc::findDarkSupport() {
  bool afterStyle = false;
  for (const HTok& t : toks_) {
    if (t.kind == HTok::Kind::open && t.name == "meta") {
      // Full lower-casing: the Kelvin sign in "DAR\u212A" is a "k" too.
      const std::string lower = Unicode::lowercased(t.raw);
      const std::string_view text = lower;
      if (text.find("color-scheme") != std::string_view::npos && text.find("dark") != std::string_view::npos) {
        supportsDark_ = true;
      }
    } else if (t.kind == HTok::Kind::other && afterStyle && containsIgnoringCase(t.raw, "prefers-color-scheme")) {
      supportsDark_ = true;
    }
    if (supportsDark_) return;
    afterStyle = isOpen(t, "style");
  }
}

void HTMLDoc::segment(bool splitLinked) { Segmenter(toks_.all(), splitLinked, segments_).run(); }

std::vector<std::string> HTMLDoc::segmentTexts() const {
  std::vector<std::string> texts;
  texts.reserve(segments_.size());
  for (const Segment& s : segments_) texts.push_back(s.text);
  return texts;
}

}  // namespace qy
