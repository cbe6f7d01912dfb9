// Texts the settings window shows that are computed from values: the cache size line with its
// file-style byte count, the extension's registration line, the stepper and slider captions,
// the colour pickers' conversions to and from a settings field, and the test translation's
// sample and outcome. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/engine/cache_files.h"
#include "core/translate/translator.h"

namespace qy::app {

// A byte count as file sizes are shown: decimal units (1 KB = 1000 bytes), whole kilobytes,
// one decimal for megabytes and two above, trailing zeros dropped ("2 KB", "1.2 MB",
// "3.25 GB"); counts under 1000 in bytes ("512 字节").
std::string formatFileBytes(int64_t bytes);

// "没有缓存" for no files, else "3 封邮件，2 KB".
std::string cacheInfoText(CacheFiles::Size size);

// The registration of the extension's user service, as `systemctl --user is-enabled` answers.
enum class Registration { notRegistered, disabled, enabled };
Registration registrationFrom(std::string_view systemctlOutput);
// The extension line: whether the service answers on its socket (however it was started) comes
// first, then how it is registered.
std::string registrationText(Registration registration, bool running = false);

// The language-pack row's outcome line after an install of the pair named `pair`
// ("英语 → 西班牙语"): done, or "✗ " and the reason.
std::string packResultText(const std::string& pair, const std::optional<std::string>& error);

// A colour field's text read as a colour picker reads it: "#" and spaces trimmed from both
// ends, then an unsigned 32-bit hexadecimal number (an optional "+" first) whose low 24 bits
// are red, green and blue; anything else is 0x34A77A. No short form: "#FFF" is 0x000FFF.
uint32_t colorFromHex(std::string_view text);
// "#RRGGBB" in upper case.
std::string hexString(uint32_t rgb);
// The value an <input type="color"> takes: "#rrggbb" in lower case.
std::string pickerValue(uint32_t rgb);

std::string fontScaleText(int64_t percent);   // "字号 100%"
std::string opacityText(int64_t percent);     // "不透明度 80%"
std::string firstPaintText(double seconds);   // "2.5 秒就先显示"

// The sample the test translation sends: Chinese for a target beginning with "en", else English.
std::string testSample(std::string_view targetLanguage);
// "✓ sample\n→ translation" when the dictionary holds a non-empty translation of the sample,
// else "✗ " and the first error, or "没有拿到译文" when there is none.
std::string testResultText(const std::string& sample, const TranslationDict& result,
                           const std::vector<std::string>& errors);

}  // namespace qy::app
