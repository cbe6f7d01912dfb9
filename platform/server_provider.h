// ServerProvider: one local translation server from translators.json (platform/local_server.h) as
// a translation provider. A chat server (Ollama, OpenAI-compatible) translates every pair unless
// the entry lists its pairs; LibreTranslate translates what its GET /languages lists (read at the
// first question and kept for the provider's life, that is until the entry changes) unless the
// entry lists them. There is nothing to download.
//
// Batches are cut by characters (BatchPacing) so that a model on a laptop answers each within its
// time limit and a long message fills in batch by batch. Each request has its own time limit: the
// entry's timeoutSeconds or kServerRequestLimit, and kServerFirstRequestLimit for the first request
// that reaches a server in this process (its model may be loading). A chat answer that does not
// parse or miscounts is asked again in halves, down to single texts; a single text that still fails
// is left untranslated and named in the batch's partial error. An OpenAI-compatible server that
// refuses "response_format" is asked again without it, and from then on never with it.
//
// Threads: any thread; requests to one server may overlap (the server queues them).
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/translate/translation_service.h"
#include "platform/local_server.h"

namespace qy::platform {

// The most characters of source text in one request to a chat model: about 500 tokens in and
// 600 out, which a 7B model on a laptop CPU (10-20 tokens a second) answers in about a minute,
// well within kServerRequestLimit, and a first paint that does not wait for the whole message.
inline constexpr size_t kChatBatchCharacters = 1500;
// LibreTranslate's models are small and fast; larger batches only save requests.
inline constexpr size_t kLibreTranslateBatchCharacters = 5000;

struct ServerProviderOptions {
  // Zero: the entry's timeoutSeconds, else kServerRequestLimit.
  std::chrono::milliseconds requestLimit{0};
  std::chrono::milliseconds firstRequestLimit = kServerFirstRequestLimit;
  // For GET /languages.
  std::chrono::milliseconds surveyLimit{15'000};
};

class ServerProvider final : public TranslationService {
 public:
  explicit ServerProvider(ServerSpec spec, ServerProviderOptions options = {});
  ~ServerProvider() override;

  PairStatus status(std::string_view source, std::string_view target) override;
  std::unique_ptr<TranslationSession> session(std::string_view source,
                                              std::string_view target) override;
  PackResult preparePack(std::string_view source, std::string_view target) override;
  // LibreTranslate writes a language without its region ("es" for "es-MX").
  std::string servedTarget(std::string_view source, std::string_view target) override;

  const ServerSpec& spec() const { return spec_; }
  // "Ollama（127.0.0.1:11434）".
  std::string name() const;

  // The state the sessions share with the provider.
  struct Shared;

 private:
  const ServerSpec spec_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace qy::platform
