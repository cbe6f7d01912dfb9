// Consulting the providers in order, and keeping them in step with translators.json.
#include "platform/system_translation_service.h"

#include <utility>

#include "core/base/file_io.h"
#include "core/config/log.h"
#include "core/config/paths.h"

namespace qy::platform {
namespace {

class FailingSession final : public TranslationSession {
 public:
  BatchResult translations(const std::vector<TranslationRequest>&,
                           const TranslationDeadline&) override {
    return {{}, "没有可以翻译这个语言对的程序"};
  }
};

}  // namespace

SystemTranslationService::SystemTranslationService(SystemServiceOptions options)
    : options_(std::move(options)) {}

SystemTranslationService::~SystemTranslationService() = default;

std::vector<std::shared_ptr<TranslationService>> SystemTranslationService::providers() {
  const std::filesystem::path file = options_.configFile.empty()
                                         ? Paths::root() / "translators.json"
                                         : options_.configFile;
  // Permissions count as a change too: a file made private becomes usable at once.
  const std::optional<FileStamp> stamp = fileStamp(file);
  // Replaced providers are destroyed after the lock is released (stopping one ends its engine),
  // so a reload never makes other callers wait.
  std::shared_ptr<ApertiumProvider> oldApertium;
  std::vector<std::shared_ptr<CommandProvider>> oldCommands;
  std::vector<std::shared_ptr<ServerProvider>> oldServers;
  std::optional<std::string> refusal;
  std::vector<std::string> serverRefusals;
  std::vector<std::shared_ptr<TranslationService>> all;
  {
    MutexLock lock(mutex_);
    if (!checked_ || stamp_ != stamp) {
      checked_ = true;
      stamp_ = stamp;
      TranslatorsFile read = stamp ? TranslatorsConfig::read(file) : TranslatorsFile{};
      refusal = std::move(read.refusal);
      const TranslatorsConfig& config = read.config;
      if (!config.apertium)
        oldApertium = std::move(apertium_);
      else if (!apertium_)
        apertium_ = std::make_shared<ApertiumProvider>(options_.apertium);
      std::vector<std::shared_ptr<CommandProvider>> commands;
      for (const auto& spec : config.commands) {
        std::shared_ptr<CommandProvider> provider;
        for (auto& running : commands_)
          if (running && running->spec() == spec) {
            provider = std::move(running);  // unchanged: keeps its program running
            break;
          }
        commands.push_back(provider ? provider
                                    : std::make_shared<CommandProvider>(spec, options_.answerLimit));
      }
      oldCommands = std::exchange(commands_, std::move(commands));
      // An unchanged entry keeps its provider: what it learnt (the languages, a refused
      // response_format) stays.
      std::vector<std::shared_ptr<ServerProvider>> servers;
      for (const auto& spec : config.servers) {
        std::shared_ptr<ServerProvider> provider;
        for (auto& running : servers_)
          if (running && running->spec() == spec) {
            provider = std::move(running);
            break;
          }
        servers.push_back(provider ? provider
                                   : std::make_shared<ServerProvider>(spec, options_.servers));
      }
      oldServers = std::exchange(servers_, std::move(servers));
      serverRefusals = config.serverRefusals;
    }
    if (apertium_) all.push_back(apertium_);
    all.insert(all.end(), commands_.begin(), commands_.end());
    all.insert(all.end(), servers_.begin(), servers_.end());
  }
  const auto log = [&](const std::string& line) {
    if (options_.log) options_.log(line);
    else Log::write(line);
  };
  if (refusal) log("translators.json ignored: " + *refusal);
  for (const auto& why : serverRefusals) log("translators.json: " + why);
  return all;
}

PairStatus SystemTranslationService::status(std::string_view source, std::string_view target) {
  bool supported = false;
  for (const auto& provider : providers()) {
    const PairStatus status = provider->status(source, target);
    if (status == PairStatus::installed) return status;
    supported = supported || status == PairStatus::supported;
  }
  return supported ? PairStatus::supported : PairStatus::unsupported;
}

std::unique_ptr<TranslationSession> SystemTranslationService::session(std::string_view source,
                                                                      std::string_view target) {
  for (const auto& provider : providers())
    if (provider->status(source, target) == PairStatus::installed)
      return provider->session(source, target);
  return std::make_unique<FailingSession>();
}

std::string SystemTranslationService::servedTarget(std::string_view source,
                                                   std::string_view target) {
  for (const auto& provider : providers())
    if (provider->status(source, target) == PairStatus::installed)
      return provider->servedTarget(source, target);
  return std::string(target);
}

PackResult SystemTranslationService::preparePack(std::string_view source, std::string_view target) {
  const auto all = providers();
  for (const auto& provider : all)
    if (provider->status(source, target) == PairStatus::installed) return {};
  for (const auto& provider : all)
    if (provider->status(source, target) == PairStatus::supported)
      return provider->preparePack(source, target);
  return {"系统翻译不支持这个语言对"};
}

std::shared_ptr<TranslationService> systemTranslationService() {
  static const std::shared_ptr<TranslationService> service =
      std::make_shared<SystemTranslationService>();
  return service;
}

}  // namespace qy::platform
