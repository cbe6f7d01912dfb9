// Regex: a compiled PCRE2 pattern with the options every pattern of the system uses: UTF, Unicode
// properties for \w \b \s \d, invalid UTF-8 in the subject tolerated (it never matches a character
// class), and the JIT where available. \s matches Unicode White_Space as ICU's does; \w does not
// (see QY_WORD_CHARS).
//
// Compile each pattern once per process, typically as a function-local static:
//   static const Regex kTag(R"(<meta\b[^>]*>)", Regex::kCaseless);
// A compiled Regex is immutable and may be used from any number of threads at once; each thread
// matches with its own match data and JIT stack. A pattern that fails to compile is a programming
// error: the constructor aborts with the pattern and PCRE2's message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

// The characters ICU counts as word characters: letters in the wide Alphabetic sense, combining
// marks, decimal digits, connector punctuation and the two zero-width joiners. PCRE2's \w leaves
// out marks such as Indic vowel signs and takes in other numbers such as "²", so patterns that
// mean a word put this inside a class instead: R"([)" QY_WORD_CHARS R"(-]+)".
#define QY_WORD_CHARS R"(\p{Alphabetic}\p{M}\p{Nd}\p{Pc}\x{200C}\x{200D})"

namespace qy {

class Regex {
 public:
  static constexpr uint32_t kCaseless = 0x00000008u;   // PCRE2_CASELESS
  static constexpr uint32_t kDotAll = 0x00000020u;     // PCRE2_DOTALL
  static constexpr uint32_t kMultiline = 0x00000400u;  // PCRE2_MULTILINE

  // One match: the whole match and the capture groups, as half-open byte ranges into the
  // subject. A group that did not take part has begin == end == kUnset.
  struct Match {
    static constexpr size_t kUnset = static_cast<size_t>(-1);
    struct Range {
      size_t begin = kUnset;
      size_t end = kUnset;
      bool matched() const { return begin != kUnset; }
    };
    std::vector<Range> groups;  // groups[0] is the whole match
    size_t begin() const { return groups[0].begin; }
    size_t end() const { return groups[0].end; }
    std::string_view group(std::string_view subject, size_t i) const;
  };

  explicit Regex(std::string_view pattern, uint32_t options = 0);
  ~Regex();
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;

  // The first match starting at or after byte offset `start`, or nothing.
  std::optional<Match> search(std::string_view subject, size_t start = 0) const;
  // Whether the pattern matches anywhere in the subject.
  bool contains(std::string_view subject) const;
  // Whether the pattern matches the whole subject (anchored at both ends).
  bool matchesWhole(std::string_view subject) const;
  // Every non-overlapping match, left to right (an empty match advances by one character).
  std::vector<Match> findAll(std::string_view subject) const;

 private:
  void* code_ = nullptr;  // pcre2_code*
  void* anchoredCode_ = nullptr;  // the same pattern compiled with PCRE2_ANCHORED|PCRE2_ENDANCHORED
  size_t groupCount_ = 0;
};

}  // namespace qy
