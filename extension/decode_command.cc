// The decode command of quillory-ext.
#include "extension/decode_command.h"

#include "extension/status_header.h"

#include <openssl/evp.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>

namespace qy {
namespace {

// No limit: wait until the translation has ended.
constexpr double kUntilEnded = std::numeric_limits<double>::infinity();

// Why a file could not be read, in the user's words with the system's name kept.
std::string readFailure(int error) {
  std::string reason;
  switch (error) {
    case EISDIR: reason = "这是一个目录，不是邮件文件"; break;
    case ENOENT: reason = "没有这个文件"; break;
    case EACCES:
    case EPERM: reason = "没有读取权限"; break;
    default: return std::strerror(error);
  }
  return reason + "（" + std::strerror(error) + "）";
}

std::optional<std::string> readAll(std::FILE* file) {
  std::string bytes;
  char buffer[65536];
  for (;;) {
    size_t n = std::fread(buffer, 1, sizeof buffer, file);
    bytes.append(buffer, n);
    if (n < sizeof buffer) break;
  }
  if (std::ferror(file)) return std::nullopt;
  return bytes;
}

std::string base64(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

bool writeAll(std::FILE* out, std::string_view bytes) {
  if (bytes.empty()) return true;  // an empty view may carry no pointer at all
  return std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
}

}  // namespace

std::optional<DecodeOptions> parseDecodeArguments(const std::vector<std::string>& args,
                                                  std::string* error) {
  DecodeOptions options;
  bool haveInput = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--status-header") {
      options.statusHeader = true;
    } else if (arg == "--wait" || arg.rfind("--wait=", 0) == 0) {
      std::string value;
      if (arg == "--wait") {
        if (i + 1 >= args.size()) {
          *error = "--wait needs a number of seconds";
          return std::nullopt;
        }
        value = args[++i];
      } else {
        value = arg.substr(7);
      }
      double seconds = 0;
      auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
      if (ec != std::errc() || end != value.data() + value.size() || !std::isfinite(seconds) ||
          seconds < 0) {
        *error = "--wait needs a number of seconds, not '" + value + "'";
        return std::nullopt;
      }
      options.wait = seconds;
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
      *error = "unknown option '" + arg + "'";
      return std::nullopt;
    } else {
      if (haveInput) {
        *error = "only one message can be decoded at a time";
        return std::nullopt;
      }
      options.input = arg;
      haveInput = true;
    }
  }
  return options;
}

std::pair<std::string_view, std::string_view> splitEnvelope(std::string_view input) {
  if (input.substr(0, 5) != "From ") return {{}, input};
  size_t end = input.find('\n');
  end = end == std::string_view::npos ? input.size() : end + 1;
  return {input.substr(0, end), input.substr(end)};
}

std::string resultJSON(const Engine::Result& result, std::string_view envelope) {
  nlohmann::ordered_json json;
  if (result.data) {
    std::string message(envelope);
    message.append(result.data->begin(), result.data->end());
    json["data"] = base64(message);
  } else {
    json["data"] = nullptr;
  }
  json["banner"] = result.banner ? nlohmann::ordered_json(*result.banner) : nullptr;
  json["action"] = result.action;
  json["context"] = nlohmann::ordered_json::object();
  for (const auto& [name, value] : result.context) json["context"][name] = value;
  json["note"] = result.note;
  return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

int runDecode(const std::vector<std::string>& args, Engine& engine, std::FILE* in, std::FILE* out,
              std::FILE* err) {
  std::string usage;
  auto options = parseDecodeArguments(args, &usage);
  if (!options) {
    std::fprintf(err, "quillory-ext decode: %s\nusage: quillory-ext decode [--wait SECONDS] [--json] [--status-header] [FILE|-]\n",
                 usage.c_str());
    return 2;
  }
  std::optional<std::string> input;
  const std::string name = options->input == "-" ? "标准输入" : options->input;
  errno = 0;
  if (options->input == "-") {
    input = readAll(in);
  } else if (std::FILE* file = std::fopen(options->input.c_str(), "rb")) {
    input = readAll(file);
    const int readError = errno;  // fclose may change it
    std::fclose(file);
    errno = readError;
  }
  if (!input) {
    // A directory opens for reading; only the read fails (EISDIR).
    std::fprintf(err, "quillory-ext decode：无法读取 %s：%s\n", name.c_str(),
                 readFailure(errno ? errno : EIO).c_str());
    return 1;
  }

  auto [envelope, message] = splitEnvelope(*input);
  const auto* data = reinterpret_cast<const uint8_t*>(message.data());
  Engine::Result result = engine.process(ByteView(data, message.size()),
                                         options->wait.value_or(kUntilEnded));
  bool written;
  if (options->json) {
    written = writeAll(out, resultJSON(result, envelope));
  } else if (options->statusHeader) {
    const std::string_view shown =
        result.data ? std::string_view(reinterpret_cast<const char*>(result.data->data()),
                                       result.data->size())
                    : message;
    written = writeAll(out, envelope) && writeAll(out, withStatusHeader(shown, result));
  } else if (result.data) {
    written = writeAll(out, envelope) &&
              writeAll(out, std::string_view(reinterpret_cast<const char*>(result.data->data()),
                                             result.data->size()));
  } else {
    written = writeAll(out, *input);
  }
  written = std::fflush(out) == 0 && written;
  // A one-shot process gets no reload: let running jobs store what they translate.
  engine.waitForJobs();
  if (!written) {
    std::fprintf(err, "quillory-ext decode: cannot write the output\n");
    return 1;
  }
  return 0;
}

}  // namespace qy
