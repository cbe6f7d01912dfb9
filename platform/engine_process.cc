// The restart, retry and time-limit rules of a conversation with a long-lived engine.
#include "platform/engine_process.h"

#include <cstdio>
#include <utility>

namespace qy::platform {

std::string secondsText(std::chrono::milliseconds limit) {
  const auto ms = limit.count();
  char buffer[32];
  if (ms % 1000 == 0)
    std::snprintf(buffer, sizeof buffer, "%lld 秒", static_cast<long long>(ms / 1000));
  else
    std::snprintf(buffer, sizeof buffer, "%.3g 秒", static_cast<double>(ms) / 1000.0);
  return buffer;
}

EngineProcess::EngineProcess(Texts texts, std::chrono::milliseconds answerLimit, Starter start)
    : texts_(std::move(texts)), answerLimit_(answerLimit), start_(std::move(start)) {}

EngineProcess::~EngineProcess() { stop(); }

void EngineProcess::stop() {
  std::shared_ptr<ProcessChain> chain;
  {
    MutexLock state(stateMutex_);
    stopped_ = true;
    chain = std::move(chain_);
  }
  // A batch in flight keeps its own reference and reaps the engine when it sees it end.
  if (chain) chain->terminate();
}

bool EngineProcess::stopped() {
  MutexLock state(stateMutex_);
  return stopped_;
}

void EngineProcess::drop(const std::shared_ptr<ProcessChain>& chain) {
  MutexLock state(stateMutex_);
  if (chain_ == chain) chain_.reset();
}

BatchResult EngineProcess::timedOut(std::chrono::milliseconds limit) const {
  return {{}, texts_.timedOutBefore + secondsText(limit) + texts_.timedOutAfter};
}

BatchResult EngineProcess::run(const Exchange& exchange, const TranslationDeadline& deadline,
                               const Reader& read) {
  MutexLock batch(batchMutex_);
  if (stopped()) return {{}, texts_.stopped};
  // The earlier of the run's deadline and our own limit holds, and the message names it.
  const auto now = SteadyClock::now();
  const bool ownLimit = now + answerLimit_ < deadline.at;
  const SteadyClock::time_point until = ownLimit ? now + answerLimit_ : deadline.at;
  const std::chrono::milliseconds limit = ownLimit ? answerLimit_ : deadline.limit;
  if (now >= until) return timedOut(limit);

  std::shared_ptr<ProcessChain> chain;
  {
    MutexLock state(stateMutex_);
    chain = chain_;
  }
  std::vector<std::string> records;
  ProcessChain::Status status = ProcessChain::Status::closed;
  for (int attempt = 0; attempt < 2; ++attempt) {
    // An engine that died since the last batch, or said more than it was asked, starts afresh.
    if (chain && (chain->exited() || chain->hasStrayOutput())) {
      drop(chain);
      chain.reset();
    }
    const bool fresh = !chain;
    if (fresh) {
      std::string error;
      chain = start_(until, error);
      if (!chain) return {{}, stopped() ? texts_.stopped : error};
      bool wasStopped = false;
      {
        MutexLock state(stateMutex_);
        wasStopped = stopped_;
        if (!wasStopped) chain_ = chain;
      }
      if (wasStopped) return {{}, texts_.stopped};  // the new engine ends with `chain`
    }
    records.clear();
    status = chain->exchange(exchange.input, exchange.terminator, exchange.records, until, records,
                             exchange.maxBytes);
    // An engine that was already gone when the batch came (it died while idle) gets one fresh
    // start; one that dies on the batch itself does not.
    if (status == ProcessChain::Status::closed && !fresh && !chain->receivedOutput()) {
      drop(chain);
      chain.reset();
      continue;
    }
    break;
  }
  if (status != ProcessChain::Status::ok) {
    drop(chain);  // ended with `chain`: its late answer must never meet another batch
    if (stopped()) return {{}, texts_.stopped};
    switch (status) {
      case ProcessChain::Status::timedOut:
        return timedOut(limit);
      case ProcessChain::Status::tooLong:
        return {{}, texts_.tooLong};
      default:
        return {{}, texts_.died};
    }
  }
  Reading reading = read(records);
  if (!reading.inStep) drop(chain);
  return std::move(reading.result);
}

}  // namespace qy::platform
