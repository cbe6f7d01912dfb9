// ApertiumFormat: the text side of talking to an Apertium stage pipeline in null-flush mode.
// - One record per segment: an id superblank "[qy:N]", the escaped text, the superblank "[][\n]"
//   that makes the pipeline flush it, and a NUL. The id comes back at the head of the output
//   record, so every translation is checked against the segment it belongs to.
// - Escaping does the text formatter's work: a backslash before the stream's special characters,
//   '~', line breaks and other control characters inside superblanks (passed through untouched),
//   NUL (the record separator) as a space, invalid UTF-8 as U+FFFD.
// - The language codes in mode names ("eng-spa", "fr-es", "spa-eng_US") as this system writes
//   them, and the stage commands that apertium-wblank-mode prints for a mode.
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qy::platform::ApertiumFormat {

std::string record(uint64_t id, std::string_view text);
// The text of an output record whose id is `id`; nothing when the record carries another id (the
// pipeline is out of step).
std::optional<std::string> translation(uint64_t id, std::string_view outputRecord);

std::string escape(std::string_view text);
std::string unescape(std::string_view stream);

// "eng" → "en", "fra" → "fr", "nob" → "nb", "hbs" → "sh"; two-letter and unknown codes as they are,
// lower-cased. Aliases a recogniser may use are folded too ("hr", "sr", "bs" → "sh", "no" → "nb").
std::string languageCode(std::string_view code);

struct ModeName {
  std::string name;     // file name without ".mode"
  std::string source;   // as languageCode() gives it
  std::string target;
  std::string variant;  // "US" for "spa-eng_US"; empty for none
};
// Nothing for names that are not a plain pair ("eco-es-fr", "en-es-debug").
std::optional<ModeName> parseModeName(std::string_view name);

// The stages of a pipeline as apertium-wblank-mode prints it: words split as the shell would for
// plain and quoted words, "|" between stages, "$1" replaced by `generatorOption`, "$2" dropped.
// Nothing when the text uses any other shell syntax.
std::optional<std::vector<std::vector<std::string>>> parseStages(std::string_view commandLine,
                                                                 std::string_view generatorOption);

}  // namespace qy::platform::ApertiumFormat
