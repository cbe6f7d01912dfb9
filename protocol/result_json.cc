// The result JSON of decode --json and the process op.
#include "protocol/result_json.h"

#include <openssl/evp.h>

#include <algorithm>
#include <functional>

#include "platform/base64.h"
#include "protocol/host_frame.h"

namespace qy::protocol {
namespace {

// Bytes of message encoded at a time.
constexpr size_t kChunkBytes = 1 << 16;

// Base64 of `head` followed by `body`, handed to `sink` in pieces, without joining the two.
void base64Pieces(std::string_view head, std::string_view body,
                  const std::function<void(std::string_view)>& sink) {
  // Input bytes per piece: a multiple of 3, so that the pieces' Base64 texts join seamlessly.
  constexpr size_t kPieceBytes = 3 * (kChunkBytes / 4);
  std::string encoded(4 * (std::max(kPieceBytes, head.size() + 2) / 3 + 1) + 1, '\0');
  auto encode = [&](const char* bytes, size_t size) {
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                            reinterpret_cast<const unsigned char*>(bytes), static_cast<int>(size));
    sink(std::string_view(encoded.data(), static_cast<size_t>(n)));
  };
  // The head and the body's first bytes, up to a multiple of 3, are encoded together; from
  // there the body is encoded where it lies.
  const size_t joined = std::min(body.size(), (3 - head.size() % 3) % 3);
  if (!head.empty()) {
    std::string first(head);
    first.append(body.substr(0, joined));
    encode(first.data(), first.size());
    body.remove_prefix(joined);
  }
  for (size_t at = 0; at < body.size(); at += kPieceBytes)
    encode(body.data() + at, std::min(kPieceBytes, body.size() - at));
}

// The JSON frame of a result, handed to `sink` in pieces (the Base64 text among them).
void resultPieces(const Engine::Result& result, std::string_view envelope,
                  const std::function<void(std::string_view)>& sink) {
  // The fields after "data" are small and go through the JSON library's escaping; the Base64
  // text needs none, and is written into the frame directly.
  nlohmann::ordered_json rest;
  rest["banner"] = result.banner ? nlohmann::ordered_json(*result.banner) : nullptr;
  rest["action"] = result.action;
  rest["context"] = nlohmann::ordered_json::object();
  for (const auto& [name, value] : result.context) rest["context"][name] = value;
  rest["note"] = result.note;
  rest["subject"] = result.subject ? nlohmann::ordered_json(*result.subject) : nullptr;
  const std::string tail =
      rest.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  if (result.data) {
    sink("{\"data\":\"");
    base64Pieces(envelope,
                 std::string_view(reinterpret_cast<const char*>(result.data->data()),
                                  result.data->size()),
                 sink);
    sink("\",");
  } else {
    sink("{\"data\":null,");
  }
  sink(std::string_view(tail).substr(1));  // without its opening brace
  sink("\n");
}

}  // namespace

std::pair<std::string_view, std::string_view> splitEnvelope(std::string_view input) {
  if (input.substr(0, 5) != "From ") return {{}, input};
  size_t end = input.find('\n');
  end = end == std::string_view::npos ? input.size() : end + 1;
  return {input.substr(0, end), input.substr(end)};
}

std::string resultJSON(const Engine::Result& result, std::string_view envelope) {
  std::string json;
  const size_t dataBytes = result.data ? envelope.size() + result.data->size() : 0;
  json.reserve(256 + 4 * (dataBytes / 3 + 1));
  resultPieces(result, envelope, [&](std::string_view piece) { json += piece; });
  return json;
}

bool writeResultJSON(std::FILE* out, const Engine::Result& result, std::string_view envelope) {
  bool written = true;
  resultPieces(result, envelope, [&](std::string_view piece) {
    written = written && (piece.empty() || std::fwrite(piece.data(), 1, piece.size(), out) == piece.size());
  });
  return written;
}

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
  result.banner = field<std::string>(object, "banner");
  auto action = field<std::string>(object, "action");
  auto note = field<std::string>(object, "note");
  auto context = field<nlohmann::json>(object, "context");
  if (!action || !note || !context || !context->is_object()) return std::nullopt;
  result.action = std::move(*action);
  result.note = std::move(*note);
  // Absent from an older service's answer.
  result.subject = field<std::string>(object, "subject");
  for (const auto& [name, value] : context->items()) {
    if (!value.is_string()) return std::nullopt;
    result.context[name] = value.get<std::string>();
  }
  return result;
}

}  // namespace qy::protocol
