// The service through its socket, against the engine called directly, in one run:
//
// 1. A cached newsletter (the HTML benchmarks' 1 MB newsletter from the corpus, as a message):
//    Engine::process next to `decodedMessage` through a real socket and HostClient. The
//    protocol's Base64 and JSON should cost little beside the engine's own time (aim: within
//    1.5x; compare the two times, printed as a ratio after the run).
// 2. 1 and 8 hosts, each on its own connection, decoding different cached small messages:
//    messages per second (aim: 8 hosts at least 1.6x one host on 2 cores).
// 3. The service's memory (resident set) after 10,000 and after 20,000 different messages:
//    bounded when the second 10,000 add next to nothing.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/html_inputs.h"
#include "core/engine/engine.h"
#include "extension/bridge/security_handler.h"
#include "extension/service/socket_server.h"
#include "platform/allocator_tuning.h"
#include "platform/base64.h"
#include "protocol/host_client.h"

namespace qy::bench {
namespace {

using nlohmann::json;

ByteView view(const std::string& s) {
  return ByteView(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

std::string htmlMessage(const std::string& html) {
  return "From: news@example.com\nTo: b@example.com\nSubject: News\nMIME-Version: 1.0\n"
         "Content-Type: text/html; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n" + html;
}

std::string smallMessage(int seed) {
  return "From: a@example.com\nTo: b@example.com\nSubject: Note " + std::to_string(seed) +
         "\nMIME-Version: 1.0\nContent-Type: text/plain; charset=utf-8\n\n"
         "Dear team,\n\nThe quarterly report number " + std::to_string(seed) +
         " is attached to this message.\n\nPlease review the numbers before our meeting on "
         "Friday.\n\nBest regards,\nAnna\n";
}

// CPU seconds of the whole process (every thread: the engine, the server, the client).
double processCPUSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// An engine with an instant translator, its handler, and the server on a socket in a
// temporary root, served by a thread.
struct Service {
  std::filesystem::path root;
  std::unique_ptr<Engine> engine;
  std::unique_ptr<SecurityHandler> handler;
  std::unique_ptr<SocketServer> server;
  std::thread loop;

  Service() {
    char pattern[] = "/tmp/qy-bench-XXXXXX";
    root = mkdtemp(pattern);
    Engine::Options options;
    options.root = root;
    options.loadConfig = [] {
      Config cfg;
      cfg.targetLanguage = "es";
      cfg.darkMode = "on";
      return cfg;
    };
    options.log = [](std::string_view) {};
    options.prune = false;
    options.translate = [](const std::vector<std::string>& texts, const Config&,
                           const std::function<void(const TranslationDict&)>& deliver,
                           std::stop_token) {
      TranslationDict dict;
      for (const auto& t : texts) dict[t] = "\u300C" + t + "\u300D";
      deliver(dict);
      return std::vector<std::string>{};
    };
    engine = std::make_unique<Engine>(std::move(options));
    ExtensionEnvironment env;
    env.engine = engine.get();
    env.log = [](std::string_view) {};
    env.loadConfig = [] { return Config{}; };
    env.saveConfig = [](const Config&) { return true; };
    env.openApp = [] {};
    handler = std::make_unique<SecurityHandler>(env);
    SocketServer::StartStatus status;
    std::string error;
    server = SocketServer::start({root, handler.get(), [](std::string_view) {}}, status, error);
    if (!server) {
      std::fprintf(stderr, "cannot start the service: %s\n", error.c_str());
      std::exit(1);
    }
    loop = std::thread([this] { server->run(); });
  }
  ~Service() {
    server->stop();
    loop.join();
    server->drain(std::chrono::seconds(10));
    server.reset();
    handler.reset();
    engine.reset();
    std::filesystem::remove_all(root);
  }
  std::unique_ptr<protocol::HostClient> connect() {
    return protocol::HostClient::connect(protocol::serviceSocketPath(root),
                                         std::chrono::seconds(30));
  }
};

Service& service() {
  static Service* s = new Service;  // kept for the whole run
  return *s;
}

const std::string& newsletterMessage() {
  static const std::string kMail = htmlMessage(newsletter(1 << 20));
  return kMail;
}

// Per message, wall and process CPU, for the ratio printed after the run.
double engineSeconds = 0, socketSeconds = 0, engineCPU = 0, socketCPU = 0;

void BM_EngineNewsletterCached(benchmark::State& state) {
  const std::string& mail = newsletterMessage();
  service().engine->process(view(mail), 600);  // translates and caches
  auto start = std::chrono::steady_clock::now();
  double cpu = processCPUSeconds();
  for (auto _ : state) benchmark::DoNotOptimize(service().engine->process(view(mail), 0));
  engineCPU = (processCPUSeconds() - cpu) / static_cast<double>(state.iterations());
  engineSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                  static_cast<double>(state.iterations());
  state.counters["process_cpu_ms"] = engineCPU * 1e3;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * mail.size()));
}

void BM_SocketNewsletterCached(benchmark::State& state) {
  const std::string& mail = newsletterMessage();
  service().engine->process(view(mail), 600);
  auto client = service().connect();
  const std::string data = platform::base64Encode(mail);
  auto start = std::chrono::steady_clock::now();
  double cpu = processCPUSeconds();
  for (auto _ : state) {
    auto answer = client->request({{"op", "decodedMessage"}, {"data", data}, {"mainThread", true}});
    if (!answer || (*answer)["ok"] != true) state.SkipWithError("no answer");
  }
  socketCPU = (processCPUSeconds() - cpu) / static_cast<double>(state.iterations());
  socketSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                  static_cast<double>(state.iterations());
  state.counters["process_cpu_ms"] = socketCPU * 1e3;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * mail.size()));
}

// Each benchmark thread is one host with its own connection and its own messages.
void BM_HostsDecodingCachedSmallMessages(benchmark::State& state) {
  static std::vector<std::string> encoded;
  static constexpr int kMessages = 400;
  if (state.thread_index() == 0 && encoded.empty()) {
    for (int i = 0; i < kMessages; ++i) {
      std::string mail = smallMessage(i);
      service().engine->process(view(mail), 600);
      encoded.push_back(platform::base64Encode(mail));
    }
  }
  auto client = service().connect();
  size_t i = static_cast<size_t>(state.thread_index()) * (kMessages / 8);
  double cpu = processCPUSeconds();
  auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    auto answer = client->request(
        {{"op", "decodedMessage"}, {"data", encoded[i % encoded.size()]}, {"mainThread", true}});
    if (!answer || (*answer)["ok"] != true) state.SkipWithError("no answer");
    ++i;
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    // The whole process's CPU over this thread's messages times the hosts: per message.
    const double all = static_cast<double>(state.iterations() * state.threads());
    state.counters["process_cpu_us_per_msg"] = (processCPUSeconds() - cpu) * 1e6 / all;
    // Every host's messages over the wall time of this one (the hosts run side by side).
    state.counters["all_hosts_msgs_per_s"] =
        all / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
}

void BM_MemoryAfterManyDifferentMessages(benchmark::State& state) {
  auto client = service().connect();
  for (auto _ : state) {
    long before = residentKiB();
    long after10k = 0;
    for (int i = 0; i < 20000; ++i) {
      std::string mail = smallMessage(100000 + i);
      client->request({{"op", "decodedMessage"},
                       {"data", platform::base64Encode(mail)},
                       {"mainThread", false}});
      if (i == 9999) after10k = residentKiB();
    }
    long after20k = residentKiB();
    state.counters["rss_start_MiB"] = static_cast<double>(before) / 1024;
    state.counters["rss_10k_MiB"] = static_cast<double>(after10k) / 1024;
    state.counters["rss_20k_MiB"] = static_cast<double>(after20k) / 1024;
  }
}

BENCHMARK(BM_EngineNewsletterCached)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SocketNewsletterCached)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostsDecodingCachedSmallMessages)
    ->Threads(1)
    ->Threads(8)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MemoryAfterManyDifferentMessages)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace qy::bench

int main(int argc, char** argv) {
  if (!std::getenv("QY_BENCH_DEFAULT_MALLOC")) qy::platform::keepMessageBuffersMapped();  // as serve does
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  if (qy::bench::engineSeconds > 0 && qy::bench::socketSeconds > 0) {
    std::printf("newsletter through the socket / engine alone: %.2fx wall, %.2fx process CPU\n",
                qy::bench::socketSeconds / qy::bench::engineSeconds,
                qy::bench::socketCPU / qy::bench::engineCPU);
  }
  benchmark::Shutdown();
  return 0;
}
