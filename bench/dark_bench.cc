// Dark rewriting and plain-text rendering throughput on real mail from the shared corpus:
//   (a) a 1 MB HTML body rewritten tag by tag through DarkContext::rewriteTag, both as the corpus
//       bodies are (most bytes are text and unstyled tags) and as a body of styled tags only;
//   (b) a 200 KB style sheet made of the corpus's <style> elements through rewriteStylesheet;
//   (c) PlainDoc rendering of a 1 MB plain-text mail with a translation for every paragraph.
// The floor printed beside them: the declaration pattern alone scanning the same body.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/regex.h"
#include "core/dark/dark_context.h"
#include "core/doc/plain_doc.h"

namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> corpusHtml() {
  std::vector<std::string> files;
  std::vector<fs::path> paths;
  for (const auto& entry : fs::directory_iterator(fs::path(QY_CORPUS_DIR) / "html")) paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  for (const auto& path : paths) files.push_back(readFile(path));
  return files;
}

std::string repeatTo(const std::vector<std::string>& pieces, size_t size) {
  std::string out;
  while (out.size() < size) {
    for (const auto& piece : pieces) out += piece;
    if (pieces.empty()) break;
  }
  return out;
}

struct Tag {
  std::string_view text;
  std::string name;
};

// Start tags of an HTML text: "<" and a letter up to the next ">" (good enough for timing).
std::vector<Tag> startTags(std::string_view html) {
  std::vector<Tag> tags;
  size_t i = 0;
  while ((i = html.find('<', i)) != std::string_view::npos) {
    if (i + 1 >= html.size() || !std::isalpha(static_cast<unsigned char>(html[i + 1]))) {
      ++i;
      continue;
    }
    size_t end = html.find('>', i);
    if (end == std::string_view::npos) break;
    size_t nameEnd = i + 1;
    while (nameEnd < end && std::isalnum(static_cast<unsigned char>(html[nameEnd]))) ++nameEnd;
    std::string name(html.substr(i + 1, nameEnd - i - 1));
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    tags.push_back({html.substr(i, end + 1 - i), std::move(name)});
    i = end + 1;
  }
  return tags;
}

const std::string& corpusBody() {
  static const std::string body = repeatTo(corpusHtml(), 1 << 20);
  return body;
}

// The corpus's styled and coloured tags only, repeated to 1 MB.
const std::string& styledBody() {
  static const std::string body = [] {
    std::vector<std::string> styled;
    for (const auto& file : corpusHtml()) {
      for (const Tag& tag : startTags(file)) {
        std::string lower(tag.text);
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower.find("style=") != std::string::npos || lower.find("color=") != std::string::npos)
          styled.emplace_back(tag.text);
      }
    }
    return repeatTo(styled, 1 << 20);
  }();
  return body;
}

const std::string& styleSheet() {
  static const std::string sheet = [] {
    std::vector<std::string> sheets;
    for (const auto& file : corpusHtml()) {
      size_t i = 0;
      while ((i = file.find("<style", i)) != std::string::npos) {
        size_t open = file.find('>', i);
        size_t close = file.find("</style>", open);
        if (open == std::string::npos || close == std::string::npos) break;
        sheets.push_back(file.substr(open + 1, close - open - 1));
        i = close;
      }
    }
    return repeatTo(sheets, 200 << 10);
  }();
  return sheet;
}

qy::Config darkConfig() {
  qy::Config cfg;
  cfg.darkMode = "on";
  return cfg;
}

void rewriteTags(benchmark::State& state, const std::string& body) {
  const std::vector<Tag> tags = startTags(body);
  size_t changed = 0;
  for (auto _ : state) {
    auto dark = qy::DarkContext::make(darkConfig(), false);
    for (const Tag& tag : tags) {
      std::string out = dark->rewriteTag(tag.text, tag.name);
      changed += out.size() != tag.text.size();
      benchmark::DoNotOptimize(out);
    }
    benchmark::DoNotOptimize(dark->headBlock());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
  state.counters["tags"] = static_cast<double>(tags.size());
  state.counters["rewritten"] = static_cast<double>(changed / std::max<size_t>(1, state.iterations()));
}

void BM_RewriteTagCorpusBody(benchmark::State& state) { rewriteTags(state, corpusBody()); }
void BM_RewriteTagStyledBody(benchmark::State& state) { rewriteTags(state, styledBody()); }

void BM_RewriteStylesheet(benchmark::State& state) {
  const std::string& sheet = styleSheet();
  for (auto _ : state) {
    auto dark = qy::DarkContext::make(darkConfig(), false);
    benchmark::DoNotOptimize(dark->rewriteStylesheet(sheet));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sheet.size()));
}

// The floor: one pass of the declaration pattern over the styled body, doing nothing else.
void BM_DeclarationPatternScanFloor(benchmark::State& state) {
  static const qy::Regex kDeclaration(
      R"((?<![\w-])((?:-webkit-text-fill-|text-decoration-|caret-|background-|border-(?:top-|right-|bottom-|left-)?|outline-)?color|background(?:-image)?|border(?:-top|-right|-bottom|-left)?|outline)\s*:\s*([^;{}]+))",
      qy::Regex::kCaseless);
  const std::string& body = styledBody();
  for (auto _ : state) {
    size_t count = 0;
    size_t position = 0;
    while (auto match = kDeclaration.search(body, position)) {
      ++count;
      position = match->end();
    }
    benchmark::DoNotOptimize(count);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

// Plain-text mail: the bodies of the corpus's plain and reply messages, repeated to 1 MB.
const std::string& plainMail() {
  static const std::string mail = [] {
    std::vector<std::string> bodies;
    for (const char* name : {"mk__issue358.eml", "rb__raw_email_reply.eml", "mk__Announce_GnuPG_2.1.20_released.eml",
                             "rb__example06.eml"}) {
      std::string file = readFile(fs::path(QY_CORPUS_DIR) / "eml" / name);
      size_t start = file.find("\r\n\r\n");
      start = start == std::string::npos ? file.find("\n\n") : start;
      bodies.push_back(start == std::string::npos ? file : file.substr(start));
    }
    return repeatTo(bodies, 1 << 20);
  }();
  return mail;
}

void renderPlain(benchmark::State& state, const char* mode) {
  const std::string& mail = plainMail();
  qy::PlainDoc doc(mail);
  qy::TranslationDict dict;
  for (const std::string& text : doc.segmentTexts()) dict.emplace(text, "[tr] " + text + " [tr]");
  qy::Config cfg = darkConfig();
  cfg.mode = mode;
  cfg.fontScale = 90;
  cfg.opacity = 80;
  for (auto _ : state) benchmark::DoNotOptimize(doc.render(dict, cfg));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * mail.size()));
  state.counters["paragraphs"] = static_cast<double>(doc.segmentTexts().size());
}

void BM_PlainDocRenderBilingual(benchmark::State& state) { renderPlain(state, "bilingual"); }
void BM_PlainDocRenderReplace(benchmark::State& state) { renderPlain(state, "replace"); }

void BM_PlainDocBuild(benchmark::State& state) {
  const std::string& mail = plainMail();
  for (auto _ : state) {
    qy::PlainDoc doc(mail);
    benchmark::DoNotOptimize(doc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * mail.size()));
}

BENCHMARK(BM_RewriteTagCorpusBody)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RewriteTagStyledBody)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RewriteStylesheet)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeclarationPatternScanFloor)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainDocBuild)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainDocRenderBilingual)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainDocRenderReplace)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
