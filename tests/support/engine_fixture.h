// A test engine: its own storage root in a temporary directory, a clock moved by hand, the log
// collected in memory, and a scripted translator (each text becomes "ES:" + text) that can be
// held back, told to fail, or to leave texts out.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/config/config.h"
#include "core/engine/engine.h"
#include "support/temp_dir.h"

namespace qy::testing {

class ManualClock final : public Clock {
 public:
  Date now() const override {
    std::lock_guard guard(lock_);
    return now_;
  }
  void advance(std::chrono::seconds by) {
    std::lock_guard guard(lock_);
    now_ += by;
  }

 private:
  mutable std::mutex lock_;
  Date now_ = std::chrono::system_clock::now();
};

class ScriptedTranslator {
 public:
  // Runs a translation as the engine's translate function does.
  std::vector<std::string> run(const std::vector<std::string>& texts,
                               const std::function<void(const TranslationDict&)>& deliver);

  void hold();     // later runs wait until release()
  void release();
  std::vector<std::string> errors;  // returned by every run
  std::set<std::string> skip;       // texts left untranslated
  int runs() const { return runs_.load(); }
  std::vector<std::vector<std::string>> calls() const;

 private:
  mutable std::mutex lock_;
  std::condition_variable released_;
  bool held_ = false;
  std::atomic<int> runs_{0};
  std::vector<std::vector<std::string>> calls_;
};

class EngineFixture {
 public:
  EngineFixture();
  ~EngineFixture();

  Engine& engine() { return *engine_; }
  ManualClock& clock() { return *clock_; }
  ScriptedTranslator& translator() { return *translator_; }
  const std::filesystem::path& root() const { return dir_.path(); }
  std::filesystem::path cacheDir() const { return dir_.path() / "cache"; }

  // Writes config.json (and bumps its time stamp so the store reads it again).
  void setConfig(const Config& cfg);
  // Processes a message; unless the result is pending, also waits until its job has stored.
  Engine::Result process(const std::string& message, std::optional<double> wait = 5.0);
  std::vector<std::string> logLines() const;
  // The last "decode …" line of the log.
  std::string lastDecodeLine() const;

 private:
  TempDir dir_;
  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
  std::shared_ptr<ScriptedTranslator> translator_ = std::make_shared<ScriptedTranslator>();
  std::shared_ptr<std::mutex> logLock_ = std::make_shared<std::mutex>();
  std::shared_ptr<std::vector<std::string>> log_ = std::make_shared<std::vector<std::string>>();
  std::shared_ptr<Config> cfg_ = std::make_shared<Config>();
  std::unique_ptr<Engine> engine_;
};

// A plain-text message with the given body (UTF-8, 8bit).
std::string plainMessage(const std::string& body, const std::string& subject = "Hello");
// The HTML body of a rebuilt message; empty when the result has no data.
std::string bodyText(const Engine::Result& result);

}  // namespace qy::testing
