// Tolerant reading of translators.json, and the ownership check before it is read.
#include "platform/translators_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <variant>
#include <cstring>
#include <nlohmann/json.hpp>

#include "core/base/file_io.h"
#include "core/base/own_directory.h"

namespace qy::platform {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// The well-formed pairs of a "pairs" member; others are skipped.
Pairs parsePairs(const nlohmann::json& entry) {
  Pairs out;
  const auto pairs = entry.find("pairs");
  if (pairs == entry.end() || !pairs->is_array()) return out;
  for (const auto& pair : *pairs) {
    if (!pair.is_array() || pair.size() != 2 || !pair[0].is_string() || !pair[1].is_string())
      continue;
    out.emplace_back(pair[0].get<std::string>(), pair[1].get<std::string>());
  }
  return out;
}

std::string stringMember(const nlohmann::json& entry, const char* key) {
  const auto member = entry.find(key);
  return member != entry.end() && member->is_string() ? member->get<std::string>() : std::string();
}

// A server entry, or why it is not used ("servers 第 2 项：…").
std::variant<ServerSpec, std::string> parseServer(const nlohmann::json& entry, size_t index) {
  const std::string which = "servers 第 " + std::to_string(index + 1) + " 项";
  if (!entry.is_object()) return which + "不是对象，没有使用";
  const std::optional<ServerApi> api = parseApi(stringMember(entry, "api"));
  if (!api) return which + "的 api 应为 ollama、openai 或 libretranslate，没有使用";
  ServerSpec spec;
  spec.api = *api;
  spec.url = stringMember(entry, "url");
  if (spec.url.empty()) return which + "缺少 url，没有使用";
  if (const auto refusal = loopbackRefusal(spec.url)) return which + "：" + *refusal + "，没有使用";
  if (*api != ServerApi::libretranslate) {
    spec.model = stringMember(entry, "model");
    if (spec.model.empty())
      return which + "（" + std::string(apiDisplayName(*api)) + "）缺少 model，没有使用";
  }
  spec.pairs = parsePairs(entry);
  spec.apiKey = stringMember(entry, "apiKey");
  // Whole seconds, within bounds: 0 or a negative number would fail every request at once.
  if (const auto timeout = entry.find("timeoutSeconds"); timeout != entry.end() && timeout->is_number())
    spec.timeoutSeconds = static_cast<int>(std::clamp<double>(
        std::ceil(timeout->get<double>()), kMinTimeoutSeconds, kMaxTimeoutSeconds));
  return spec;
}

std::optional<CommandSpec> parseCommand(const nlohmann::json& entry) {
  if (!entry.is_object()) return std::nullopt;
  const auto command = entry.find("command");
  if (command == entry.end() || !command->is_array() || command->empty()) return std::nullopt;
  CommandSpec spec;
  for (const auto& arg : *command) {
    // A program argument cannot hold a NUL byte.
    if (!arg.is_string()) return std::nullopt;
    const auto& text = arg.get_ref<const std::string&>();
    if (text.find('\0') != std::string::npos) return std::nullopt;
    spec.command.push_back(text);
  }
  if (spec.command.front().empty()) return std::nullopt;
  spec.pairs = parsePairs(entry);
  return spec;
}

}  // namespace

std::optional<TranslatorsConfig> TranslatorsConfig::parse(std::string_view json) {
  const nlohmann::json root = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
  if (!root.is_object()) return std::nullopt;
  TranslatorsConfig config;
  if (const auto apertium = root.find("apertium"); apertium != root.end() && apertium->is_boolean())
    config.apertium = apertium->get<bool>();
  if (const auto commands = root.find("commands"); commands != root.end() && commands->is_array()) {
    for (const auto& entry : *commands)
      if (auto spec = parseCommand(entry)) config.commands.push_back(std::move(*spec));
  }
  if (const auto servers = root.find("servers"); servers != root.end() && servers->is_array()) {
    for (size_t i = 0; i < servers->size(); ++i) {
      auto parsed = parseServer((*servers)[i], i);
      if (auto* spec = std::get_if<ServerSpec>(&parsed)) config.servers.push_back(std::move(*spec));
      else config.serverRefusals.push_back(std::move(std::get<std::string>(parsed)));
    }
  }
  return config;
}

TranslatorsFile TranslatorsConfig::read(const std::filesystem::path& file) {
  const std::string shown = file.string();
  const auto directory = OwnDirectory::open(file.has_parent_path() ? file.parent_path() : ".",
                                            {.followOwnLink = true});
  if (!directory.ok()) return {{}, directory.refusal};
  const std::string name = file.filename().string();
  FileIO::Descriptor fd(
      ::openat(directory.fd.get(), name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd.valid()) {
    if (errno == ENOENT) return {};
    if (errno == ELOOP) return {{}, shown + " 是符号链接"};
    return {{}, "无法打开 " + shown + "（" + std::strerror(errno) + "）"};
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {{}, shown + " 不是普通文件"};
  // The file names programs to run: like ssh with its config, it must be the user's own and
  // changeable by nobody else. Being readable by others (an editor's 0644) does no harm.
  if (st.st_uid != ::geteuid())
    return {{}, shown + " 属于另一个用户（uid " + std::to_string(st.st_uid) + "）"};
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    return {{}, shown + " 可被组或其他用户写入（chmod go-w " + shown + " 之后才会使用）"};
  if (static_cast<uint64_t>(st.st_size) > kMaxFileBytes)
    return {{}, shown + " 大于 1 MiB"};
  auto content = FileIO::readOpen(fd.get(), kMaxFileBytes);
  if (content.status != FileIO::ReadStatus::ok)
    return {{}, "无法读取 " + shown};
  auto config = parse(content.content);
  if (!config) return {{}, shown + " 不是 JSON 对象"};
  return {std::move(*config), std::nullopt};
}

TranslatorsConfig TranslatorsConfig::load(const std::filesystem::path& file) {
  return read(file).config;
}

std::optional<std::string> TranslatorsConfig::refusal(const std::filesystem::path& file) {
  return read(file).refusal;
}

}  // namespace qy::platform
