// Decoding through the running service.
#include "extension/commands/service_decode.h"

#include "platform/base64.h"
#include "protocol/host_client.h"
#include "protocol/host_frame.h"
#include "protocol/names.h"
#include "protocol/result_json.h"

namespace qy {
namespace {

// How long a service may take to answer `hello` before decode works on its own.
constexpr std::chrono::milliseconds kHelloLimit{5000};

}  // namespace

std::optional<Engine::Result> decodeThroughService(const std::filesystem::path& socket,
                                                   std::string_view input,
                                                   std::optional<double> wait) {
  auto client = protocol::HostClient::connect(socket, kHelloLimit);
  if (!client) return std::nullopt;
  nlohmann::json request = {{"op", protocol::op::kProcess}, {"data", platform::base64Encode(input)}};
  request["wait"] = wait ? nlohmann::json(*wait) : nlohmann::json(nullptr);
  auto answer = client->request(std::move(request));
  if (!answer || protocol::field<bool>(*answer, "ok") != true) return std::nullopt;
  auto result = protocol::field<nlohmann::json>(*answer, "result");
  if (!result) return std::nullopt;
  return protocol::resultFromJSON(*result);
}

}  // namespace qy
