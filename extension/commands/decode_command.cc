// The decode command of quillory-ext.
#include "extension/commands/decode_command.h"

#include "extension/commands/status_header.h"
#include "protocol/result_json.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>

#include "core/config/log.h"
#include "extension/commands/command_help.h"
#include "platform/termination.h"

namespace qy {
namespace {

// No limit: wait until the translation has ended.
constexpr double kUntilEnded = std::numeric_limits<double>::infinity();
// Room for the mbox envelope line in front of a message of the engine's largest size.
constexpr size_t kMaxEnvelopeBytes = 4096;
// Input past this is not buffered: the message is too large for the engine anyway, and is
// passed through as a stream.
constexpr size_t kMaxBufferedBytes = Engine::kMaxMessageBytes + kMaxEnvelopeBytes + 1;
// Reads and writes of a stream go in pieces of this size.
constexpr size_t kChunkBytes = 1 << 16;

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

struct Input {
  std::string bytes;      // the whole input, or its first kMaxBufferedBytes when not complete
  bool complete = false;  // the end of the input was reached
};

// Reads the input into one buffer, sized by fstat for a regular file, stopping at the limit.
std::optional<Input> readInput(int fd) {
  Input input;
  struct stat info {};
  size_t expected = kChunkBytes;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 0)
    expected = std::min(static_cast<size_t>(info.st_size) + 1, kMaxBufferedBytes);
  input.bytes.resize(expected);
  size_t done = 0;
  for (;;) {
    if (done == input.bytes.size()) {
      if (done >= kMaxBufferedBytes) return input;  // more to come, not buffered
      input.bytes.resize(std::min(std::max(done * 2, kChunkBytes), kMaxBufferedBytes));
    }
    ssize_t n = ::read(fd, input.bytes.data() + done, input.bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  input.bytes.resize(done);
  input.complete = true;
  return input;
}

bool writeAll(std::FILE* out, std::string_view bytes) {
  if (bytes.empty()) return true;  // an empty view may carry no pointer at all
  return std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
}

// Copies the rest of the input to the output unchanged (or, without an output, reads it to the
// end), adding the bytes to `count`; false on a write error.
bool passThrough(int fd, std::FILE* out, bool* readError, uint64_t* count) {
  std::string buffer(kChunkBytes, '\0');
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *readError = true;
      return true;
    }
    if (n == 0) return true;
    *count += static_cast<uint64_t>(n);
    if (out && !writeAll(out, std::string_view(buffer.data(), static_cast<size_t>(n)))) return false;
  }
}

// The size of the file behind `fd` when it is a regular file.
std::optional<uint64_t> regularFileSize(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) return std::nullopt;
  return static_cast<uint64_t>(info.st_size);
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
          *error = UsageMessage::missingValue("--wait", "秒数");
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
        *error = UsageMessage::badValue("--wait", value, "不小于 0 的秒数");
        return std::nullopt;
      }
      options.wait = seconds;
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
      *error = UsageMessage::stray(arg);
      return std::nullopt;
    } else {
      if (haveInput) {
        *error = "一次只能翻译一封邮件（多出的参数“" + arg + "”）";
        return std::nullopt;
      }
      options.input = arg;
      haveInput = true;
    }
  }
  return options;
}

int runDecode(const std::vector<std::string>& args, Engine& engine, std::FILE* in, std::FILE* out,
              std::FILE* err, const DecodeElsewhere& elsewhere) {
  std::string usage;
  auto options = parseDecodeArguments(args, &usage);
  if (!options) {
    return reportUsageError(err, "decode", usage);
  }
  const std::string inputName = options->input == "-" ? "标准输入" : options->input;
  int fd = -1;
  if (options->input == "-") {
    fd = ::fileno(in);
  } else {
    fd = ::open(options->input.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
      std::fprintf(err, "quillory-ext decode：无法读取 %s：%s\n", inputName.c_str(),
                   readFailure(errno).c_str());
      return 1;
    }
  }
  struct Closer {
    int fd;
    bool own;
    ~Closer() {
      if (own) ::close(fd);
    }
  } closer{fd, options->input != "-"};
  std::optional<Input> input = readInput(fd);
  if (!input) {
    std::fprintf(err, "quillory-ext decode：无法读取 %s：%s\n", inputName.c_str(),
                 readFailure(errno).c_str());
    return 1;
  }

  auto [envelope, message] = protocol::splitEnvelope(input->bytes);
  if (!input->complete && message.size() <= Engine::kMaxMessageBytes) {
    // An envelope line so long that the rest fell short of the limit: the message is still too
    // large, and only its size matters to the engine.
    envelope = {};
    message = input->bytes;
  }
  bool written;
  bool readError = false;
  bool settled = true;
  if (!input->complete) {
    // Past the limit: passed through as it is, never buffered whole. Its size is the file's, or
    // what streams through (counted, not stored); the log line names it once it is known.
    const Engine::Result result = engine.tooLarge();
    const std::optional<uint64_t> fileSize = options->input == "-" ? std::nullopt : regularFileSize(fd);
    uint64_t streamed = input->bytes.size();
    if (options->json) {
      written = protocol::writeResultJSON(out, result, envelope);
      if (!fileSize) passThrough(fd, nullptr, &readError, &streamed);
    } else {
      if (options->statusHeader) {
        written = writeAll(out, envelope) && writeAll(out, withStatusHeader(message, result));
      } else {
        written = writeAll(out, input->bytes);
      }
      if (written) written = passThrough(fd, out, &readError, &streamed);
    }
    written = std::fclose(out) == 0 && written;
    engine.logTooLarge(result, fileSize.value_or(streamed) - envelope.size());
  } else {
    std::optional<Engine::Result> decoded;
    // A running service is asked for whole messages only.
    if (elsewhere) decoded = elsewhere(input->bytes, options->wait);
    if (decoded) {
      envelope = {};  // the result's data holds it already
    } else {
      const auto* data = reinterpret_cast<const uint8_t*>(message.data());
      decoded = engine.process(ByteView(data, message.size()), options->wait.value_or(kUntilEnded));
    }
    const Engine::Result& result = *decoded;
    if (options->json) {
      written = protocol::writeResultJSON(out, result, envelope);
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
      written = writeAll(out, input->bytes);
    }
    // Closing the output ends the filter's read at once.
    written = std::fclose(out) == 0 && written;
    engine.pruneIfDue();
    // A mail filter waits for the filter to exit, so we end now. A job still running (the wait
    // ran out) is abandoned: nothing it translates is cached or recorded. With a running service
    // the translation goes on there, and the service caches it.
    settled = engine.waitForJobs(std::chrono::milliseconds(0));
  }
  int status = 0;
  if (readError) {
    std::fprintf(err, "quillory-ext decode：无法读取 %s：%s\n", inputName.c_str(),
                 readFailure(errno).c_str());
    status = 1;
  } else if (!written) {
    std::fprintf(err, "quillory-ext decode：无法写出结果\n");
    status = 1;
  }
  if (!settled) {
    // The abandoned jobs still run inside the translation service: end their engines and the
    // process here rather than tear its statics down under them.
    platform::endChildProcesses();
    Log::flush();
    std::fflush(err);
    std::_Exit(status);
  }
  return status;
}

}  // namespace qy
