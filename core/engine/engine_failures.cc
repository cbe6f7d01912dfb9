// Reading and rewriting the failure record.
#include "core/engine/engine_failures.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <nlohmann/json.hpp>

#include "core/base/file_io.h"

namespace qy::FailureFile {
namespace {

// Far more than the keys of one minute's failures; a larger file is not ours to trust.
constexpr size_t kMaxFileBytes = 1 << 20;

// Refuses a link in the file's place (nothing planted in the storage root makes us read
// elsewhere), a FIFO, and anything past the limit.
std::optional<std::string> readLimited(const std::filesystem::path& file) {
  return FileIO::readRegularFile(file, kMaxFileBytes);
}

double secondsOf(Date at) {
  return std::chrono::duration<double>(at.time_since_epoch()).count();
}

std::optional<Date> dateOf(double seconds) {
  // Dates before 1970 or past 2096 are not failure times (and the nanoseconds of a date must
  // fit the clock's 64 bits).
  if (!std::isfinite(seconds) || seconds < 0 || seconds > 4e9) return std::nullopt;
  return Date(std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(seconds)));
}

bool recent(const Entry& entry, Date now, std::chrono::seconds pause) {
  return now - entry.at < pause && entry.at - now < pause;  // a date far ahead is a wrong clock
}

// Holds the record's lock for its lifetime; without a lock file (an unwritable root, a link in
// its place) the rewrite goes ahead unlocked, as it did before there were other processes.
class RecordLock {
 public:
  explicit RecordLock(const std::filesystem::path& file)
      : fd_(::open(lockPathOf(file).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                   0600)) {
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~RecordLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  RecordLock(const RecordLock&) = delete;
  RecordLock& operator=(const RecordLock&) = delete;

 private:
  const int fd_;
};

}  // namespace

std::map<std::string, Entry> decode(std::string_view text, Date now, std::chrono::seconds pause) {
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

std::string encode(const std::map<std::string, Entry>& entries) {
  nlohmann::json json = nlohmann::json::object();
  for (const auto& [name, value] : entries)
    json[name] = {{"at", secondsOf(value.at)}, {"errors", value.errors}};
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::filesystem::path pathIn(const std::filesystem::path& root) { return root / "failures.json"; }

std::filesystem::path lockPathOf(const std::filesystem::path& file) {
  std::filesystem::path lock = file;
  return lock.replace_extension(".lock");
}

std::map<std::string, Entry> read(const std::filesystem::path& file, Date now,
                                  std::chrono::seconds pause) {
  auto text = readLimited(file);
  if (!text) return {};
  return decode(*text, now, pause);
}

void update(const std::filesystem::path& file, const std::string& key,
            const std::optional<Entry>& entry, Date now, std::chrono::seconds pause) {
  RecordLock lock(file);
  auto text = readLimited(file);
  auto entries = text ? decode(*text, now, pause) : std::map<std::string, Entry>{};
  const bool had = entries.erase(key) > 0;
  if (!entry && !had) return;  // nothing to remove
  if (entry) entries[key] = *entry;
  FileIO::writeAtomically(file, encode(entries), false);
}

}  // namespace qy::FailureFile
