// Tokenizing and segmenting stay linear on hostile input: each pattern is about 1 MB and should
// run within 3x the time of 1 MB of benign newsletter HTML (compare the bytes_per_second column).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

#include "bench/html_inputs.h"
#include "core/doc/html_doc.h"
#include "core/doc/html_tokenizer.h"

namespace qy::bench {
namespace {

constexpr size_t kMegabyte = 1 << 20;

// 50,000 unclosed <div>, then 50,000 end tags of an element that is not open.
std::string unclosedDivs() {
  std::string out = repeated("<div>", 50000 * 5);
  out += repeated("</span>", 50000 * 7);
  return out;
}

const std::vector<std::pair<std::string, std::string>>& inputs() {
  static const std::vector<std::pair<std::string, std::string>> kInputs = {
      {"benign_newsletter", newsletter(kMegabyte)},
      {"unclosed_quotes", repeated("<a title='x>y \"z> ", kMegabyte)},
      {"quote_after_tag", repeated("<a'>'", kMegabyte)},
      {"tag_start_apostrophe", repeated("<a'", kMegabyte)},
      {"unclosed_comments", repeated("<!-- open ", kMegabyte)},
      {"unclosed_scripts", repeated("<script>var a = 1;", kMegabyte)},
      {"unclosed_title_style", repeated("<title>t<style>s", kMegabyte)},
      {"br_runs_blank_text", repeated("<br> &nbsp; <br>\n<!-- --> ", kMegabyte)},
      {"br_runs_between_words", repeated("word <br> &nbsp; ", kMegabyte)},
      {"lone_angles", repeated("a < b <3 </ ", kMegabyte)},
      {"unclosed_divs_stray_ends", unclosedDivs()},
  };
  return kInputs;
}

// Hostile inputs hold up to 24 times more tokens per byte than mail does; the per-token cost
// shows that the extra time is the token count, not rescanning.
void countTokens(benchmark::State& state, const std::string& html) {
  const double tokens = static_cast<double>(HTMLTokenizer::tokenize(html).size());
  state.counters["tokens"] = tokens;
  state.counters["per_token"] = benchmark::Counter(tokens * static_cast<double>(state.iterations()),
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Tokenize(benchmark::State& state, const std::string* html) {
  for (auto _ : state) benchmark::DoNotOptimize(HTMLTokenizer::tokenize(*html));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * html->size()));
  countTokens(state, *html);
}

void BM_Segment(benchmark::State& state, const std::string* html) {
  for (auto _ : state) {
    HTMLDoc doc(*html, false);
    benchmark::DoNotOptimize(doc.segments().data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * html->size()));
  countTokens(state, *html);
}

const bool kRegistered = [] {
  for (const auto& [name, html] : inputs()) {
    benchmark::RegisterBenchmark(("tokenize/" + name).c_str(), BM_Tokenize, &html)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("segment/" + name).c_str(), BM_Segment, &html)->Unit(benchmark::kMillisecond);
  }
  return true;
}();

}  // namespace
}  // namespace qy::bench

BENCHMARK_MAIN();
