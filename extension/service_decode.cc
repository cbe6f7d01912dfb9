// Decoding through the running service.
#include "extension/service_decode.h"

#include "platform/base64.h"
#include "platform/host_client.h"

namespace qy {
namespace {

// How long a service may take to answer `hello` before decode works on its own.
constexpr std::chrono::milliseconds kHelloLimit{5000};

}  // namespace

std::optional<Engine::Result> resultFromJSON(const nlohmann::json& object) {
  if (!object.is_object()) return std::nullopt;
  Engine::Result result;
  const auto data = object.find("data");
  if (data != object.end() && data->is_string()) {
    auto bytes = platform::base64Decode(data->get_ref<const std::string&>());
    if (!bytes) return std::nullopt;
    result.data = Bytes(bytes->begin(), bytes->end());
  } else if (data == object.end() || !data->is_null()) {
    return std::nullopt;
  }
  const auto banner = object.find("banner");
  if (banner != object.end() && banner->is_string()) result.banner = banner->get<std::string>();
  const auto action = object.find("action");
  const auto note = object.find("note");
  const auto context = object.find("context");
  if (action == object.end() || !action->is_string() || note == object.end() ||
      !note->is_string() || context == object.end() || !context->is_object()) {
    return std::nullopt;
  }
  result.action = action->get<std::string>();
  result.note = note->get<std::string>();
  // Absent from an older service's answer.
  if (const auto subject = object.find("subject"); subject != object.end() && subject->is_string())
    result.subject = subject->get<std::string>();
  for (const auto& [name, value] : context->items()) {
    if (!value.is_string()) return std::nullopt;
    result.context[name] = value.get<std::string>();
  }
  return result;
}

std::optional<Engine::Result> decodeThroughService(const std::filesystem::path& socket,
                                                   std::string_view input,
                                                   std::optional<double> wait) {
  auto client = platform::HostClient::connect(socket, kHelloLimit);
  if (!client) return std::nullopt;
  nlohmann::json request = {{"op", "process"}, {"data", platform::base64Encode(input)}};
  request["wait"] = wait ? nlohmann::json(*wait) : nlohmann::json(nullptr);
  auto answer = client->request(std::move(request));
  if (!answer || answer->value("ok", false) != true || !answer->contains("result")) {
    return std::nullopt;
  }
  return resultFromJSON((*answer)["result"]);
}

}  // namespace qy
