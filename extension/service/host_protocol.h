// The host protocol's operations, independent of the transport: handleRequest() takes one
// request object and the state of the connection it came on, finds the op's handler in one table
// (protocol/names.h names them), which calls the security handler, a panel or the engine, and
// returns the answer; a missing or mistyped field is an error answer, read through
// protocol::field(), never an exception. The socket server and the standard-input host
// both call it; events go out through the transport's own sink.
//
// A request is {"id", "op", …fields}; every request gets exactly one answer, {"id", "ok": true,
// …fields} or {"id", "ok": false, "error"}. Message bytes and contexts travel as Base64.
//
// Threads: handleRequest() may run for several requests of one connection at once (a slow decode
// never holds up another); HostSession guards its panels with its own lock. A panel's actions
// run one at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/base/thread_annotations.h"
#include "core/engine/engine.h"
#include "extension/bridge/panel_view_controller.h"
#include "extension/bridge/security_handler.h"

namespace qy {

// What the operations reach: the handler (and through it the engine), and the transport's
// answers about itself.
struct HostServices {
  SecurityHandler* handler = nullptr;
  // The web reader's URL, when this service serves one or a connected reader named its own.
  std::function<std::optional<std::string>()> readerURL;
  // Sends {"event": "reloadVisibleMessages"} to every subscribed connection; their number.
  std::function<size_t()> reloadVisibleMessages;
};

// The state of one connection: whether it is subscribed to events, the web reader's page it
// named in its `hello` (a reader running as a host of its own), and the panels opened on it (they
// live until `panelClosed` or until the connection closes).
class HostSession {
 public:
  bool subscribed() const { return subscribed_.load(); }
  void subscribe() { subscribed_.store(true); }

  void nameReader(std::string url) QY_EXCLUDES(lock_);
  std::optional<std::string> reader() const QY_EXCLUDES(lock_);

  // Keeps `panel`; its id.
  int64_t addPanel(std::unique_ptr<PanelViewController> panel) QY_EXCLUDES(lock_);
  // Runs `action` on the panel with `id` (one action at a time) and gives its JSON; nothing when
  // there is no such panel.
  std::optional<nlohmann::json> withPanel(int64_t id,
                                          const std::function<void(PanelViewController&)>& action)
      QY_EXCLUDES(lock_);
  bool closePanel(int64_t id) QY_EXCLUDES(lock_);
  size_t panelCount() const QY_EXCLUDES(lock_);

 private:
  struct Entry {
    std::unique_ptr<PanelViewController> panel;
    std::shared_ptr<Mutex> actions;  // one action of the panel at a time
  };
  std::atomic<bool> subscribed_{false};
  mutable Mutex lock_;
  std::optional<std::string> reader_ QY_GUARDED_BY(lock_);
  int64_t nextPanel_ QY_GUARDED_BY(lock_) = 1;
  std::map<int64_t, std::shared_ptr<Entry>> panels_ QY_GUARDED_BY(lock_);
};

// An answer: its object and the large fields written into its frame unescaped.
struct HostAnswer {
  nlohmann::json object;
  std::vector<std::pair<std::vector<std::string>, std::string>> base64;  // path, Base64 text
  std::optional<std::string> resultJSON;  // the `process` result, as JSON text
  // The answer's frame.
  std::string frame() const;
};

// The answer to `request`.
HostAnswer handleRequest(const nlohmann::json& request, HostSession& session,
                         const HostServices& services);

// An error answer with `id`.
HostAnswer errorAnswer(const nlohmann::json& id, const std::string& error);

// A panel as the protocol shows it.
nlohmann::json panelJSON(int64_t id, const PanelViewController& panel);

}  // namespace qy
