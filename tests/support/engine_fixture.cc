// The scripted translator and the test engine.
#include "support/engine_fixture.h"

#include "core/config/config_store.h"
#include "core/mime/mime.h"

namespace qy::testing {

std::vector<std::string> ScriptedTranslator::run(
    const std::vector<std::string>& texts,
    const std::function<void(const TranslationDict&)>& deliver) {
  {
    std::unique_lock guard(lock_);
    calls_.push_back(texts);
    released_.wait(guard, [&] { return !held_; });
  }
  runs_++;
  TranslationDict dict;
  for (const auto& text : texts) {
    if (!skip.count(text)) dict[text] = "ES:" + text;
  }
  if (!dict.empty()) deliver(dict);
  return errors;
}

void ScriptedTranslator::hold() {
  std::lock_guard guard(lock_);
  held_ = true;
}

void ScriptedTranslator::release() {
  {
    std::lock_guard guard(lock_);
    held_ = false;
  }
  released_.notify_all();
}

std::vector<std::vector<std::string>> ScriptedTranslator::calls() const {
  std::lock_guard guard(lock_);
  return calls_;
}

EngineFixture::EngineFixture() {
  Engine::Options options;
  options.root = dir_.path();
  auto cfg = cfg_;
  options.loadConfig = [cfg] { return *cfg; };
  auto lock = logLock_;
  auto lines = log_;
  options.log = [lock, lines](std::string_view line) {
    std::lock_guard guard(*lock);
    lines->emplace_back(line);
  };
  options.clock = clock_;
  auto translator = translator_;
  options.translate = [translator](const std::vector<std::string>& texts, const Config&,
                                   const std::function<void(const TranslationDict&)>& deliver,
                                   std::stop_token) { return translator->run(texts, deliver); };
  options.prune = false;
  engine_ = std::make_unique<Engine>(std::move(options));
}

EngineFixture::~EngineFixture() {
  translator_->release();
  engine_.reset();
}

void EngineFixture::setConfig(const Config& cfg) { *cfg_ = cfg; }

Engine::Result EngineFixture::process(const std::string& message, std::optional<double> wait) {
  const auto* data = reinterpret_cast<const uint8_t*>(message.data());
  Engine::Result result = engine_->process(ByteView(data, message.size()), wait);
  // A job that ended still stores its translations after the call returns; let it, so that
  // the next call of a test sees the state a later display would.
  if (result.note != "partial") engine_->waitForJobs();
  return result;
}

std::vector<std::string> EngineFixture::logLines() const {
  std::lock_guard guard(*logLock_);
  return *log_;
}

std::string EngineFixture::lastDecodeLine() const {
  auto lines = logLines();
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    if (it->rfind("decode ", 0) == 0) return *it;
  }
  return {};
}

std::string plainMessage(const std::string& body, const std::string& subject) {
  return "From: a@example.com\nTo: b@example.com\nSubject: " + subject +
         "\nMIME-Version: 1.0\nContent-Type: text/plain; charset=utf-8\n"
         "Content-Transfer-Encoding: 8bit\n\n" + body;
}

std::string bodyText(const Engine::Result& result) {
  if (!result.data) return {};
  auto root = MIME::parse(*result.data);
  const MIMEPart* part = MIME::findTextPart(*root);
  if (!part) return {};
  return MIME::decodeString(MIME::decodeBody(*result.data, *part), "utf-8", true);
}

}  // namespace qy::testing
