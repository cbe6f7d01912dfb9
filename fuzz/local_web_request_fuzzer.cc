// A local web server's handling of request bytes: the head checks of the front, then the HTTP
// library's parsing, our request checks and a route or two, as one connection would bring them;
// and the kernel's socket table as the peer check reads it. Bad input is a refusal or an error
// page, never a crash or a hang.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "web/local_server.h"
#include "web/request_guard.h"
#include "web/request_head.h"

namespace {

// One connection's bytes, read once; what is written is counted and dropped.
class MemoryStream final : public httplib::Stream {
 public:
  explicit MemoryStream(std::string_view input) : input_(input) {}
  bool is_readable() const override { return !input_.empty(); }
  bool is_writable() const override { return true; }
  ssize_t read(char* ptr, size_t size) override {
    const size_t n = std::min(size, input_.size());
    std::memcpy(ptr, input_.data(), n);
    input_.remove_prefix(n);
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char*, size_t size) override {
    written_ += size;
    return static_cast<ssize_t>(size);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = "127.0.0.1";
    port = 40000;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip = "127.0.0.1";
    port = 8123;
  }
  socket_t socket() const override { return -1; }
  size_t written() const { return written_; }

 private:
  std::string_view input_;
  size_t written_ = 0;
};

qy::web::LocalServer& server() {
  static qy::web::LocalServer* instance = [] {
    qy::web::LocalServerOptions options;
    options.name = "fuzz";
    auto* made = new qy::web::LocalServer(options);
    made->http().Get("/api/ping", [](const httplib::Request& req, httplib::Response& res) {
      qy::web::sendJson(res, {{"q", req.get_param_value("q")}});
    });
    made->http().Post("/api/echo", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(req.body, "application/json");
    });
    (void)made->start(0);  // a secret and a port; nothing is served from the socket
    return made;
  }();
  return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  (void)qy::web::socketOwner(input, "0100007F:C350", "0100007F:1F90");
  (void)qy::web::cookieValues(input, "qy_fuzz_8123");
  size_t end = 0;
  const qy::web::HeadState state = qy::web::checkHead(input, {}, &end);
  if (state == qy::web::HeadState::complete && (end > input.size() || end < 4)) __builtin_trap();
  if (state != qy::web::HeadState::complete) return 0;
  MemoryStream stream(input);
  server().serve(stream);
  return 0;
}
