// Pair matching and the one-line-per-batch conversation with a command provider.
#include "platform/command_provider.h"

#include <atomic>

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

class CommandProvider::Program {
 public:
  Program(const CommandSpec& spec, std::chrono::milliseconds limit)
      : name_(programName(spec)), engine_(texts(name_), limit, starter(spec)) {}

  BatchResult translate(std::string_view from, std::string_view to,
                        const std::vector<TranslationRequest>& requests,
                        const TranslationDeadline& deadline) {
    if (requests.empty()) return {};
    std::vector<std::string> texts;
    texts.reserve(requests.size());
    for (const auto& r : requests) texts.push_back(r.sourceText);
    const uint64_t id = nextId_++;
    const std::string line = CommandProtocol::request(from, to, texts, id);
    return engine_.run({line, '\n', 1, kMaxAnswerBytes}, deadline, [&](std::vector<std::string>& lines) {
      EngineProcess::Reading reading;
      CommandProtocol::Answer answer = CommandProtocol::parseAnswer(lines.front(), texts.size(), name_, id);
      if (answer.error) {
        reading.inStep = answer.reportedByProgram;
        reading.result.error = std::move(answer.error);
        return reading;
      }
      reading.result.responses.reserve(requests.size());
      for (size_t i = 0; i < requests.size(); ++i)
        reading.result.responses.push_back({requests[i].clientIdentifier, std::move(answer.translations[i])});
      return reading;
    });
  }

  void stop() { engine_.stop(); }

 private:
  static EngineProcess::Texts texts(const std::string& name) {
    const std::string program = "翻译程序 " + name;
    return {program + " 已停止", program + " 意外退出", program + " 的回答过长", program + " 在 ",
            "内没有回答"};
  }

  static EngineProcess::Starter starter(const CommandSpec& spec) {
    return [argv = spec.command, name = programName(spec)](SteadyClock::time_point, std::string& error)
               -> std::unique_ptr<ProcessChain> {
      std::vector<std::string> command = argv;
      const std::optional<std::string> path = findProgram(command.front());
      if (!path) {
        error = "找不到翻译程序 " + command.front();
        return nullptr;
      }
      command.front() = *path;
      std::string why;
      std::unique_ptr<ProcessChain> chain = ProcessChain::start({command}, why);
      if (!chain) error = "无法启动翻译程序 " + name + "：" + why;
      return chain;
    };
  }

  const std::string name_;
  std::atomic<uint64_t> nextId_{0};
  EngineProcess engine_;
};

namespace {

class CommandSession final : public TranslationSession {
 public:
  CommandSession(std::shared_ptr<CommandProvider::Program> program, std::string from,
                 std::string to)
      : program_(std::move(program)), from_(std::move(from)), to_(std::move(to)) {}
  BatchResult translations(const std::vector<TranslationRequest>& requests,
                           const TranslationDeadline& deadline) override {
    return program_->translate(from_, to_, requests, deadline);
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
