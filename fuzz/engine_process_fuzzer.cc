// Runs whole messages through the engine: parse, choose and decode the body, segment, check
// languages, translate (an instant stand-in that returns every text marked), render with dark
// rewriting, rebuild. Invariants: the call returns; a rebuilt message parses and its chosen
// part is HTML. The first input byte picks the settings (mode, dark mode, trigger).
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "core/engine/engine.h"
#include "core/mime/mime.h"

namespace {

qy::Config configFor(uint8_t selector) {
  static const char* const kModes[] = {"bilingual", "replace", "off", "REPLACE"};
  static const char* const kDark[] = {"auto", "on", "off", "weird"};
  qy::Config cfg;
  cfg.targetLanguage = (selector & 0x10) ? "zh-Hans" : "es";
  cfg.mode = kModes[selector & 3];
  cfg.darkMode = kDark[(selector >> 2) & 3];
  cfg.maxChars = (selector & 0x20) ? 40 : 60000;
  cfg.style = (selector & 0x40) ? "highlight" : "sidebar";
  return cfg;
}

struct Harness {
  std::filesystem::path root;
  std::shared_ptr<qy::Config> cfg = std::make_shared<qy::Config>();
  std::unique_ptr<qy::Engine> engine;
  Harness() {
    char pattern[] = "/tmp/qy-fuzz-XXXXXX";
    root = mkdtemp(pattern);
    qy::Engine::Options options;
    options.root = root;
    auto current = cfg;
    options.loadConfig = [current] { return *current; };
    options.log = [](std::string_view) {};
    options.prune = false;
    options.translate = [](const std::vector<std::string>& texts, const qy::Config&,
                           const std::function<void(const qy::TranslationDict&)>& deliver,
                           std::stop_token) {
      qy::TranslationDict dict;
      for (const auto& text : texts) dict[text] = "«" + text + "» <b>&</b>";
      deliver(dict);
      return std::vector<std::string>{};
    };
    engine = std::make_unique<qy::Engine>(std::move(options));
  }
  ~Harness() {
    engine.reset();
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness harness;
  if (size == 0) return 0;
  *harness.cfg = configFor(data[0]);
  qy::ByteView message(data + 1, size - 1);
  qy::Engine::Result result = harness.engine->process(message, 5.0);
  harness.engine->waitForJobs();
  if (result.data) {
    auto root = qy::MIME::parse(*result.data);
    const qy::MIMEPart* part = qy::MIME::findTextPart(*root);
    if (!part || part->type() != "text/html") std::abort();
  }
  return 0;
}
