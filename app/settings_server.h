// SettingsServer: the settings page and its JSON API, served on 127.0.0.1 by the local web layer
// (web/local_server.h: who may ask, the launch token and cookie qy_settings_PORT, the request
// bounds, the security headers and Chinese refusal pages); this file declares the routes.
// Every answer carries a strict Content-Security-Policy (scripts and styles from this server
// only, nothing else loaded).
//
// The page follows the model with a long poll (GET /api/state?after=VERSION). The server counts
// open polls and remembers the last request, so the program can end once its page has been gone
// for a while (idleFor()).
//
// Threads: start() binds, run() serves on the calling thread until stop() (from any thread, a
// signal thread included).
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "app/settings_model.h"

#include "web/local_server.h"

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

  // `root`: the storage root, where the page's launch key and launch file go.
  SettingsServer(SettingsModel& model, const std::filesystem::path& root);
  ~SettingsServer();
  SettingsServer(const SettingsServer&) = delete;
  SettingsServer& operator=(const SettingsServer&) = delete;

  // Binds 127.0.0.1:port (0: a free port chosen by the system). False when that fails.
  bool start(int port);
  void run();
  void stop();

  int port() const { return web_.port(); }
  // The page's address, http://127.0.0.1:PORT/, without any secret.
  std::string address() const { return web_.address(); }
  // The address to print for the user: with a launch token (web/launch.h).
  std::string printedAddress() const;
  // Opens the page in the browser through a launch file; false when that fails.
  bool open(const std::string& opener) const { return web_.open(opener); }
  // How long no page has been following the model (zero while one is).
  std::chrono::steady_clock::duration idleFor() const;

 private:
  void routes();
  ::qy::web::LocalServerOptions webOptions(const std::filesystem::path& root);

  SettingsModel& model_;
  ::qy::web::LocalServer web_;
  std::atomic<int> polls_{0};
  std::atomic<std::chrono::steady_clock::rep> lastSeen_;
};

}  // namespace qy::app
