// Request bodies and tolerant reading of the local servers' answers.
#include "platform/server_wire.h"

#include <nlohmann/json.hpp>

#include "core/translate/lang.h"

namespace qy::platform::ServerWire {
namespace {

using nlohmann::json;

// Error texts are shown in one line of a banner or a log.
constexpr size_t kMaxErrorBytes = 300;

json parse(std::string_view body) { return json::parse(body, nullptr, /*allow_exceptions=*/false); }

std::string dump(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// One line, at most kMaxErrorBytes, cut at a character boundary.
std::string oneLine(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (out.size() >= kMaxErrorBytes) break;
    out += (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
  }
  if (out.size() >= kMaxErrorBytes) {
    while (!out.empty() && (static_cast<unsigned char>(out.back()) & 0xC0) == 0x80) out.pop_back();
    if (!out.empty() && static_cast<unsigned char>(out.back()) >= 0xC0) out.pop_back();
    out += "…";
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  size_t start = out.find_first_not_of(' ');
  return start == std::string::npos ? std::string() : out.substr(start);
}

std::optional<std::vector<std::string>> namesIn(const json& list, const char* key) {
  if (!list.is_array()) return std::nullopt;
  std::vector<std::string> names;
  for (const auto& item : list) {
    if (!item.is_object()) continue;
    const auto name = item.find(key);
    if (name != item.end() && name->is_string() && !name->get_ref<const std::string&>().empty())
      names.push_back(name->get<std::string>());
  }
  return names;
}

json arraySchema(size_t count) {
  return {{"type", "array"}, {"items", {{"type", "string"}}}, {"minItems", count}, {"maxItems", count}};
}

json messages(std::string_view system, std::string_view user) {
  return json::array({{{"role", "system"}, {"content", std::string(system)}},
                      {{"role", "user"}, {"content", std::string(user)}}});
}

}  // namespace

std::string errorText(std::string_view body) {
  const json root = parse(body);
  if (root.is_object()) {
    const auto error = root.find("error");
    if (error != root.end()) {
      if (error->is_string()) return oneLine(error->get_ref<const std::string&>());
      if (error->is_object()) {
        const auto message = error->find("message");
        if (message != error->end() && message->is_string())
          return oneLine(message->get_ref<const std::string&>());
      }
    }
    const auto detail = root.find("detail");  // some Python servers
    if (detail != root.end() && detail->is_string()) return oneLine(detail->get_ref<const std::string&>());
    return {};
  }
  if (!root.is_discarded()) return {};
  // Plain text, but not a page of HTML.
  if (body.find('<') != std::string_view::npos) return {};
  return oneLine(body);
}

std::optional<std::vector<std::string>> ollamaModels(std::string_view body) {
  const json root = parse(body);
  if (!root.is_object() || !root.contains("models")) return std::nullopt;
  return namesIn(root["models"], "name");
}

std::optional<std::vector<std::string>> openaiModels(std::string_view body) {
  const json root = parse(body);
  if (!root.is_object() || !root.contains("data")) return std::nullopt;
  return namesIn(root["data"], "id");
}

std::string fromLibreCode(std::string_view code) {
  if (code == "zh" || code == "zh-CN") return "zh-Hans";
  if (code == "zt" || code == "zh-TW") return "zh-Hant";
  return std::string(code);
}

std::string toLibreCode(std::string_view code, bool oldChineseCodes) {
  std::string plain = Lang::withoutRegion(code);
  const std::string base = Lang::base(plain);
  if (base == "zh") {
    const bool traditional = plain.find("Hant") != std::string::npos ||
                             plain.find("hant") != std::string::npos;
    if (oldChineseCodes) return traditional ? "zt" : "zh";
    return traditional ? "zh-Hant" : "zh-Hans";
  }
  return plain;
}

std::optional<LibreLanguages> libreLanguages(std::string_view body) {
  const json root = parse(body);
  if (!root.is_array()) return std::nullopt;
  LibreLanguages out;
  for (const auto& language : root) {
    if (!language.is_object()) continue;
    const auto code = language.find("code");
    if (code == language.end() || !code->is_string()) continue;
    const std::string& source = code->get_ref<const std::string&>();
    if (source == "zt") out.oldChineseCodes = true;
    const auto targets = language.find("targets");
    if (targets == language.end() || !targets->is_array()) continue;
    for (const auto& target : *targets) {
      if (!target.is_string() || target.get_ref<const std::string&>() == source) continue;
      if (target.get_ref<const std::string&>() == "zt") out.oldChineseCodes = true;
      out.pairs.emplace_back(fromLibreCode(source), fromLibreCode(target.get_ref<const std::string&>()));
    }
  }
  return out;
}

std::string libreRequest(const std::vector<std::string>& texts, std::string_view source,
                         std::string_view target, std::string_view apiKey) {
  json body = {{"q", texts}, {"source", std::string(source)}, {"target", std::string(target)},
               {"format", "text"}};
  if (!apiKey.empty()) body["api_key"] = std::string(apiKey);
  return dump(body);
}

std::optional<std::vector<std::string>> libreAnswer(std::string_view body) {
  const json root = parse(body);
  if (!root.is_object()) return std::nullopt;
  const auto translated = root.find("translatedText");
  if (translated == root.end() || !translated->is_array()) return std::nullopt;
  std::vector<std::string> out;
  for (const auto& text : *translated) {
    if (!text.is_string()) return std::nullopt;
    out.push_back(text.get<std::string>());
  }
  return out;
}

std::string ollamaRequest(std::string_view model, std::string_view system, std::string_view user,
                          size_t count) {
  return dump({{"model", std::string(model)},
               {"messages", messages(system, user)},
               {"stream", false},
               {"format", arraySchema(count)},
               {"options", {{"temperature", 0}}},
               {"keep_alive", "30m"}});
}

std::string openaiRequest(std::string_view model, std::string_view system, std::string_view user,
                          size_t count, bool jsonSchema) {
  json body = {{"model", std::string(model)},
               {"messages", messages(system, user)},
               {"temperature", 0},
               {"stream", false}};
  // Structured output wants an object at the top; the answer reader takes the array out of it.
  if (jsonSchema)
    body["response_format"] = {
        {"type", "json_schema"},
        {"json_schema",
         {{"name", "translations"},
          {"strict", true},
          {"schema",
           {{"type", "object"},
            {"properties", {{"translations", arraySchema(count)}}},
            {"required", json::array({"translations"})},
            {"additionalProperties", false}}}}}};
  return dump(body);
}

std::optional<std::string> ollamaContent(std::string_view body) {
  const auto contentOf = [](const json& chunk) -> std::optional<std::string> {
    if (!chunk.is_object()) return std::nullopt;
    const auto message = chunk.find("message");
    if (message == chunk.end() || !message->is_object()) return std::nullopt;
    const auto content = message->find("content");
    if (content == message->end() || !content->is_string()) return std::nullopt;
    return content->get<std::string>();
  };
  const json root = parse(body);
  if (!root.is_discarded()) return contentOf(root);
  // A streamed answer: one JSON object per line, each holding the next piece.
  std::string joined;
  bool any = false;
  size_t start = 0;
  while (start < body.size()) {
    size_t end = body.find('\n', start);
    if (end == std::string_view::npos) end = body.size();
    const std::string_view line = body.substr(start, end - start);
    start = end + 1;
    if (line.find_first_not_of(" \r\t") == std::string_view::npos) continue;
    const std::optional<std::string> piece = contentOf(parse(line));
    if (!piece) return std::nullopt;
    joined += *piece;
    any = true;
  }
  if (!any) return std::nullopt;
  return joined;
}

std::optional<std::string> openaiContent(std::string_view body) {
  const json root = parse(body);
  if (!root.is_object()) return std::nullopt;
  const auto choices = root.find("choices");
  if (choices == root.end() || !choices->is_array() || choices->empty()) return std::nullopt;
  const json& first = (*choices)[0];
  if (!first.is_object()) return std::nullopt;
  const auto message = first.find("message");
  if (message == first.end() || !message->is_object()) return std::nullopt;
  const auto content = message->find("content");
  if (content == message->end() || !content->is_string()) return std::nullopt;
  return content->get<std::string>();
}

}  // namespace qy::platform::ServerWire
