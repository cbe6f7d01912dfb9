// The host protocol's operations and their JSON.
#include "extension/service/host_protocol.h"

#include <cmath>
#include <limits>
#include <utility>
#include <variant>

#include "platform/base64.h"
#include "protocol/host_client.h"
#include "protocol/host_frame.h"
#include "protocol/names.h"
#include "protocol/result_json.h"

namespace qy {
namespace {

using nlohmann::json;
using protocol::field;

// Why a request cannot be answered with fields; its text becomes the error answer.
struct RequestError {
  std::string text;
};

// A value read from a request, or why it could not be.
template <typename T>
using Checked = std::variant<T, RequestError>;

// An operation's answer, or the error that answers it instead.
using Answered = Checked<HostAnswer>;

// What an operation gets: the request, its id to echo, its connection's state and the services.
struct Call {
  const json& id;
  const json& request;
  HostSession& session;
  const HostServices& services;
};

json okAnswer(const json& id) { return {{"id", id}, {"ok", true}}; }
HostAnswer answerOf(json object) { return {std::move(object), {}, std::nullopt}; }

// The bytes of a required Base64 field.
Checked<Bytes> base64Field(const json& request, const char* name) {
  auto text = field<std::string>(request, name);
  if (!text) return RequestError{std::string("missing field \"") + name + "\" (Base64 text)"};
  auto bytes = platform::base64Decode(*text);
  if (!bytes) return RequestError{std::string("field \"") + name + "\" is not standard Base64"};
  return Bytes(bytes->begin(), bytes->end());
}

// An optional Base64 field: absent and null are nothing.
Checked<std::optional<Bytes>> optionalBase64Field(const json& request, const char* name) {
  if (!field<json>(request, name)) return std::optional<Bytes>();  // absent or null
  auto bytes = base64Field(request, name);
  if (auto* bad = std::get_if<RequestError>(&bytes)) return *bad;
  return std::optional<Bytes>(std::move(std::get<Bytes>(bytes)));
}

Checked<int64_t> panelId(const json& request) {
  auto panel = field<int64_t>(request, "panel");
  if (!panel) return RequestError{"missing field \"panel\" (a panel id)"};
  return *panel;
}

Answered panelAnswer(const Call& call, int64_t panel,
                     const std::function<void(PanelViewController&)>& action) {
  auto shown = call.session.withPanel(panel, action);
  if (!shown) return RequestError{"no open panel " + std::to_string(panel)};
  json answer = okAnswer(call.id);
  answer["panel"] = std::move(*shown);
  return answerOf(std::move(answer));
}

// An action on the panel the request names.
Answered onPanel(const Call& call, const std::function<void(PanelViewController&)>& action) {
  auto panel = panelId(call.request);
  if (auto* bad = std::get_if<RequestError>(&panel)) return *bad;
  return panelAnswer(call, std::get<int64_t>(panel), action);
}

// The segment `selected[name]` picks in `control` (kept when not given), or why it cannot.
std::optional<RequestError> select(const json& selected, const char* name,
                                   SegmentedControl& control) {
  if (!selected.contains(name)) return std::nullopt;
  auto index = field<int64_t>(selected, name);
  if (!index || *index < 0 || *index >= static_cast<int64_t>(control.labels.size())) {
    return RequestError{std::string("selected.") + name + " is not a segment index (0 to " +
                        std::to_string(control.labels.size() - 1) + ")"};
  }
  control.selectedSegment = static_cast<size_t>(*index);
  return std::nullopt;
}

Answered hello(const Call& call) {
  if (!field<int64_t>(call.request, "version")) {
    return RequestError{"missing field \"version\" (the protocol version, 1)"};
  }
  if (field<json>(call.request, "reader")) {
    auto url = field<std::string>(call.request, "reader");
    if (!url || !protocol::isReaderAddress(*url)) {
      return RequestError{"field \"reader\" is not a page on 127.0.0.1 (http://127.0.0.1:PORT/)"};
    }
    call.session.nameReader(*url);
  }
  json answer = okAnswer(call.id);
  answer["version"] = protocol::kVersion;
  answer["server"] = protocol::kServerName;
  auto reader = call.services.readerURL ? call.services.readerURL() : std::nullopt;
  answer["reader"] = reader ? json(*reader) : json(nullptr);
  return answerOf(std::move(answer));
}

Answered decodedMessage(const Call& call) {
  auto data = base64Field(call.request, "data");
  if (auto* bad = std::get_if<RequestError>(&data)) return *bad;
  bool mainThread = false;
  if (call.request.contains("mainThread")) {
    auto flag = field<bool>(call.request, "mainThread");
    if (!flag) return RequestError{"field \"mainThread\" is not true or false"};
    mainThread = *flag;
  }
  auto decoded = call.services.handler->decodedMessage(std::get<Bytes>(data), mainThread);
  HostAnswer answer = answerOf(okAnswer(call.id));
  if (!decoded) {
    answer.object["message"] = nullptr;
    return answer;
  }
  json message = json::object();
  if (decoded->context) {
    message["context"] = platform::base64Encode(
        std::string_view(reinterpret_cast<const char*>(decoded->context->data()),
                         decoded->context->size()));
  } else {
    message["context"] = nullptr;
  }
  if (decoded->banner) {
    message["banner"] = {{"title", decoded->banner->title},
                         {"primaryActionTitle", decoded->banner->primaryActionTitle},
                         {"dismissable", decoded->banner->dismissable}};
  } else {
    message["banner"] = nullptr;
  }
  // Only when there is one: hosts written before the member see the answer they know.
  if (decoded->subject) message["subject"] = *decoded->subject;
  const auto& info = decoded->securityInformation;
  message["securityInformation"] = {
      {"signers", info.signers},
      {"isEncrypted", info.isEncrypted},
      {"signingError", info.signingError ? json(*info.signingError) : json(nullptr)},
      {"encryptionError", info.encryptionError ? json(*info.encryptionError) : json(nullptr)}};
  answer.object["message"] = std::move(message);
  answer.base64.push_back(
      {{"message", "data"},
       platform::base64Encode(std::string_view(reinterpret_cast<const char*>(decoded->data.data()),
                                               decoded->data.size()))});
  return answer;
}

Answered primaryActionClicked(const Call& call) {
  auto context = optionalBase64Field(call.request, "context");
  if (auto* bad = std::get_if<RequestError>(&context)) return *bad;
  std::unique_ptr<platform::ExtensionViewController> shown;
  call.services.handler->primaryActionClicked(std::get<std::optional<Bytes>>(context),
                                              [&](auto view) { shown = std::move(view); });
  json answer = okAnswer(call.id);
  std::unique_ptr<PanelViewController> panel(dynamic_cast<PanelViewController*>(shown.get()));
  if (panel) shown.release();
  if (!panel) {
    answer["panel"] = nullptr;
    return answerOf(std::move(answer));
  }
  panel->loadView();
  int64_t panelIdentifier = call.session.addPanel(std::move(panel));
  answer["panel"] = *call.session.withPanel(panelIdentifier, [](PanelViewController&) {});
  return answerOf(std::move(answer));
}

Answered panelChanged(const Call& call) {
  auto panel = panelId(call.request);
  if (auto* bad = std::get_if<RequestError>(&panel)) return *bad;
  auto selected = field<json>(call.request, "selected");
  if (!selected || !selected->is_object()) {
    return RequestError{"missing field \"selected\" ({mode, style, dark})"};
  }
  std::optional<RequestError> refused;
  auto answer = panelAnswer(call, std::get<int64_t>(panel), [&](PanelViewController& p) {
    // Check all three before changing any, so a bad index changes nothing.
    SegmentedControl mode = p.modeControl(), style = p.styleControl(), dark = p.darkControl();
    refused = select(*selected, "mode", mode);
    if (!refused) refused = select(*selected, "style", style);
    if (!refused) refused = select(*selected, "dark", dark);
    if (refused) return;
    p.modeControl() = mode;
    p.styleControl() = style;
    p.darkControl() = dark;
    p.changed();
  });
  if (refused) return *refused;
  return answer;
}

Answered panelRetranslate(const Call& call) {
  return onPanel(call, [](PanelViewController& p) { p.retranslateTapped(); });
}

Answered panelOpenApp(const Call& call) {
  return onPanel(call, [](PanelViewController& p) { p.openAppTapped(); });
}

Answered panelClosed(const Call& call) {
  auto panel = panelId(call.request);
  if (auto* bad = std::get_if<RequestError>(&panel)) return *bad;
  if (!call.session.closePanel(std::get<int64_t>(panel))) {
    return RequestError{"no open panel " + std::to_string(std::get<int64_t>(panel))};
  }
  return answerOf(okAnswer(call.id));
}

Answered encodingStatus(const Call& call) {
  json answer = okAnswer(call.id);
  call.services.handler->getEncodingStatus([&](platform::OutgoingMessageEncodingStatus status) {
    answer["canSign"] = status.canSign;
    answer["canEncrypt"] = status.canEncrypt;
    answer["securityError"] = status.securityError ? json(*status.securityError) : json(nullptr);
    answer["addressesFailingEncryption"] = status.addressesFailingEncryption;
  });
  return answerOf(std::move(answer));
}

Answered encode(const Call& call) {
  json answer = okAnswer(call.id);
  call.services.handler->encode([&](platform::MessageEncodingResult result) {
    answer["encodedMessage"] =
        result.encodedMessage
            ? json(platform::base64Encode(
                  std::string_view(reinterpret_cast<const char*>(result.encodedMessage->data()),
                                   result.encodedMessage->size())))
            : json(nullptr);
    answer["signingError"] = result.signingError ? json(*result.signingError) : json(nullptr);
    answer["encryptionError"] =
        result.encryptionError ? json(*result.encryptionError) : json(nullptr);
  });
  return answerOf(std::move(answer));
}

Answered subscribe(const Call& call) {
  call.session.subscribe();
  return answerOf(okAnswer(call.id));
}

Answered reloadVisibleMessages(const Call& call) {
  json answer = okAnswer(call.id);
  answer["delivered"] =
      call.services.reloadVisibleMessages ? call.services.reloadVisibleMessages() : 0;
  return answerOf(std::move(answer));
}

Answered process(const Call& call) {
  auto input = base64Field(call.request, "data");
  if (auto* bad = std::get_if<RequestError>(&input)) return *bad;
  std::optional<double> wait;
  if (field<json>(call.request, "wait")) {
    wait = field<double>(call.request, "wait");
    if (!wait || *wait < 0) return RequestError{"field \"wait\" is not a number of seconds or null"};
  }
  const Bytes& bytes = std::get<Bytes>(input);
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  auto [envelope, message] = protocol::splitEnvelope(text);
  Engine::Result result = call.services.handler->environment().engine->process(
      ByteView(reinterpret_cast<const uint8_t*>(message.data()), message.size()),
      wait.value_or(std::numeric_limits<double>::infinity()));
  std::string object = protocol::resultJSON(result, envelope);
  while (!object.empty() && object.back() == '\n') object.pop_back();
  return HostAnswer{okAnswer(call.id), {}, std::move(object)};
}

// Every op the service answers, and its handler.
using Handler = Answered (*)(const Call&);
constexpr std::pair<std::string_view, Handler> kOperations[] = {
    {protocol::op::kHello, hello},
    {protocol::op::kDecodedMessage, decodedMessage},
    {protocol::op::kPrimaryActionClicked, primaryActionClicked},
    {protocol::op::kPanelChanged, panelChanged},
    {protocol::op::kPanelRetranslate, panelRetranslate},
    {protocol::op::kPanelOpenApp, panelOpenApp},
    {protocol::op::kPanelClosed, panelClosed},
    {protocol::op::kEncodingStatus, encodingStatus},
    {protocol::op::kEncode, encode},
    {protocol::op::kSubscribe, subscribe},
    {protocol::op::kReloadVisibleMessages, reloadVisibleMessages},
    {protocol::op::kProcess, process},
};

Answered dispatch(const Call& call) {
  auto op = field<std::string>(call.request, "op");
  if (!op) return RequestError{"missing field \"op\" (text)"};
  for (const auto& [name, handler] : kOperations) {
    if (name == *op) return handler(call);
  }
  return RequestError{"unknown op \"" + *op + "\""};
}

}  // namespace

int64_t HostSession::addPanel(std::unique_ptr<PanelViewController> panel) {
  auto entry = std::make_shared<Entry>(Entry{std::move(panel), std::make_shared<Mutex>()});
  MutexLock lock(lock_);
  int64_t id = nextPanel_++;
  panels_[id] = std::move(entry);
  return id;
}

std::optional<json> HostSession::withPanel(
    int64_t id, const std::function<void(PanelViewController&)>& action) {
  std::shared_ptr<Entry> entry;
  {
    MutexLock lock(lock_);
    auto it = panels_.find(id);
    if (it == panels_.end()) return std::nullopt;
    entry = it->second;
  }
  // The action runs without the session's lock: it saves settings and asks for a reload, which
  // reaches the transport and every connection.
  MutexLock actions(*entry->actions);
  action(*entry->panel);
  return panelJSON(id, *entry->panel);
}

void HostSession::nameReader(std::string url) {
  MutexLock lock(lock_);
  reader_ = std::move(url);
}

std::optional<std::string> HostSession::reader() const {
  MutexLock lock(lock_);
  return reader_;
}

bool HostSession::closePanel(int64_t id) {
  MutexLock lock(lock_);
  return panels_.erase(id) > 0;
}

size_t HostSession::panelCount() const {
  MutexLock lock(lock_);
  return panels_.size();
}

json panelJSON(int64_t id, const PanelViewController& panel) {
  json rows = json::array();
  const SegmentedControl* controls[] = {&panel.modeControl(), &panel.styleControl(),
                                        &panel.darkControl()};
  for (size_t i = 0; i < panel.rows().size() && i < 3; ++i) {
    const SegmentedControl& control = *controls[i];
    rows.push_back({{"label", panel.rows()[i].label},
                    {"control", panel.rows()[i].control},
                    {"segments", control.labels},
                    {"selected", control.selectedSegment.value_or(0)}});
  }
  json buttons = json::array();
  for (const PanelButton& button : panel.buttons()) {
    buttons.push_back({{"title", button.title}, {"action", button.action}});
  }
  platform::Size size = panel.preferredContentSize();
  return {{"id", id},
          {"key", panel.key() ? json(*panel.key()) : json(nullptr)},
          {"preferredContentSize",
           {static_cast<int64_t>(size.width), static_cast<int64_t>(size.height)}},
          {"rows", std::move(rows)},
          {"buttons", std::move(buttons)},
          {"note", panel.note()},
          {"error", panel.saveError() ? json(*panel.saveError()) : json(nullptr)}};
}

HostAnswer errorAnswer(const json& id, const std::string& error) {
  return {{{"id", id}, {"ok", false}, {"error", error}}, {}, std::nullopt};
}

HostAnswer handleRequest(const json& request, HostSession& session, const HostServices& services) {
  json id = field<json>(request, "id").value_or(nullptr);
  try {
    Answered answered = dispatch(Call{id, request, session, services});
    if (auto* bad = std::get_if<RequestError>(&answered)) return errorAnswer(id, bad->text);
    return std::move(std::get<HostAnswer>(answered));
  } catch (const std::exception& error) {
    // Not a way of answering: the last guard of a host's connection (memory running out, say).
    return errorAnswer(id, std::string("internal error: ") + error.what());
  }
}

std::string HostAnswer::frame() const {
  std::vector<protocol::RawField> raw;
  for (const auto& [path, text] : base64) raw.push_back({path, text, false});
  if (resultJSON) raw.push_back({{"result"}, *resultJSON, true});
  return protocol::encodeFrame(object, raw);
}

}  // namespace qy
