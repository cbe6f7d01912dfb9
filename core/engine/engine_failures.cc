// Reading and rewriting the failure record.
#include "core/engine/engine_failures.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <nlohmann/json.hpp>

#include "core/base/file_io.h"

namespace qy::FailureFile {
namespace {

// Far more than the keys of one minute's failures; a larger file is not ours to trust.
constexpr size_t kMaxFileBytes = 1 << 20;

std::optional<std::string> readLimited(const std::filesystem::path& file) {
  // O_NOFOLLOW: a link planted in the storage root cannot make us read elsewhere; O_NONBLOCK:
  // a FIFO in the file's place cannot stall the message.
  int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<uint64_t>(info.st_size) > kMaxFileBytes) {
    ::close(fd);
    return std::nullopt;
  }
  std::string content(kMaxFileBytes + 1, '\0');
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = ::read(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  if (done > kMaxFileBytes) return std::nullopt;  // it grew past the limit while we read
  content.resize(done);
  return content;
}

double secondsOf(Date at) {
  return std::chrono::duration<double>(at.time_since_epoch()).count();
}

std::optional<Date> dateOf(double seconds) {
  // Dates before 1970 or centuries ahead are not failure times.
  if (!std::isfinite(seconds) || seconds < 0 || seconds > 1e11) return std::nullopt;
  return Date(std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(seconds)));
}

bool recent(const Entry& entry, Date now, std::chrono::seconds pause) {
  return now - entry.at < pause && entry.at - now < pause;  // a date far ahead is a wrong clock
}

std::map<std::string, Entry> decode(const std::string& text, Date now,
                                    std::chrono::seconds pause) {
  std::map<std::string, Entry> entries;
  auto json = nlohmann::json::parse(text, nullptr, false);
  if (!json.is_object()) return entries;
  for (const auto& [key, value] : json.items()) {
    if (!value.is_object()) continue;
    auto at = value.find("at");
    auto errors = value.find("errors");
    if (at == value.end() || !at->is_number() || errors == value.end() || !errors->is_array() ||
        errors->empty())
      continue;
    Entry entry;
    auto date = dateOf(at->get<double>());
    if (!date) continue;
    entry.at = *date;
    bool strings = true;
    for (const auto& error : *errors) {
      if (!error.is_string()) strings = false;
      else entry.errors.push_back(error.get<std::string>());
    }
    if (strings && recent(entry, now, pause)) entries.emplace(key, std::move(entry));
  }
  return entries;
}

}  // namespace

std::filesystem::path pathIn(const std::filesystem::path& root) { return root / "failures.json"; }

std::map<std::string, Entry> read(const std::filesystem::path& file, Date now,
                                  std::chrono::seconds pause) {
  auto text = readLimited(file);
  if (!text) return {};
  return decode(*text, now, pause);
}

void update(const std::filesystem::path& file, const std::string& key,
            const std::optional<Entry>& entry, Date now, std::chrono::seconds pause) {
  auto text = readLimited(file);
  auto entries = text ? decode(*text, now, pause) : std::map<std::string, Entry>{};
  const bool had = entries.erase(key) > 0;
  if (!entry && !had) return;  // nothing to remove
  if (entry) entries[key] = *entry;
  nlohmann::json json = nlohmann::json::object();
  for (const auto& [name, value] : entries)
    json[name] = {{"at", secondsOf(value.at)}, {"errors", value.errors}};
  FileIO::writeAtomically(
      file, json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), false);
}

}  // namespace qy::FailureFile
