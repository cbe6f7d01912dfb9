// PlainDoc: paragraph building (quote markers, hard-wrap detection) and the rendered document.
#include "core/doc/plain_doc.h"

#include <algorithm>

#include "core/base/unicode.h"
#include "core/dark/dark_context.h"
#include "core/doc/style.h"
#include "core/doc/text_util.h"

namespace qy {
namespace {

// Lines of this many user-perceived characters read as hard-wrapped.
constexpr size_t kWrapMin = 50;
constexpr size_t kWrapMax = 90;

constexpr std::string_view kDocumentStart = R"(<html><head><meta charset="utf-8">)";
constexpr std::string_view kBodyStart =
    "</head><body style=\"font-family:-apple-system,'Helvetica Neue',sans-serif;font-size:14px;"
    "line-height:1.5\">\n";
constexpr std::string_view kParaStart = R"(<div style="white-space:pre-wrap;margin:0 0 1em 0">)";
constexpr std::string_view kParaEnd = "</div>\n";
constexpr std::string_view kDocumentEnd = "</body></html>";

// The usual separator above a signature: names, addresses and titles under it are not prose.
constexpr std::string_view kSignatureSeparator = "-- ";

// The line without its quoting markers: each leading ">" and one space after it.
std::string_view unquote(std::string_view line, size_t* level = nullptr) {
  size_t markers = 0;
  while (line.starts_with('>')) {
    line.remove_prefix(1);
    ++markers;
    if (line.starts_with(' ')) line.remove_prefix(1);
  }
  if (level) *level = markers;
  return line;
}

// Every line of `text` with `prefix` in front.
std::string prefixLines(std::string_view text, std::string_view prefix) {
  std::string out;
  size_t start = 0;
  while (true) {
    const size_t newline = text.find('\n', start);
    out.append(prefix);
    out.append(text.substr(start, newline == std::string_view::npos ? std::string_view::npos
                                                                     : newline + 1 - start));
    if (newline == std::string_view::npos) break;
    start = newline + 1;
  }
  return out;
}

std::string joined(const std::vector<std::string>& lines, char joiner) {
  std::string out;
  for (const std::string& line : lines) {
    if (!out.empty()) out.push_back(joiner);
    out.append(line);
  }
  return out;
}

}  // namespace

PlainDoc::PlainDoc(std::string_view input) {
  std::string repaired;
  if (!Unicode::isValidUtf8(input)) {
    repaired = Unicode::repairUtf8(input);
    input = repaired;
  }
  // Only CR LF pairs become line feeds: a lone CR is not a line break and stays in its line.
  std::string text;
  text.reserve(input.size());
  for (size_t i = 0; i < input.size(); ++i) {
    if (input[i] == '\r' && i + 1 < input.size() && input[i + 1] == '\n') continue;
    text.push_back(input[i]);
  }

  std::vector<std::string_view> pending;
  bool inSignature = false;
  const std::string_view all = text;
  size_t start = 0;
  while (true) {
    size_t newline = all.find('\n', start);
    std::string_view line = all.substr(start, newline == std::string_view::npos ? std::string_view::npos
                                                                                 : newline - start);
    if (line == kSignatureSeparator && !inSignature) {
      // The signature's paragraphs are shown as they are, never translated.
      flush(pending, true);
      inSignature = true;
      pending.push_back(line);
    } else if (TextUtil::trimBlanks(line).empty()) {
      flush(pending, !inSignature);
    } else {
      pending.push_back(line);
    }
    if (newline == std::string_view::npos) break;
    start = newline + 1;
  }
  flush(pending, !inSignature);
}

void PlainDoc::flush(std::vector<std::string_view>& pending, bool translate) {
  if (pending.empty()) return;
  Para para;
  size_t level = 0;
  unquote(pending.front(), &level);
  for (size_t i = 0; i < level; ++i) para.quote += "> ";
  std::vector<std::string> kept;
  for (size_t i = 0; i < pending.size(); ++i) {
    std::string_view line = pending[i];
    if (i > 0) para.raw.push_back('\n');
    para.raw.append(line);
    std::string cleaned(TextUtil::trimBlanks(TextUtil::collapse(unquote(line))));
    if (!cleaned.empty()) kept.push_back(std::move(cleaned));
  }
  pending.clear();

  char joiner = '\n';
  if (kept.size() >= 2) {
    // Every line but the last of hard-wrapping length: one paragraph broken by the sender's
    // mail program, to be read (and translated) as one line.
    bool wrapped = std::all_of(kept.begin(), kept.end() - 1, [](const std::string& line) {
      size_t length = Unicode::graphemeCount(line);
      return length >= kWrapMin && length <= kWrapMax;
    });
    if (wrapped) joiner = ' ';
  }
  std::string text = joined(kept, joiner);
  if (translate && TextUtil::translatable(text)) para.text = std::move(text);
  paras_.push_back(std::move(para));
}

std::vector<std::string> PlainDoc::segmentTexts() const {
  std::vector<std::string> texts;
  for (const Para& para : paras_) {
    if (para.text) texts.push_back(*para.text);
  }
  return texts;
}

std::string PlainDoc::render(const TranslationDict& dict, const Config& cfg) const {
  const bool replace = cfg.mode == "replace";
  std::string body;
  for (const Para& para : paras_) {
    std::string shown;
    std::string extra;
    const std::string* translation = nullptr;
    if (para.text) {
      auto it = dict.find(*para.text);
      if (it != dict.end() && Style::worthShowing(it->second, *para.text)) translation = &it->second;
    }
    if (translation && replace) {
      // The translation replaces the whole paragraph; its own line breaks show through the
      // pre-wrap style. A quoted paragraph stays quoted: each line of its translation starts
      // with the quoting markers, or the other person's words would read as the sender's.
      // The source stays as the tooltip.
      shown = Style::inPlace(
          Style::escape(para.quote.empty() ? *translation : prefixLines(*translation, para.quote)),
          para.raw);
    } else {
      shown = Style::escape(para.raw);
      if (translation) extra = Style::translationBlock(*translation, cfg);
    }
    body.append(kParaStart).append(shown).append(extra).append(kParaEnd);
  }

  std::string out;
  out.reserve(body.size() + 1024);
  out.append(kDocumentStart);
  if (auto dark = DarkContext::make(cfg, false)) out.append(dark->headBlock());
  out.append(kBodyStart);
  out.append(body);
  out.append(kDocumentEnd);
  return out;
}

bool PlainDoc::willDarken(const Config&) const { return false; }

}  // namespace qy
