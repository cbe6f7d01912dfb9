// HTMLDoc properties over real mail: the HTML bodies in the corpus (html/ as files, and the
// text/html parts of the messages in eml/, decoded as the engine decodes them).
//  - With an empty dictionary and no dark mode, rendering gives back the input, except that meta
//    tags declare "utf-8".
//  - With a translation for every segment, bilingual rendering shows each translation, escaped,
//    exactly once per segment that carries it, and removing the inserted blocks gives back the
//    rendering without translations.
//  - Replace mode shows every translation and keeps all markup (adding only the tooltip spans).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>

#include "support/corpus.h"
#include "support/temp_dir.h"
#include "core/doc/html_doc.h"
#include "core/doc/style.h"
#include "core/mime/mime.h"

namespace qy {
namespace {

using testing::readFile;

// name → HTML body, from both halves of the corpus.
std::map<std::string, std::string> corpusBodies() {
  std::map<std::string, std::string> bodies;
  const std::filesystem::path root(QY_CORPUS_DIR);
  for (const auto& entry : std::filesystem::directory_iterator(root / "html")) {
    bodies[entry.path().filename().string()] = readFile(entry.path());
  }
  for (const auto& entry : std::filesystem::directory_iterator(root / "eml")) {
    const std::string message = readFile(entry.path());
    const ByteView bytes(reinterpret_cast<const uint8_t*>(message.data()), message.size());
    auto tree = MIME::parse(bytes);
    const MIMEPart* html = MIME::find(*tree, "text/html");
    if (!html) continue;
    std::optional<std::string_view> charset;
    auto param = html->params().find("charset");
    if (param != html->params().end()) charset = param->second;
    bodies[entry.path().filename().string()] = MIME::decodeString(MIME::decodeBody(bytes, *html), charset, true);
  }
  return bodies;
}

Config settings(std::string mode) {
  Config cfg;
  cfg.mode = std::move(mode);
  cfg.darkMode = "off";
  return cfg;
}

// A translation that differs from its source and needs escaping.
std::string translationOf(const std::string& text) { return "\u00AB" + text + "\u00BB <&> #"; }

size_t countOf(const std::string& haystack, const std::string& needle) {
  size_t count = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + needle.size())) ++count;
  return count;
}

TEST(HTMLCorpus, EmptyDictionaryReproducesTheInputButCharsets) {
  QY_SKIP_WITHOUT_CORPUS();
  auto bodies = corpusBodies();
  ASSERT_GT(bodies.size(), 9u);  // the html/ files and at least one message body
  for (const auto& [name, body] : bodies) {
    SCOPED_TRACE(name);
    HTMLDoc doc(body, false);
    const std::string rendered = doc.render({}, settings("bilingual"));
    // Token by token: only meta tags may differ, and only by declaring utf-8.
    auto before = HTMLTokenizer::tokenize(body);
    auto after = HTMLTokenizer::tokenize(rendered);
    ASSERT_EQ(before.size(), after.size());
    for (size_t i = 0; i < before.size(); ++i) {
      if (before[i] == after[i]) continue;
      EXPECT_EQ(before[i].name, "meta") << before[i].raw;
      EXPECT_NE(after[i].raw.find("utf-8"), std::string::npos) << after[i].raw;
    }
  }
}

TEST(HTMLCorpus, EveryTranslationAppearsOncePerSegmentAndBlocksComeOutCleanly) {
  QY_SKIP_WITHOUT_CORPUS();
  size_t segmentsSeen = 0;
  for (const auto& [name, body] : corpusBodies()) {
    SCOPED_TRACE(name);
    HTMLDoc doc(body, false);
    TranslationDict dict;
    std::map<std::string, size_t> perText;
    for (const std::string& text : doc.segmentTexts()) {
      dict[text] = translationOf(text);
      ++perText[text];
    }
    segmentsSeen += doc.segments().size();
    const Config cfg = settings("bilingual");
    const std::string plain = doc.render({}, cfg);
    std::string rendered = doc.render(dict, cfg);
    for (const auto& [text, count] : perText) {
      const std::string block = Style::translationBlock(dict[text], cfg);
      EXPECT_NE(block.find(Style::escapeWithBreaks(dict[text])), std::string::npos);
      EXPECT_EQ(countOf(rendered, block), count) << text;
    }
    for (const auto& [text, count] : perText) {
      const std::string block = Style::translationBlock(dict[text], cfg);
      for (size_t at = rendered.find(block); at != std::string::npos; at = rendered.find(block, at)) {
        rendered.erase(at, block.size());
      }
    }
    EXPECT_EQ(rendered, plain);
  }
  EXPECT_GT(segmentsSeen, 100u);
}

TEST(HTMLCorpus, ReplaceShowsEveryTranslationAndKeepsTheMarkup) {
  QY_SKIP_WITHOUT_CORPUS();
  for (const auto& [name, body] : corpusBodies()) {
    SCOPED_TRACE(name);
    HTMLDoc doc(body, true);
    TranslationDict dict;
    for (const std::string& text : doc.segmentTexts()) dict[text] = translationOf(text);
    const std::string rendered = doc.render(dict, settings("replace"));
    for (const auto& [text, translation] : dict) {
      EXPECT_NE(rendered.find(Style::escapeWithBreaks(translation)), std::string::npos) << text;
    }
    // Markup is untouched: the start and end tags, comments and raw text come out in order; the
    // only markup added is the span around each translation that keeps its source as a tooltip.
    static const std::regex kInPlace(R"re(<span class="qy-in" title="[^"]*">([^<]*(?:<br>[^<]*)*)</span>)re");
    const std::string withoutTooltips = std::regex_replace(rendered, kInPlace, "$1");
    auto markup = [](const HTMLTokenizer::Tokens& toks) {
      std::vector<std::string> out;
      for (const HTok& t : toks) {
        if (t.kind != HTok::Kind::text && !(t.kind == HTok::Kind::open && t.name == "br")) out.emplace_back(t.raw);
      }
      return out;
    };
    EXPECT_EQ(markup(HTMLTokenizer::tokenize(withoutTooltips)), markup(HTMLTokenizer::tokenize(doc.render({}, settings("replace")))));
  }
}

}  // namespace
}  // namespace qy
