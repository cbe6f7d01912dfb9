// Parsing the reader's options of serve.
#include "hosts/reader/reader_arguments.h"

#include <charconv>

namespace qy::reader {

std::optional<ReaderArguments> takeReaderArguments(std::vector<std::string>& args, std::string& error) {
  ReaderArguments out;
  bool portGiven = false, noBrowserGiven = false;
  std::vector<std::string> rest;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--reader" || a == "--port") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        error = "选项 " + a + " 后面要跟" + (a == "--port" ? "端口号" : "邮件的路径");
        return std::nullopt;
      }
      const std::string& value = args[++i];
      if (a == "--reader") {
        out.mail = value;
        continue;
      }
      int port = 0;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), port);
      if (ec != std::errc() || end != value.data() + value.size() || port < 0 || port > 65535) {
        error = "选项 --port 要的是 0 到 65535 的端口号，不是“" + value + "”";
        return std::nullopt;
      }
      out.port = port;
      portGiven = true;
    } else if (a == "--no-browser") {
      out.openBrowser = false;
      noBrowserGiven = true;
    } else {
      rest.push_back(a);
    }
  }
  if ((portGiven || noBrowserGiven) && !out.mail) {
    error = "--port 和 --no-browser 只能和 --reader PATH 一起用";
    return std::nullopt;
  }
  args = std::move(rest);
  return out;
}

std::optional<ReaderArguments> readerCommandArguments(const std::vector<std::string>& args,
                                                      std::string& error) {
  std::vector<std::string> rest;
  std::optional<std::string> mail;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--port" && i + 1 < args.size()) {
      rest.push_back(a);
      rest.push_back(args[++i]);
    } else if (a == "--port" || a == "--no-browser") {
      rest.push_back(a);
    } else if (a.size() > 1 && a[0] == '-') {
      error = "不认识的选项“" + a + "”";
      return std::nullopt;
    } else if (mail) {
      error = "不接受参数“" + a + "”";
      return std::nullopt;
    } else {
      mail = a;
    }
  }
  if (!mail || mail->empty()) {
    error = "缺少要读取的邮件的路径（Maildir、mbox 文件或 .eml 文件夹）";
    return std::nullopt;
  }
  rest.push_back("--reader");
  rest.push_back(*mail);
  auto parsed = takeReaderArguments(rest, error);
  if (!parsed) return std::nullopt;
  if (!rest.empty()) {
    error = "不认识的选项“" + rest.front() + "”";
    return std::nullopt;
  }
  return parsed;
}

}  // namespace qy::reader
