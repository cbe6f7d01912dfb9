// StandInServer: a local translation server for tests, speaking one of the documented wire
// formats (Ollama, OpenAI-compatible, LibreTranslate) on 127.0.0.1 at a port of its own, since no
// real model server can run here. It serves the documented requests and errors:
//   Ollama          POST /api/chat (streams newline-delimited chunks unless "stream" is false;
//                   404 {"error": "model \"…\" not found, try pulling it first"}), GET /api/tags
//   OpenAI-like     POST /v1/chat/completions ({"error": {"message"}} errors; optionally refuses
//                   "response_format"), GET /v1/models
//   LibreTranslate  POST /translate ("q" a string or an array), GET /languages (new or old codes)
// A chat answer translates each text of the user message's JSON array to "〔目标〕text" and can be
// written the ways models write it (fenced, after a think block, inside an object, miscounted).
// It can also be slow on its first answer, or accept requests and never answer.
//
// Threads: the server runs on its own threads; every accessor is safe from the test's thread.
// Destroying it releases any request it holds and stops it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace httplib {
class Server;
}

namespace qy::testing {

class StandInServer {
 public:
  enum class Api { ollama, openai, libretranslate };
  // How a chat answer is written.
  enum class Style {
    array,      // ["…", "…"]
    fenced,     // ```json\n[…]\n```
    think,      // <think>…</think> then the array
    object,     // {"translations": […]}
    miscount,   // one translation too few whenever the batch has more than one text
    prose,      // "Sure! Here is the translation: …" with no JSON at all
  };
  struct Options {
    Style style = Style::array;
    std::vector<std::string> models = {"qwen2.5:7b"};
    bool refuseResponseFormat = false;  // OpenAI: 400 for a request with "response_format"
    bool oldChineseCodes = false;       // LibreTranslate: "zh" and "zt"
    std::string apiKey;                 // required when not empty
    std::chrono::milliseconds firstAnswerDelay{0};  // the first POST waits this long
    bool neverAnswer = false;                       // every POST is held until the end
  };

  explicit StandInServer(Api api, Options options);
  explicit StandInServer(Api api) : StandInServer(api, Options{}) {}
  ~StandInServer();
  StandInServer(const StandInServer&) = delete;
  StandInServer& operator=(const StandInServer&) = delete;

  // The url to write in translators.json ("http://127.0.0.1:PORT", with "/v1" for OpenAI).
  std::string url() const;
  int port() const { return port_; }
  // The JSON bodies of the POST requests received so far, in order.
  std::vector<nlohmann::json> posts() const;
  // Every request received so far, "GET /api/tags".
  std::vector<std::string> requests() const;
  // Blocks until `count` POSTs have arrived (held ones included).
  void waitForPosts(size_t count) const;

 private:
  void record(const std::string& line, const nlohmann::json* body);
  void holdIfAsked();

  const Api api_;
  const Options options_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<nlohmann::json> posts_;   // guarded by mutex_
  std::vector<std::string> requests_;   // guarded by mutex_
  bool ending_ = false;                 // guarded by mutex_
};

// The stand-in's translation of `text` into `target`: "〔target〕text".
std::string standInTranslation(const std::string& text, const std::string& target);

}  // namespace qy::testing
