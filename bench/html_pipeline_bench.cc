// The whole HTML path for one message: tokenize + segment + render (bilingual, dark "on", a
// translation for every segment) on a 2 MB newsletter built from the corpus, next to gumbo's
// parse of the same bytes and a memchr scan for "<" as the floor. Compare bytes_per_second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "bench/html_inputs.h"
#include "core/doc/html_doc.h"

#ifdef QY_HAVE_GUMBO
#include <gumbo.h>
#endif

namespace qy::bench {
namespace {

const std::string& input() {
  static const std::string kHtml = newsletter(2 << 20);
  return kHtml;
}

void BM_TokenizeSegmentRender(benchmark::State& state) {
  const std::string& html = input();
  Config cfg;
  cfg.mode = "bilingual";
  cfg.darkMode = "on";
  TranslationDict dict;
  for (const std::string& text : HTMLDoc(html, false).segmentTexts()) dict[text] = "\u300C" + text + "\u300D";
  size_t outBytes = 0;
  for (auto _ : state) {
    HTMLDoc doc(html, false);
    std::string out = doc.render(dict, cfg);
    outBytes = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * html.size()));
  state.counters["segments"] = static_cast<double>(HTMLDoc(html, false).segments().size());
  state.counters["out_MB"] = static_cast<double>(outBytes) / (1 << 20);
}
BENCHMARK(BM_TokenizeSegmentRender)->Unit(benchmark::kMillisecond);

void BM_TokenizeOnly(benchmark::State& state) {
  const std::string& html = input();
  for (auto _ : state) benchmark::DoNotOptimize(HTMLTokenizer::tokenize(html));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * html.size()));
}
BENCHMARK(BM_TokenizeOnly)->Unit(benchmark::kMillisecond);

void BM_SegmentOnly(benchmark::State& state) {
  const std::string& html = input();
  for (auto _ : state) {
    HTMLDoc doc(html, false);
    benchmark::DoNotOptimize(doc.segments().data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * html.size()));
}
BENCHMARK(BM_SegmentOnly)->Unit(benchmark::kMillisecond);

#ifdef QY_HAVE_GUMBO
void BM_GumboParse(benchmark::State& state) {
  const std::string& html = input();
  for (auto _ : state) {
    GumboOutput* output = gumbo_parse_with_options(&kGumboDefaultOptions, html.data(), html.size());
    benchmark::DoNotOptimize(output->root);
    gumbo_destroy_output(&kGumboDefaultOptions, output);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * html.size()));
}
BENCHMARK(BM_GumboParse)->Unit(benchmark::kMillisecond);
#endif

void BM_MemchrScan(benchmark::State& state) {
  const std::string& html = input();
  for (auto _ : state) {
    size_t count = 0;
    const char* p = html.data();
    const char* end = p + html.size();
    while ((p = static_cast<const char*>(std::memchr(p, '<', static_cast<size_t>(end - p)))) != nullptr) {
      ++count;
      ++p;
    }
    benchmark::DoNotOptimize(count);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * html.size()));
}
BENCHMARK(BM_MemchrScan)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qy::bench

BENCHMARK_MAIN();
