// TranslationService: the on-device translation service as the core sees it. Three operations:
// the availability of a language pair, a session that translates batches for an installed pair
// without asking the user anything, and preparing (installing) the language pack of a pair that
// is supported but not installed — the last one only from the settings application.
//
// The core never builds a service itself: platform/ implements this interface (Apertium and the
// user's command providers) and the programs install it as the process-wide default with
// setShared(); tests pass their own. Language codes are BCP 47 style ("en", "zh-Hans").
//
// Time: every batch carries the deadline of the run it belongs to. One translation run (one job)
// gets one deadline for all of its batches, so an engine that never answers holds a job for at
// most kTranslationTimeLimit in all, however many batches and languages the message has; a
// batch asked for after its deadline fails at once, without starting anything. A session may
// instead time each of its requests itself (BatchPacing::timesOwnRequests: a local model server,
// whose first answer may wait for a model to load): then every answered batch gives the run its
// whole time again, and a batch that timed out ends the run's time at once.
//
// Threads: implementations are safe to call from any thread; a session is used by one caller at
// a time (the translator runs one batch at a time) but may outlive or race with other sessions.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qy {

enum class PairStatus {
  installed,    // a model for the pair is on the machine
  supported,    // a model exists and can be installed
  unsupported,  // anything else
};

// The longest a translation run may wait for the service, all of its batches together.
inline constexpr std::chrono::seconds kTranslationTimeLimit{120};

// When a run's batches must be answered by, and the limit it was set from (for the messages that
// name the time, "在 120 秒内没有回答").
struct TranslationDeadline {
  std::chrono::steady_clock::time_point at;
  std::chrono::milliseconds limit{0};

  // The deadline `limit` from now.
  static TranslationDeadline after(std::chrono::milliseconds limit) {
    return {std::chrono::steady_clock::now() + limit, limit};
  }
  bool passed() const { return std::chrono::steady_clock::now() >= at; }
};

struct TranslationRequest {
  std::string sourceText;
  std::string clientIdentifier;
  bool operator==(const TranslationRequest&) const = default;
};

struct TranslationResponse {
  std::optional<std::string> clientIdentifier;
  std::string targetText;
  bool operator==(const TranslationResponse&) const = default;
};

// The outcome of one batch: responses (one per request, any order) or a readable description of
// what went wrong.
struct [[nodiscard]] BatchResult {
  BatchResult() = default;
  // Written as {responses, error} by the engines that only fail or answer.
  BatchResult(std::vector<TranslationResponse> responses, std::optional<std::string> error,
              bool timedOut = false, std::optional<std::string> partialError = std::nullopt)
      : responses(std::move(responses)), error(std::move(error)), timedOut(timedOut),
        partialError(std::move(partialError)) {}

  std::vector<TranslationResponse> responses;
  std::optional<std::string> error;
  // The batch failed because the engine did not answer in time.
  bool timedOut = false;
  // Texts the engine could not translate although the batch succeeded (they have no response),
  // described for the user; the batch's other responses stand.
  std::optional<std::string> partialError;
};

// How a session wants its batches cut and timed.
struct BatchPacing {
  // The most characters (code points) of source text in one batch; 0: no bound beyond the count
  // of texts. A batch always holds at least one text.
  size_t maxCharacters = 0;
  // The session gives each request a time limit of its own (see the top of this file).
  bool timesOwnRequests = false;
  bool operator==(const BatchPacing&) const = default;
};

// The outcome of preparing a pack: nothing on success, else a readable description.
struct [[nodiscard]] PackResult {
  std::optional<std::string> error;
};

class TranslationSession {
 public:
  virtual ~TranslationSession() = default;
  // Translates one batch, answered by `deadline` or failed with a readable timeout; never throws.
  // A failure is reported in BatchResult::error.
  virtual BatchResult translations(const std::vector<TranslationRequest>& requests,
                                   const TranslationDeadline& deadline) = 0;
  // How batches for this session are cut and timed; by default, by count under the run's deadline.
  virtual BatchPacing pacing() const { return {}; }
};

class TranslationService {
 public:
  virtual ~TranslationService() = default;

  virtual PairStatus status(std::string_view source, std::string_view target) = 0;
  // A session for an installed pair. A pair that stopped being installed gives a session whose
  // batches fail with a description.
  virtual std::unique_ptr<TranslationSession> session(std::string_view source,
                                                      std::string_view target) = 0;
  // Installs the pack of a supported pair (may ask the user for privileges; blocks until done).
  virtual PackResult preparePack(std::string_view source, std::string_view target) = 0;
  // The language the pair's engine writes when asked for `target`: `target` itself, or what
  // stands in for it when no engine has its region (plain "es" for "es-MX"). Banners name it.
  virtual std::string servedTarget(std::string_view source, std::string_view target) {
    (void)source;
    return std::string(target);
  }

  // The process-wide service. Until a program installs one, a service that supports nothing.
  static std::shared_ptr<TranslationService> shared();
  static void setShared(std::shared_ptr<TranslationService> service);
};

}  // namespace qy
