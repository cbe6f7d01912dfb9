// The mail client's extension kit, as plain C++: the objects a security handler returns to its
// host (a decoded message with its security information, context and banner; the compose-side
// status and result), the base of the panel a host shows, and the one call back into the host,
// reloading its visible messages.
//
// The values are aggregates owned by whoever holds them. ExtensionManager's reloader is set once
// by the program that hosts the extension (the service) before messages arrive, and may be
// called from any thread.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/mime/mime_part.h"

namespace qy::platform {

// Who signed a message and whether it was encrypted, as the extension vouches for it.
struct MessageSecurityInformation {
  std::vector<std::string> signers;
  bool isEncrypted = false;
  std::optional<std::string> signingError;
  std::optional<std::string> encryptionError;
  bool operator==(const MessageSecurityInformation&) const = default;
};

// The banner a host shows above a decoded message; its button leads to primaryActionClicked.
struct DecodedMessageBanner {
  std::string title;
  std::string primaryActionTitle;
  bool dismissable = true;
  bool operator==(const DecodedMessageBanner&) const = default;
};

// The message a host displays instead of the one it received, and the context it keeps with it
// and hands back unchanged on a button click.
struct DecodedMessage {
  Bytes data;
  MessageSecurityInformation securityInformation;
  std::optional<Bytes> context;
  std::optional<DecodedMessageBanner> banner;
  // The message's Subject translated, when the extension has a translation for it.
  std::optional<std::string> subject;
  bool operator==(const DecodedMessage&) const = default;
};

// Whether the extension can sign or encrypt a message being composed.
struct OutgoingMessageEncodingStatus {
  bool canSign = false;
  bool canEncrypt = false;
  std::optional<std::string> securityError;
  std::vector<std::string> addressesFailingEncryption;
  bool operator==(const OutgoingMessageEncodingStatus&) const = default;
};

// The outcome of encoding a message being composed.
struct MessageEncodingResult {
  std::optional<Bytes> encodedMessage;
  std::optional<std::string> signingError;
  std::optional<std::string> encryptionError;
  bool operator==(const MessageEncodingResult&) const = default;
};

// A point size, as the host lays out a panel.
struct Size {
  double width = 0;
  double height = 0;
  bool operator==(const Size&) const = default;
};

// The base of a panel the extension hands a host to show. It has identity: the host keeps it
// while it shows it and hands user actions back to it.
class ExtensionViewController {
 public:
  virtual ~ExtensionViewController() = default;
  ExtensionViewController(const ExtensionViewController&) = delete;
  ExtensionViewController& operator=(const ExtensionViewController&) = delete;

  Size preferredContentSize() const { return preferredContentSize_; }

 protected:
  ExtensionViewController() = default;
  void setPreferredContentSize(Size size) { preferredContentSize_ = size; }

 private:
  Size preferredContentSize_;
};

// Calls into the host that runs the extension.
struct ExtensionManager {
  // Receives an error text, or nothing when the request went through.
  using Completion = std::function<void(std::optional<std::string> error)>;
  using Reloader = std::function<void(Completion)>;

  // Asks the host to display its visible messages again, which calls the security handler
  // for each. Without a reloader (no host attached) the completion gets no error: there is
  // nothing shown that could be stale.
  static void reloadVisibleMessages(Completion completion);
  // Installs how the host is reached; replaces any reloader set before.
  static void setReloader(Reloader reloader);
};

}  // namespace qy::platform
