// Encoding requests and checking answers of the JSON-lines protocol.
#include "platform/command_protocol.h"

#include <nlohmann/json.hpp>

#include "core/base/unicode.h"

namespace qy::platform::CommandProtocol {
namespace {

constexpr size_t kMaxErrorBytes = 2000;

std::string quoted(std::string_view program) { return "翻译程序 " + std::string(program); }

// A description from outside, made safe to show: valid UTF-8, one line, bounded.
std::string readable(std::string_view text) {
  std::string out = Unicode::repairUtf8(std::string(Unicode::graphemePrefix(
      Unicode::repairUtf8(text.substr(0, kMaxErrorBytes * 2)), kMaxErrorBytes)));
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return out;
}

}  // namespace

std::string request(std::string_view from, std::string_view to,
                    const std::vector<std::string>& texts, uint64_t id) {
  nlohmann::json message = {{"from", std::string(from)}, {"to", std::string(to)},
                            {"texts", nlohmann::json::array()}, {"id", id}};
  auto& list = message["texts"];
  for (const auto& text : texts) list.push_back(text);
  std::string line = message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  line += '\n';
  return line;
}

Answer parseAnswer(std::string_view line, size_t expected, std::string_view program, uint64_t id) {
  Answer answer;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const nlohmann::json root = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (!root.is_object()) {
    answer.error = quoted(program) + " 的回答无法识别";
    return answer;
  }
  if (const auto echoed = root.find("id");
      echoed != root.end() && !(echoed->is_number_unsigned() && echoed->get<uint64_t>() == id)) {
    answer.error = quoted(program) + " 的回答与请求对不上";
    return answer;
  }
  if (const auto error = root.find("error"); error != root.end()) {
    answer.reportedByProgram = true;
    const std::string description =
        error->is_string() ? readable(error->get_ref<const std::string&>()) : std::string();
    answer.error = quoted(program) + " 报告错误" + (description.empty() ? "" : "：" + description);
    return answer;
  }
  const auto translations = root.find("translations");
  if (translations == root.end() || !translations->is_array()) {
    answer.error = quoted(program) + " 的回答无法识别";
    return answer;
  }
  if (translations->size() != expected) {
    answer.error = quoted(program) + " 返回了 " + std::to_string(translations->size()) +
                   " 条译文，应为 " + std::to_string(expected) + " 条";
    return answer;
  }
  for (const auto& item : *translations) {
    if (!item.is_string()) {
      answer.error = quoted(program) + " 的回答无法识别";
      answer.translations.clear();
      return answer;
    }
    answer.translations.push_back(item.get<std::string>());
  }
  return answer;
}

}  // namespace qy::platform::CommandProtocol
