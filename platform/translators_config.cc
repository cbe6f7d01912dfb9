// Tolerant reading of translators.json, and the ownership check before it is read.
#include "platform/translators_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "core/base/file_io.h"
#include "core/base/own_directory.h"

namespace qy::platform {
namespace {

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
