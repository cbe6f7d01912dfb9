// The three wire formats of the stand-in server, on cpp-httplib.
#include "support/stand_in_server.h"

#include <httplib.h>

#include <algorithm>
#include <optional>
#include <stdexcept>

namespace qy::testing {
namespace {

using nlohmann::json;

json parse(const std::string& body) { return json::parse(body, nullptr, false); }

void answerJson(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(body.dump(), "application/json");
}

// The texts of a chat request: the user message holds them as a JSON array.
std::optional<std::vector<std::string>> chatTexts(const json& body, std::string& target) {
  if (!body.is_object() || !body.contains("messages") || !body["messages"].is_array()) return std::nullopt;
  std::optional<std::vector<std::string>> texts;
  for (const auto& message : body["messages"]) {
    if (!message.is_object() || !message.contains("content") || !message["content"].is_string()) continue;
    const std::string& content = message["content"].get_ref<const std::string&>();
    if (message.value("role", "") == "system") {
      // "… into Simplified Chinese …": the stand-in writes the target's name as given.
      const size_t into = content.find(" into ");
      if (into != std::string::npos) {
        const size_t end = content.find_first_of(",.", into + 6);
        target = content.substr(into + 6, end == std::string::npos ? std::string::npos : end - into - 6);
      }
    } else if (message.value("role", "") == "user") {
      const json array = parse(content);
      if (!array.is_array()) return std::nullopt;
      texts.emplace();
      for (const auto& text : array)
        if (text.is_string()) texts->push_back(text.get<std::string>());
    }
  }
  return texts;
}

std::string chatContent(StandInServer::Style style, const std::vector<std::string>& texts,
                        const std::string& target) {
  json translations = json::array();
  for (const auto& text : texts) translations.push_back(standInTranslation(text, target));
  using Style = StandInServer::Style;
  switch (style) {
    case Style::array: return translations.dump();
    case Style::fenced: return "```json\n" + translations.dump(2) + "\n```";
    case Style::think: return "<think>The user wants [\"this\"] translated.</think>\n\n" + translations.dump();
    case Style::object: return json{{"translations", translations}}.dump();
    case Style::miscount:
      if (translations.size() > 1) translations.erase(translations.size() - 1);
      return translations.dump();
    case Style::prose: return "Sure! Here is the translation you asked for.";
  }
  return translations.dump();
}

// LibreTranslate's language list, in the new or the old way of writing Chinese.
json libreLanguages(bool old) {
  const std::string hans = old ? "zh" : "zh-Hans";
  const std::string hant = old ? "zt" : "zh-Hant";
  return json::array({
      {{"code", "en"}, {"name", "English"}, {"targets", {"de", "es", hans, hant}}},
      {{"code", "de"}, {"name", "German"}, {"targets", {"en", hans}}},
      {{"code", hans}, {"name", "Chinese"}, {"targets", {"en", hans}}},
  });
}

}  // namespace

std::string standInTranslation(const std::string& text, const std::string& target) {
  return "〔" + target + "〕" + text;
}

StandInServer::StandInServer(Api api, Options options)
    : api_(api), options_(std::move(options)), server_(std::make_unique<httplib::Server>()) {
  httplib::Server& server = *server_;
  server.set_keep_alive_max_count(1);
  const auto authorized = [this](const httplib::Request& req, const json& body) {
    if (options_.apiKey.empty()) return true;
    if (api_ == Api::libretranslate) return body.is_object() && body.value("api_key", "") == options_.apiKey;
    return req.get_header_value("Authorization") == "Bearer " + options_.apiKey;
  };

  if (api_ == Api::ollama) {
    server.Get("/api/tags", [this](const httplib::Request&, httplib::Response& res) {
      record("GET /api/tags", nullptr);
      json models = json::array();
      for (const auto& name : options_.models) models.push_back({{"name", name}, {"model", name}, {"size", 4683087332}});
      answerJson(res, 200, {{"models", models}});
    });
    server.Post("/api/chat", [this](const httplib::Request& req, httplib::Response& res) {
      const json body = parse(req.body);
      record("POST /api/chat", &body);
      holdIfAsked();
      const std::string model = body.is_object() ? body.value("model", "") : "";
      if (std::find(options_.models.begin(), options_.models.end(), model) == options_.models.end())
        return answerJson(res, 404, {{"error", "model \"" + model + "\" not found, try pulling it first"}});
      std::string target;
      const auto texts = chatTexts(body, target);
      if (!texts) return answerJson(res, 400, {{"error", "invalid request"}});
      const std::string content = chatContent(options_.style, *texts, target);
      if (body.value("stream", true) == false) {
        return answerJson(res, 200, {{"model", model}, {"created_at", "2026-01-01T00:00:00Z"},
                                     {"message", {{"role", "assistant"}, {"content", content}}},
                                     {"done", true}, {"done_reason", "stop"}});
      }
      // Streaming: the content in pieces, one JSON object per line, then the closing one.
      std::string stream;
      for (size_t at = 0; at < content.size();) {
        size_t end = std::min(content.size(), at + 7);
        while (end < content.size() && (static_cast<unsigned char>(content[end]) & 0xC0) == 0x80) ++end;
        stream += json{{"model", model}, {"message", {{"role", "assistant"}, {"content", content.substr(at, end - at)}}},
                       {"done", false}}.dump() + "\n";
        at = end;
      }
      stream += json{{"model", model}, {"message", {{"role", "assistant"}, {"content", ""}}}, {"done", true}}.dump() + "\n";
      res.set_chunked_content_provider("application/x-ndjson", [stream](size_t, httplib::DataSink& sink) {
        sink.write(stream.data(), stream.size());
        sink.done();
        return true;
      });
    });
  } else if (api_ == Api::openai) {
    server.Get("/v1/models", [this, authorized](const httplib::Request& req, httplib::Response& res) {
      record("GET /v1/models", nullptr);
      if (!authorized(req, json())) return answerJson(res, 401, {{"error", {{"message", "Invalid API key"}}}});
      json data = json::array();
      for (const auto& name : options_.models) data.push_back({{"id", name}, {"object", "model"}});
      answerJson(res, 200, {{"object", "list"}, {"data", data}});
    });
    server.Post("/v1/chat/completions", [this, authorized](const httplib::Request& req, httplib::Response& res) {
      const json body = parse(req.body);
      record("POST /v1/chat/completions", &body);
      holdIfAsked();
      if (!authorized(req, body)) return answerJson(res, 401, {{"error", {{"message", "Invalid API key"}}}});
      if (options_.refuseResponseFormat && body.is_object() && body.contains("response_format"))
        return answerJson(res, 400, {{"error", {{"message", "response_format is not supported"}, {"type", "invalid_request_error"}}}});
      const std::string model = body.is_object() ? body.value("model", "") : "";
      if (std::find(options_.models.begin(), options_.models.end(), model) == options_.models.end())
        return answerJson(res, 404, {{"error", {{"message", "The model `" + model + "` does not exist."}}}});
      std::string target;
      const auto texts = chatTexts(body, target);
      if (!texts) return answerJson(res, 400, {{"error", {{"message", "invalid request"}}}});
      answerJson(res, 200, {{"object", "chat.completion"},
                            {"choices", json::array({{{"index", 0}, {"finish_reason", "stop"},
                                                      {"message", {{"role", "assistant"},
                                                                   {"content", chatContent(options_.style, *texts, target)}}}}})}});
    });
  } else {
    server.Get("/languages", [this](const httplib::Request&, httplib::Response& res) {
      record("GET /languages", nullptr);
      answerJson(res, 200, libreLanguages(options_.oldChineseCodes));
    });
    server.Post("/translate", [this, authorized](const httplib::Request& req, httplib::Response& res) {
      const json body = parse(req.body);
      record("POST /translate", &body);
      holdIfAsked();
      if (!authorized(req, body)) return answerJson(res, 403, {{"error", "Invalid API key"}});
      if (!body.is_object() || !body.contains("q")) return answerJson(res, 400, {{"error", "Invalid request: missing q parameter"}});
      const std::string source = body.value("source", "");
      const std::string target = body.value("target", "");
      bool served = false;
      for (const auto& language : libreLanguages(options_.oldChineseCodes))
        if (language["code"] == source)
          for (const auto& t : language["targets"]) served = served || t == target;
      if (!served) return answerJson(res, 400, {{"error", source + " is not supported"}});
      if (body["q"].is_string())
        return answerJson(res, 200, {{"translatedText", standInTranslation(body["q"].get<std::string>(), target)}});
      json out = json::array();
      for (const auto& q : body["q"]) out.push_back(standInTranslation(q.get<std::string>(), target));
      answerJson(res, 200, {{"translatedText", out}});
    });
  }
  port_ = server.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("stand-in server: no port");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() does nothing to a server not yet running, which would then never end.
  while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

StandInServer::~StandInServer() {
  {
    std::lock_guard lock(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

std::string StandInServer::url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + (api_ == Api::openai ? "/v1" : "");
}

std::vector<json> StandInServer::posts() const {
  std::lock_guard lock(mutex_);
  return posts_;
}

std::vector<std::string> StandInServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void StandInServer::waitForPosts(size_t count) const {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return posts_.size() >= count; });
}

void StandInServer::record(const std::string& line, const json* body) {
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(line);
    if (body) posts_.push_back(*body);
  }
  changed_.notify_all();
}

void StandInServer::holdIfAsked() {
  std::unique_lock lock(mutex_);
  if (options_.neverAnswer) {
    changed_.wait(lock, [&] { return ending_; });
  } else if (options_.firstAnswerDelay.count() > 0 && posts_.size() == 1) {
    changed_.wait_for(lock, options_.firstAnswerDelay, [&] { return ending_; });
  }
}

}  // namespace qy::testing
