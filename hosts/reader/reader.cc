// Starting the web mail reader.
#include "hosts/reader/reader.h"

#include "protocol/host_frame.h"
#include "protocol/names.h"


namespace qy::reader {

std::unique_ptr<Reader> Reader::start(const ReaderOptions& options, std::string& error) {
  auto source = MailSource::open(options.mail);
  if (!source) {
    error = "无法读取邮件：" + options.mail.string() + " 不是 Maildir、mbox 文件或 .eml 文件夹";
    return nullptr;
  }
  std::unique_ptr<Reader> reader(new Reader());
  // Requests and reloads reach the parts through the reader, which outlives them.
  Reader* self = reader.get();
  reader->server_ = std::make_unique<ReaderServer>(
      std::move(source), [self](nlohmann::json request) { return self->call(request); },
      options.socketPath.parent_path());
  auto onReload = [self] { self->server_->notifyReload(); };
  protocol::ServiceConnectionOptions connection;
  connection.socketPath = options.socketPath;
  connection.connectTimeout = kConnectTimeout;
  connection.onEvent = [onReload](const nlohmann::json& event) {
    if (protocol::field<std::string>(event, "event") == protocol::event::kReloadVisibleMessages)
      onReload();
  };
  connection.subscribe = true;
  connection.readerPage = [self]() -> std::optional<std::string> {
    MutexLock lock(self->pageLock_);
    return self->page_;
  };
  reader->service_ = std::make_unique<protocol::ServiceConnection>(std::move(connection));
  // Beside a service, the reader connects now to know whether one answers; inside one (serve
  // --reader), whose socket is not served yet, on the first request.
  if (options.local && !reader->service_->connect()) reader->local_ = options.local(onReload);
  if (!reader->server_->start(options.port)) {
    error = "无法启动读信器：端口 " + std::to_string(options.port) + " 已被占用";
    return nullptr;
  }
  const std::string page = reader->server_->address();
  {
    MutexLock lock(reader->pageLock_);
    reader->page_ = page;
  }
  // Beside a service, named on the connection made before the page had its port; later ones
  // name it themselves. (Inside one, the first connection comes after this.)
  if (options.local && !reader->local_) {
    reader->service_->request({{"op", protocol::op::kHello},
                               {"version", protocol::kVersion},
                               {"reader", page}});
  }
  return reader;
}

std::optional<nlohmann::json> Reader::call(const nlohmann::json& request) {
  if (local_) return local_(request);
  return service_->request(request);
}

Reader::~Reader() {
  // The server's handlers use the connection: stop them first, then close it.
  if (server_) server_->stop();
  service_.reset();
  local_ = nullptr;
  server_.reset();
}

std::unique_ptr<Reader> startForService(const ReaderArguments& args, const std::filesystem::path& socketPath,
                                        std::FILE* out, std::FILE* err) {
  if (!args.mail) return nullptr;
  std::string error;
  auto reader = Reader::start({*args.mail, socketPath, args.port, nullptr}, error);
  if (!reader) {
    std::fprintf(err, "quillory-ext serve: %s\n", error.c_str());
    return nullptr;
  }
  std::fprintf(out, "%s\n", reader->url().c_str());
  std::fflush(out);
  if (args.openBrowser && !reader->open("xdg-open"))
    std::fprintf(err, "quillory-ext serve: 无法用 xdg-open 打开读信器，请手动打开上面的链接\n");
  return reader;
}

}  // namespace qy::reader
