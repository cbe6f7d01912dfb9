// Pair matching and the one-line-per-batch conversation with a command provider.
#include "platform/command_provider.h"

#include <cstdio>

#include "core/translate/lang.h"
#include "platform/command_protocol.h"

namespace qy::platform {
namespace {

constexpr size_t kMaxAnswerBytes = 256u * 1024 * 1024;

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// A listed code covers the same code in any case, and a bare language ("en") covers its
// regional and script forms ("en-GB").
bool covers(std::string_view listed, std::string_view requested) {
  const std::string l = lower(listed);
  if (l == lower(requested)) return true;
  return l.find('-') == std::string::npos && !l.empty() && l == Lang::base(requested);
}

std::string programName(const CommandSpec& spec) {
  const std::string& program = spec.command.front();
  const size_t slash = program.rfind('/');
  return slash == std::string::npos ? program : program.substr(slash + 1);
}

}  // namespace

std::string secondsText(std::chrono::milliseconds limit) {
  const auto ms = limit.count();
  char buffer[32];
  if (ms % 1000 == 0)
    std::snprintf(buffer, sizeof buffer, "%lld 秒", static_cast<long long>(ms / 1000));
  else
    std::snprintf(buffer, sizeof buffer, "%.3g 秒", static_cast<double>(ms) / 1000.0);
  return buffer;
}

class CommandProvider::Program {
 public:
  Program(CommandSpec spec, std::chrono::milliseconds limit)
      : spec_(std::move(spec)), name_(programName(spec_)), limit_(limit) {}

  BatchResult translate(std::string_view from, std::string_view to,
                        const std::vector<TranslationRequest>& requests) {
    BatchResult result;
    if (requests.empty()) return result;
    std::vector<std::string> texts;
    texts.reserve(requests.size());
    for (const auto& r : requests) texts.push_back(r.sourceText);
    std::lock_guard lock(mutex_);
    const uint64_t id = nextId_++;
    const std::string line = CommandProtocol::request(from, to, texts, id);
    if (stopped_) {
      result.error = "翻译程序 " + name_ + " 已停止";
      return result;
    }
    std::vector<std::string> lines;
    ProcessChain::Status status = ProcessChain::Status::closed;
    for (int attempt = 0; attempt < 2; ++attempt) {
      // A program that died since the last batch, or said more than it was asked, starts afresh.
      if (chain_ && (chain_->exited() || chain_->hasStrayOutput())) chain_.reset();
      const bool fresh = !chain_;
      if (fresh) {
        std::vector<std::string> argv = spec_.command;
        const std::optional<std::string> path = findProgram(argv.front());
        if (!path) {
          result.error = "找不到翻译程序 " + argv.front();
          return result;
        }
        argv.front() = *path;
        std::string error;
        chain_ = ProcessChain::start({argv}, error);
        if (!chain_) {
          result.error = "无法启动翻译程序 " + name_ + "：" + error;
          return result;
        }
      }
      status = chain_->exchange(line, '\n', 1, Clock::now() + limit_, lines, kMaxAnswerBytes);
      // A program that was already gone when the batch came (it died while idle) gets one fresh
      // start; one that dies on the batch itself does not.
      if (status == ProcessChain::Status::closed && !fresh && !chain_->receivedOutput()) {
        chain_.reset();
        continue;
      }
      break;
    }
    if (status != ProcessChain::Status::ok) {
      chain_.reset();  // kill and reap: its late answer must never meet another batch
      switch (status) {
        case ProcessChain::Status::timedOut:
          result.error = "翻译程序 " + name_ + " 在 " + secondsText(limit_) + "内没有回答";
          break;
        case ProcessChain::Status::tooLong:
          result.error = "翻译程序 " + name_ + " 的回答过长";
          break;
        default:
          result.error = "翻译程序 " + name_ + " 意外退出";
          break;
      }
      return result;
    }
    CommandProtocol::Answer answer = CommandProtocol::parseAnswer(lines.front(), texts.size(), name_, id);
    if (answer.error) {
      if (!answer.reportedByProgram) chain_.reset();
      result.error = std::move(answer.error);
      return result;
    }
    result.responses.reserve(requests.size());
    for (size_t i = 0; i < requests.size(); ++i)
      result.responses.push_back({requests[i].clientIdentifier, std::move(answer.translations[i])});
    return result;
  }

  void stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    chain_.reset();
  }

 private:
  const CommandSpec spec_;
  const std::string name_;
  const std::chrono::milliseconds limit_;
  std::mutex mutex_;
  std::unique_ptr<ProcessChain> chain_;  // guarded by mutex_
  uint64_t nextId_ = 0;                  // guarded by mutex_
  bool stopped_ = false;                 // guarded by mutex_
};

namespace {

class CommandSession final : public TranslationSession {
 public:
  CommandSession(std::shared_ptr<CommandProvider::Program> program, std::string from,
                 std::string to)
      : program_(std::move(program)), from_(std::move(from)), to_(std::move(to)) {}
  BatchResult translations(const std::vector<TranslationRequest>& requests) override {
    return program_->translate(from_, to_, requests);
  }

 private:
  std::shared_ptr<CommandProvider::Program> program_;
  std::string from_;
  std::string to_;
};

}  // namespace

CommandProvider::CommandProvider(CommandSpec spec, std::chrono::milliseconds answerLimit)
    : spec_(std::move(spec)), program_(std::make_shared<Program>(spec_, answerLimit)) {}

CommandProvider::~CommandProvider() { program_->stop(); }

PairStatus CommandProvider::status(std::string_view source, std::string_view target) {
  for (const auto& [from, to] : spec_.pairs)
    if ((from == "*" || covers(from, source)) && covers(to, target)) return PairStatus::installed;
  return PairStatus::unsupported;
}

std::unique_ptr<TranslationSession> CommandProvider::session(std::string_view source,
                                                             std::string_view target) {
  return std::make_unique<CommandSession>(program_, std::string(source), std::string(target));
}

PackResult CommandProvider::preparePack(std::string_view source, std::string_view target) {
  if (status(source, target) == PairStatus::installed) return {};
  return {"翻译程序 " + programName(spec_) + " 不支持这个语言对"};
}

}  // namespace qy::platform
