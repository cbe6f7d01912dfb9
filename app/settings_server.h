// SettingsServer: the settings page and its JSON API over HTTP on 127.0.0.1 (cpp-httplib).
//
// Who may ask: the URL carries a secret made for this launch; opening it sets a cookie
// (qy_settings_PORT; HttpOnly, SameSite=Strict) holding the secret, and every other request
// needs that cookie.
// A Host other than 127.0.0.1:PORT or localhost:PORT, or an Origin other than those, is refused
// (no DNS name can be rebound onto this server, no other site can post to it). Every answer
// carries a strict Content-Security-Policy (scripts and styles from this server only, nothing
// else loaded) and no CORS headers.
//
// The page follows the model with a long poll (GET /api/state?after=VERSION). The server counts
// open polls and remembers the last request, so the program can end once its page has been gone
// for a while (idleFor()).
//
// Threads: start() binds, run() serves on the calling thread with cpp-httplib's pool until
// stop() (from any thread, a signal thread included).
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "app/settings_model.h"

namespace httplib {
class Server;
}

namespace qy::app {

class SettingsServer {
 public:
  // A long poll answers at the latest after this, so proxies and the browser never give up on
  // it and a closed page is noticed.
  static constexpr std::chrono::seconds kPollLimit{20};
  // Threads serving requests, and how many of them may sit in a long poll: many open tabs must
  // not take every thread and leave a click unanswered. A poll past the cap answers at once.
  static constexpr size_t kThreads = 24;
  static constexpr int kMaxPolls = 16;

  explicit SettingsServer(SettingsModel& model);
  ~SettingsServer();
  SettingsServer(const SettingsServer&) = delete;
  SettingsServer& operator=(const SettingsServer&) = delete;

  // Binds 127.0.0.1:port (0: a free port chosen by the system). False when that fails.
  bool start(int port);
  void run();
  void stop();

  int port() const { return port_; }
  // The page's address with the secret: http://127.0.0.1:PORT/?k=SECRET
  std::string url() const;
  // How long no page has been following the model (zero while one is).
  std::chrono::steady_clock::duration idleFor() const;

 private:
  void routes();

  SettingsModel& model_;
  std::unique_ptr<httplib::Server> http_;
  std::string secret_;
  int port_ = 0;
  std::atomic<int> polls_{0};
  std::atomic<std::chrono::steady_clock::rep> lastSeen_;
};

// 32 random bytes (OpenSSL's generator) as 64 lower-case hexadecimal digits.
std::string makeSecret();

}  // namespace qy::app
