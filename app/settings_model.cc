// SettingsModel; see settings_model.h.
#include "app/settings_model.h"

#include <atomic>
#include <cstdlib>
#include <utility>

#include "app/desktop.h"
#include "app/settings_texts.h"
#include "core/config/lang_names.h"
#include "core/config/log.h"
#include "core/config/paths.h"
#include "core/engine/cache_files.h"
#include "core/translate/translator.h"

namespace qy::app {
namespace {

std::filesystem::path rootOf(const SettingsModelOptions& options) {
  return options.root.empty() ? Paths::root() : options.root;
}

std::string systemctlOf(const SettingsModelOptions& options) {
  if (!options.systemctl.empty()) return options.systemctl;
  const char* program = std::getenv("QY_SYSTEMCTL");
  return program && *program ? program : "systemctl";
}

// The pack row's source after the target changed to `target`: unchanged unless it is the
// target, else the first offered language that is not.
std::string sourceBeside(const std::string& source, const std::string& target) {
  if (source != target) return source;
  for (const LangNames::Entry& entry : LangNames::common)
    if (entry.id != target) return std::string(entry.id);
  return "en";
}

// Collects the test translation's deliveries, which may come from any thread.
class ResultBox {
 public:
  void merge(const TranslationDict& d) QY_EXCLUDES(lock_) {
    MutexLock hold(lock_);
    for (const auto& [source, translation] : d) dict_[source] = translation;
  }
  TranslationDict value() const QY_EXCLUDES(lock_) {
    MutexLock hold(lock_);
    return dict_;
  }

 private:
  mutable Mutex lock_;
  TranslationDict dict_ QY_GUARDED_BY(lock_);
};

}  // namespace

SettingsModel::SettingsModel(SettingsModelOptions options)
    : options_(std::move(options)),
      root_(rootOf(options_)),
      service_(options_.service ? options_.service : TranslationService::shared()),
      store_(root_) {
  if (!options_.timer) options_.timer = std::make_unique<ThreadTimer>();
  const Config loaded = store_.load();
  Paths::ensureDirectory(root_ / "cache");
  // A first start leaves a complete config.json behind (without asking for a reload).
  std::error_code error;
  if (!std::filesystem::exists(store_.file(), error)) {
    if (!store_.save(loaded)) log("settings: config.json could not be written");
  }
  {
    MutexLock hold(mutex_);
    state_.cfg = loaded;
  }
  refreshExtensionState();
  refreshCacheInfo();
}

SettingsModel::~SettingsModel() {
  // No new timer task after this; one running is finished first.
  options_.timer.reset();
  uint64_t pending = 0;
  bool unsaved = false;
  {
    MutexLock hold(mutex_);
    unsaved = savePending_;
    pending = saveGeneration_;
  }
  if (unsaved) save(pending);
  for (;;) {
    std::vector<Task> tasks;
    {
      MutexLock hold(mutex_);
      stopping_ = true;
      tasks.swap(tasks_);
    }
    if (tasks.empty()) break;
    for (Task& task : tasks) {
      task.thread.request_stop();
      task.thread.join();
    }
  }
}

SettingsState SettingsModel::snapshot() const {
  MutexLock hold(mutex_);
  return state_;
}

SettingsState SettingsModel::waitForChange(uint64_t after,
                                           std::chrono::steady_clock::time_point until) const {
  MutexLock hold(mutex_);
  hold.waitUntil(changed_, until, [&]() QY_NO_THREAD_SAFETY_ANALYSIS {
    return interrupted_ || state_.version > after;
  });
  return state_;
}

void SettingsModel::interruptWaits() {
  MutexLock hold(mutex_);
  interrupted_ = true;
  changed_.notify_all();
}

void SettingsModel::publish() {
  ++state_.version;
  changed_.notify_all();
}

void SettingsModel::setConfig(const Config& cfg) {
  edit([&cfg](Config& current) { current = cfg; });
}

void SettingsModel::edit(const std::function<void(Config&)>& change) {
  bool targetChanged = false;
  {
    MutexLock hold(mutex_);
    Config cfg = state_.cfg;
    change(cfg);
    if (cfg == state_.cfg) return;
    targetChanged = cfg.targetLanguage != state_.cfg.targetLanguage;
    state_.cfg = cfg;
    if (targetChanged) state_.packSource = sourceBeside(state_.packSource, cfg.targetLanguage);
    scheduleSave();
    publish();
  }
  if (targetChanged) refreshPackStatus();
}

void SettingsModel::setPackSource(const std::string& source) {
  {
    MutexLock hold(mutex_);
    if (source == state_.packSource) return;
    state_.packSource = source;
    publish();
  }
  refreshPackStatus();
}

void SettingsModel::scheduleSave() {
  // A newer save replaces the pending one: the older task finds its number outdated.
  const uint64_t generation = ++saveGeneration_;
  savePending_ = true;
  options_.timer->after(kSaveDelay, [this, generation] { save(generation); });
}

namespace {
constexpr const char* kNotSaved = "更改没有保存：无法写入设置文件（磁盘可能已满，或没有写入权限）。会稍后自动重试。";
}  // namespace

void SettingsModel::save(uint64_t generation) {
  MutexLock ordered(saveMutex_);
  Config cfg;
  {
    MutexLock hold(mutex_);
    if (!savePending_ || generation != saveGeneration_) return;
    savePending_ = false;
    cfg = state_.cfg;  // the record as it is now, not as it was when the save was scheduled
  }
  const bool saved = store_.save(cfg);
  {
    MutexLock hold(mutex_);
    const std::string error = saved ? std::string() : std::string(kNotSaved);
    if (!saved && generation == saveGeneration_ && !savePending_ && options_.timer) {
      // Still the latest change: it stays pending and is tried again.
      savePending_ = true;
      options_.timer->after(kSaveRetry, [this, generation] { save(generation); });
    }
    if (error != state_.saveError) {
      state_.saveError = error;
      publish();
    }
  }
  if (!saved) {
    log("settings: config.json could not be written");
    return;  // nothing new to show the mail client
  }
  if (options_.reloadVisibleMessages) options_.reloadVisibleMessages();
}

void SettingsModel::startTask(std::function<void()> work) {
  MutexLock hold(mutex_);
  if (stopping_) return;
  // Join the tasks that have ended, so a long session does not pile up finished threads.
  std::erase_if(tasks_, [](Task& task) {
    if (!task.done->load()) return false;
    task.thread.join();
    return true;
  });
  auto done = std::make_shared<std::atomic<bool>>(false);
  ++running_;
  tasks_.push_back({std::jthread([this, work = std::move(work), done] {
                      work();
                      {
                        MutexLock ending(mutex_);
                        --running_;
                      }
                      idle_.notify_all();
                      done->store(true);
                    }),
                    done});
}

void SettingsModel::waitIdle() {
  MutexLock hold(mutex_);
  hold.wait(idle_, [&]() QY_NO_THREAD_SAFETY_ANALYSIS { return running_ == 0; });
}

void SettingsModel::refreshExtensionState() {
  uint64_t question = 0;
  {
    MutexLock hold(mutex_);
    question = ++extensionQuestion_;
  }
  startTask([this, question] {
    const Registration registration = registrationFrom(userServiceState(systemctlOf(options_)));
    MutexLock hold(mutex_);
    if (question != extensionQuestion_) return;  // a later check answers instead
    state_.extensionEnabled = registration == Registration::enabled;
    state_.extensionState = registrationText(registration);
    publish();
  });
}

void SettingsModel::reloadSettings() {
  const Config onDisk = store_.load();  // one stat when the file has not changed
  bool targetChanged = false;
  {
    MutexLock hold(mutex_);
    // A pending save is about to write what the user just did; it wins, as the last writer.
    if (savePending_ || onDisk == state_.cfg) return;
    targetChanged = onDisk.targetLanguage != state_.cfg.targetLanguage;
    state_.cfg = onDisk;
    if (targetChanged) state_.packSource = sourceBeside(state_.packSource, onDisk.targetLanguage);
    publish();
  }
  if (targetChanged) refreshPackStatus();
}

void SettingsModel::refreshCacheInfo() {
  const std::string info = cacheInfoText(CacheFiles::size(root_));
  MutexLock hold(mutex_);
  if (info == state_.cacheInfo) return;
  state_.cacheInfo = info;
  publish();
}

void SettingsModel::refreshPackStatus() {
  std::string source, target;
  uint64_t question = 0;
  {
    MutexLock hold(mutex_);
    source = state_.packSource;
    target = state_.cfg.targetLanguage;
    question = ++packQuestion_;
  }
  startTask([this, source, target, question] {
    const PairStatus status = service_->status(source, target);
    const std::string pair = LangNames::chinese(source) + " → " + LangNames::chinese(target);
    MutexLock hold(mutex_);
    if (question != packQuestion_) return;  // the pair changed meanwhile
    switch (status) {
      case PairStatus::installed:
        state_.packStatus = "「" + pair + "」语言包已安装";
        break;
      case PairStatus::supported:
        state_.packStatus = "「" + pair + "」语言包还没下载";
        break;
      case PairStatus::unsupported:
        state_.packStatus = "系统翻译不支持「" + pair + "」";
        break;
    }
    state_.packReady = status == PairStatus::installed;
    publish();
  });
}

void SettingsModel::runTest() {
  Config cfg;
  {
    MutexLock hold(mutex_);
    if (state_.testing) return;
    state_.testing = true;
    state_.testResult.clear();
    cfg = state_.cfg;  // as edited, saved or not
    publish();
  }
  startTask([this, cfg] {
    const std::string sample = testSample(cfg.targetLanguage);
    ResultBox box;
    const std::vector<std::string> errors = Translator::run(
        {sample}, cfg, [&box](TranslationDict d) { box.merge(d); }, {}, service_);
    const std::string result = testResultText(sample, box.value(), errors);
    MutexLock hold(mutex_);
    state_.testResult = result;
    state_.testing = false;
    publish();
  });
}

void SettingsModel::startDownload() {
  std::string source, target;
  {
    MutexLock hold(mutex_);
    if (state_.downloading) return;
    state_.downloading = true;
    source = state_.packSource;
    target = state_.cfg.targetLanguage;
    publish();
  }
  startTask([this, source, target] {
    const PackResult result = service_->preparePack(source, target);
    if (result.error)
      log("language pack " + source + " → " + target + " not installed: " + *result.error);
    {
      MutexLock hold(mutex_);
      state_.downloading = false;
      publish();
    }
    refreshPackStatus();
  });
}

void SettingsModel::clearCache() {
  CacheFiles::clear(root_);
  edit([](Config& cfg) { ++cfg.cacheEpoch; });
  refreshCacheInfo();
}

void SettingsModel::openMail() {
  startTask([this] {
    std::optional<std::string> reader;
    if (options_.readerURL) reader = options_.readerURL();
    if (options_.open) options_.open(reader ? *reader : "mailto:");
  });
}

void SettingsModel::openLog() {
  const std::filesystem::path file = root_ / "qy.log";
  std::error_code error;
  if (!std::filesystem::exists(file, error)) return;
  if (options_.open) options_.open(file.string());
}

void SettingsModel::log(const std::string& line) const {
  if (options_.log) options_.log(line);
  else Log::write(line);
}

}  // namespace qy::app
