// Writing and removing the native-messaging manifest for Thunderbird.
#include "extension/commands/thunderbird_install.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "core/base/file_io.h"
#include "extension/commands/command_help.h"

namespace qy {
namespace fs = std::filesystem;

namespace {

void printAddonHelp(std::FILE* out, const fs::path& binary) {
  if (auto xpi = findAddonFile(binary)) {
    std::fprintf(out, "附加组件文件：%s\n", xpi->c_str());
  } else {
    std::fprintf(out,
                 "没有找到附加组件文件 quillory.xpi：在源代码目录运行 "
                 "cmake --build build --target thunderbird_xpi 生成 build/quillory.xpi。\n");
  }
  std::fprintf(out,
               "在 Thunderbird 中安装：打开“工具”菜单的“附加组件和主题”，点齿轮按钮，"
               "选“从文件安装附加组件…”，选中上面的文件；装好后重新启动 Thunderbird。\n");
}

}  // namespace

fs::path nativeManifestPath(const fs::path& home) {
  return home / ".mozilla" / "native-messaging-hosts" / (std::string(kNativeHostName) + ".json");
}

nlohmann::json nativeManifest(const fs::path& binary) {
  return {{"name", kNativeHostName},
          {"description", "Quillory：在本机翻译邮件"},
          {"path", binary.string()},
          {"type", "stdio"},
          {"allowed_extensions", {kThunderbirdAddonId}}};
}

bool isBrowserLaunch(const std::vector<std::string>& args) {
  if (args.empty() || args.size() > 2) {
    return false;
  }
  const fs::path manifest(args[0]);
  return manifest.is_absolute() && manifest.extension() == ".json" &&
         (args.size() == 1 || args[1] == kThunderbirdAddonId);
}

std::optional<fs::path> findAddonFile(const fs::path& binary) {
  const fs::path dir = binary.parent_path();
  // The build folder keeps the binary in extension/ and the add-on at its top; an installed
  // binary sits in bin/ beside share/.
  for (const fs::path& candidate : {dir.parent_path() / "quillory.xpi",
                                    dir.parent_path() / "share" / "quillory" / "quillory.xpi"}) {
    std::error_code ec;
    if (fs::is_regular_file(candidate, ec)) {
      return candidate;
    }
  }
  return std::nullopt;
}

int runInstallThunderbird(const std::vector<std::string>& args, const fs::path& home,
                          const fs::path& binary, std::FILE* out, std::FILE* err) {
  if (!args.empty()) {
    return reportUsageError(err, "install-thunderbird", UsageMessage::stray(args[0]));
  }
  const fs::path manifest = nativeManifestPath(home);
  std::error_code ec;
  fs::create_directories(manifest.parent_path(), ec);
  if (ec || !FileIO::writeAtomically(manifest, nativeManifest(binary).dump(2) + "\n", true)) {
    std::fprintf(err, "quillory-ext: 无法写入 %s%s%s\n", manifest.c_str(), ec ? "：" : "",
                 ec ? ec.message().c_str() : "");
    return 1;
  }
  std::fprintf(out, "已写入 Thunderbird 的本机程序清单：%s\n", manifest.c_str());
  printAddonHelp(out, binary);
  return 0;
}

int runUninstallThunderbird(const std::vector<std::string>& args, const fs::path& home,
                            std::FILE* out, std::FILE* err) {
  if (!args.empty()) {
    return reportUsageError(err, "uninstall-thunderbird", UsageMessage::stray(args[0]));
  }
  const fs::path manifest = nativeManifestPath(home);
  std::error_code ec;
  if (!fs::remove(manifest, ec)) {
    if (ec) {
      std::fprintf(err, "quillory-ext: 无法删除 %s：%s\n", manifest.c_str(), ec.message().c_str());
      return 1;
    }
    std::fprintf(out, "没有找到 %s，无需删除。\n", manifest.c_str());
  } else {
    std::fprintf(out, "已删除 Thunderbird 的本机程序清单：%s\n", manifest.c_str());
  }
  std::fprintf(out, "附加组件请在 Thunderbird 的“附加组件和主题”里移除。\n");
  return 0;
}

std::optional<fs::path> thunderbirdHome() {
  // Thunderbird expands `~` from $HOME, so the manifest goes where it will look.
  if (const char* home = std::getenv("HOME"); home && fs::path(home).is_absolute()) {
    return fs::path(home);
  }
  if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir && *entry->pw_dir) {
    return fs::path(entry->pw_dir);
  }
  return std::nullopt;
}

fs::path currentBinary() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : self;
}

}  // namespace qy
