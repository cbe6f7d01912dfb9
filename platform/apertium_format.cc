// Escaping, record framing, language codes and stage parsing for Apertium pipelines.
#include "platform/apertium_format.h"

#include <algorithm>
#include <array>
#include <utility>

#include "core/base/unicode.h"

namespace qy::platform::ApertiumFormat {
namespace {

constexpr std::string_view kFlush = "[][\n]";
constexpr size_t kLongRun = 64;

bool isStreamSpecial(char c) {
  switch (c) {
    case '\\': case '[': case ']': case '^': case '$': case '/': case '@':
    case '<': case '>': case '{': case '}':
      return true;
    default:
      return false;
  }
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string idTag(uint64_t id) { return "[qy:" + std::to_string(id) + "]"; }

}  // namespace

std::string escape(std::string_view text) {
  const std::string valid = Unicode::repairUtf8(text);
  std::string out;
  out.reserve(valid.size() + valid.size() / 8 + 8);
  size_t i = 0;
  while (i < valid.size()) {
    // A run of more than kLongRun bytes without a space is no word (a URL, an encoded blob) and
    // costs the analyser time that grows with the square of its length: it passes through in a
    // superblank, untranslated.
    size_t end = i;
    while (end < valid.size() && valid[end] != ' ' && valid[end] != '\n' && valid[end] != '\t') ++end;
    if (end - i > kLongRun) {
      out += '[';
      for (; i < end; ++i) {
        const char c = valid[i];
        if (c == '\0') {
          out += ' ';
          continue;
        }
        if (c == '\\' || c == '[' || c == ']') out += '\\';
        out += c;
      }
      out += ']';
      continue;
    }
    for (end = std::max(end, i + 1); i < end; ++i) {
      const char c = valid[i];
      const auto u = static_cast<unsigned char>(c);
      if (c == '\0') {
        out += ' ';  // NUL ends a record in the pipeline
      } else if (isStreamSpecial(c)) {
        out += '\\';
        out += c;
      } else if (c == '~' || u < 0x20 || u == 0x7F) {
        // Inside a superblank the pipeline passes it through untouched ('~' would otherwise be
        // taken for a join mark and dropped).
        out += '[';
        out += c;
        out += ']';
      } else {
        out += c;
      }
    }
  }
  return out;
}

std::string unescape(std::string_view stream) {
  std::string out;
  out.reserve(stream.size());
  bool inBlank = false;
  for (size_t i = 0; i < stream.size(); ++i) {
    const char c = stream[i];
    if (c == '\\' && i + 1 < stream.size()) {
      out += stream[++i];
    } else if (!inBlank && c == '[') {
      inBlank = true;
    } else if (inBlank && c == ']') {
      inBlank = false;
    } else {
      out += c;
    }
  }
  return out;
}

std::string record(uint64_t id, std::string_view text) {
  std::string out = idTag(id);
  out += escape(text);
  out += kFlush;
  out += '\0';
  return out;
}

std::optional<std::string> translation(uint64_t id, std::string_view outputRecord) {
  const std::string tag = idTag(id);
  size_t start = 0;
  while (start < outputRecord.size() &&
         (outputRecord[start] == ' ' || outputRecord[start] == '\n' || outputRecord[start] == '\t'))
    ++start;
  if (outputRecord.substr(start, tag.size()) != tag) return std::nullopt;
  std::string_view body = outputRecord.substr(start + tag.size());
  if (body.ends_with(kFlush)) body.remove_suffix(kFlush.size());
  std::string text = unescape(body);
  // The pipeline leaves stray spaces at the ends.
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

std::string languageCode(std::string_view code) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 52> kCodes = {{
      {"afr", "af"}, {"ara", "ar"}, {"arg", "an"}, {"baq", "eu"}, {"bel", "be"}, {"bre", "br"},
      {"bs", "sh"},  {"bul", "bg"}, {"cat", "ca"}, {"ces", "cs"}, {"cym", "cy"}, {"dan", "da"},
      {"deu", "de"}, {"ell", "el"}, {"eng", "en"}, {"epo", "eo"}, {"est", "et"}, {"eus", "eu"},
      {"fin", "fi"}, {"fra", "fr"}, {"fre", "fr"}, {"ger", "de"}, {"gle", "ga"}, {"glg", "gl"},
      {"hbs", "sh"}, {"heb", "he"}, {"hin", "hi"}, {"hr", "sh"},  {"ind", "id"}, {"isl", "is"},
      {"ita", "it"}, {"iw", "he"},  {"jpn", "ja"}, {"kor", "ko"}, {"mkd", "mk"}, {"nld", "nl"},
      {"nno", "nn"}, {"no", "nb"},  {"nob", "nb"}, {"nor", "nb"}, {"oci", "oc"}, {"pol", "pl"},
      {"por", "pt"}, {"ron", "ro"}, {"rum", "ro"}, {"rus", "ru"}, {"slv", "sl"}, {"spa", "es"},
      {"sr", "sh"},  {"srd", "sc"}, {"swe", "sv"}, {"ukr", "uk"},
  }};
  std::string lowered = lower(code);
  for (const auto& [from, to] : kCodes)
    if (lowered == from) return std::string(to);
  if (lowered == "zlm" || lowered == "msa") return "ms";
  if (lowered == "zho") return "zh";
  return lowered;
}

std::optional<ModeName> parseModeName(std::string_view name) {
  const size_t dash = name.find('-');
  if (dash == std::string_view::npos || name.find('-', dash + 1) != std::string_view::npos)
    return std::nullopt;
  std::string_view source = name.substr(0, dash);
  std::string_view target = name.substr(dash + 1);
  std::string_view variant;
  if (const size_t underscore = target.find('_'); underscore != std::string_view::npos) {
    variant = target.substr(underscore + 1);
    target = target.substr(0, underscore);
  }
  auto isCode = [](std::string_view code) {
    if (code.size() < 2 || code.size() > 3) return false;
    for (char c : code)
      if (c < 'a' || c > 'z') return false;
    return true;
  };
  if (!isCode(source) || !isCode(target)) return std::nullopt;
  for (char c : variant)
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
      return std::nullopt;
  return ModeName{std::string(name), languageCode(source), languageCode(target),
                  std::string(variant)};
}

std::optional<std::vector<std::vector<std::string>>> parseStages(
    std::string_view commandLine, std::string_view generatorOption) {
  std::vector<std::vector<std::string>> stages(1);
  std::string word;
  bool inWord = false;
  auto endWord = [&] {
    if (inWord) stages.back().push_back(std::move(word));
    word.clear();
    inWord = false;
  };
  for (size_t i = 0; i < commandLine.size(); ++i) {
    const char c = commandLine[i];
    if (c == ' ' || c == '\t' || c == '\n') {
      endWord();
    } else if (c == '|') {
      endWord();
      if (stages.back().empty()) return std::nullopt;
      stages.emplace_back();
    } else if (c == '\'') {
      const size_t close = commandLine.find('\'', i + 1);
      if (close == std::string_view::npos) return std::nullopt;
      word.append(commandLine.substr(i + 1, close - i - 1));
      inWord = true;
      i = close;
    } else if (c == '$') {
      // Only the two positional parameters the mode files use, each a word of its own.
      if (inWord || i + 1 >= commandLine.size()) return std::nullopt;
      const char n = commandLine[i + 1];
      const bool alone = i + 2 >= commandLine.size() || commandLine[i + 2] == ' ' ||
                         commandLine[i + 2] == '\t' || commandLine[i + 2] == '\n';
      if ((n != '1' && n != '2') || !alone) return std::nullopt;
      if (n == '1') stages.back().emplace_back(generatorOption);
      ++i;
    } else if (c == '"' || c == '\\' || c == '`' || c == ';' || c == '&' || c == '<' ||
               c == '>' || c == '(' || c == ')' || c == '*' || c == '?' || c == '~' ||
               c == '#' || c == '{' || c == '}') {
      return std::nullopt;
    } else {
      word += c;
      inWord = true;
    }
  }
  endWord();
  if (stages.back().empty()) return std::nullopt;
  return stages;
}

}  // namespace qy::platform::ApertiumFormat
