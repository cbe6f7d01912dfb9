// SettingsModel: the state and behaviour behind the settings window. It holds the settings
// record being edited and saves it 0.4 s after the last change, then asks the running extension
// service to have the mail hosts reload their visible messages. It also finds out whether the
// extension's user service is enabled, whether the language pack of a pair is installed (and
// installs it), how large the translation cache is (and clears it), and runs one test
// translation with the shared translator, inside this process, with the settings as edited.
//
// The record is read from config.json at construction and again when the window comes back to
// the front (reloadSettings()), so a change made meanwhile in the banner panel is shown and not
// overwritten by the next save.
//
// Threads: every operation may be called from any thread (the HTTP server's). The published
// state sits behind one lock; snapshot() copies it, and waitForChange() blocks until its
// version moves past a given one, so a page can follow every change. Slow work (systemctl, the
// availability question, a pack install, the test translation) runs on the model's worker pool
// (kBackgroundThreads threads, at most kBackgroundCapacity tasks queued and running); a task
// that throws, or that the pool has no room for, is logged and its visible state put right (a
// busy flag cleared, the reason shown). The delayed save runs on the timer's thread. Destroying
// the model writes a save still pending, refuses new tasks, lets the queued ones end and joins
// the pool, so a change made just before the program ends is kept.
//
// The engines section: the model lists what translates now (from translators.json and the
// Apertium modes), asks the local addresses for translation servers (each address on a task of
// its own, bounded by kProbeLimit, progress published as answers come), and writes the server
// the user chooses into translators.json, then runs the test translation through it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/engine_rows.h"
#include "app/server_probe.h"
#include "app/timer.h"
#include "core/base/thread_annotations.h"
#include "core/base/worker_pool.h"
#include "core/config/config.h"
#include "core/config/config_store.h"
#include "core/translate/translation_service.h"

namespace qy::app {

struct SettingsModelOptions {
  std::filesystem::path root;                    // storage root; empty: Paths::root()
  std::shared_ptr<TranslationService> service;   // nothing: TranslationService::shared()
  std::unique_ptr<Timer> timer;                  // nothing: a ThreadTimer
  // Asks the running service to reload the hosts' visible messages; does nothing when no
  // service runs. Nothing: no service is ever reached.
  std::function<void()> reloadVisibleMessages;
  // Whether the extension service answers on its socket (started by hand or by systemd).
  // Nothing: never.
  std::function<bool()> serviceAnswers;
  // The URL of the web reader the running service serves, when it serves one.
  std::function<std::optional<std::string>()> readerURL;
  // Opens a URL or file with the desktop's default application.
  std::function<void(const std::string&)> open;
  // The systemctl to ask; empty: $QY_SYSTEMCTL, else "systemctl".
  std::string systemctl;
  // Where diagnostics go; nothing: the log.
  std::function<void(const std::string&)> log;
  // Where the engines are looked for; an empty translatorsFile is translators.json in the root.
  SurveyOptions survey;
  // The addresses "find local servers" asks; empty: defaultTargets().
  std::vector<ProbeTarget> probeTargets;
};

// The state the window shows, as one copy.
struct SettingsState {
  uint64_t version = 0;  // rises with every change of what follows
  Config cfg;
  std::string extensionState = "检查中…";
  bool extensionEnabled = false;  // the service runs, or its user unit is enabled
  std::string packSource = "en";  // the language-pack row's source language (window state)
  std::string packStatus;
  bool packReady = false;
  bool downloading = false;
  // The last install's outcome for the pack row's pair: done, or why not (empty: none yet).
  std::string packResult;
  bool packFailed = false;
  std::string testResult;
  bool testing = false;
  std::string cacheInfo;
  // Why the last change could not be written (empty when everything is saved); the change stays
  // shown and pending, and the save is tried again.
  std::string saveError;
  // The engines section.
  std::vector<EngineRow> engines;
  bool packDownloadable = false;  // a Debian package would add the pack row's pair
  bool packHelp = false;          // nothing can translate that pair: say what to install
  bool preferServer = false;      // a chosen server goes before Apertium for every pair
  bool probing = false;
  std::string probeStatus;          // progress, the outcome, or why an address is refused
  std::vector<FoundServer> found;   // in the order of the addresses asked
  std::string engineMessage;        // what a choice wrote, then its test translation's outcome
};

class SettingsModel {
 public:
  // The delay between the last change and its save.
  static constexpr std::chrono::milliseconds kSaveDelay{400};
  // After a failed save, the change is written again this much later (and with the next change).
  static constexpr std::chrono::seconds kSaveRetry{5};
  // The background work's threads: enough that a pack install or a slow test translation (a
  // model loading) never holds up the quick questions behind it.
  static constexpr size_t kBackgroundThreads = 4;
  // Tasks queued and running at most: a search asks each usual address on a task of its own,
  // and a page cannot pile up more than this however fast it clicks.
  static constexpr size_t kBackgroundCapacity = 64;

  // Loads the settings, makes sure the storage directory exists, writes config.json holding
  // the defaults when there is none yet (and only then), starts the registration check and
  // fills the cache line.
  explicit SettingsModel(SettingsModelOptions options = {});
  ~SettingsModel();
  SettingsModel(const SettingsModel&) = delete;
  SettingsModel& operator=(const SettingsModel&) = delete;

  SettingsState snapshot() const QY_EXCLUDES(mutex_);
  // Waits until the version is past `after` or `until` comes; the state then.
  SettingsState waitForChange(uint64_t after, std::chrono::steady_clock::time_point until) const
      QY_EXCLUDES(mutex_);

  // Makes every waitForChange() return at once, now and from now on (the server is stopping).
  void interruptWaits() QY_EXCLUDES(mutex_);

  // Replaces the record being edited. A record equal to the current one does nothing; any
  // other schedules the delayed save (replacing one pending). A new target language moves the
  // pack row's source off it and refreshes the pack status.
  void setConfig(const Config& cfg) QY_EXCLUDES(mutex_);
  // The same for a change made to the record as it is at this moment (under the model's lock,
  // so concurrent edits of different fields all survive). `change` must not call the model.
  void edit(const std::function<void(Config&)>& change) QY_EXCLUDES(mutex_);
  // Changes the pack row's source language and refreshes the pack status.
  void setPackSource(const std::string& source) QY_EXCLUDES(mutex_);

  void refreshExtensionState() QY_EXCLUDES(mutex_);  // asynchronous
  void refreshCacheInfo() QY_EXCLUDES(mutex_);       // synchronous
  // Takes in config.json as another program (the banner panel) left it, unless a change made
  // here is still waiting to be saved; nothing is saved or reloaded for it.
  void reloadSettings() QY_EXCLUDES(mutex_);
  void refreshPackStatus() QY_EXCLUDES(mutex_);      // asynchronous, for the current pack source
  void runTest() QY_EXCLUDES(mutex_);                // asynchronous; ignored while one runs
  // Installs the pack of the current pair, then refreshes its status; ignored while one runs.
  // The outcome shows in packResult (and a failure in the log too).
  void startDownload() QY_EXCLUDES(mutex_);
  // Clears the cache, raises cacheEpoch by one (saved after the delay) and refreshes the line.
  void clearCache() QY_EXCLUDES(mutex_);
  void openMail();
  void openLog();

  // Reads again what translates now (asynchronous).
  void refreshEngines() QY_EXCLUDES(mutex_);
  // Asks the usual local addresses, or only `address` when one is given, for translation
  // servers (asynchronous; ignored while a search runs). An address that is not on this machine
  // is refused with the reason, and nothing is asked.
  void findServers(const std::string& address = {}) QY_EXCLUDES(mutex_);
  // Whether a chosen server goes before Apertium for every pair (its default: when Apertium has
  // no pair into the target language).
  void setPreferServer(bool prefer) QY_EXCLUDES(mutex_);
  // Writes the server into translators.json as the first server consulted (and "apertium":
  // false when preferred), then lists the engines again, refreshes the pack row and runs the
  // test translation; the outcome shows in engineMessage. A server not on this machine is
  // refused, and nothing is written.
  void chooseServer(platform::ServerApi api, const std::string& url, const std::string& model)
      QY_EXCLUDES(mutex_);

  // Waits until the background work started so far has ended (tests, orderly shutdown).
  void waitIdle() QY_EXCLUDES(mutex_);

 private:
  void publish() QY_REQUIRES(mutex_);
  void scheduleSave() QY_REQUIRES(mutex_);
  void save(uint64_t generation) QY_EXCLUDES(mutex_);
  // Runs `work` on the pool. `recover` runs instead of the rest of it when it throws, or at once
  // when the pool has no room: it puts right what the caller published before (a busy flag).
  void startTask(std::function<void()> work, std::function<void()> recover = {})
      QY_EXCLUDES(mutex_);
  void log(const std::string& line) const;
  void startTest(bool afterChoice) QY_EXCLUDES(mutex_);
  std::filesystem::path translatorsFile() const;

  SettingsModelOptions options_;
  std::filesystem::path root_;
  std::shared_ptr<TranslationService> service_;
  ConfigStore::Store store_;

  mutable Mutex mutex_;
  mutable std::condition_variable changed_;
  SettingsState state_ QY_GUARDED_BY(mutex_);
  uint64_t saveGeneration_ QY_GUARDED_BY(mutex_) = 0;  // the one pending save's number
  bool savePending_ QY_GUARDED_BY(mutex_) = false;
  uint64_t packQuestion_ QY_GUARDED_BY(mutex_) = 0;    // only the latest answer is shown
  uint64_t extensionQuestion_ QY_GUARDED_BY(mutex_) = 0;
  uint64_t engineQuestion_ QY_GUARDED_BY(mutex_) = 0;
  bool preferChosen_ QY_GUARDED_BY(mutex_) = false;  // the user set preferServer
  size_t probesLeft_ QY_GUARDED_BY(mutex_) = 0;
  std::vector<size_t> foundOrder_ QY_GUARDED_BY(mutex_);  // the target index of each found
  std::string choiceMessage_ QY_GUARDED_BY(mutex_);  // set until the choice's test has ended
  std::pair<std::string, std::string> packResultPair_ QY_GUARDED_BY(mutex_);  // packResult's
  bool stopping_ QY_GUARDED_BY(mutex_) = false;
  bool interrupted_ QY_GUARDED_BY(mutex_) = false;
  Mutex saveMutex_;  // one save at a time, in order
  // Declared last: destroyed (its queue run, its threads joined) before anything its tasks use.
  WorkerPool workers_;
};

}  // namespace qy::app
