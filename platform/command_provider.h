// CommandProvider: a local translation program the user named in translators.json, kept running
// and spoken to through the JSON-lines protocol (platform/command_protocol.h). Its listed pairs
// are installed, everything else unsupported; there is nothing to download.
//
// The program is started at the first batch and kept running (platform/engine_process.h has the
// restart and time-limit rules). Whenever a conversation goes out of step — the program died,
// answered something unreadable or the wrong number of texts, or did not answer in time — it is
// killed and reaped, and started afresh at the next batch, so a late answer can never be taken
// for another batch's. A program that reports an error itself ({"error": …}) stays running.
//
// Threads: any thread; batches to one program run one at a time. Destroying the provider kills
// the program at once, even during a batch (which then fails); sessions that outlive it fail
// their batches.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "core/translate/translation_service.h"
#include "platform/engine_process.h"
#include "platform/translators_config.h"

namespace qy::platform {

class CommandProvider final : public TranslationService {
 public:
  explicit CommandProvider(CommandSpec spec, std::chrono::milliseconds answerLimit = kAnswerLimit);
  ~CommandProvider() override;

  PairStatus status(std::string_view source, std::string_view target) override;
  std::unique_ptr<TranslationSession> session(std::string_view source,
                                              std::string_view target) override;
  PackResult preparePack(std::string_view source, std::string_view target) override;

  const CommandSpec& spec() const { return spec_; }

  // The running program, shared with the sessions.
  class Program;

 private:
  CommandSpec spec_;
  std::shared_ptr<Program> program_;
};

}  // namespace qy::platform
