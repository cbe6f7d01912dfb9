// ApertiumProvider: rule-based translation with the Apertium pairs installed from Debian.
// A pair is installed when its mode file is in the modes directory, supported when a Debian
// package that would provide it is known but not installed, and unsupported otherwise — and every
// pair is unsupported while the `apertium` tools are missing.
//
// Each pair runs as one long-lived stage pipeline in null-flush mode (the stages that
// `apertium-wblank-mode -z` prints for the mode, unknown-word marks off), started on the first
// batch and started again after it died or went out of step. A batch is written as one record per
// segment while the output is read, so a full pipe never stalls the writer; every output record
// carries the id of its segment, so a translation can only ever be given to its own text.
// Preparing a pack installs its Debian package (platform/pack_install.h: apt-get, through pkexec
// unless we are root, or the command in QY_PACK_INSTALL).
//
// Threads: any thread. Batches on one pair run one at a time; different pairs run in parallel.
// Destroying the provider ends every pipeline at once, even during a batch (which then fails);
// sessions that outlive it fail. The restart and time-limit rules are platform/engine_process.h's.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/thread_annotations.h"
#include "core/translate/translation_service.h"
#include "platform/apertium_format.h"
#include "platform/engine_process.h"
#include "platform/engine_survey.h"

namespace qy::platform {

struct ApertiumOptions {
  std::filesystem::path modesDirectory = apertiumModesDirectory();
  std::string searchPath;                   // where the tools are found; empty: $PATH
  std::vector<std::string> installCommand;  // empty: packInstallCommand()'s choice
  std::chrono::milliseconds answerLimit = kAnswerLimit;
};

class ApertiumProvider final : public TranslationService {
 public:
  explicit ApertiumProvider(ApertiumOptions options = {});
  ~ApertiumProvider() override;
  ApertiumProvider(const ApertiumProvider&) = delete;
  ApertiumProvider& operator=(const ApertiumProvider&) = delete;

  PairStatus status(std::string_view source, std::string_view target) override;
  std::unique_ptr<TranslationSession> session(std::string_view source,
                                              std::string_view target) override;
  PackResult preparePack(std::string_view source, std::string_view target) override;
  // The mode findMode() picks decides: its own region, or none (the target without its region).
  std::string servedTarget(std::string_view source, std::string_view target) override;

  // The Debian package that provides translation from `source` into `target`, if one is known.
  static std::optional<std::string_view> packageFor(std::string_view source,
                                                    std::string_view target);
  // Every pair of that table with its package, in the table's order (for listings of what could
  // be installed).
  struct KnownPair {
    std::string_view source, target, package;
  };
  static std::vector<KnownPair> knownPairs();
  // The installed mode that serves a pair: the target's regional variant when there is one
  // ("en-US" → "spa-eng_US"), else the plain mode.
  std::optional<ApertiumFormat::ModeName> findMode(std::string_view source,
                                                   std::string_view target) const;

  class Pipeline;

 private:
  bool toolsPresent() const;
  std::shared_ptr<Pipeline> pipeline(const ApertiumFormat::ModeName& mode) QY_EXCLUDES(mutex_);

  const ApertiumOptions options_;
  Mutex mutex_;
  std::map<std::string, std::shared_ptr<Pipeline>> pipelines_ QY_GUARDED_BY(mutex_);  // by mode name
  bool stopped_ QY_GUARDED_BY(mutex_) = false;
};

}  // namespace qy::platform
