// The translation prompt for chat models and the tolerant reading of their answers.
#include "platform/chat_answer.h"

#include <nlohmann/json.hpp>

#include "core/config/lang_names.h"

namespace qy::platform::ChatAnswer {
namespace {

using nlohmann::json;

// Where to look for the JSON in prose around it: a few opening brackets, not every one, so that
// a long answer full of brackets costs a bounded number of parses.
constexpr int kMaxStartsTried = 8;

std::string_view trim(std::string_view text) {
  const size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos) return {};
  const size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(start, end - start + 1);
}

// The answer after a reasoning model's <think>…</think> block.
std::string_view afterThinking(std::string_view text) {
  const size_t close = text.rfind("</think>");
  return close == std::string_view::npos ? text : text.substr(close + 8);
}

// The inside of the first ``` fence (its language tag line skipped); the text when it has none.
std::string_view unfenced(std::string_view text) {
  const size_t open = text.find("```");
  if (open == std::string_view::npos) return text;
  size_t start = text.find('\n', open + 3);
  if (start == std::string_view::npos) return text;
  ++start;
  const size_t close = text.find("```", start);
  return text.substr(start, close == std::string_view::npos ? std::string_view::npos : close - start);
}

std::optional<std::vector<std::string>> strings(const json& array, size_t expected) {
  if (!array.is_array() || array.size() != expected) return std::nullopt;
  std::vector<std::string> out;
  out.reserve(expected);
  for (const auto& item : array) {
    // A number or a truth value is a translation a model wrote without quotes ("42").
    if (item.is_string()) out.push_back(item.get<std::string>());
    else if (item.is_number() || item.is_boolean()) out.push_back(item.dump());
    else return std::nullopt;
  }
  return out;
}

std::optional<std::vector<std::string>> extract(const json& value, size_t expected) {
  if (value.is_array()) return strings(value, expected);
  if (value.is_string() && expected == 1) return std::vector<std::string>{value.get<std::string>()};
  if (!value.is_object()) return std::nullopt;
  if (const auto named = value.find("translations"); named != value.end())
    return strings(*named, expected);
  // An object holding the array under a name of the model's choosing.
  for (const auto& [key, member] : value.items())
    if (auto found = strings(member, expected)) return found;
  return std::nullopt;
}

std::optional<std::vector<std::string>> tryParse(std::string_view text, size_t expected) {
  const json value = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::nullopt;
  return extract(value, expected);
}

}  // namespace

std::string systemMessage(std::string_view source, std::string_view target, size_t count) {
  const std::string n = std::to_string(count);
  return "You are a translation engine. Translate each string of the JSON array in the user's "
         "message from " + LangNames::english(source) + " into " + LangNames::english(target) +
         ", in the style of an e-mail. Keep names, e-mail addresses, URLs, numbers, code and "
         "anything in angle brackets <...> or curly brackets {...} unchanged. Answer with only a "
         "JSON array of exactly " + n + (count == 1 ? " string" : " strings") +
         ": the translations, in the same order as the input, one for each string. Write nothing "
         "before or after the array.";
}

std::string userMessage(const std::vector<std::string>& texts) {
  return json(texts).dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<std::vector<std::string>> parse(std::string_view content, size_t expected) {
  const std::string_view text = trim(unfenced(afterThinking(content)));
  if (auto whole = tryParse(text, expected)) return whole;
  // Prose around the JSON: from an opening bracket to the last closing one of its kind.
  for (const char open : {'[', '{'}) {
    const char close = open == '[' ? ']' : '}';
    const size_t end = text.rfind(close);
    if (end == std::string_view::npos) continue;
    size_t start = text.find(open);
    for (int tried = 0; start != std::string_view::npos && start < end && tried < kMaxStartsTried;
         ++tried, start = text.find(open, start + 1)) {
      if (auto found = tryParse(text.substr(start, end - start + 1), expected)) return found;
    }
  }
  return std::nullopt;
}

}  // namespace qy::platform::ChatAnswer
