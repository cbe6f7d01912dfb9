// The host protocol's names: its version, the server's name in `hello`, every op a host may send
// and every event the service pushes. The one list: the C++ code uses these constants, and the
// build turns this file into protocol.js (cmake/protocol_names.cmake) for the JavaScript hosts
// (the reader's page and the Thunderbird add-on), so a name is changed here only.
//
// Keep each name on one line of the form `inline constexpr std::string_view kName = "name";`
// inside its namespace: the generator reads exactly that.
#pragma once

#include <string_view>

namespace qy::protocol {

// The protocol version this service speaks, and `hello`'s server name.
inline constexpr int kVersion = 1;
inline constexpr std::string_view kServerName = "quillory-ext";

namespace op {
inline constexpr std::string_view kHello = "hello";
inline constexpr std::string_view kDecodedMessage = "decodedMessage";
inline constexpr std::string_view kPrimaryActionClicked = "primaryActionClicked";
inline constexpr std::string_view kPanelChanged = "panelChanged";
inline constexpr std::string_view kPanelRetranslate = "panelRetranslate";
inline constexpr std::string_view kPanelOpenApp = "panelOpenApp";
inline constexpr std::string_view kPanelClosed = "panelClosed";
inline constexpr std::string_view kEncodingStatus = "encodingStatus";
inline constexpr std::string_view kEncode = "encode";
inline constexpr std::string_view kSubscribe = "subscribe";
inline constexpr std::string_view kReloadVisibleMessages = "reloadVisibleMessages";
inline constexpr std::string_view kProcess = "process";
}  // namespace op

namespace event {
inline constexpr std::string_view kReloadVisibleMessages = "reloadVisibleMessages";
}  // namespace event

}  // namespace qy::protocol
