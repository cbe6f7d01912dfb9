// The status header field that `decode --status-header` puts at the top of the output message:
//   X-Quillory-Status: translated; =?UTF-8?B?5bey57+76K+R5Li66KW/54+t54mZ6K+t?=
// Its value starts with one outcome keyword, so that filter rules can match on it, then "; " and
// the banner or the reason:
//   translated  every text was translated;
//   partial     translated, but the message was too long and only its beginning was;
//   pending     the translation was still running when the output was written;
//   error       the translation did not finish (the banner says why);
//   skipped     nothing was translated: signed or encrypted, already in the target language, no
//               text body, too large, translation off, or waiting for the user (manual trigger).
// The Chinese text goes into RFC 2047 encoded words (B encoding of UTF-8, whole characters per
// word) and the field is folded so that no line is longer than 76 columns. Pure functions; any
// thread.
#pragma once

#include <string>
#include <string_view>

#include "core/engine/engine.h"

namespace qy {

inline constexpr std::string_view kStatusFieldName = "X-Quillory-Status";
// The Subject's translation, beside the status when the message has one:
//   X-Quillory-Subject: =?UTF-8?B?5q+P5ZGo5paw6Ze7?=
inline constexpr std::string_view kSubjectFieldName = "X-Quillory-Subject";

// The outcome keyword of a result, and the text that follows it (the banner or the reason).
struct StatusValue {
  std::string keyword;
  std::string text;
};
StatusValue statusValue(const Engine::Result& result);

// The field, ending with `newline` ("\n" or "\r\n"), which also separates its folded lines.
std::string statusHeaderField(const Engine::Result& result, std::string_view newline);

// The subject field for the translated subject, folded and encoded as the status field is.
std::string subjectHeaderField(std::string_view subject, std::string_view newline);

// `message` with the status field (and the subject field, when the result has a subject) in
// front, in the message's own line ending. Fields of those names which
// the message already carries are dropped from its top-level header: a sender could otherwise
// write a status of their choosing. Everything else stays byte for byte.
std::string withStatusHeader(std::string_view message, const Engine::Result& result);

}  // namespace qy
