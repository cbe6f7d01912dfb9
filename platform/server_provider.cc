// Pairs, batches and time limits of the local translation servers.
#include "platform/server_provider.h"

#include <algorithm>
#include <set>

#include "core/base/thread_annotations.h"
#include "core/base/unicode.h"
#include "core/translate/lang.h"
#include "platform/chat_answer.h"
#include "platform/engine_process.h"
#include "platform/local_http.h"
#include "platform/server_messages.h"
#include "platform/server_wire.h"

namespace qy::platform {
namespace {

// How long a LibreTranslate server whose languages could not be read is left alone before the
// next question asks it again.
constexpr std::chrono::seconds kLanguagesRetryAfter{30};

// The servers this process has reached, by url: the first request to each may wait for a model
// to load.
Mutex reachedMutex;
std::set<std::string>& reached() QY_REQUIRES(reachedMutex) {
  static std::set<std::string> urls;
  return urls;
}

bool reachedBefore(const std::string& url) {
  MutexLock lock(reachedMutex);
  return reached().count(url) > 0;
}

void markReached(const std::string& url) {
  MutexLock lock(reachedMutex);
  reached().insert(url);
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = Unicode::asciiLower(c);
  return out;
}

// A listed code covers the same code in any case, and a bare language ("en") covers its
// regional and script forms ("en-GB").
bool covers(std::string_view listed, std::string_view requested) {
  const std::string l = lower(listed);
  if (l == lower(requested)) return true;
  return l.find('-') == std::string::npos && !l.empty() && l == Lang::base(requested);
}

// A code as LibreTranslate's pairs are compared: no region, Chinese by script.
std::string libreNormal(std::string_view code) {
  return ServerWire::fromLibreCode(ServerWire::toLibreCode(code, false));
}

}  // namespace

struct ServerProvider::Shared {
  ServerSpec spec;
  ServerProviderOptions options;
  std::string name;
  // An OpenAI-compatible server that refused "response_format" is not asked with it again.
  std::atomic<bool> withoutResponseFormat{false};

  Mutex languagesMutex;
  std::optional<ServerWire::LibreLanguages> languages QY_GUARDED_BY(languagesMutex);
  std::optional<std::chrono::steady_clock::time_point> languagesFailedAt QY_GUARDED_BY(languagesMutex);

  // The limit for the next request.
  std::chrono::milliseconds requestLimit() const {
    std::chrono::milliseconds limit = options.requestLimit;
    if (limit.count() <= 0)
      limit = spec.timeoutSeconds ? std::chrono::seconds(*spec.timeoutSeconds)
                                  : std::chrono::milliseconds(kServerRequestLimit);
    if (!reachedBefore(spec.url)) limit = std::max(limit, options.firstRequestLimit);
    return limit;
  }

  struct Answer {
    LocalHttp::Response response;
    std::chrono::milliseconds limit{0};
  };

  Answer post(const std::string& path, std::string body) {
    LocalHttp::Request request;
    request.method = "POST";
    request.path = path;
    request.body = std::move(body);
    request.limit = requestLimit();
    if (spec.api == ServerApi::openai && !spec.apiKey.empty())
      request.headers.emplace_back("Authorization", "Bearer " + spec.apiKey);
    Answer answer{LocalHttp::send(spec.url, request), request.limit};
    const LocalHttp::Failure failure = answer.response.failure;
    if (failure != LocalHttp::Failure::refused && failure != LocalHttp::Failure::unreachable)
      markReached(spec.url);
    return answer;
  }

  // LibreTranslate's languages, read once; nothing while they cannot be read.
  std::optional<ServerWire::LibreLanguages> libreLanguages() QY_EXCLUDES(languagesMutex) {
    MutexLock lock(languagesMutex);
    if (languages) return languages;
    const auto now = std::chrono::steady_clock::now();
    if (languagesFailedAt && now - *languagesFailedAt < kLanguagesRetryAfter) return std::nullopt;
    LocalHttp::Request request;
    request.path = "/languages";
    request.limit = options.surveyLimit;
    const LocalHttp::Response response = LocalHttp::send(spec.url, request);
    if (response.failure == LocalHttp::Failure::none && response.status / 100 == 2)
      languages = ServerWire::libreLanguages(response.body);
    if (!languages) languagesFailedAt = now;
    return languages;
  }
};

namespace {

using Shared = ServerProvider::Shared;

// What one chat request got: the translations, or why the batch fails.
struct ChatReply {
  std::optional<std::vector<std::string>> translations;  // nothing: the answer did not fit
  std::optional<std::string> error;                     // the request failed
  bool timedOut = false;
};

ChatReply askChat(Shared& shared, const std::vector<std::string>& texts, std::string_view source,
                  std::string_view target) {
  const ServerSpec& spec = shared.spec;
  const std::string system = ChatAnswer::systemMessage(source, target, texts.size());
  const std::string user = ChatAnswer::userMessage(texts);
  Shared::Answer answer;
  std::optional<std::string> content;
  if (spec.api == ServerApi::ollama) {
    answer = shared.post("/api/chat", ServerWire::ollamaRequest(spec.model, system, user, texts.size()));
  } else {
    const bool schema = !shared.withoutResponseFormat.load();
    answer = shared.post("/chat/completions",
                         ServerWire::openaiRequest(spec.model, system, user, texts.size(), schema));
    // A server without structured output refuses the request (400 or 422); ask again plainly.
    const int status = answer.response.status;
    if (schema && answer.response.failure == LocalHttp::Failure::none &&
        (status == 400 || status == 422)) {
      Shared::Answer plain = shared.post(
          "/chat/completions", ServerWire::openaiRequest(spec.model, system, user, texts.size(), false));
      if (plain.response.failure == LocalHttp::Failure::none && plain.response.status / 100 == 2)
        shared.withoutResponseFormat = true;
      answer = std::move(plain);
    }
  }
  ChatReply reply;
  if (auto failure = ServerMessages::failure(spec.api, spec.url, answer.response, answer.limit, spec.model)) {
    reply.error = std::move(failure);
    reply.timedOut = answer.response.failure == LocalHttp::Failure::timedOut;
    return reply;
  }
  content = spec.api == ServerApi::ollama ? ServerWire::ollamaContent(answer.response.body)
                                          : ServerWire::openaiContent(answer.response.body);
  if (!content) {
    reply.error = ServerMessages::unreadable(spec.api, spec.url);
    return reply;
  }
  reply.translations = ChatAnswer::parse(*content, texts.size());
  return reply;
}

class ServerSession final : public TranslationSession {
 public:
  ServerSession(std::shared_ptr<Shared> shared, std::string source, std::string target)
      : shared_(std::move(shared)), source_(std::move(source)), target_(std::move(target)) {}

  BatchResult translations(const std::vector<TranslationRequest>& requests,
                           const TranslationDeadline& deadline) override {
    if (requests.empty()) return {};
    // The run's time went to a server that did not answer: no new request.
    if (deadline.passed())
      return {{}, shared_->name + "在 " + secondsText(deadline.limit) + "内没有回答", true, {}};
    std::vector<std::string> texts;
    texts.reserve(requests.size());
    for (const auto& request : requests) texts.push_back(request.sourceText);
    std::vector<std::optional<std::string>> translated(texts.size());
    BatchResult result = shared_->spec.api == ServerApi::libretranslate ? libre(texts, translated)
                                                                         : chat(texts, translated);
    if (result.error) return result;
    for (size_t i = 0; i < requests.size(); ++i)
      if (translated[i]) result.responses.push_back({requests[i].clientIdentifier, std::move(*translated[i])});
    return result;
  }

  BatchPacing pacing() const override {
    return {shared_->spec.api == ServerApi::libretranslate ? kLibreTranslateBatchCharacters
                                                           : kChatBatchCharacters,
            true};
  }

 private:
  // The chat request for texts [begin, end), halved while the answer does not fit. Ranges are
  // kept on a stack, first half on top, so the texts are asked for in order.
  BatchResult chat(const std::vector<std::string>& texts,
                   std::vector<std::optional<std::string>>& translated) {
    std::vector<std::pair<size_t, size_t>> ranges = {{0, texts.size()}};
    size_t failed = 0;
    while (!ranges.empty()) {
      const auto [begin, end] = ranges.back();
      ranges.pop_back();
      const std::vector<std::string> part(texts.begin() + static_cast<std::ptrdiff_t>(begin),
                                          texts.begin() + static_cast<std::ptrdiff_t>(end));
      ChatReply reply = askChat(*shared_, part, source_, target_);
      if (reply.error) return {{}, std::move(reply.error), reply.timedOut, {}};
      if (reply.translations) {
        for (size_t i = begin; i < end; ++i) translated[i] = std::move((*reply.translations)[i - begin]);
        continue;
      }
      if (end - begin == 1) {
        ++failed;
        continue;
      }
      const size_t middle = begin + (end - begin) / 2;
      ranges.emplace_back(middle, end);
      ranges.emplace_back(begin, middle);
    }
    BatchResult result;
    if (failed > 0)
      result.partialError = shared_->name + "没能翻译其中 " + std::to_string(failed) +
                            " 段：它的回答不是所要的 JSON 数组";
    return result;
  }

  BatchResult libre(const std::vector<std::string>& texts,
                    std::vector<std::optional<std::string>>& translated) {
    const ServerSpec& spec = shared_->spec;
    const auto languages = shared_->libreLanguages();
    const bool old = languages && languages->oldChineseCodes;
    const Shared::Answer answer = shared_->post(
        "/translate", ServerWire::libreRequest(texts, ServerWire::toLibreCode(source_, old),
                                               ServerWire::toLibreCode(target_, old), spec.apiKey));
    if (auto failure = ServerMessages::failure(spec.api, spec.url, answer.response, answer.limit))
      return {{}, std::move(failure), answer.response.failure == LocalHttp::Failure::timedOut, {}};
    auto got = ServerWire::libreAnswer(answer.response.body);
    if (!got) return {{}, ServerMessages::unreadable(spec.api, spec.url), false, {}};
    if (got->size() != texts.size())
      return {{}, shared_->name + "返回了 " + std::to_string(got->size()) + " 条译文，应为 " +
                      std::to_string(texts.size()) + " 条", false, {}};
    for (size_t i = 0; i < texts.size(); ++i) translated[i] = std::move((*got)[i]);
    return {};
  }

  std::shared_ptr<Shared> shared_;
  const std::string source_;
  const std::string target_;
};

}  // namespace

ServerProvider::ServerProvider(ServerSpec spec, ServerProviderOptions options)
    : spec_(std::move(spec)), shared_(std::make_shared<Shared>()) {
  shared_->spec = spec_;
  shared_->options = options;
  shared_->name = serverName(spec_.api, spec_.url);
}

ServerProvider::~ServerProvider() = default;

std::string ServerProvider::name() const { return shared_->name; }

PairStatus ServerProvider::status(std::string_view source, std::string_view target) {
  if (!spec_.pairs.empty()) {
    for (const auto& [from, to] : spec_.pairs)
      if ((from == "*" || covers(from, source)) && covers(to, target)) return PairStatus::installed;
    return PairStatus::unsupported;
  }
  if (spec_.api != ServerApi::libretranslate) return PairStatus::installed;
  const auto languages = shared_->libreLanguages();
  // A server that cannot say what it serves is taken at its word for every pair, so that its
  // batches fail with the reason ("not running") instead of the pair reading as unsupported.
  if (!languages) return PairStatus::installed;
  const std::pair<std::string, std::string> wanted{libreNormal(source), libreNormal(target)};
  for (const auto& [from, to] : languages->pairs)
    if (libreNormal(from) == wanted.first && libreNormal(to) == wanted.second)
      return PairStatus::installed;
  return PairStatus::unsupported;
}

std::unique_ptr<TranslationSession> ServerProvider::session(std::string_view source,
                                                            std::string_view target) {
  return std::make_unique<ServerSession>(shared_, std::string(source), std::string(target));
}

PackResult ServerProvider::preparePack(std::string_view source, std::string_view target) {
  if (status(source, target) == PairStatus::installed) return {};
  return {name() + "不提供这个语言对"};
}

std::string ServerProvider::servedTarget(std::string_view source, std::string_view target) {
  (void)source;
  if (spec_.api == ServerApi::libretranslate) return libreNormal(target);
  return std::string(target);
}

}  // namespace qy::platform
