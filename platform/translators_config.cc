// Tolerant reading of translators.json, and the owner-only check before it is read.
#include "platform/translators_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace qy::platform {
namespace {

constexpr size_t kMaxFileBytes = 1024 * 1024;

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
  const auto pairs = entry.find("pairs");
  if (pairs != entry.end() && pairs->is_array()) {
    for (const auto& pair : *pairs) {
      if (!pair.is_array() || pair.size() != 2 || !pair[0].is_string() || !pair[1].is_string())
        continue;
      spec.pairs.emplace_back(pair[0].get<std::string>(), pair[1].get<std::string>());
    }
  }
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
  return config;
}

TranslatorsConfig TranslatorsConfig::load(const std::filesystem::path& file) {
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return {};
  struct stat st {};
  std::string text;
  const bool ownerOnly = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == getuid() &&
                         (st.st_mode & (S_IRWXG | S_IRWXO)) == 0;
  if (ownerOnly && static_cast<size_t>(st.st_size) <= kMaxFileBytes) {
    char buffer[16 * 1024];
    ssize_t r;
    while ((r = read(fd, buffer, sizeof buffer)) > 0 && text.size() <= kMaxFileBytes)
      text.append(buffer, static_cast<size_t>(r));
  }
  close(fd);
  if (!ownerOnly || text.size() > kMaxFileBytes) return {};
  return parse(text).value_or(TranslatorsConfig{});
}

}  // namespace qy::platform
