// The reader's HTTP server on a real socket: who is refused, what the secret opens, and the
// policies every response carries. The extension is not needed for these; the page's behaviour
// with the extension is covered by the browser tests.
#include "hosts/reader/reader_server.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace qy::reader {
namespace {

namespace fs = std::filesystem;
using qy::testing::TempDir;

class ReaderServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "new");
    qy::testing::writeFile(dir_ / "new/1.a", "Subject: hi\n\n<b>plain</b>\n");
    server_ = std::make_unique<ReaderServer>(MailSource::open(dir_.path()), [this](nlohmann::json request) {
      requests_.push_back(request);
      return std::optional<nlohmann::json>();  // no extension: the reader shows mail as received
    });
    ASSERT_TRUE(server_->start(0));
    const std::string url = server_->url();
    token_ = url.substr(url.find("?k=") + 3);
    host_ = "127.0.0.1:" + std::to_string(server_->port());
  }

  // The cookie the launch token turns into, as a browser's first visit gets it.
  void takeToken() {
    auto first = client().Get("/?k=" + token_);
    ASSERT_TRUE(first);
    ASSERT_EQ(first->status, 200);
    const std::string setCookie = first->get_header_value("Set-Cookie");
    cookie_ = setCookie.substr(0, setCookie.find(';'));
  }

  httplib::Client client() { return httplib::Client("127.0.0.1", server_->port()); }
  httplib::Headers withCookie(httplib::Headers more = {}) {
    if (cookie_.empty()) takeToken();
    more.emplace("Cookie", cookie_);
    return more;
  }

  TempDir dir_;
  std::vector<nlohmann::json> requests_;
  std::unique_ptr<ReaderServer> server_;
  std::string token_, cookie_, host_;
};

TEST_F(ReaderServerTest, SecretBecomesCookieAndOpensThePage) {
  auto c = client();
  auto first = c.Get("/?k=" + token_);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->status, 200);  // a page that goes on to "/" as the reader's own navigation
  EXPECT_NE(first->body.find("url=/"), std::string::npos);
  const std::string cookie = first->get_header_value("Set-Cookie");
  EXPECT_TRUE(cookie.starts_with("qy_reader_" + std::to_string(server_->port()) + "=")) << cookie;
  EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
  EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);
  cookie_ = cookie.substr(0, cookie.find(';'));
  auto again = c.Get("/?k=" + token_);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 403) << "the launch token is taken once";

  auto page = c.Get("/", withCookie());
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("Quillory 读信器"), std::string::npos);
  EXPECT_NE(page->get_header_value("Content-Security-Policy").find("script-src 'self'"), std::string::npos);
  EXPECT_EQ(page->get_header_value("Referrer-Policy"), "no-referrer");
  EXPECT_FALSE(page->has_header("Access-Control-Allow-Origin"));
}

TEST_F(ReaderServerTest, RefusesWithoutSecretOrFromElsewhere) {
  struct Case { std::string name; std::string path; httplib::Headers headers; };
  const std::string port = std::to_string(server_->port());
  const std::vector<Case> kCases = {
      {"no secret", "/api/messages", {}},
      {"wrong secret", "/?k=" + std::string(token_.size(), '0'), {}},
      {"a token off the launch address", "/api/messages?k=" + token_, {}},
      {"wrong cookie", "/api/messages", {{"Cookie", "qy_reader_" + port + "=nope"}}},
      {"foreign host", "/api/messages", withCookie({{"Host", "evil.example:" + port}})},
      {"foreign origin", "/api/messages", withCookie({{"Origin", "http://evil.example"}})},
      {"other local port", "/api/messages", withCookie({{"Origin", "http://127.0.0.1:1"}})},
      {"cross-site fetch", "/api/messages", withCookie({{"Sec-Fetch-Site", "cross-site"}})},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    auto cl = client();
    auto res = cl.Get(c.path, c.headers);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    EXPECT_EQ(res->body.find("plain"), std::string::npos);
  }
  auto cl = client();
  auto ok = cl.Get("/api/messages", withCookie({{"Origin", "http://127.0.0.1:" + port}}));
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->status, 200);
}

TEST_F(ReaderServerTest, MessageWithoutServiceIsShownAsReceivedInAPolicedFrame) {
  auto c = client();
  auto list = c.Get("/api/messages", withCookie());
  ASSERT_TRUE(list);
  const auto messages = nlohmann::json::parse(list->body)["messages"];
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]["subject"], "hi");

  auto res = c.Get("/api/message?id=" + messages[0]["id"].get<std::string>(), withCookie());
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);
  const auto message = nlohmann::json::parse(res->body);
  ASSERT_EQ(requests_.size(), 1u);
  EXPECT_EQ(requests_[0]["op"], "decodedMessage");
  EXPECT_EQ(requests_[0]["mainThread"], false);
  EXPECT_TRUE(message["banner"].is_null());
  EXPECT_EQ(message["notice"], "无法连接到 Quillory 扩展服务，显示的是收到的原始邮件。");

  auto frame = c.Get(message["frame"].get<std::string>(), withCookie());
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->status, 200);
  EXPECT_NE(frame->body.find("&lt;b&gt;plain&lt;/b&gt;"), std::string::npos);
  const std::string policy = frame->get_header_value("Content-Security-Policy");
  EXPECT_NE(policy.find("default-src 'none'; img-src data:; style-src 'unsafe-inline'"), std::string::npos);
  EXPECT_NE(policy.find("sandbox"), std::string::npos);

  auto missing = c.Get("/api/message?id=nothing", withCookie());
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
  EXPECT_EQ(nlohmann::json::parse(missing->body)["error"], "无法读取这封邮件");
  auto unknownFrame = c.Get("/frame/00", withCookie());
  ASSERT_TRUE(unknownFrame);
  EXPECT_EQ(unknownFrame->status, 404);

  // Shown again, the message keeps its frame's address, which serves the new document; the
  // empty page the frame steps onto meanwhile is policed like every frame.
  qy::testing::writeFile(dir_ / "new/1.a", "Subject: hi\n\n<b>changed</b>\n");
  auto again = c.Get("/api/message?id=" + messages[0]["id"].get<std::string>(), withCookie());
  ASSERT_TRUE(again);
  EXPECT_EQ(nlohmann::json::parse(again->body)["frame"], message["frame"]);
  auto changed = c.Get(message["frame"].get<std::string>(), withCookie());
  ASSERT_TRUE(changed);
  EXPECT_NE(changed->body.find("&lt;b&gt;changed&lt;/b&gt;"), std::string::npos);
  auto hold = c.Get("/frame-hold?scheme=dark", withCookie());
  ASSERT_TRUE(hold);
  EXPECT_EQ(hold->status, 200);
  EXPECT_EQ(hold->get_header_value("Content-Security-Policy"), policy);
  EXPECT_NE(hold->body.find("color-scheme:dark"), std::string::npos);
}

TEST_F(ReaderServerTest, PostsMustBeJsonAndPassOnlyPanelOperations) {
  auto c = client();
  auto form = c.Post("/api/panel", withCookie(), "op=panelClosed", "application/x-www-form-urlencoded");
  ASSERT_TRUE(form);
  EXPECT_EQ(form->status, 415);
  auto foreignOp = c.Post("/api/panel", withCookie(), R"({"op": "reloadVisibleMessages"})", "application/json");
  ASSERT_TRUE(foreignOp);
  EXPECT_EQ(foreignOp->status, 400);
  auto broken = c.Post("/api/action", withCookie(), "{", "application/json");
  ASSERT_TRUE(broken);
  EXPECT_EQ(broken->status, 400);
  EXPECT_TRUE(requests_.empty());
  auto click = c.Post("/api/action", withCookie(), R"({"context": null})", "application/json");
  ASSERT_TRUE(click);
  EXPECT_EQ(click->status, 502);  // no extension to answer
  ASSERT_EQ(requests_.size(), 1u);
  EXPECT_EQ(requests_[0], (nlohmann::json{{"op", "primaryActionClicked"}, {"context", nullptr}}));
}

}  // namespace
}  // namespace qy::reader
