// The native host's transport: frames in from Thunderbird, requests answered by a worker pool,
// answers and events out in frames Thunderbird accepts.
#include "extension/service/native_host.h"

#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <string_view>

#include "core/base/thread_annotations.h"
#include "core/base/worker_pool.h"
#include "core/doc/display_document.h"
#include "core/mime/mime_decode.h"
#include "protocol/addon_frames.h"
#include "protocol/host_frame.h"

namespace qy {
namespace {

using nlohmann::json;

// Bytes read from standard input at a time.
constexpr size_t kReadChunk = 64 * 1024;

json idOf(const json& request) {
  auto id = request.find("id");
  return id == request.end() ? json(nullptr) : *id;
}

std::string errorText(const json& id, const std::string& error) {
  return json{{"id", id}, {"ok", false}, {"error", error}}.dump(-1, ' ', false,
                                                              json::error_handler_t::replace);
}

// Writes whole frame sequences to Thunderbird; once a write fails (Thunderbird has gone) the
// rest are dropped.
class AddonWriter {
 public:
  explicit AddonWriter(int fd) : fd_(fd) {}

  void write(std::string_view json) QY_EXCLUDES(lock_) {
    MutexLock hold(lock_);
    if (failed_) {
      return;
    }
    for (const std::string& frame : protocol::addonFrames(json, nextSeq_++)) {
      if (!writeAll(frame)) {
        failed_ = true;
        return;
      }
    }
  }

 private:
  bool writeAll(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        return false;
      }
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

  const int fd_;
  Mutex lock_;
  uint64_t nextSeq_ QY_GUARDED_BY(lock_) = 1;
  bool failed_ QY_GUARDED_BY(lock_) = false;
};

// Counts the requests in flight, so that reading pauses at the limit and the host ends only
// when all are answered.
class InFlight {
 public:
  void enter() QY_EXCLUDES(lock_) {
    MutexLock hold(lock_);
    hold.wait(changed_, [this]() QY_NO_THREAD_SAFETY_ANALYSIS { return count_ < kMaxRequestsInFlight; });
    ++count_;
  }
  void leave() QY_EXCLUDES(lock_) {
    MutexLock hold(lock_);
    --count_;
    changed_.notify_all();  // under the lock: the waiter may destroy this object once it sees 0
  }
  void waitIdle() QY_EXCLUDES(lock_) {
    MutexLock hold(lock_);
    hold.wait(changed_, [this]() QY_NO_THREAD_SAFETY_ANALYSIS { return count_ == 0; });
  }

 private:
  Mutex lock_;
  std::condition_variable changed_;
  size_t count_ QY_GUARDED_BY(lock_) = 0;
};

}  // namespace

std::optional<std::string> displayBodyFor(const json& request, const std::string& answerData) {
  const auto sent = request.find("data");
  if (sent != request.end() && sent->is_string() && sent->get_ref<const std::string&>() == answerData) {
    return std::nullopt;
  }
  const std::string_view text(answerData);
  const Bytes message = MIME::decodeBase64(
      ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  const DisplayDocument document = displayDocument(message);
  if (!document.hasBody) {
    return std::nullopt;
  }
  return document.html;
}

int runNativeHost(int in, int out, const BackendFactory& makeBackend) {
  AddonWriter writer(out);
  InFlight inFlight;
  const std::unique_ptr<HostBackend> backend =
      makeBackend([&writer](const json& event) { writer.write(event.dump()); });
  WorkerPool pool({.name = "native host requests",
                   .threads = kMaxRequestsInFlight,
                   .capacity = kMaxRequestsInFlight,
                   .eager = false,
                   .onError = {}});
  protocol::FrameReader reader;
  int status = 0;
  std::string chunk(kReadChunk, '\0');
  bool open = true;
  while (open) {
    const ssize_t n = ::read(in, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    reader.feed(std::string_view(chunk.data(), static_cast<size_t>(n)));
    while (auto frame = reader.next()) {
      if (!frame->error.empty()) {
        writer.write(errorText(nullptr, frame->error));
        status = 1;
        open = false;
        break;
      }
      inFlight.enter();
      auto request = std::make_shared<json>(std::move(frame->object));
      const bool started = pool.submit([&writer, &inFlight, &backend, request] {
        std::string answer;
        try {
          answer = backend->handle(*request);
        } catch (const std::exception& error) {
          answer = errorText(idOf(*request), std::string("internal error: ") + error.what());
        }
        writer.write(answer);
        inFlight.leave();
      });
      if (!started) {
        writer.write(errorText(idOf(*request), "the host is busy (it cannot start a thread)"));
        inFlight.leave();
      }
    }
  }
  inFlight.waitIdle();
  return status;
}

}  // namespace qy
