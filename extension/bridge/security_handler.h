// SecurityHandler: the bridge between a mail host and the engine. The host hands it the raw
// bytes of every message it is about to display; it runs the engine, wraps the result into the
// kit's decoded message, banner and context, and answers the banner's button by the state kept in
// the context. It never signs or encrypts: the compose-side calls say there is nothing to do.
//
// One shared instance, created on first use; creating a handler installs the engine's reload
// hook (which asks the host, through ExtensionManager, to reload its visible messages) and logs
// "extension started". It keeps no state of its own: every call may come from any thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "core/mime/mime_part.h"
#include "extension/bridge/extension_environment.h"
#include "platform/mail_kit.h"

namespace qy {

class SecurityHandler {
 public:
  using ViewControllerCompletion =
      std::function<void(std::unique_ptr<platform::ExtensionViewController>)>;

  // The process's handler, over the shared engine.
  static SecurityHandler& shared();

  explicit SecurityHandler(ExtensionEnvironment environment);
  SecurityHandler(const SecurityHandler&) = delete;
  SecurityHandler& operator=(const SecurityHandler&) = delete;

  // The message to display for `data`, or nothing to display it as received. On the host's main
  // thread the engine does not wait; elsewhere it waits as the settings say (firstPaintSeconds).
  std::optional<platform::DecodedMessage> decodedMessage(ByteView data, bool onMainThread);

  // The banner's button: by the context's state, asks for a translation or a retry (and a
  // reload), or opens the panel. `completion` is called once, before this returns.
  void primaryActionClicked(const std::optional<Bytes>& context,
                            const ViewControllerCompletion& completion);

  // The views for signers and for a message context: none.
  std::unique_ptr<platform::ExtensionViewController> extensionViewControllerForSigners() const;
  std::unique_ptr<platform::ExtensionViewController> extensionViewControllerForMessageContext()
      const;

  // The compose side: nothing can be signed or encrypted; encoding leaves the message alone.
  void getEncodingStatus(
      const std::function<void(platform::OutgoingMessageEncodingStatus)>& completion) const;
  void encode(const std::function<void(platform::MessageEncodingResult)>& completion) const;

  const ExtensionEnvironment& environment() const { return environment_; }

 private:
  const ExtensionEnvironment environment_;
};

// The extension's principal object: hosts ask it for the handler.
struct MailExtension {
  static SecurityHandler& handlerForMessageSecurity() { return SecurityHandler::shared(); }
};

// A message context's bytes: the JSON object of its strings; nothing when encoding fails.
std::optional<Bytes> encodeContext(const std::map<std::string, std::string>& context);
// The strings of a context: empty unless it is a JSON object whose members are all strings.
std::map<std::string, std::string> decodeContext(const std::optional<Bytes>& context);

}  // namespace qy
