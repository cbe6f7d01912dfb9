// Checking config.json key by key.
#include "extension/commands/config_check.h"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>

#include "core/config/config.h"
#include "core/dark/css_color.h"
#include "core/doc/style.h"

namespace qy {
namespace {

using nlohmann::json;

enum class Kind { string, integer, number, boolean };

struct Key {
  std::string_view name;
  Kind kind;
};

constexpr std::array<Key, 13> kKeys = {{
    {"mode", Kind::string},        {"trigger", Kind::string},      {"targetLanguage", Kind::string},
    {"style", Kind::string},       {"accentColor", Kind::string},  {"fontScale", Kind::integer},
    {"opacity", Kind::integer},    {"darkMode", Kind::string},     {"darkBackground", Kind::string},
    {"firstPaintSeconds", Kind::number}, {"maxChars", Kind::integer}, {"autoReload", Kind::boolean},
    {"cacheEpoch", Kind::integer},
}};

std::string inQuotes(std::string_view text) { return "“" + std::string(text) + "”"; }

std::string kindName(Kind kind) {
  switch (kind) {
    case Kind::string: return "字符串";
    case Kind::integer: return "整数";
    case Kind::number: return "数字";
    case Kind::boolean: return "true 或 false";
  }
  return {};
}

std::string jsonTypeName(const json& value) {
  if (value.is_null()) return "null";
  if (value.is_boolean()) return "布尔值";
  if (value.is_number_integer() || value.is_number_unsigned()) return "整数";
  if (value.is_number()) return "小数";
  if (value.is_string()) return "字符串";
  if (value.is_array()) return "数组";
  return "对象";
}

// A value as the file spells it, shortened for a line of output.
std::string spelled(const json& value) {
  std::string text = value.dump(-1, ' ', false, json::error_handler_t::replace);
  constexpr size_t kMaxShown = 40;
  if (text.size() > kMaxShown) text = text.substr(0, kMaxShown) + "…";
  return text;
}

// The default of a key, as config.json would spell it.
json defaultOf(std::string_view name) {
  return json::parse(Config{}.encode())[std::string(name)];
}

// Whether the reader takes `value` for `name`: decode it alone and see whether it arrived (a
// value equal to the default counts as taken — the outcome is the same).
bool readerTakes(std::string_view name, const json& value) {
  json single = json::object();
  single[std::string(name)] = value;
  auto decoded = Config::decode(single.dump());
  return decoded && json::parse(decoded->encode())[std::string(name)] == value;
}

size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string unknownKey(const std::string& name) {
  std::string text = "config.json：不认识的键 " + inQuotes(name) + "，读取时忽略，下次保存时删掉";
  // A near miss is almost always a typo of a real key.
  constexpr size_t kTypoDistance = 3;
  for (const auto& key : kKeys)
    if (editDistance(name, key.name) <= kTypoDistance) return text + "；是不是 " + inQuotes(key.name) + "？";
  return text;
}

std::string outsideSet(std::string_view name, const std::string& value, std::string_view set,
                       std::string_view applies) {
  return "config.json：" + inQuotes(name) + " 的值 " + inQuotes(value) + " 不在 " + std::string(set) +
         " 之中；按 " + std::string(applies) + " 处理";
}

// The value-set check of a key whose type is right; empty when the value is fine.
std::string valueProblem(std::string_view name, const json& value) {
  const std::string text = value.is_string() ? value.get<std::string>() : std::string();
  auto in = [](const std::string& v, std::initializer_list<std::string_view> set) {
    return std::find(set.begin(), set.end(), v) != set.end();
  };
  if (name == "mode" && !in(text, {"bilingual", "replace", "off"}))
    return outsideSet(name, text, "bilingual、replace、off", "“bilingual”（双语对照）");
  if (name == "trigger" && !in(text, {"auto", "manual"}))
    return outsideSet(name, text, "auto、manual", "“auto”（自动翻译）");
  if (name == "style" && !in(text, {"sidebar", "highlight", "plain"}))
    return outsideSet(name, text, "sidebar、highlight、plain", "“sidebar”");
  if (name == "darkMode" && !in(text, {"auto", "on", "off"}))
    return outsideSet(name, text, "auto、on、off", "“off”（不改成深色）");
  if (name == "targetLanguage" && text.empty())
    return "config.json：" + inQuotes(name) + " 是空的，没有语言可以翻译成它";
  if (name == "accentColor") {
    const std::string& written = text;
    const size_t first = written.find_first_not_of(" \t\r\n");
    const size_t last = written.find_last_not_of(" \t\r\n");
    const std::string trimmed = first == std::string::npos ? "" : written.substr(first, last - first + 1);
    if (Style::safeColor(written) != trimmed)
      return "config.json：" + inQuotes(name) + " 的值 " + inQuotes(text) +
             " 不是 “#” 加六位十六进制数；按 “#34A77A” 处理";
  }
  if (name == "darkBackground" && !CSSColor::legacy(text))
    return "config.json：" + inQuotes(name) + " 的值 " + inQuotes(text) + " 不是 CSS 颜色；按 “#1E1E1E” 处理";
  if (name == "fontScale" && (value.get<int64_t>() < 50 || value.get<int64_t>() > 200))
    return "config.json：" + inQuotes(name) + " 是 " + spelled(value) + "，超出 50…200；按 " +
           std::to_string(std::clamp<int64_t>(value.get<int64_t>(), 50, 200)) + " 处理";
  if (name == "opacity" && value.get<int64_t>() < 20)
    return "config.json：" + inQuotes(name) + " 是 " + spelled(value) + "，低于 20；按 20 处理";
  if (name == "firstPaintSeconds" && value.get<double>() < 0)
    return "config.json：" + inQuotes(name) + " 是负数；按 0 处理（不等待翻译）";
  if (name == "maxChars" && value.get<int64_t>() < 1)
    return "config.json：" + inQuotes(name) + " 是 " + spelled(value) + "：每封邮件都一个字也不翻译";
  return {};
}

}  // namespace

std::vector<Finding> checkConfigText(std::string_view text) {
  std::vector<Finding> findings;
  auto problem = [&](std::string line) { findings.push_back({FindingLevel::problem, std::move(line)}); };
  json root;
  try {
    root = json::parse(text);
  } catch (const json::parse_error& error) {
    const size_t end = std::min<size_t>(error.byte > 0 ? error.byte - 1 : 0, text.size());
    const size_t line = 1 + static_cast<size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(end), '\n'));
    problem("config.json 不是有效的 JSON（第 " + std::to_string(line) + " 行）：所有设置都用默认值");
    return findings;
  } catch (const json::exception&) {
    // A number past what a double holds ("1E1111") is refused by the reader as a whole too.
    problem("config.json 不是有效的 JSON（有超出范围的数字）：所有设置都用默认值");
    return findings;
  }
  if (!root.is_object()) {
    problem("config.json 的内容是" + jsonTypeName(root) + "，不是 JSON 对象：所有设置都用默认值");
    return findings;
  }
  for (const auto& item : root.items()) {
    const std::string& name = item.key();
    const json& value = item.value();
    const auto key = std::find_if(kKeys.begin(), kKeys.end(), [&](const Key& k) { return k.name == name; });
    if (key == kKeys.end()) {
      problem(unknownKey(name));
      continue;
    }
    if (!readerTakes(name, value)) {
      problem("config.json：" + inQuotes(name) + " 应为" + kindName(key->kind) + "，现在是 " + spelled(value) +
              "（" + jsonTypeName(value) + "）；使用默认值 " + spelled(defaultOf(name)));
      continue;
    }
    if (std::string line = valueProblem(name, value); !line.empty()) problem(std::move(line));
  }
  return findings;
}

}  // namespace qy
