// ReaderServer: the web mail reader's HTTP server on 127.0.0.1. It serves the page (compiled in),
// the message list of a MailSource, each message as the extension decodes it (through the host
// protocol, like any mail client, or as received when the page asks for the original), the
// message body for the sandboxed frame, attachments as downloads, the banner's
// button and the panel, and a stream of Server-Sent Events that tells the page to show the
// visible message again when the extension asks for a reload.
//
// Who may ask, the launch token and cookie (qy_reader_PORT), the request bounds, the security
// headers and the refusal pages are the local web layer's (web/local_server.h); this file declares
// the routes. The page's policy allows only its own script and style; the message frame's
// forbids every script and every remote load.
//
// Threads: the HTTP server runs on a thread of its own and its workers; notifyReload() may be called from any thread (the
// protocol client's reader thread). stop() (also run by the destructor) ends the event streams and
// the server, then joins its thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "core/base/thread_annotations.h"
#include "hosts/reader/mail_source.h"

#include "web/local_server.h"

namespace qy::reader {

// One request of the host protocol ({"op", …}) and its whole answer, or nothing when the
// extension cannot be reached.
using HostCall = std::function<std::optional<nlohmann::json>(nlohmann::json request)>;

// Frame documents kept for the page to load: the last few messages shown, each at an address of
// its own that a message keeps while it is shown again (the page goes back to that address to
// show the new document where the reader left the old one).
inline constexpr size_t kMaxFrames = 64;
// An event stream sends a comment this often, so a closed page is noticed and its thread freed.
inline constexpr int kHeartbeatSeconds = 15;
// Request bodies the page sends are small JSON objects.
inline constexpr size_t kMaxRequestBytes = 64 * 1024;

class ReaderServer {
 public:
  // `root`: the storage root, where the page's launch key and launch file go (none when empty).
  ReaderServer(std::unique_ptr<MailSource> source, HostCall host, std::filesystem::path root = {});
  ~ReaderServer();
  ReaderServer(const ReaderServer&) = delete;
  ReaderServer& operator=(const ReaderServer&) = delete;

  // Binds 127.0.0.1:`port` (0: a free port) and starts serving. False when the port is taken.
  bool start(int port);
  void stop();

  int port() const { return web_.port(); }
  // http://127.0.0.1:PORT/, without any secret (what `hello` tells other hosts).
  std::string address() const { return web_.address(); }
  // The address to print for the user, with a launch token (web/launch.h).
  std::string url() const;
  // Opens the page in the browser through a launch file; false when that fails.
  bool open(const std::string& opener) const { return web_.open(opener); }
  // Takes a launch token, as the page's first visit does (for tests of a second use).
  bool redeem(std::string_view token) const { return web_.redeem(token); }

  // Tells every open page to show its message again.
  void notifyReload() QY_EXCLUDES(mutex_);

 private:
  void routes();
  void handleMessage(const httplib::Request& req, httplib::Response& res);
  void handleAttachment(const httplib::Request& req, httplib::Response& res);
  void handleFrame(const httplib::Request& req, httplib::Response& res) QY_EXCLUDES(mutex_);
  static void sendFrame(const httplib::Request& req, httplib::Response& res, std::string html);
  void handleEvents(httplib::Response& res);
  void handleProtocol(const httplib::Request& req, httplib::Response& res);
  // The frame token of message `id`, now showing `html`.
  std::string keepFrame(const std::string& id, std::string html) QY_EXCLUDES(mutex_);

  std::unique_ptr<MailSource> source_;
  HostCall host_;
  web::LocalServer web_;
  std::thread thread_;

  Mutex mutex_;
  std::condition_variable changed_;
  uint64_t reloads_ QY_GUARDED_BY(mutex_) = 0;
  bool stopping_ QY_GUARDED_BY(mutex_) = false;
  struct Frame {
    std::string id, token, html;
  };
  std::deque<Frame> frames_ QY_GUARDED_BY(mutex_);  // the most recently shown last
};

}  // namespace qy::reader
