// HostClient over a Unix stream socket: one reader thread matches answers to waiting requests by
// id and hands events to the callback.
#include "protocol/host_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <thread>

#include "core/base/thread_annotations.h"
#include "protocol/host_frame.h"
#include "protocol/names.h"

namespace qy::protocol {
namespace {

using nlohmann::json;

// The name of the service's socket in the storage root.
constexpr const char* kSocketName = "ext.sock";
// Bytes read from the socket at a time.
constexpr size_t kReadChunk = 256 * 1024;

// A connected socket to `path`, or -1.
int connectTo(const std::filesystem::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string& name = path.native();
  if (name.empty() || name.size() >= sizeof address.sun_path) return -1;
  std::memcpy(address.sun_path, name.data(), name.size());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// What a host may show when a request (in practice a message) cannot be sent in one frame.
std::string overFrameLimitText(size_t bytes) {
  constexpr size_t kMiB = 1 << 20;
  return "邮件太大：发给扩展服务需要 " + std::to_string((bytes + kMiB - 1) / kMiB) +
         " MiB，超过了一次最多 " + std::to_string(kMaxFrameSize / kMiB) + " MiB 的上限";
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// The frame of a request, with a large "data" text spliced in unescaped when it is Base64.
std::string requestFrame(json& request) {
  auto data = request.find("data");
  if (data == request.end() || !data->is_string()) return encodeFrame(request);
  if (!needsNoEscaping(data->get_ref<const std::string&>())) return encodeFrame(request);
  std::string text = std::move(data->get_ref<std::string&>());
  request.erase(data);
  return encodeFrame(request, {RawField{{"data"}, text}});
}

class SocketHostClient final : public HostClient {
 public:
  SocketHostClient(int fd, EventHandler onEvent, ClosedHandler onClosed)
      : fd_(fd), onEvent_(std::move(onEvent)), onClosed_(std::move(onClosed)) {}

  ~SocketHostClient() override {
    {
      MutexLock lock(mutex_);
      destroying_ = true;  // the end that follows is ours, not the service's
    }
    ::shutdown(fd_, SHUT_RDWR);  // wakes the reader thread
    if (reader_.joinable()) reader_.join();
    ::close(fd_);
  }

  // Sends `hello` and waits for its answer for at most `timeout`, reading on this thread; then
  // starts the reader thread.
  bool greet(std::chrono::milliseconds timeout) {
    json request = {{"id", 0}, {"op", op::kHello}, {"version", kVersion}};
    if (!writeAll(fd_, encodeFrame(request))) return false;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (auto frame = frames_.next()) {
        if (!frame->error.empty()) return false;
        const json& answer = frame->object;
        if (field<int64_t>(answer, "id") != 0) continue;  // an early event
        if (field<bool>(answer, "ok") != true) return false;
        hello_ = answer;
        break;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      int rc = ::poll(&p, 1, static_cast<int>(left.count()));
      if (rc < 0 && errno == EINTR) continue;
      if (rc <= 0) return false;
      char buffer[4096];  // hello's answer is small
      ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      frames_.feed(std::string_view(buffer, static_cast<size_t>(n)));
    }
    reader_ = std::thread([this] { readLoop(); });
    return true;
  }

  const json& hello() const override { return hello_; }

  bool closed() const override {
    MutexLock lock(mutex_);
    return closed_;
  }

  std::optional<json> request(json request) override {
    if (!request.is_object()) return std::nullopt;
    int64_t id;
    {
      MutexLock lock(mutex_);
      if (closed_) return std::nullopt;
      id = nextId_++;
      waiting_[id] = std::nullopt;
    }
    request["id"] = id;
    std::string frame = requestFrame(request);
    if (frame.size() > kFrameHeaderSize + kMaxFrameSize) {
      // The service would refuse the frame and close the connection, failing every other
      // request on it: this request alone gets the error.
      {
        MutexLock lock(mutex_);
        waiting_.erase(id);
      }
      return json{{"id", id}, {"ok", false}, {"error", overFrameLimitText(frame.size() - kFrameHeaderSize)}};
    }
    bool sent;
    {
      MutexLock lock(writeMutex_);
      sent = writeAll(fd_, frame);
    }
    MutexLock lock(mutex_);
    if (!sent) {
      waiting_.erase(id);
      return std::nullopt;
    }
    lock.wait(answered_, [&]() QY_REQUIRES(mutex_) { return closed_ || waiting_[id].has_value(); });
    std::optional<json> answer = std::move(waiting_[id]);
    waiting_.erase(id);
    return answer;
  }

 private:
  void readLoop() {
    std::string buffer(kReadChunk, '\0');
    for (;;) {
      while (auto frame = frames_.next()) {
        if (!frame->error.empty()) return close();
        deliver(std::move(frame->object));
      }
      ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return close();
      frames_.feed(std::string_view(buffer.data(), static_cast<size_t>(n)));
    }
  }

  void deliver(json frame) {
    auto id = frame.find("id");
    if (id == frame.end()) {
      if (frame.contains("event") && onEvent_) onEvent_(frame);
      return;
    }
    if (!id->is_number_integer()) return;  // not one of ours
    int64_t key = id->get<int64_t>();
    MutexLock lock(mutex_);
    auto slot = waiting_.find(key);
    if (slot == waiting_.end()) return;
    slot->second = std::move(frame);
    answered_.notify_all();
  }

  void close() {
    bool tell;
    {
      MutexLock lock(mutex_);
      closed_ = true;
      answered_.notify_all();
      tell = !destroying_;
    }
    if (tell && onClosed_) onClosed_();
  }

  const int fd_;
  const EventHandler onEvent_;
  const ClosedHandler onClosed_;
  json hello_;
  FrameReader frames_;  // used by greet(), then only by the reader thread
  std::thread reader_;

  Mutex writeMutex_;  // one frame at a time on the socket

  mutable Mutex mutex_;
  std::condition_variable answered_;
  bool closed_ QY_GUARDED_BY(mutex_) = false;
  bool destroying_ QY_GUARDED_BY(mutex_) = false;
  int64_t nextId_ QY_GUARDED_BY(mutex_) = 1;
  std::map<int64_t, std::optional<json>> waiting_ QY_GUARDED_BY(mutex_);
};

}  // namespace

std::unique_ptr<HostClient> HostClient::connect(const std::filesystem::path& socketPath,
                                                std::chrono::milliseconds timeout,
                                                EventHandler onEvent, ClosedHandler onClosed) {
  int fd = connectTo(socketPath);
  if (fd < 0) return nullptr;
  auto client = std::make_unique<SocketHostClient>(fd, std::move(onEvent), std::move(onClosed));
  if (!client->greet(timeout)) return nullptr;
  return client;
}

std::filesystem::path serviceSocketPath(const std::filesystem::path& root) {
  return root / kSocketName;
}

bool isReaderAddress(std::string_view url) {
  constexpr std::string_view kStart = "http://127.0.0.1:";
  if (!url.starts_with(kStart) || !url.ends_with('/')) return false;
  const std::string_view port = url.substr(kStart.size(), url.size() - kStart.size() - 1);
  if (port.empty() || port.size() > 5 || port.front() == '0') return false;
  int number = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + (c - '0');
  }
  return number <= 65535;
}

}  // namespace qy::protocol
