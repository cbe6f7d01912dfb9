// Runs a byte stream through the host protocol as the service reads a connection: frames cut by
// FrameReader (fed in pieces whose size the first byte picks), each request answered by
// handleRequest over a real handler and engine (with an instant stand-in translator). Invariants:
// every answer's frame reads back as one object with a boolean "ok" and the request's "id";
// a bad frame ends the stream with an error that reads back too.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "core/engine/engine.h"
#include "extension/service/host_protocol.h"
#include "protocol/host_frame.h"

namespace {

using nlohmann::json;

struct Harness {
  std::filesystem::path root;
  std::unique_ptr<qy::Engine> engine;
  std::unique_ptr<qy::SecurityHandler> handler;
  qy::HostServices services;
  Harness() {
    char pattern[] = "/tmp/qy-fuzz-XXXXXX";
    root = mkdtemp(pattern);
    qy::Engine::Options options;
    options.root = root;
    options.loadConfig = [] {
      qy::Config cfg;
      cfg.targetLanguage = "es";
      return cfg;
    };
    options.log = [](std::string_view) {};
    options.prune = false;
    options.translate = [](const std::vector<std::string>& texts, const qy::Config&,
                           const std::function<void(const qy::TranslationDict&)>& deliver,
                           std::stop_token) {
      qy::TranslationDict dict;
      for (const auto& text : texts) dict[text] = "ES:" + text;
      deliver(dict);
      return std::vector<std::string>{};
    };
    engine = std::make_unique<qy::Engine>(std::move(options));
    qy::ExtensionEnvironment env;
    env.engine = engine.get();
    env.log = [](std::string_view) {};
    env.loadConfig = [] { return qy::Config{}; };
    env.saveConfig = [](const qy::Config&) { return true; };
    env.openApp = [] {};
    handler = std::make_unique<qy::SecurityHandler>(env);
    services.handler = handler.get();
    services.readerURL = [] { return std::optional<std::string>("http://127.0.0.1:1/"); };
    services.reloadVisibleMessages = [] { return size_t{0}; };
  }
  ~Harness() {
    handler.reset();
    engine.reset();
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
};

json readBack(const std::string& frame) {
  qy::protocol::FrameReader reader;
  reader.feed(frame);
  auto got = reader.next();
  if (!got || !got->error.empty() || reader.buffered() != 0) abort();
  if (!got->object.contains("ok") || !got->object["ok"].is_boolean()) abort();
  return got->object;
}

// The harness's root, removed when the fuzzer exits (the harness itself is never destroyed:
// engine threads may still run at exit).
std::filesystem::path* harnessRoot = nullptr;

void removeHarnessRoot() {
  std::error_code ignored;
  if (harnessRoot) std::filesystem::remove_all(*harnessRoot, ignored);
}

Harness* makeHarness() {
  auto* harness = new Harness;
  harnessRoot = new std::filesystem::path(harness->root);
  std::atexit(removeHarnessRoot);
  return harness;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness* harness = makeHarness();
  if (size == 0) return 0;
  const size_t piece = 1 + data[0] % 64;
  std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);
  qy::protocol::FrameReader reader;
  qy::HostSession session;
  for (size_t at = 0; at < stream.size() || at == 0; at += piece) {
    reader.feed(stream.substr(std::min(at, stream.size()), piece));
    while (auto frame = reader.next()) {
      if (!frame->error.empty()) {
        json answer = readBack(qy::errorAnswer(nullptr, frame->error).frame());
        if (answer["ok"] != false || !answer["id"].is_null()) abort();
        return 0;
      }
      const json& request = frame->object;
      json answer = readBack(qy::handleRequest(request, session, harness->services).frame());
      json id = request.contains("id") ? request["id"] : json(nullptr);
      if (!id.is_number_float() && answer["id"] != id) abort();
    }
    if (stream.empty()) break;
  }
  return 0;
}
