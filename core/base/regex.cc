// PCRE2 binding of Regex: per-thread match data and JIT stack, patterns compiled once.
#include "core/base/regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace qy {
namespace {

constexpr uint32_t kBaseOptions = PCRE2_UTF | PCRE2_UCP | PCRE2_MATCH_INVALID_UTF;

// Per-thread matching resources: a JIT stack large enough for deep backtracking on long
// subjects, and a match context that uses it.
struct ThreadMatcher {
  pcre2_jit_stack* stack = nullptr;
  pcre2_match_context* context = nullptr;
  ThreadMatcher() {
    stack = pcre2_jit_stack_create(64 * 1024, 8 * 1024 * 1024, nullptr);
    context = pcre2_match_context_create(nullptr);
    if (stack && context) pcre2_jit_stack_assign(context, nullptr, stack);
  }
  ~ThreadMatcher() {
    pcre2_match_context_free(context);
    pcre2_jit_stack_free(stack);
  }
};

ThreadMatcher& threadMatcher() {
  thread_local ThreadMatcher matcher;
  return matcher;
}

pcre2_code* compile(std::string_view pattern, uint32_t options) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                   options | kBaseOptions, &error, &offset, nullptr);
  if (!code) {
    PCRE2_UCHAR message[256];
    pcre2_get_error_message(error, message, sizeof message);
    std::fprintf(stderr, "invalid pattern at %zu: %s\n  %.*s\n", static_cast<size_t>(offset),
                 reinterpret_cast<const char*>(message), static_cast<int>(pattern.size()),
                 pattern.data());
    std::abort();
  }
  pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);  // falls back to the interpreter on failure
  return code;
}

// Per-thread match data with room for every pattern's groups (none of ours has 63).
constexpr uint32_t kMaxPairs = 64;

pcre2_match_data* threadMatchData() {
  struct Holder {
    pcre2_match_data* data = pcre2_match_data_create(kMaxPairs, nullptr);
    ~Holder() { pcre2_match_data_free(data); }
  };
  thread_local Holder holder;
  return holder.data;
}

// Runs one match; fills `out` when it matched.
bool run(void* codePtr, size_t groupCount, std::string_view subject, size_t start,
         Regex::Match* out) {
  auto* code = static_cast<pcre2_code*>(codePtr);
  if (start > subject.size()) return false;
  pcre2_match_data* data = threadMatchData();
  if (!data) return false;
  // An empty subject still needs a valid pointer.
  const auto* bytes = reinterpret_cast<PCRE2_SPTR>(subject.data() ? subject.data() : "");
  int rc = pcre2_match(code, bytes, subject.size(), start, 0, data, threadMatcher().context);
  if (rc < 0) return false;  // no match, or a resource limit: treated as no match
  if (out) {
    PCRE2_SIZE* vector = pcre2_get_ovector_pointer(data);
    out->groups.assign(groupCount + 1, {});
    for (size_t i = 0; i <= groupCount && i < static_cast<size_t>(rc); ++i) {
      if (vector[2 * i] == PCRE2_UNSET) continue;
      out->groups[i] = {vector[2 * i], vector[2 * i + 1]};
    }
  }
  return true;
}

}  // namespace

std::string_view Regex::Match::group(std::string_view subject, size_t i) const {
  if (i >= groups.size() || !groups[i].matched()) return {};
  return subject.substr(groups[i].begin, groups[i].end - groups[i].begin);
}

Regex::Regex(std::string_view pattern, uint32_t options) {
  code_ = compile(pattern, options);
  anchoredCode_ = compile(pattern, options | PCRE2_ANCHORED | PCRE2_ENDANCHORED);
  uint32_t count = 0;
  pcre2_pattern_info(static_cast<pcre2_code*>(code_), PCRE2_INFO_CAPTURECOUNT, &count);
  if (count >= kMaxPairs) {
    std::fprintf(stderr, "pattern has too many groups: %.*s\n", static_cast<int>(pattern.size()),
                 pattern.data());
    std::abort();
  }
  groupCount_ = count;
}

Regex::~Regex() {
  pcre2_code_free(static_cast<pcre2_code*>(code_));
  pcre2_code_free(static_cast<pcre2_code*>(anchoredCode_));
}

std::optional<Regex::Match> Regex::search(std::string_view subject, size_t start) const {
  Match match;
  if (!run(code_, groupCount_, subject, start, &match)) return std::nullopt;
  return match;
}

bool Regex::contains(std::string_view subject) const {
  return run(code_, groupCount_, subject, 0, nullptr);
}

bool Regex::matchesWhole(std::string_view subject) const {
  return run(anchoredCode_, groupCount_, subject, 0, nullptr);
}

std::vector<Regex::Match> Regex::findAll(std::string_view subject) const {
  std::vector<Match> matches;
  size_t start = 0;
  while (start <= subject.size()) {
    Match match;
    if (!run(code_, groupCount_, subject, start, &match)) break;
    size_t end = match.end();
    if (end == match.begin()) {
      // Step over one whole UTF-8 character after an empty match.
      end = match.begin() + 1;
      while (end < subject.size() && (static_cast<unsigned char>(subject[end]) & 0xC0) == 0x80) ++end;
    }
    matches.push_back(std::move(match));
    start = end;
  }
  return matches;
}

}  // namespace qy
