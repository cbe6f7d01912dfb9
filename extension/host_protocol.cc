// The host protocol's operations and their JSON.
#include "extension/host_protocol.h"

#include <cmath>
#include <limits>

#include "extension/decode_command.h"
#include "platform/base64.h"
#include "platform/host_frame.h"

namespace qy {
namespace {

using nlohmann::json;

// A request that cannot be answered with fields; its text becomes the error answer.
struct BadRequest {
  std::string error;
};

json okAnswer(const json& id) { return {{"id", id}, {"ok", true}}; }

using platform::field;

// The bytes of a required Base64 field.
Bytes base64Field(const json& request, const char* name) {
  auto text = field<std::string>(request, name);
  if (!text) throw BadRequest{std::string("missing field \"") + name + "\" (Base64 text)"};
  auto bytes = platform::base64Decode(*text);
  if (!bytes) throw BadRequest{std::string("field \"") + name + "\" is not standard Base64"};
  return Bytes(bytes->begin(), bytes->end());
}

// An optional Base64 field: absent and null are nothing.
std::optional<Bytes> optionalBase64Field(const json& request, const char* name) {
  if (!field<json>(request, name)) return std::nullopt;  // absent or null
  return base64Field(request, name);
}

int64_t panelId(const json& request) {
  auto panel = field<int64_t>(request, "panel");
  if (!panel) throw BadRequest{"missing field \"panel\" (a panel id)"};
  return *panel;
}

json panelAnswer(const json& id, HostSession& session, int64_t panel,
                 const std::function<void(PanelViewController&)>& action) {
  auto shown = session.withPanel(panel, action);
  if (!shown) throw BadRequest{"no open panel " + std::to_string(panel)};
  json answer = okAnswer(id);
  answer["panel"] = std::move(*shown);
  return answer;
}

// Sets the selected segment of `control` from `selected[name]`, when given.
void select(const json& selected, const char* name, SegmentedControl& control) {
  if (!selected.contains(name)) return;
  auto index = field<int64_t>(selected, name);
  if (!index || *index < 0 || *index >= static_cast<int64_t>(control.labels.size())) {
    throw BadRequest{std::string("selected.") + name + " is not a segment index (0 to " +
                     std::to_string(control.labels.size() - 1) + ")"};
  }
  control.selectedSegment = static_cast<size_t>(*index);
}

HostAnswer decodedMessage(const json& id, const json& request, const HostServices& services) {
  Bytes data = base64Field(request, "data");
  bool mainThread = false;
  if (request.contains("mainThread")) {
    auto flag = field<bool>(request, "mainThread");
    if (!flag) throw BadRequest{"field \"mainThread\" is not true or false"};
    mainThread = *flag;
  }
  auto decoded = services.handler->decodedMessage(data, mainThread);
  HostAnswer answer{okAnswer(id), {}, std::nullopt};
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

HostAnswer primaryActionClicked(const json& id, const json& request, HostSession& session,
                                const HostServices& services) {
  std::optional<Bytes> context = optionalBase64Field(request, "context");
  std::unique_ptr<platform::ExtensionViewController> shown;
  services.handler->primaryActionClicked(context, [&](auto view) { shown = std::move(view); });
  json answer = okAnswer(id);
  std::unique_ptr<PanelViewController> panel(dynamic_cast<PanelViewController*>(shown.get()));
  if (panel) shown.release();
  if (!panel) {
    answer["panel"] = nullptr;
    return {answer, {}, std::nullopt};
  }
  panel->loadView();
  int64_t panelIdentifier = session.addPanel(std::move(panel));
  answer["panel"] = *session.withPanel(panelIdentifier, [](PanelViewController&) {});
  return {answer, {}, std::nullopt};
}

HostAnswer process(const json& id, const json& request, const HostServices& services) {
  Bytes input = base64Field(request, "data");
  std::optional<double> wait;
  if (field<json>(request, "wait")) {
    wait = field<double>(request, "wait");
    if (!wait || *wait < 0) throw BadRequest{"field \"wait\" is not a number of seconds or null"};
  }
  std::string_view text(reinterpret_cast<const char*>(input.data()), input.size());
  auto [envelope, message] = splitEnvelope(text);
  Engine::Result result = services.handler->environment().engine->process(
      ByteView(reinterpret_cast<const uint8_t*>(message.data()), message.size()),
      wait.value_or(std::numeric_limits<double>::infinity()));
  std::string object = resultJSON(result, envelope);
  while (!object.empty() && object.back() == '\n') object.pop_back();
  return {okAnswer(id), {}, std::move(object)};
}

HostAnswer dispatch(const json& id, const json& request, HostSession& session,
                    const HostServices& services) {
  auto op = field<std::string>(request, "op");
  if (!op) throw BadRequest{"missing field \"op\" (text)"};
  const std::string& name = *op;
  if (name == "hello") {
    if (!field<int64_t>(request, "version")) {
      throw BadRequest{"missing field \"version\" (the protocol version, 1)"};
    }
    json answer = okAnswer(id);
    answer["version"] = kHostProtocolVersion;
    answer["server"] = kHostServerName;
    auto reader = services.readerURL ? services.readerURL() : std::nullopt;
    answer["reader"] = reader ? json(*reader) : json(nullptr);
    return {answer, {}, std::nullopt};
  }
  if (name == "decodedMessage") return decodedMessage(id, request, services);
  if (name == "primaryActionClicked") return primaryActionClicked(id, request, session, services);
  if (name == "panelChanged") {
    int64_t panel = panelId(request);
    auto selected = field<json>(request, "selected");
    if (!selected || !selected->is_object()) {
      throw BadRequest{"missing field \"selected\" ({mode, style, dark})"};
    }
    return {panelAnswer(id, session, panel,
                        [&](PanelViewController& p) {
                          // Check all three before changing any, so a bad index changes nothing.
                          SegmentedControl mode = p.modeControl(), style = p.styleControl(),
                                           dark = p.darkControl();
                          select(*selected, "mode", mode);
                          select(*selected, "style", style);
                          select(*selected, "dark", dark);
                          p.modeControl() = mode;
                          p.styleControl() = style;
                          p.darkControl() = dark;
                          p.changed();
                        }),
            {},
            std::nullopt};
  }
  if (name == "panelRetranslate") {
    return {panelAnswer(id, session, panelId(request),
                        [](PanelViewController& p) { p.retranslateTapped(); }),
            {},
            std::nullopt};
  }
  if (name == "panelOpenApp") {
    return {panelAnswer(id, session, panelId(request),
                        [](PanelViewController& p) { p.openAppTapped(); }),
            {},
            std::nullopt};
  }
  if (name == "panelClosed") {
    int64_t panel = panelId(request);
    if (!session.closePanel(panel)) throw BadRequest{"no open panel " + std::to_string(panel)};
    return {okAnswer(id), {}, std::nullopt};
  }
  if (name == "encodingStatus") {
    json answer = okAnswer(id);
    services.handler->getEncodingStatus([&](platform::OutgoingMessageEncodingStatus status) {
      answer["canSign"] = status.canSign;
      answer["canEncrypt"] = status.canEncrypt;
      answer["securityError"] = status.securityError ? json(*status.securityError) : json(nullptr);
      answer["addressesFailingEncryption"] = status.addressesFailingEncryption;
    });
    return {answer, {}, std::nullopt};
  }
  if (name == "encode") {
    json answer = okAnswer(id);
    services.handler->encode([&](platform::MessageEncodingResult result) {
      answer["encodedMessage"] =
          result.encodedMessage
              ? json(platform::base64Encode(std::string_view(
                    reinterpret_cast<const char*>(result.encodedMessage->data()),
                    result.encodedMessage->size())))
              : json(nullptr);
      answer["signingError"] = result.signingError ? json(*result.signingError) : json(nullptr);
      answer["encryptionError"] =
          result.encryptionError ? json(*result.encryptionError) : json(nullptr);
    });
    return {answer, {}, std::nullopt};
  }
  if (name == "subscribe") {
    session.subscribe();
    return {okAnswer(id), {}, std::nullopt};
  }
  if (name == "reloadVisibleMessages") {
    json answer = okAnswer(id);
    answer["delivered"] = services.reloadVisibleMessages ? services.reloadVisibleMessages() : 0;
    return {answer, {}, std::nullopt};
  }
  if (name == "process") return process(id, request, services);
  throw BadRequest{"unknown op \"" + name + "\""};
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
    return dispatch(id, request, session, services);
  } catch (const BadRequest& bad) {
    return errorAnswer(id, bad.error);
  } catch (const json::exception& error) {
    return errorAnswer(id, std::string("bad request: ") + error.what());
  }
}

std::string HostAnswer::frame() const {
  std::vector<platform::RawField> raw;
  for (const auto& [path, text] : base64) raw.push_back({path, text, false});
  if (resultJSON) raw.push_back({{"result"}, *resultJSON, true});
  return platform::encodeFrame(object, raw);
}

}  // namespace qy
