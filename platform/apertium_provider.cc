// Apertium pairs: discovery, the Debian package table, the per-pair pipelines and pack install.
#include "platform/apertium_provider.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <atomic>
#include <cstdlib>
#include <tuple>

#include "core/base/unicode.h"
#include "core/translate/lang.h"
#include "platform/child_process.h"
#include "platform/pack_install.h"

namespace qy::platform {
namespace {

constexpr size_t kMaxOutputBytes = 256u * 1024 * 1024;
constexpr auto kModeQueryLimit = std::chrono::seconds(10);

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
  return dash == std::string_view::npos ? std::string() : Unicode::lowercased(code.substr(dash + 1));
}

}  // namespace

class ApertiumProvider::Pipeline {
 public:
  Pipeline(const std::string& mode, std::filesystem::path modeFile, std::string searchPath,
           std::chrono::milliseconds limit)
      : label_("Apertium（" + mode + "）"),
        engine_(texts(label_), limit, starter(std::move(modeFile), std::move(searchPath))) {}

  BatchResult translate(const std::vector<TranslationRequest>& requests,
                        const TranslationDeadline& deadline) {
    if (requests.empty()) return {};
    // Ids are never reused, so a record left over from an earlier batch cannot pass for this one's.
    const uint64_t firstId = nextId_.fetch_add(requests.size());
    std::string input;
    for (size_t i = 0; i < requests.size(); ++i)
      input += ApertiumFormat::record(firstId + i, requests[i].sourceText);
    const std::string mismatch = label_ + "的输出与请求对不上";
    return engine_.run({input, '\0', requests.size(), kMaxOutputBytes}, deadline,
                       [&](std::vector<std::string>& records) {
                         EngineProcess::Reading reading;
                         reading.result.responses.reserve(requests.size());
                         for (size_t i = 0; i < requests.size(); ++i) {
                           std::optional<std::string> text =
                               ApertiumFormat::translation(firstId + i, records[i]);
                           if (!text) return EngineProcess::Reading{{{}, mismatch}, false};
                           reading.result.responses.push_back(
                               {requests[i].clientIdentifier, std::move(*text)});
                         }
                         return reading;
                       });
  }

  void stop() { engine_.stop(); }

 private:
  static EngineProcess::Texts texts(const std::string& label) {
    return {label + "已停止", label + "意外退出", label + "的输出过长", label + "在 ", "内没有完成翻译"};
  }

  // Asks apertium-wblank-mode for the null-flush stages of the mode and starts them.
  EngineProcess::Starter starter(std::filesystem::path modeFile, std::string searchPath) {
    return [this, modeFile = std::move(modeFile), searchPath = std::move(searchPath)](
               SteadyClock::time_point until, std::string& error) -> std::unique_ptr<ProcessChain> {
      std::string why;
      std::unique_ptr<ProcessChain> chain = startStages(modeFile, searchPath, until, why);
      if (!chain) error = "无法启动 " + label_ + "：" + why;
      return chain;
    };
  }

  static std::unique_ptr<ProcessChain> startStages(const std::filesystem::path& modeFile,
                                                   const std::string& searchPath,
                                                   SteadyClock::time_point until, std::string& error) {
    const std::optional<std::string> wblank = findProgram("apertium-wblank-mode", searchPath);
    if (!wblank) {
      error = "找不到 apertium-wblank-mode";
      return nullptr;
    }
    std::unique_ptr<ProcessChain> query =
        ProcessChain::start({{*wblank, "-z", modeFile.string()}}, error);
    if (!query) return nullptr;
    std::string commandLine;
    const auto deadline = std::min(until, SteadyClock::now() + kModeQueryLimit);
    if (query->communicate({}, deadline, commandLine, 1024 * 1024) != ProcessChain::Status::ok ||
        query->wait(deadline) != 0) {
      error = "无法读取语言对的流程";
      return nullptr;
    }
    // "-n": no marks on unknown words.
    auto stages = ApertiumFormat::parseStages(commandLine, "-n");
    if (!stages) {
      error = "无法读取语言对的流程";
      return nullptr;
    }
    for (auto& stage : *stages) {
      const std::optional<std::string> program = findProgram(stage.front(), searchPath);
      if (!program) {
        error = "找不到 " + stage.front();
        return nullptr;
      }
      stage.front() = *program;
    }
    return ProcessChain::start(*stages, error);
  }

  const std::string label_;
  std::atomic<uint64_t> nextId_{0};
  EngineProcess engine_;
};

namespace {

class ApertiumSession final : public TranslationSession {
 public:
  explicit ApertiumSession(std::shared_ptr<ApertiumProvider::Pipeline> pipeline)
      : pipeline_(std::move(pipeline)) {}
  BatchResult translations(const std::vector<TranslationRequest>& requests,
                           const TranslationDeadline& deadline) override {
    if (!pipeline_) return {{}, "Apertium 没有安装这个语言对"};
    return pipeline_->translate(requests, deadline);
  }

 private:
  std::shared_ptr<ApertiumProvider::Pipeline> pipeline_;
};

}  // namespace

ApertiumProvider::ApertiumProvider(ApertiumOptions options) : options_(std::move(options)) {}

ApertiumProvider::~ApertiumProvider() {
  std::map<std::string, std::shared_ptr<Pipeline>> pipelines;
  {
    MutexLock lock(mutex_);
    stopped_ = true;
    pipelines.swap(pipelines_);
  }
  // Outside the lock: stopping ends each pipeline at once, a batch in flight fails.
  for (auto& [name, pipeline] : pipelines) pipeline->stop();
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
    const std::string variant = Unicode::lowercased(mode->variant);
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

std::string ApertiumProvider::servedTarget(std::string_view source, std::string_view target) {
  const std::string plain = Lang::withoutRegion(target);
  if (plain == target || !toolsPresent()) return std::string(target);
  const std::optional<ApertiumFormat::ModeName> mode = findMode(source, target);
  if (!mode) return std::string(target);
  std::string variant = Unicode::lowercased(mode->variant);
  if (variant == regionOf(target)) return std::string(target);
  // Another region's mode ("eng_US" for en-GB) writes that region; any other variant
  // ("cat_valencia") is no region, and the plain language names it well enough.
  if (!Lang::isRegionSubtag(variant)) return plain;
  for (char& c : variant) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return plain + "-" + variant;
}

PairStatus ApertiumProvider::status(std::string_view source, std::string_view target) {
  if (!toolsPresent()) return PairStatus::unsupported;
  if (findMode(source, target)) return PairStatus::installed;
  return packageFor(source, target) ? PairStatus::supported : PairStatus::unsupported;
}

std::shared_ptr<ApertiumProvider::Pipeline> ApertiumProvider::pipeline(
    const ApertiumFormat::ModeName& mode) {
  MutexLock lock(mutex_);
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

  PackResult installed = installPackage(packInstallCommand(options_.installCommand), *package);
  if (installed.error) return installed;
  if (status(source, target) != PairStatus::installed)
    return {"安装 " + std::string(*package) + " 后仍然找不到这个语言对"};
  return {};
}

}  // namespace qy::platform
