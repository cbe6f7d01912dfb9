// `quillory-ext decode` as a mail filter runs it, on a cached newsletter of about 2.5 MB (the
// corpus's HTML bodies, Base64 in multipart/alternative): the whole process with and without
// --json, next to the engine's own time for the same message in a fresh engine (its translations
// read from the cache file, as a new process reads them). After the runs the ratios are printed;
// the whole --json process should stay within 2x the engine's time. The engine's time inside the
// decode processes themselves (from their log lines: a cold process parses, detects and renders
// without warm caches) is printed too, so that what lies outside the engine shows on its own.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "bench/html_inputs.h"
#include "core/engine/engine.h"

namespace qy {
namespace {

ByteView view(const std::string& s) {
  return ByteView(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

std::string base64Lines(const std::string& bytes) {
  std::string out;
  for (size_t at = 0; at < bytes.size(); at += 57) {
    const size_t n = std::min<size_t>(57, bytes.size() - at);
    char line[80];
    int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(line),
                                  reinterpret_cast<const unsigned char*>(bytes.data() + at),
                                  static_cast<int>(n));
    out.append(line, static_cast<size_t>(written));
    out += '\n';
  }
  return out;
}

std::string newsletterMessage() {
  const std::string html = bench::newsletter(1'850'000);
  return "From: news@library.example.org\nTo: reader@example.com\nSubject: December news\n"
         "MIME-Version: 1.0\nContent-Type: multipart/alternative; boundary=\"=_alt\"\n\n"
         "--=_alt\nContent-Type: text/plain; charset=utf-8\n\nDecember news.\n\n"
         "--=_alt\nContent-Type: text/html; charset=utf-8\nContent-Transfer-Encoding: base64\n\n" +
         base64Lines(html) + "--=_alt--\n";
}

struct Setup {
  std::filesystem::path root;
  std::filesystem::path mail;
  std::string message = newsletterMessage();

  Setup() {
    char pattern[] = "/tmp/qy-decode-bench-XXXXXX";
    root = mkdtemp(pattern);
    std::ofstream(root / "config.json") << R"({"targetLanguage": "es"})";
    std::filesystem::permissions(root / "config.json", std::filesystem::perms::owner_read |
                                                           std::filesystem::perms::owner_write);
    mail = root / "newsletter.eml";
    std::ofstream(mail, std::ios::binary) << message;
    engine()->process(view(message), 1e9);  // translates every segment and caches it
  }
  ~Setup() {
    if (getenv("QY_BENCH_KEEP")) {
      std::printf("kept %s\n", root.c_str());  // to profile a decode of its own
      return;
    }
    std::filesystem::remove_all(root);
  }

  std::unique_ptr<Engine> engine() const {
    Engine::Options options;
    options.root = root;
    options.lifetime = Engine::Lifetime::oneShot;
    options.log = [](std::string_view) {};
    options.translate = [](const std::vector<std::string>& texts, const Config&,
                           const std::function<void(const TranslationDict&)>& deliver,
                           std::stop_token) {
      TranslationDict dict;
      for (const auto& t : texts) dict[t] = "Traducción de " + t;
      deliver(dict);
      return std::vector<std::string>{};
    };
    return std::make_unique<Engine>(std::move(options));
  }
};

Setup& setup() {
  static Setup s;
  return s;
}

std::map<std::string, double>& means() {
  static std::map<std::string, double> m;
  return m;
}

void record(benchmark::State& state, const std::string& name, double seconds, double cpu) {
  if (state.iterations() == 0) return;
  means()[name] = seconds / static_cast<double>(state.iterations());
  means()[name + " cpu"] = cpu / static_cast<double>(state.iterations());
}

double processCPU() {
  timespec now {};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The engine's own time: a fresh engine (nothing in memory) on the cached message.
void BM_EngineCached(benchmark::State& state) {
  const auto& s = setup();
  double total = 0, cpu = 0;
  for (auto _ : state) {
    auto engine = s.engine();
    const double cpuStart = processCPU();
    const auto start = std::chrono::steady_clock::now();
    auto result = engine->process(view(s.message), 0);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpu += processCPU() - cpuStart;
    state.SetIterationTime(seconds);
    total += seconds;
    if (result.note != "translated") state.SkipWithError("the message was not cached");
  }
  record(state, "engine", total, cpu);
}

// The whole process, output to /dev/null.
void runDecode(benchmark::State& state, bool json) {
  const auto& s = setup();
  double total = 0, cpu = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      setenv("QY_HOME", s.root.c_str(), 1);
      if (json)
        execl(QY_EXT_BINARY, QY_EXT_BINARY, "decode", "--json", s.mail.c_str(), nullptr);
      else
        execl(QY_EXT_BINARY, QY_EXT_BINARY, "decode", s.mail.c_str(), nullptr);
      _exit(127);
    }
    int status = 0;
    rusage usage {};
    wait4(pid, &status, 0, &usage);
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    cpu += seconds(usage.ru_utime) + seconds(usage.ru_stime);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("decode failed");
  }
  record(state, json ? "process --json" : "process", total, cpu);
}

// The mean of the "NNNms" figures of the log's decode lines (the engine's time in each process).
double loggedEngineSeconds(const std::filesystem::path& log) {
  std::ifstream in(log);
  double total = 0;
  int count = 0;
  for (std::string line; std::getline(in, line);) {
    const size_t end = line.find("ms errors=");
    if (line.find(" decode ") == std::string::npos || end == std::string::npos) continue;
    const size_t start = line.rfind(' ', end) + 1;
    total += std::stod(line.substr(start, end - start)) / 1e3;
    ++count;
  }
  return count ? total / count : 0;
}

void BM_DecodeProcess(benchmark::State& state) { runDecode(state, false); }
void BM_DecodeProcessJson(benchmark::State& state) { runDecode(state, true); }

BENCHMARK(BM_EngineCached)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(20);
BENCHMARK(BM_DecodeProcess)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_DecodeProcessJson)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace
}  // namespace qy

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  auto& m = qy::means();
  if (m.count("engine") && m.count("process --json") && m.count("process")) {
    std::printf("\nmessage %zu bytes; mean engine %.1f ms, process %.1f ms, process --json %.1f ms\n",
                qy::setup().message.size(), m["engine"] * 1e3, m["process"] * 1e3,
                m["process --json"] * 1e3);
    std::printf("process --json / engine = %.2f (target: at most 2)\n",
                m["process --json"] / m["engine"]);
    // On a busy machine a new process waits for a core; CPU time does not count that wait.
    std::printf("CPU time: engine %.1f ms, process %.1f ms, process --json %.1f ms; "
                "process --json / engine = %.2f\n",
                m["engine cpu"] * 1e3, m["process cpu"] * 1e3, m["process --json cpu"] * 1e3,
                m["process --json cpu"] / m["engine cpu"]);
    const double logged = qy::loggedEngineSeconds(qy::setup().root / "qy.log");
    if (logged > 0)
      std::printf("engine inside the decode processes (their log lines) %.1f ms; "
                  "process --json / that = %.2f\n",
                  logged * 1e3, m["process --json"] / logged);
  }
  return 0;
}
