// Apertium pairs: discovery, the Debian package table, the per-pair pipelines and pack install.
#include "platform/apertium_provider.h"

#include <array>
#include <cstdlib>
#include <tuple>

#include "core/translate/lang.h"
#include "platform/child_process.h"

namespace qy::platform {
namespace {

constexpr size_t kMaxOutputBytes = 256u * 1024 * 1024;
constexpr auto kModeQueryLimit = std::chrono::seconds(10);
constexpr auto kInstallLimit = std::chrono::hours(1);

// Debian 12's pair packages whose pairs translate into one of the offered target languages
// (English, Spanish, French, Portuguese, Italian, Russian; none translates into the others).
// Codes as ApertiumFormat::languageCode() writes them.
struct PackageEntry {
  std::string_view source, target, package;
};
constexpr std::array<PackageEntry, 40> kPackages = {{
    {"es", "en", "apertium-eng-spa"}, {"en", "es", "apertium-eng-spa"},
    {"fr", "es", "apertium-fr-es"},   {"es", "fr", "apertium-fr-es"},
    {"ca", "en", "apertium-eng-cat"}, {"gl", "en", "apertium-en-gl"},
    {"eu", "en", "apertium-eu-en"},   {"sh", "en", "apertium-hbs-eng"},
    {"is", "en", "apertium-isl-eng"}, {"mk", "en", "apertium-mkd-eng"},
    {"ca", "es", "apertium-spa-cat"}, {"gl", "es", "apertium-es-gl"},
    {"pt", "es", "apertium-es-pt"},   {"ro", "es", "apertium-es-ro"},
    {"it", "es", "apertium-spa-ita"}, {"eu", "es", "apertium-eu-es"},
    {"oc", "es", "apertium-oc-es"},   {"ca", "fr", "apertium-fra-cat"},
    {"br", "fr", "apertium-br-fr"},   {"oc", "fr", "apertium-oci-fra"},
    {"es", "pt", "apertium-es-pt"},   {"ca", "pt", "apertium-por-cat"},
    {"gl", "pt", "apertium-pt-gl"},   {"es", "it", "apertium-spa-ita"},
    {"ca", "it", "apertium-cat-ita"}, {"sc", "it", "apertium-srd-ita"},
    {"be", "ru", "apertium-bel-rus"}, {"uk", "ru", "apertium-rus-ukr"},
    {"en", "ca", "apertium-eng-cat"}, {"es", "ca", "apertium-spa-cat"},
    {"fr", "ca", "apertium-fra-cat"}, {"pt", "ca", "apertium-por-cat"},
    {"it", "ca", "apertium-cat-ita"}, {"es", "gl", "apertium-es-gl"},
    {"en", "gl", "apertium-en-gl"},   {"pt", "gl", "apertium-pt-gl"},
    {"es", "ro", "apertium-es-ro"},   {"es", "oc", "apertium-oc-es"},
    {"fr", "oc", "apertium-oci-fra"}, {"ru", "uk", "apertium-rus-ukr"},
}};

std::string pairCode(std::string_view code) { return ApertiumFormat::languageCode(Lang::base(code)); }

// The region or script after the language ("en-US" → "us"), lower-cased.
std::string regionOf(std::string_view code) {
  const size_t dash = code.find('-');
  if (dash == std::string_view::npos) return {};
  std::string region(code.substr(dash + 1));
  for (char& c : region)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return region;
}

std::vector<std::string> splitWords(std::string_view text) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    const size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
    if (i > start) words.emplace_back(text.substr(start, i - start));
  }
  return words;
}

}  // namespace

class ApertiumProvider::Pipeline {
 public:
  Pipeline(std::string mode, std::filesystem::path modeFile, std::string searchPath,
           std::chrono::milliseconds limit)
      : mode_(std::move(mode)),
        modeFile_(std::move(modeFile)),
        searchPath_(std::move(searchPath)),
        limit_(limit) {}

  BatchResult translate(const std::vector<TranslationRequest>& requests) {
    BatchResult result;
    if (requests.empty()) return result;
    std::lock_guard lock(mutex_);
    if (stopped_) {
      result.error = label() + "已停止";
      return result;
    }
    uint64_t firstId = 0;
    std::vector<std::string> records;
    ProcessChain::Status status = ProcessChain::Status::closed;
    for (int attempt = 0; attempt < 2; ++attempt) {
      // A pipeline that died since the last batch, or said more than it was asked, starts afresh.
      if (chain_ && (chain_->exited() || chain_->hasStrayOutput())) chain_.reset();
      const bool fresh = !chain_;
      if (fresh) {
        std::string error;
        if (!start(error)) {
          result.error = "无法启动 " + label() + "：" + error;
          return result;
        }
      }
      firstId = nextId_;
      std::string input;
      for (const auto& request : requests)
        input += ApertiumFormat::record(nextId_++, request.sourceText);
      records.clear();
      status = chain_->exchange(input, '\0', requests.size(), Clock::now() + limit_, records,
                                kMaxOutputBytes);
      // A pipeline that was already gone when the batch came gets one fresh start.
      if (status == ProcessChain::Status::closed && !fresh && !chain_->receivedOutput()) {
        chain_.reset();
        continue;
      }
      break;
    }
    if (status != ProcessChain::Status::ok) {
      chain_.reset();
      switch (status) {
        case ProcessChain::Status::timedOut:
          result.error = label() + "在 " + secondsText(limit_) + "内没有完成翻译";
          break;
        case ProcessChain::Status::tooLong:
          result.error = label() + "的输出过长";
          break;
        default:
          result.error = label() + "意外退出";
          break;
      }
      return result;
    }
    result.responses.reserve(requests.size());
    for (size_t i = 0; i < requests.size(); ++i) {
      std::optional<std::string> text = ApertiumFormat::translation(firstId + i, records[i]);
      if (!text) {
        chain_.reset();
        result.responses.clear();
        result.error = label() + "的输出与请求对不上";
        return result;
      }
      result.responses.push_back({requests[i].clientIdentifier, std::move(*text)});
    }
    return result;
  }

  void stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    chain_.reset();
  }

 private:
  std::string label() const { return "Apertium（" + mode_ + "）"; }

  // Asks apertium-wblank-mode for the null-flush stages of the mode and starts them.
  bool start(std::string& error) {
    const std::optional<std::string> wblank = findProgram("apertium-wblank-mode", searchPath_);
    if (!wblank) {
      error = "找不到 apertium-wblank-mode";
      return false;
    }
    std::unique_ptr<ProcessChain> query =
        ProcessChain::start({{*wblank, "-z", modeFile_.string()}}, error);
    if (!query) return false;
    std::string commandLine;
    const auto deadline = Clock::now() + kModeQueryLimit;
    if (query->communicate({}, deadline, commandLine, 1024 * 1024) != ProcessChain::Status::ok ||
        query->wait(deadline) != 0) {
      error = "无法读取语言对的流程";
      return false;
    }
    // "-n": no marks on unknown words.
    auto stages = ApertiumFormat::parseStages(commandLine, "-n");
    if (!stages) {
      error = "无法读取语言对的流程";
      return false;
    }
    for (auto& stage : *stages) {
      const std::optional<std::string> program = findProgram(stage.front(), searchPath_);
      if (!program) {
        error = "找不到 " + stage.front();
        return false;
      }
      stage.front() = *program;
    }
    chain_ = ProcessChain::start(*stages, error);
    return chain_ != nullptr;
  }

  const std::string mode_;
  const std::filesystem::path modeFile_;
  const std::string searchPath_;
  const std::chrono::milliseconds limit_;
  std::mutex mutex_;
  std::unique_ptr<ProcessChain> chain_;  // guarded by mutex_
  uint64_t nextId_ = 0;                  // guarded by mutex_
  bool stopped_ = false;                 // guarded by mutex_
};

namespace {

class ApertiumSession final : public TranslationSession {
 public:
  explicit ApertiumSession(std::shared_ptr<ApertiumProvider::Pipeline> pipeline)
      : pipeline_(std::move(pipeline)) {}
  BatchResult translations(const std::vector<TranslationRequest>& requests) override {
    if (!pipeline_) return {{}, "Apertium 没有安装这个语言对"};
    return pipeline_->translate(requests);
  }

 private:
  std::shared_ptr<ApertiumProvider::Pipeline> pipeline_;
};

}  // namespace

ApertiumProvider::ApertiumProvider(ApertiumOptions options) : options_(std::move(options)) {}

ApertiumProvider::~ApertiumProvider() {
  std::lock_guard lock(mutex_);
  stopped_ = true;
  for (auto& [name, pipeline] : pipelines_) pipeline->stop();
  pipelines_.clear();
}

bool ApertiumProvider::toolsPresent() const {
  return findProgram("apertium", options_.searchPath) &&
         findProgram("apertium-wblank-mode", options_.searchPath);
}

std::optional<std::string_view> ApertiumProvider::packageFor(std::string_view source,
                                                            std::string_view target) {
  const std::string from = pairCode(source);
  const std::string to = pairCode(target);
  for (const auto& entry : kPackages)
    if (entry.source == from && entry.target == to) return entry.package;
  return std::nullopt;
}

std::vector<ApertiumProvider::KnownPair> ApertiumProvider::knownPairs() {
  std::vector<KnownPair> pairs;
  for (const auto& entry : kPackages) pairs.push_back({entry.source, entry.target, entry.package});
  return pairs;
}

std::optional<ApertiumFormat::ModeName> ApertiumProvider::findMode(std::string_view source,
                                                                   std::string_view target) const {
  const std::string from = pairCode(source);
  const std::string to = pairCode(target);
  const std::string region = regionOf(target);
  std::optional<ApertiumFormat::ModeName> plain, regional, other;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(options_.modesDirectory, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::filesystem::path& path = it->path();
    if (path.extension() != ".mode") continue;
    auto mode = ApertiumFormat::parseModeName(path.stem().string());
    if (!mode || mode->source != from || mode->target != to) continue;
    std::string variant = mode->variant;
    for (char& c : variant)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    // Directory order is arbitrary: keep the smallest name of each kind, so the choice is stable.
    auto keep = [&](std::optional<ApertiumFormat::ModeName>& slot) {
      if (!slot || mode->name < slot->name) slot = *mode;
    };
    if (variant.empty())
      keep(plain);
    else if (!region.empty() && variant == region)
      keep(regional);
    else
      keep(other);
  }
  if (regional) return regional;
  if (plain) return plain;
  return other;
}

PairStatus ApertiumProvider::status(std::string_view source, std::string_view target) {
  if (!toolsPresent()) return PairStatus::unsupported;
  if (findMode(source, target)) return PairStatus::installed;
  return packageFor(source, target) ? PairStatus::supported : PairStatus::unsupported;
}

std::shared_ptr<ApertiumProvider::Pipeline> ApertiumProvider::pipeline(
    const ApertiumFormat::ModeName& mode) {
  std::lock_guard lock(mutex_);
  if (stopped_) return nullptr;
  auto& slot = pipelines_[mode.name];
  if (!slot)
    slot = std::make_shared<Pipeline>(mode.name, options_.modesDirectory / (mode.name + ".mode"),
                                      options_.searchPath, options_.answerLimit);
  return slot;
}

std::unique_ptr<TranslationSession> ApertiumProvider::session(std::string_view source,
                                                              std::string_view target) {
  std::optional<ApertiumFormat::ModeName> mode;
  if (toolsPresent()) mode = findMode(source, target);
  return std::make_unique<ApertiumSession>(mode ? pipeline(*mode) : nullptr);
}

PackResult ApertiumProvider::preparePack(std::string_view source, std::string_view target) {
  const PairStatus current = status(source, target);
  if (current == PairStatus::installed) return {};
  const std::optional<std::string_view> package = packageFor(source, target);
  if (current == PairStatus::unsupported || !package) return {"Apertium 不支持这个语言对"};

  std::vector<std::string> command = options_.installCommand;
  if (command.empty()) {
    const char* override = std::getenv("QY_PACK_INSTALL");
    command = override && *override ? splitWords(override)
                                    : std::vector<std::string>{"pkexec", "apt-get", "install", "-y"};
  }
  if (command.empty()) return {"没有可用的安装命令"};
  const std::optional<std::string> program = findProgram(command.front());
  if (!program) return {"找不到安装命令 " + command.front()};
  command.front() = *program;
  command.emplace_back(*package);
  std::string error;
  std::unique_ptr<ProcessChain> install = ProcessChain::start({command}, error);
  if (!install) return {"无法安装 " + std::string(*package) + "：" + error};
  const std::optional<int> exitCode = install->wait(Clock::now() + kInstallLimit);
  if (exitCode != 0) {
    return {"安装 " + std::string(*package) + " 失败" +
            (exitCode ? "（退出码 " + std::to_string(*exitCode) + "）" : std::string())};
  }
  if (status(source, target) != PairStatus::installed)
    return {"安装 " + std::string(*package) + " 后仍然找不到这个语言对"};
  return {};
}

}  // namespace qy::platform
