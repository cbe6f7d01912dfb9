// Forwarding the native host's requests to the running service, with a fallback.
#include "extension/native_host_backends.h"

#include <utility>
#include <vector>

#include "core/base/thread_annotations.h"
#include "extension/host_protocol.h"
#include "platform/host_client.h"
#include "platform/host_frame.h"
#include "platform/mail_kit.h"

namespace qy {
namespace {

using nlohmann::json;
using platform::field;

std::string dumpAnswer(const json& answer) {
  return answer.dump(-1, ' ', false, json::error_handler_t::replace);
}

class ServiceBackend : public HostBackend {
 public:
  ServiceBackend(std::shared_ptr<platform::HostClient> client, std::filesystem::path socket,
                 EventSink sink, BackendFactory fallback)
      : socket_(std::move(socket)), sink_(std::move(sink)), makeFallback_(std::move(fallback)),
        client_(std::move(client)) {}

  std::string handle(const json& request) override {
    if (field<std::string>(request, "op") == "subscribe") {
      MutexLock hold(lock_);
      subscribed_ = true;
    }
    json forwarded = request;
    forwarded.erase("id");
    auto [client, fallback] = current();
    std::optional<json> answer;
    if (client) {
      answer = client->request(forwarded);
      if (!answer) {
        std::tie(client, fallback) = reconnect(client);
        if (client) {
          answer = client->request(forwarded);
        }
      }
    }
    if (!answer) {
      if (!fallback) {
        std::tie(client, fallback) = reconnect(client);
      }
      return fallback->handle(request);
    }
    (*answer)["id"] = field<json>(request, "id").value_or(nullptr);
    addDisplayBody(request, *answer);
    return dumpAnswer(*answer);
  }

 private:
  using Route = std::pair<std::shared_ptr<platform::HostClient>, std::shared_ptr<HostBackend>>;

  Route current() QY_EXCLUDES(lock_) {
    MutexLock hold(lock_);
    return {client_, fallback_};
  }

  // After `failed` lost its connection: a new connection (unless another thread made one
  // already), else the fallback backend for good.
  Route reconnect(const std::shared_ptr<platform::HostClient>& failed) QY_EXCLUDES(lock_) {
    MutexLock hold(lock_);
    if (client_ && client_ != failed) {
      return {client_, nullptr};
    }
    if (!fallback_) {
      client_ = platform::HostClient::connect(socket_, kServiceConnectTimeout, sink_);
      if (client_) {
        if (subscribed_) {
          client_->request(json{{"op", "subscribe"}});
        }
        return {client_, nullptr};
      }
      fallback_ = makeFallback_(sink_);
      if (subscribed_) {
        fallback_->handle(json{{"id", nullptr}, {"op", "subscribe"}});
      }
    }
    return {nullptr, fallback_};
  }

  static void addDisplayBody(const json& request, json& answer) {
    if (field<std::string>(request, "op") != "decodedMessage" || !field<bool>(answer, "ok").value_or(false)) {
      return;
    }
    auto message = answer.find("message");
    if (message == answer.end() || !message->is_object()) {
      return;
    }
    auto data = message->find("data");
    if (data == message->end() || !data->is_string()) {
      return;
    }
    if (auto html = displayBodyFor(request, data->get<std::string>())) {
      (*message)["html"] = std::move(*html);
    }
  }

  const std::filesystem::path socket_;
  const EventSink sink_;
  const BackendFactory makeFallback_;
  Mutex lock_;
  std::shared_ptr<platform::HostClient> client_ QY_GUARDED_BY(lock_);
  std::shared_ptr<HostBackend> fallback_ QY_GUARDED_BY(lock_);
  bool subscribed_ QY_GUARDED_BY(lock_) = false;
};

class LocalBackend : public HostBackend {
 public:
  explicit LocalBackend(EventSink sink) : sink_(std::move(sink)) {
    services_.handler = &MailExtension::handlerForMessageSecurity();
    services_.readerURL = [] { return std::optional<std::string>(); };
    services_.reloadVisibleMessages = [this] { return sendReload() ? size_t{1} : size_t{0}; };
    platform::ExtensionManager::setReloader([this](platform::ExtensionManager::Completion done) {
      sendReload();
      if (done) {
        done(std::nullopt);  // not subscribed yet: nothing shown can be stale
      }
    });
  }
  ~LocalBackend() override { platform::ExtensionManager::setReloader(nullptr); }

  std::string handle(const json& request) override {
    HostAnswer answer = handleRequest(request, session_, services_);
    if (field<std::string>(request, "op") == "decodedMessage") {
      for (const auto& [path, text] : answer.base64) {
        if (path == std::vector<std::string>{"message", "data"}) {
          if (auto html = displayBodyFor(request, text)) {
            answer.object["message"]["html"] = std::move(*html);
          }
        }
      }
    }
    return answer.frame().substr(platform::kFrameHeaderSize);
  }

 private:
  bool sendReload() {
    if (!session_.subscribed()) {
      return false;
    }
    sink_(json{{"event", "reloadVisibleMessages"}});
    return true;
  }

  const EventSink sink_;
  HostSession session_;
  HostServices services_;
};

}  // namespace

std::unique_ptr<HostBackend> makeLocalBackend(HostBackend::EventSink sink) {
  return std::make_unique<LocalBackend>(std::move(sink));
}

std::unique_ptr<HostBackend> connectServiceBackend(const std::filesystem::path& socket,
                                                   HostBackend::EventSink sink,
                                                   BackendFactory fallback) {
  std::shared_ptr<platform::HostClient> client =
      platform::HostClient::connect(socket, kServiceConnectTimeout, sink);
  if (!client) {
    return nullptr;
  }
  return std::make_unique<ServiceBackend>(std::move(client), socket, std::move(sink),
                                          std::move(fallback));
}

}  // namespace qy
