// SystemTranslationService: the translation service of this machine. It consults its providers
// in order — Apertium (unless translators.json turns it off), then the command providers listed in
// translators.json, then the local translation servers listed there, in file order — and is what
// the programs install as the process-wide service:
//   TranslationService::setShared(platform::systemTranslationService());
// A pair is installed when some provider has it installed (the first such one translates it),
// supported when none has it but some provider could install it, unsupported otherwise.
// translators.json is read again when it changes (checked at each availability question); running
// providers whose entry is unchanged keep running. A file that is not used (see TranslatorsConfig)
// is named in one log line with the reason, once per change, and so is each server entry that is
// refused (a non-loopback address: nothing is ever sent to it).
//
// Threads: any thread. A reload never waits for a batch: replaced providers are stopped (their
// engines ended at once) outside the lock. Destroying the service stops every provider (their
// processes are killed and reaped); the process-wide one lives until exit.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "core/base/file_io.h"
#include "core/base/thread_annotations.h"
#include "core/translate/translation_service.h"
#include "platform/apertium_provider.h"
#include "platform/command_provider.h"
#include "platform/server_provider.h"
#include "platform/translators_config.h"

namespace qy::platform {

struct SystemServiceOptions {
  std::filesystem::path configFile;  // empty: translators.json in the storage root
  ApertiumOptions apertium;
  std::chrono::milliseconds answerLimit = kAnswerLimit;  // for command providers
  ServerProviderOptions servers;                          // for local translation servers
  std::function<void(std::string_view)> log;              // empty: Log::write
};

class SystemTranslationService final : public TranslationService {
 public:
  explicit SystemTranslationService(SystemServiceOptions options = {});
  ~SystemTranslationService() override;

  PairStatus status(std::string_view source, std::string_view target) override;
  std::unique_ptr<TranslationSession> session(std::string_view source,
                                              std::string_view target) override;
  PackResult preparePack(std::string_view source, std::string_view target) override;
  // What the provider that translates the pair writes; `target` when none has it installed.
  std::string servedTarget(std::string_view source, std::string_view target) override;

 private:
  // The providers in order, after reloading translators.json when it changed.
  std::vector<std::shared_ptr<TranslationService>> providers() QY_EXCLUDES(mutex_);

  const SystemServiceOptions options_;
  Mutex mutex_;
  bool checked_ QY_GUARDED_BY(mutex_) = false;
  std::optional<FileStamp> stamp_ QY_GUARDED_BY(mutex_);  // absent: no file
  std::shared_ptr<ApertiumProvider> apertium_ QY_GUARDED_BY(mutex_);
  std::vector<std::shared_ptr<CommandProvider>> commands_ QY_GUARDED_BY(mutex_);
  std::vector<std::shared_ptr<ServerProvider>> servers_ QY_GUARDED_BY(mutex_);
};

// The process-wide service, built on first use.
std::shared_ptr<TranslationService> systemTranslationService();

}  // namespace qy::platform
