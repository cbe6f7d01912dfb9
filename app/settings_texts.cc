// Texts of the settings window computed from values; see settings_texts.h.
#include "app/settings_texts.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace qy::app {
namespace {

// The colour a field that is no hexadecimal number shows as: the default accent colour.
constexpr uint32_t kFallbackColor = 0x34A77A;

// Decimal units, as file managers count file sizes.
constexpr double kUnit = 1000.0;

std::string trimmedNumber(double value, int decimals) {
  // Halves round up, as people read sizes (4,500 bytes is "5 KB"); printf alone would round
  // them to even.
  const double scale = std::pow(10.0, decimals);
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, std::round(value * scale) / scale);
  std::string out = text;
  if (out.find('.') != std::string::npos) {
    while (out.back() == '0') out.pop_back();
    if (out.back() == '.') out.pop_back();
  }
  return out;
}

}  // namespace

std::string formatFileBytes(int64_t bytes) {
  if (bytes < 0) bytes = 0;
  if (bytes < 1000) return std::to_string(bytes) + " 字节";
  struct Unit {
    const char* name;
    int decimals;
  };
  static constexpr Unit kUnits[] = {{"KB", 0}, {"MB", 1}, {"GB", 2}, {"TB", 2}, {"PB", 2}};
  double value = static_cast<double>(bytes) / kUnit;
  size_t unit = 0;
  // Move up a unit while the rounded value would read 1000 or more (999,999 bytes is "1 MB").
  while (unit + 1 < std::size(kUnits)) {
    const double scale = std::pow(10.0, kUnits[unit].decimals);
    if (std::round(value * scale) / scale < kUnit) break;
    value /= kUnit;
    ++unit;
  }
  return trimmedNumber(value, kUnits[unit].decimals) + " " + kUnits[unit].name;
}

std::string cacheInfoText(CacheFiles::Size size) {
  if (size.files == 0) return "没有缓存";
  return std::to_string(size.files) + " 封邮件，" + formatFileBytes(size.bytes);
}

Registration registrationFrom(std::string_view output) {
  // The first non-empty line is the unit file's state.
  std::string_view line;
  while (!output.empty()) {
    const size_t end = output.find('\n');
    line = output.substr(0, end);
    if (!line.empty()) break;
    output = end == std::string_view::npos ? std::string_view() : output.substr(end + 1);
  }
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
  if (line == "enabled" || line == "enabled-runtime") return Registration::enabled;
  // States of a unit file that exists but does not start with the user's session. Anything
  // else ("not-found", an error text, nothing at all) means systemd knows no such unit.
  static constexpr std::string_view kInstalledOff[] = {
      "disabled", "linked", "linked-runtime", "masked", "masked-runtime",
      "static",   "indirect", "generated",    "transient", "alias"};
  for (std::string_view state : kInstalledOff)
    if (line == state) return Registration::disabled;
  return Registration::notRegistered;
}

std::string registrationText(Registration registration, bool running) {
  if (running) {
    switch (registration) {
      case Registration::enabled:
        return "服务正在运行，已在 Mail 里启用";
      case Registration::disabled:
        return "服务正在运行（登录时不会自动启动：运行“systemctl --user enable "
               "quillory-ext.service”让它自动启动）";
      case Registration::notRegistered:
        break;
    }
    return "服务正在运行（登录时不会自动启动：运行“quillory-ext install-service”让它自动启动）";
  }
  switch (registration) {
    case Registration::enabled:
      return "已在 Mail 里启用";
    case Registration::disabled:
      return "还没启用：运行“systemctl --user enable --now quillory-ext.service”";
    case Registration::notRegistered:
      break;
  }
  return "系统还没登记这个扩展。运行“quillory-ext install-service”后点“重新检查”。";
}

std::string packResultText(const std::string& pair, const std::optional<std::string>& error) {
  if (error) return "✗ " + *error;
  return "✓ 「" + pair + "」语言包已下载并安装";
}

uint32_t colorFromHex(std::string_view text) {
  while (!text.empty() && (text.front() == '#' || text.front() == ' ')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == '#' || text.back() == ' ')) text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return kFallbackColor;
  uint64_t value = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else return kFallbackColor;
    value = value * 16 + static_cast<uint64_t>(digit);
    if (value > UINT32_MAX) return kFallbackColor;
  }
  return static_cast<uint32_t>(value) & 0xFFFFFF;
}

std::string hexString(uint32_t rgb) {
  char text[8];
  std::snprintf(text, sizeof text, "#%02X%02X%02X", (rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF,
                rgb & 0xFF);
  return text;
}

std::string pickerValue(uint32_t rgb) {
  char text[8];
  std::snprintf(text, sizeof text, "#%02x%02x%02x", (rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF,
                rgb & 0xFF);
  return text;
}

std::string fontScaleText(int64_t percent) { return "字号 " + std::to_string(percent) + "%"; }
std::string opacityText(int64_t percent) { return "不透明度 " + std::to_string(percent) + "%"; }

std::string firstPaintText(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%.1f 秒就先显示", seconds);
  return text;
}

std::string testSample(std::string_view targetLanguage) {
  if (targetLanguage.starts_with("en")) return "您好，您的订单已发货，预计三天内送达。";
  return "Hello! Your order has shipped and should arrive within three days.";
}

std::string testResultText(const std::string& sample, const TranslationDict& result,
                           const std::vector<std::string>& errors) {
  const auto found = result.find(sample);
  if (found != result.end() && !found->second.empty())
    return "✓ " + sample + "\n→ " + found->second;
  return "✗ " + (errors.empty() ? std::string("没有拿到译文") : errors.front());
}

}  // namespace qy::app
