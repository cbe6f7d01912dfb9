// Charset lookup and body text decoding on ICU converters.
#include "core/mime/mime_charset.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "core/base/regex.h"
#include "core/base/unicode.h"

namespace qy::MIME {
namespace {

constexpr size_t kSniffBytes = 4096;

struct ConverterCloser {
  void operator()(UConverter* c) const { ucnv_close(c); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

std::string_view asChars(ByteView bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The charset named in the first match of the meta pattern in the body's first 4096 bytes.
std::optional<std::string> sniffCharset(ByteView bytes) {
  static const Regex kCharset(R"(charset\s*=\s*["']?([)" QY_WORD_CHARS R"(\-]+))", Regex::kCaseless);
  const std::string prefix =
      Unicode::repairUtf8(asChars(bytes.first(std::min(bytes.size(), kSniffBytes))));
  auto match = kCharset.search(prefix);
  if (!match) return std::nullopt;
  // The name is the last piece of the matched text cut at '=', quotes and spaces.
  std::string_view matched = match->group(prefix, 0);
  std::string_view last;
  size_t pos = 0;
  while (pos < matched.size()) {
    size_t cut = matched.find_first_of("=\"' ", pos);
    if (cut == std::string_view::npos) cut = matched.size();
    if (cut > pos) last = matched.substr(pos, cut - pos);
    pos = cut + 1;
  }
  if (last.empty()) return std::nullopt;
  return std::string(last);
}

bool isUtf8(const StringEncoding& encoding) { return encoding.name == "UTF-8"; }

}  // namespace

std::optional<StringEncoding> stringEncoding(std::optional<std::string_view> charset) {
  if (!charset) return std::nullopt;
  std::string name = Unicode::lowercased(Unicode::trimBlanks(*charset));
  if (name.empty()) return std::nullopt;
  // ICU's GB2312 table is the narrow one: GBK bytes, which mail labelled GB2312 usually holds,
  // would decode to garbage without an error. GB18030 is a superset of both.
  if (name == "gb2312" || name == "gbk" || name == "gb_2312-80" || name == "x-gbk") {
    name = "gb18030";
  }
  if (name.find('\0') != std::string::npos) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  const char* canonical = ucnv_getCanonicalName(name.c_str(), "IANA", &status);
  if (U_FAILURE(status) || canonical == nullptr || *canonical == '\0') {
    status = U_ZERO_ERROR;
    canonical = ucnv_getCanonicalName(name.c_str(), "MIME", &status);
  }
  if (U_FAILURE(status) || canonical == nullptr || *canonical == '\0') {
    // Names mail uses that no standard registers ("cp1252", "windows-874", "x-mac-roman",
    // "sjis", "cp932"): the converter table's own aliases know them. Only the alias table is
    // consulted: a name is never opened as a file.
    status = U_ZERO_ERROR;
    canonical = ucnv_countAliases(name.c_str(), &status) > 0 && U_SUCCESS(status)
                    ? ucnv_getAlias(name.c_str(), 0, &status)
                    : nullptr;
  }
  if (U_FAILURE(status) || canonical == nullptr || *canonical == '\0') return std::nullopt;
  // Make sure a converter really opens under that name (some aliases open with a warning,
  // which is a success).
  status = U_ZERO_ERROR;
  Converter converter(ucnv_open(canonical, &status));
  if (U_FAILURE(status) || !converter) return std::nullopt;
  return StringEncoding{canonical};
}

std::optional<std::string> decodeStrict(ByteView bytes, const StringEncoding& encoding) {
  if (isUtf8(encoding)) {
    // ICU's UTF-8 decoding is exactly UTF-8 validation.
    if (!Unicode::isValidUtf8(asChars(bytes))) return std::nullopt;
    return std::string(asChars(bytes));
  }
  UErrorCode status = U_ZERO_ERROR;
  Converter converter(ucnv_open(encoding.name.c_str(), &status));
  if (U_FAILURE(status) || !converter) return std::nullopt;
  ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                      &status);
  if (U_FAILURE(status)) return std::nullopt;

  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2);
  // Converted in chunks so that a large body never needs one large UTF-16 buffer.
  std::array<UChar, 8192> utf16{};
  std::array<char, 8192 * 3> utf8{};
  const char* source = reinterpret_cast<const char*>(bytes.data());
  const char* sourceLimit = source + bytes.size();
  size_t carry = 0;  // a lead surrogate held back from the previous chunk
  for (;;) {
    UChar* target = utf16.data() + carry;
    status = U_ZERO_ERROR;
    ucnv_toUnicode(converter.get(), &target, utf16.data() + utf16.size(), &source, sourceLimit,
                   nullptr, /*flush=*/true, &status);
    const bool more = status == U_BUFFER_OVERFLOW_ERROR;
    if (U_FAILURE(status) && !more) return std::nullopt;
    const auto produced = static_cast<size_t>(target - utf16.data());
    size_t complete = produced;
    if (more && complete > 0 && U16_IS_LEAD(utf16[complete - 1])) --complete;
    UErrorCode utfStatus = U_ZERO_ERROR;
    int32_t written = 0;
    // Unpaired surrogates (from UTF-16 charsets) become U+FFFD, so the text stays valid UTF-8.
    u_strToUTF8WithSub(utf8.data(), static_cast<int32_t>(utf8.size()), &written, utf16.data(),
                       static_cast<int32_t>(complete), 0xFFFD, nullptr, &utfStatus);
    if (U_FAILURE(utfStatus)) return std::nullopt;
    out.append(utf8.data(), static_cast<size_t>(written));
    carry = produced - complete;
    if (carry > 0) utf16[0] = utf16[complete];
    if (!more) break;
  }
  return out;
}

std::string decodeString(ByteView bytes, std::optional<std::string_view> charset, bool isHTML) {
  std::optional<StringEncoding> encoding = stringEncoding(charset);
  // Only HTML is searched for a declaration, and only when the declared charset is unusable.
  if (!encoding && isHTML) {
    if (std::optional<std::string> sniffed = sniffCharset(bytes)) {
      encoding = stringEncoding(*sniffed);
    }
  }
  if (encoding) {
    if (std::optional<std::string> text = decodeStrict(bytes, *encoding)) return std::move(*text);
  }
  return Unicode::repairUtf8(asChars(bytes));
}

}  // namespace qy::MIME
