// Forwarding the native host's requests to the running service, with a fallback.
#include "extension/service/native_host_backends.h"

#include <utility>
#include <vector>

#include "core/base/thread_annotations.h"
#include "extension/service/host_protocol.h"
#include "protocol/host_frame.h"
#include "protocol/names.h"
#include "protocol/service_connection.h"
#include "platform/mail_kit.h"

namespace qy {
namespace {

using nlohmann::json;
using protocol::field;

std::string dumpAnswer(const json& answer) {
  return answer.dump(-1, ' ', false, json::error_handler_t::replace);
}

class ServiceBackend : public HostBackend {
 public:
  ServiceBackend(std::unique_ptr<protocol::ServiceConnection> service, EventSink sink,
                 BackendFactory fallback)
      : service_(std::move(service)), sink_(std::move(sink)), makeFallback_(std::move(fallback)) {}

  std::string handle(const json& request) override {
    if (auto fallback = currentFallback()) return fallback->handle(request);
    json forwarded = request;
    forwarded.erase("id");
    std::optional<json> answer = service_->request(forwarded);
    if (!answer) return useFallback()->handle(request);
    (*answer)["id"] = field<json>(request, "id").value_or(nullptr);
    addDisplayBody(request, *answer);
    return dumpAnswer(*answer);
  }

 private:
  std::shared_ptr<HostBackend> currentFallback() QY_EXCLUDES(lock_) {
    MutexLock hold(lock_);
    return fallback_;
  }

  // The fallback backend, for this and every later request, once no service answers any more:
  // subscribed as Thunderbird was. Made without the lock; the first one made is kept.
  std::shared_ptr<HostBackend> useFallback() QY_EXCLUDES(lock_) {
    if (auto fallback = currentFallback()) return fallback;
    std::shared_ptr<HostBackend> made = makeFallback_(sink_);
    if (service_->subscribed()) made->handle(json{{"id", nullptr}, {"op", protocol::op::kSubscribe}});
    std::shared_ptr<HostBackend> kept;
    {
      MutexLock hold(lock_);
      if (!fallback_) fallback_ = made;
      kept = fallback_;
    }
    // The fallback sends the events from now on: a service that comes back must not send them
    // twice.
    service_->close();
    return kept;
  }

  static void addDisplayBody(const json& request, json& answer) {
    if (field<std::string>(request, "op") != protocol::op::kDecodedMessage ||
        !field<bool>(answer, "ok").value_or(false)) {
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

  const std::unique_ptr<protocol::ServiceConnection> service_;
  const EventSink sink_;
  const BackendFactory makeFallback_;
  Mutex lock_;
  std::shared_ptr<HostBackend> fallback_ QY_GUARDED_BY(lock_);
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
    if (field<std::string>(request, "op") == protocol::op::kDecodedMessage) {
      for (const auto& [path, text] : answer.base64) {
        if (path == std::vector<std::string>{"message", "data"}) {
          if (auto html = displayBodyFor(request, text)) {
            answer.object["message"]["html"] = std::move(*html);
          }
        }
      }
    }
    return answer.frame().substr(protocol::kFrameHeaderSize);
  }

 private:
  bool sendReload() {
    if (!session_.subscribed()) {
      return false;
    }
    sink_(json{{"event", protocol::event::kReloadVisibleMessages}});
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
  protocol::ServiceConnectionOptions connection;
  connection.socketPath = socket;
  connection.connectTimeout = kServiceConnectTimeout;
  connection.onEvent = sink;
  auto service = std::make_unique<protocol::ServiceConnection>(std::move(connection));
  if (!service->connect()) {
    return nullptr;
  }
  return std::make_unique<ServiceBackend>(std::move(service), std::move(sink), std::move(fallback));
}

}  // namespace qy
