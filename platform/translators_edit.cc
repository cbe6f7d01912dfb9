// Editing translators.json in place of the user; see translators_edit.h.
#include "platform/translators_edit.h"

#include <string_view>

#include "core/base/file_io.h"
#include "core/base/own_directory.h"
#include "platform/translators_config.h"

namespace qy::platform::TranslatorsEdit {
namespace {

using Json = nlohmann::ordered_json;

// "http://127.0.0.1:11434/" and "http://127.0.0.1:11434" name the same server.
std::string_view withoutTrailingSlash(std::string_view url) {
  while (url.ends_with('/')) url.remove_suffix(1);
  return url;
}

bool sameServer(const Json& a, const Json& b) {
  const auto text = [](const Json& entry, const char* key) -> std::string_view {
    const auto found = entry.find(key);
    return found != entry.end() && found->is_string()
               ? std::string_view(found->get_ref<const std::string&>())
               : std::string_view();
  };
  return a.is_object() && text(a, "api") == text(b, "api") &&
         withoutTrailingSlash(text(a, "url")) == withoutTrailingSlash(text(b, "url"));
}

}  // namespace

std::optional<std::string> putServerFirst(const std::filesystem::path& file, const Json& entry,
                                          bool preferEveryPair) {
  // A file the providers would not use is not ours to rewrite: the user decides what it is.
  if (std::optional<std::string> refusal = TranslatorsConfig::refusal(file))
    return "没有改动 translators.json：" + *refusal;
  const auto directory = OwnDirectory::open(file.has_parent_path() ? file.parent_path() : ".",
                                            {.followOwnLink = true});
  if (!directory.ok()) return "没有改动 translators.json：" + directory.refusal;
  const std::string name = file.filename().string();

  Json root = Json::object();
  const FileIO::ReadResult current =
      FileIO::readAt(directory.fd.get(), name, TranslatorsConfig::kMaxFileBytes);
  if (current.status == FileIO::ReadStatus::ok) {
    root = Json::parse(current.content, nullptr, /*allow_exceptions=*/false);
    if (!root.is_object()) return "没有改动 translators.json：" + file.string() + " 不是 JSON 对象";
  } else if (current.status != FileIO::ReadStatus::missing) {
    return "没有改动 translators.json：无法读取 " + file.string();
  }

  Json servers = Json::array();
  servers.push_back(entry);
  if (const auto old = root.find("servers"); old != root.end() && old->is_array()) {
    for (const Json& other : *old)
      if (!sameServer(other, entry)) servers.push_back(other);
  }
  root["servers"] = std::move(servers);
  if (preferEveryPair) root["apertium"] = false;

  // A model name from a server may hold invalid UTF-8; the file gets U+FFFD instead.
  const std::string text = root.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
  if (!FileIO::writeAtomicallyAt(directory.fd.get(), name, text, /*sync=*/true))
    return "无法写入 " + file.string();
  return std::nullopt;
}

}  // namespace qy::platform::TranslatorsEdit
