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
      if (ec != std::errc() || end != value.data() + value.size() || port < 1 || port > 65535) {
        error = "选项 --port 要的是 1 到 65535 的端口号，不是“" + value + "”";
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

}  // namespace qy::reader
