// Starting the web mail reader.
#include "hosts/reader/reader.h"


namespace qy::reader {

std::unique_ptr<Reader> Reader::start(const ReaderOptions& options, std::string& error) {
  auto source = MailSource::open(options.mail);
  if (!source) {
    error = "无法读取邮件：" + options.mail.string() + " 不是 Maildir、mbox 文件或 .eml 文件夹";
    return nullptr;
  }
  std::unique_ptr<Reader> reader(new Reader());
  // The link is made after the server, whose reload it feeds; requests reach the link through
  // the reader, which outlives both.
  Reader* self = reader.get();
  reader->server_ = std::make_unique<ReaderServer>(
      std::move(source), [self](nlohmann::json request) { return self->link_->call(request); },
      options.socketPath.parent_path());
  reader->link_ = std::make_unique<ExtensionLink>(options.socketPath, [self] { self->server_->notifyReload(); });
  if (!reader->server_->start(options.port)) {
    error = "无法启动读信器：端口 " + std::to_string(options.port) + " 已被占用";
    return nullptr;
  }
  return reader;
}

Reader::~Reader() {
  // The server's handlers call the link: stop them first, then close the link.
  if (server_) server_->stop();
  link_.reset();
  server_.reset();
}

std::unique_ptr<Reader> startForService(const ReaderArguments& args, const std::filesystem::path& socketPath,
                                        std::FILE* out, std::FILE* err) {
  if (!args.mail) return nullptr;
  std::string error;
  auto reader = Reader::start({*args.mail, socketPath, args.port}, error);
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
