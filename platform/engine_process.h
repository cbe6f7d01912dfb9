// EngineProcess: a long-lived translation engine (one program, or a pipeline of them) and the
// conversation with it, shared by the Apertium and the command providers. The provider says how
// to start the engine, what to write for a batch and how to read the answer; EngineProcess does
// the rest the same way for both:
//   - the engine starts at the first batch and is kept running between batches;
//   - one that died or said something nobody asked for since the last batch is started afresh,
//     and one that was already gone when a batch came gets exactly one fresh start for it;
//   - whenever a conversation goes out of step (the engine died on the batch, did not answer by
//     the deadline, said too much, or answered something the provider refuses), it is killed and
//     reaped, so a late answer can never be taken for another batch's;
//   - every failure becomes a readable text naming the engine.
// A batch is answered by the earlier of the run's deadline and the per-batch answer limit; a batch
// whose deadline has passed fails at once, without starting the engine.
//
// Threads: any thread. Batches run one at a time. stop() may come from any thread at any time and
// never waits for a batch: it ends the engine's process group at once (the batch in flight then
// fails with the "stopped" text) and every later batch fails. Destroying it stops it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/thread_annotations.h"
#include "core/translate/translation_service.h"
#include "platform/child_process.h"

namespace qy::platform {

// The per-batch answer limit when nothing else is said: the whole time a run may take.
inline constexpr std::chrono::milliseconds kAnswerLimit{kTranslationTimeLimit};

// Readable "120 秒" or "0.2 秒" for a time limit.
std::string secondsText(std::chrono::milliseconds limit);

class EngineProcess {
 public:
  // How the failures read; each names the engine ("翻译程序 mt 意外退出").
  struct Texts {
    std::string stopped;  // the provider was stopped
    std::string died;     // the engine ended during the batch
    std::string tooLong;  // it said more than allowed
    // No answer in time: timedOutBefore + "120 秒" + timedOutAfter.
    std::string timedOutBefore, timedOutAfter;
  };
  // Starts the engine; nothing, with a complete readable `error`, when it cannot be started.
  // Given the batch's deadline for any waiting it does itself.
  using Starter = std::function<std::unique_ptr<ProcessChain>(
      std::chrono::steady_clock::time_point deadline, std::string& error)>;
  // What one batch writes and how much comes back: `records` records ending in `terminator`.
  struct Exchange {
    std::string_view input;
    char terminator = '\n';
    size_t records = 1;
    size_t maxBytes = 0;
  };
  // The provider's reading of the records of a complete answer, and whether the conversation is
  // still in step (false: the engine is ended, to start afresh at the next batch).
  struct Reading {
    BatchResult result;
    bool inStep = true;
  };
  using Reader = std::function<Reading(std::vector<std::string>& records)>;

  EngineProcess(Texts texts, std::chrono::milliseconds answerLimit, Starter start);
  ~EngineProcess();
  EngineProcess(const EngineProcess&) = delete;
  EngineProcess& operator=(const EngineProcess&) = delete;

  // One batch: writes `exchange.input` while reading the answer, and hands the records to `read`.
  BatchResult run(const Exchange& exchange, const TranslationDeadline& deadline, const Reader& read)
      QY_EXCLUDES(batchMutex_, stateMutex_);
  void stop() QY_EXCLUDES(stateMutex_);

 private:
  BatchResult timedOut(std::chrono::milliseconds limit) const;
  bool stopped() QY_EXCLUDES(stateMutex_);
  // Forgets `chain` as the running engine (if it still is); the caller's copy ends it.
  void drop(const std::shared_ptr<ProcessChain>& chain) QY_EXCLUDES(stateMutex_);

  const Texts texts_;
  const std::chrono::milliseconds answerLimit_;
  const Starter start_;
  // Held for a whole batch: one conversation at a time.
  Mutex batchMutex_;
  // Held only for a moment, never while waiting: stop() takes it while a batch runs.
  Mutex stateMutex_;
  std::shared_ptr<ProcessChain> chain_ QY_GUARDED_BY(stateMutex_);
  bool stopped_ QY_GUARDED_BY(stateMutex_) = false;
};

}  // namespace qy::platform
