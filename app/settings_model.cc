// SettingsModel; see settings_model.h.
#include "app/settings_model.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <utility>

#include "app/desktop.h"
#include "app/settings_texts.h"
#include "core/config/lang_names.h"
#include "core/config/log.h"
#include "core/config/paths.h"
#include "core/engine/cache_files.h"
#include "core/translate/translator.h"
#include "platform/translators_edit.h"

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
      store_(root_),
      workers_(WorkerPool::Options{.name = "settings background work",
                                   .threads = kBackgroundThreads,
                                   .capacity = kBackgroundCapacity,
                                   .eager = false,
                                   .onError = {}}) {
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
  if (options_.probeTargets.empty()) options_.probeTargets = defaultTargets();
  refreshExtensionState();
  refreshCacheInfo();
  refreshEngines();
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
  MutexLock hold(mutex_);
  stopping_ = true;  // a task ending now starts no other
  // workers_, destroyed first of the members, runs what is queued and joins its threads.
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
  if (targetChanged) {
    refreshPackStatus();
    refreshEngines();  // whether Apertium serves the new target
  }
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

void SettingsModel::startTask(std::function<void()> work, std::function<void()> recover) {
  {
    MutexLock hold(mutex_);
    if (stopping_) return;
  }
  auto guarded = [this, work = std::move(work), recover] {
    std::string failure;
    try {
      work();
      return;
    } catch (const std::exception& error) {
      failure = error.what();
    } catch (...) {
      failure = "an unknown exception";
    }
    log("settings: background work failed: " + failure);
    if (recover) recover();
  };
  if (workers_.submit(std::move(guarded))) return;
  log("settings: background work refused: " + std::to_string(kBackgroundCapacity) +
      " tasks are already waiting");
  if (recover) recover();
}

void SettingsModel::waitIdle() {
  // The pool's wait is bounded; an hour at a time is as good as for ever here.
  while (!workers_.waitIdle(std::chrono::steady_clock::now() + std::chrono::hours(1))) {
  }
}

void SettingsModel::refreshExtensionState() {
  uint64_t question = 0;
  {
    MutexLock hold(mutex_);
    question = ++extensionQuestion_;
  }
  startTask([this, question] {
    const Registration registration = registrationFrom(userServiceState(systemctlOf(options_)));
    // A service started by hand runs all the same, registered or not.
    const bool running = options_.serviceAnswers && options_.serviceAnswers();
    MutexLock hold(mutex_);
    if (question != extensionQuestion_) return;  // a later check answers instead
    state_.extensionEnabled = running || registration == Registration::enabled;
    state_.extensionState = registrationText(registration, running);
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
  if (targetChanged) {
    refreshPackStatus();
    refreshEngines();
  }
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
    // An install's outcome belongs to its pair.
    if (!state_.packResult.empty() && packResultPair_ != std::pair(source, target)) {
      state_.packResult.clear();
      state_.packFailed = false;
      publish();
    }
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
    // Only a package can be downloaded; where nothing translates the pair the page says what to
    // install instead.
    state_.packDownloadable = status == PairStatus::supported;
    state_.packHelp = status == PairStatus::unsupported;
    publish();
  });
}

void SettingsModel::runTest() { startTest(false); }

void SettingsModel::startTest(bool afterChoice) {
  Config cfg;
  {
    MutexLock hold(mutex_);
    // A test already running says nothing about a server just chosen (it started on the engine
    // the pair had before), so the choice's message asks for another test instead.
    if (state_.testing) {
      if (afterChoice) {
        state_.engineMessage = choiceMessage_ + "\n" + kTestBusyText;
        choiceMessage_.clear();
        publish();
      }
      return;
    }
    state_.testing = true;
    state_.testResult.clear();
    cfg = state_.cfg;  // as edited, saved or not
    publish();
  }
  auto finish = [this, afterChoice](const std::string& result) {
    MutexLock hold(mutex_);
    state_.testResult = result;
    state_.testing = false;
    if (afterChoice) {
      state_.engineMessage = choiceMessage_ + "\n" + result;
      choiceMessage_.clear();
    }
    publish();
  };
  startTask(
      [this, cfg, finish] {
        const std::string sample = testSample(cfg.targetLanguage);
        ResultBox box;
        const std::vector<std::string> errors = Translator::run(
            {sample}, cfg, [&box](TranslationDict d) { box.merge(d); }, {}, service_);
        finish(testResultText(sample, box.value(), errors));
      },
      [finish] { finish("✗ 测试没有完成：程序内部出错，详情见日志"); });
}

void SettingsModel::startDownload() {
  std::string source, target;
  {
    MutexLock hold(mutex_);
    if (state_.downloading) return;
    state_.downloading = true;
    source = state_.packSource;
    target = state_.cfg.targetLanguage;
    state_.packResult.clear();
    state_.packFailed = false;
    publish();
  }
  const std::string pair = LangNames::chinese(source) + " → " + LangNames::chinese(target);
  // Shows the outcome on the page; the status line follows from a fresh question.
  auto finish = [this, source, target, pair](const std::optional<std::string>& error) {
    {
      MutexLock hold(mutex_);
      state_.downloading = false;
      state_.packResult = packResultText(pair, error);
      state_.packFailed = error.has_value();
      packResultPair_ = {source, target};
      publish();
    }
    refreshPackStatus();
  };
  startTask(
      [this, source, target, finish] {
        const PackResult result = service_->preparePack(source, target);
        if (result.error)
          log("language pack " + source + " → " + target + " not installed: " + *result.error);
        finish(result.error);
      },
      [finish] { finish("安装没有完成：程序内部出错，详情见日志"); });
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

std::filesystem::path SettingsModel::translatorsFile() const {
  return options_.survey.translatorsFile.empty() ? root_ / "translators.json"
                                                 : options_.survey.translatorsFile;
}

void SettingsModel::refreshEngines() {
  uint64_t question = 0;
  std::string target;
  {
    MutexLock hold(mutex_);
    question = ++engineQuestion_;
    target = state_.cfg.targetLanguage;
  }
  startTask([this, question, target] {
    SurveyOptions options = options_.survey;
    options.translatorsFile = translatorsFile();
    const EngineSurvey survey = surveyEngines(options);
    std::vector<EngineRow> rows = engineRows(survey);
    const bool apertiumServes = apertiumTranslatesInto(survey, target);
    MutexLock hold(mutex_);
    if (question != engineQuestion_) return;  // a later listing answers instead
    state_.engines = std::move(rows);
    if (!preferChosen_) state_.preferServer = !apertiumServes;
    publish();
  });
}

void SettingsModel::setPreferServer(bool prefer) {
  MutexLock hold(mutex_);
  preferChosen_ = true;
  if (state_.preferServer == prefer) return;
  state_.preferServer = prefer;
  publish();
}

void SettingsModel::findServers(const std::string& address) {
  std::vector<ProbeTarget> targets;
  std::optional<std::string> refusal;
  if (address.empty()) {
    targets = options_.probeTargets;
  } else {
    const std::string url = addressURL(address);
    // Nothing is asked of a host that is not this machine.
    refusal = platform::loopbackRefusal(url);
    if (!refusal) targets = targetsAt(url);
  }
  {
    MutexLock hold(mutex_);
    if (state_.probing) return;
    state_.found.clear();
    foundOrder_.clear();
    state_.probing = !refusal && !targets.empty();
    probesLeft_ = targets.size();
    state_.probeStatus = refusal            ? *refusal
                         : state_.probing ? probeProgressText(0, targets.size())
                                          : probeOutcomeText(0);
    publish();
  }
  for (size_t index = 0; index < targets.size(); ++index) {
    // Counts one address as asked, with what it answered (nothing when it did not, or when its
    // task failed).
    auto answered = [this, index, total = targets.size()](std::optional<FoundServer> found) {
      MutexLock done(mutex_);
      if (found) {
        // In the order of the addresses, whichever answers first.
        const auto at = std::upper_bound(foundOrder_.begin(), foundOrder_.end(), index);
        state_.found.insert(state_.found.begin() + (at - foundOrder_.begin()), std::move(*found));
        foundOrder_.insert(at, index);
      }
      --probesLeft_;
      state_.probing = probesLeft_ > 0;
      state_.probeStatus = state_.probing ? probeProgressText(total - probesLeft_, total)
                                          : probeOutcomeText(state_.found.size());
      publish();
    };
    startTask(
        [target = targets[index], answered] {
          std::optional<FoundServer> found;
          if (!platform::loopbackRefusal(target.url))
            found = foundServer(target,
                                platform::surveyServer(target.api, target.url, {}, kProbeLimit));
          answered(std::move(found));
        },
        [answered] { answered(std::nullopt); });
  }
}

void SettingsModel::chooseServer(platform::ServerApi api, const std::string& url,
                                 const std::string& model) {
  std::optional<std::string> refusal = platform::loopbackRefusal(url);
  if (!refusal && api != platform::ServerApi::libretranslate && model.empty())
    refusal = "先选一个模型";
  bool prefer = false;
  {
    MutexLock hold(mutex_);
    if (refusal) {
      state_.engineMessage = "没有写入 translators.json：" + *refusal;
      publish();
      return;
    }
    prefer = state_.preferServer;
    state_.engineMessage = "正在写入 translators.json…";
    publish();
  }
  auto failed = [this] {
    MutexLock hold(mutex_);
    state_.engineMessage = "没有写入 translators.json：程序内部出错，详情见日志";
    publish();
  };
  startTask([this, api, url, model, prefer] {
    nlohmann::ordered_json entry = {{"api", platform::apiName(api)}, {"url", url}};
    if (!model.empty()) entry["model"] = model;
    const std::optional<std::string> error =
        platform::TranslatorsEdit::putServerFirst(translatorsFile(), entry, prefer);
    {
      MutexLock hold(mutex_);
      if (error) {
        state_.engineMessage = *error;
        publish();
        return;
      }
      choiceMessage_ = choiceText(api, url, model, prefer);
      state_.engineMessage = choiceMessage_ + "\n正在用它测试翻译…";
      publish();
    }
    log("settings: translators.json now puts " + std::string(platform::apiName(api)) + " at " +
        url + " first");
    refreshEngines();
    refreshPackStatus();
    startTest(true);
  }, failed);
}

void SettingsModel::log(const std::string& line) const {
  if (options_.log) options_.log(line);
  else Log::write(line);
}

}  // namespace qy::app
