// HTMLDoc rendering: the tokens written back out, byte for byte, except where a translation is
// inserted after a segment (bilingual) or put into its text tokens (replace), where a meta tag
// declares a character set (the body is rewritten as UTF-8), and, with a dark context, in every
// start tag and style sheet plus the head block. The head block is filled in last, once every
// tag has been rewritten, so that it defines every variable and marker the rewriting handed out.
#include <cstdint>
#include <optional>

#include "core/base/regex.h"
#include "core/base/unicode.h"
#include "core/dark/dark_context.h"
#include "core/doc/html_doc.h"
#include "core/doc/style.h"

namespace qy {
namespace {

constexpr uint32_t kNoPlan = 0;

// The changes planned per token: an index (1-based) into `texts`, or kNoPlan.
struct Plan {
  std::vector<std::string> texts;
  std::vector<uint32_t> instead;  // the token's piece is replaced
  std::vector<uint32_t> after;    // appended after the token's piece

  void set(std::vector<uint32_t>& slots, size_t tokenCount, size_t token, std::string text) {
    if (slots.empty()) slots.assign(tokenCount, kNoPlan);
    texts.push_back(std::move(text));
    slots[token] = static_cast<uint32_t>(texts.size());
  }
  const std::string* find(const std::vector<uint32_t>& slots, size_t token) const {
    if (slots.empty() || slots[token] == kNoPlan) return nullptr;
    return &texts[slots[token] - 1];
  }
};

// Whether the first character is white space (its first scalar decides).
bool startsWithWhiteSpace(std::string_view raw) {
  if (raw.empty()) return false;
  size_t offset = 0;
  return Unicode::isWhiteSpace(Unicode::next(raw, offset));
}

// Whether the last user-perceived character is white space: a character is white space when its
// first scalar is, so a space followed by a joiner or combining mark still counts.
bool endsWithWhiteSpace(std::string_view raw) {
  if (raw.empty()) return false;
  if (Unicode::isAscii(raw)) return Unicode::isWhiteSpace(static_cast<unsigned char>(raw.back()));
  std::string_view last;
  Unicode::forEachGrapheme(raw, [&](std::string_view character) {
    last = character;
    return true;
  });
  if (last.empty()) return false;
  size_t offset = 0;
  return Unicode::isWhiteSpace(Unicode::next(last, offset));
}

// A meta tag with its declared character set replaced by "utf-8" (the body is written as UTF-8).
std::string rewriteCharset(std::string_view tag) {
  static const Regex kCharset(R"((charset\s*=\s*["']?)[)" QY_WORD_CHARS R"(\-]+)", Regex::kCaseless);
  std::vector<Regex::Match> matches = kCharset.findAll(tag);
  if (matches.empty()) return std::string(tag);
  std::string out;
  out.reserve(tag.size());
  size_t copied = 0;
  for (const Regex::Match& m : matches) {
    out.append(tag.substr(copied, m.begin() - copied));
    out.append(m.group(tag, 1));
    out.append("utf-8");
    copied = m.end();
  }
  out.append(tag.substr(copied));
  return out;
}

bool isOpenNamed(const HTok& t, std::string_view name) {
  return t.kind == HTok::Kind::open && t.name == name;
}

bool startsWithDoctype(std::string_view raw) {
  constexpr std::string_view kDoctype = "<!doctype";
  if (raw.size() < kDoctype.size()) return false;
  for (size_t i = 0; i < kDoctype.size(); ++i) {
    char ch = raw[i];
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
    if (ch != kDoctype[i]) return false;
  }
  return true;
}

// The token after which the head block goes: <head>, else <html>, else the doctype; nothing for
// a fragment.
std::optional<size_t> headAnchor(std::span<const HTok> toks) {
  for (size_t i = 0; i < toks.size(); ++i) {
    if (isOpenNamed(toks[i], "head")) return i;
  }
  for (size_t i = 0; i < toks.size(); ++i) {
    if (isOpenNamed(toks[i], "html")) return i;
  }
  for (size_t i = 0; i < toks.size(); ++i) {
    if (toks[i].kind == HTok::Kind::other && startsWithDoctype(toks[i].raw)) return i;
  }
  return std::nullopt;
}

}  // namespace

bool HTMLDoc::willDarken(const Config& cfg) const {
  return DarkContext::make(cfg, supportsDark_).has_value();
}

std::string HTMLDoc::render(const TranslationDict& dict, const Config& cfg) const {
  // 1. Plan the changes.
  Plan plan;
  size_t plannedBytes = 0;
  const bool replace = cfg.mode == "replace";
  for (const Segment& segment : segments_) {
    if (dict.empty()) break;
    auto hit = dict.find(segment.text);
    if (hit == dict.end()) continue;
    const std::string& translation = hit->second;
    if (!Style::worthShowing(translation, segment.text)) continue;
    if (!replace) {
      plan.set(plan.after, toks_.size(), segment.lastTok, Style::translationBlock(translation, cfg));
      plannedBytes += plan.texts.back().size();
      continue;
    }
    for (size_t p = 0; p < segment.textToks.size(); ++p) {
      const size_t k = segment.textToks[p];
      const bool lead = startsWithWhiteSpace(toks_[k].raw);
      const bool trail = endsWithWhiteSpace(toks_[k].raw);
      std::string piece;
      if (p == 0) {
        if (lead) piece += ' ';
        piece += Style::inPlace(Style::escapeWithBreaks(translation), segment.text);
        if (trail) piece += ' ';
      } else if (lead || trail) {
        piece = " ";
      }
      plannedBytes += piece.size();
      plan.set(plan.instead, toks_.size(), k, std::move(piece));
    }
    // The translation brings its own <br> for its own line breaks.
    for (size_t k : segment.brToks) plan.set(plan.instead, toks_.size(), k, std::string());
  }

  // 2. The dark context, and 3. where its head block goes.
  std::optional<DarkContext> dark = DarkContext::make(cfg, supportsDark_);
  const std::optional<size_t> anchor = dark ? headAnchor(toks_.all()) : std::nullopt;

  // 4. Write the tokens; the head block's place is kept and filled last.
  std::string out;
  out.reserve(plannedBytes + toks_.size() * 8 + (dark ? 1024 : 0) + toks_.text().size());
  std::optional<size_t> headSlot;
  if (dark && !anchor) headSlot = 0;
  bool afterStyle = false;
  for (size_t i = 0; i < toks_.size(); ++i) {
    const HTok& t = toks_[i];
    if (const std::string* text = plan.find(plan.instead, i)) {
      out += *text;
    } else if (t.kind == HTok::Kind::other && afterStyle && dark) {
      out += dark->rewriteStylesheet(t.raw);
    } else if (t.kind == HTok::Kind::open && (dark || t.name == "meta")) {
      if (t.name == "meta") {
        std::string tag = rewriteCharset(t.raw);
        out += dark ? dark->rewriteTag(tag, t.name) : tag;
      } else {
        out += dark->rewriteTag(t.raw, t.name);
      }
    } else {
      out += t.raw;
    }
    if (const std::string* block = plan.find(plan.after, i)) out += *block;
    if (dark && anchor && i == *anchor) headSlot = out.size();
    afterStyle = isOpenNamed(t, "style");
  }

  // 5. The head block, now that every tag and style sheet has been rewritten.
  if (dark && headSlot) out.insert(*headSlot, dark->headBlock());
  return out;
}

}  // namespace qy
