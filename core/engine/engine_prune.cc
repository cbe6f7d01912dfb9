// When the engine prunes its cache directory: a long-lived engine 5 s after its start and daily
// after that, a one-shot engine when its owner asks, at most once a day by the stamp file.
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "core/base/file_io.h"
#include "core/config/paths.h"
#include "core/engine/engine.h"

namespace qy {
namespace {

// Pruning more often than this finds nothing new to delete that matters.
constexpr auto kPruneInterval = std::chrono::hours(24);
// The stamp's name is no cache file's name (those are keys + ".json"), so pruning keeps it.
constexpr const char* kPruneStamp = ".pruned";

Date modified(const struct stat& info) {
  return Date(std::chrono::duration_cast<Date::duration>(
      std::chrono::seconds(info.st_mtim.tv_sec) + std::chrono::nanoseconds(info.st_mtim.tv_nsec)));
}

// Sleeps for `duration` unless stopped first; true when it slept the whole time.
bool sleepFor(const std::stop_token& stop, std::chrono::milliseconds duration) {
  std::mutex sleepLock;
  std::condition_variable_any sleeper;
  std::unique_lock guard(sleepLock);
  sleeper.wait_for(guard, stop, duration, [] { return false; });
  return !stop.stop_requested();
}

}  // namespace

void Engine::prunePrivateCache() {
  // The stamp is renewed first, so that a process starting meanwhile does not prune as well.
  const auto stamp = cacheDir_ / kPruneStamp;
  const Date current = now();
  FileIO::writeAtomically(stamp, "", false);
  const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(current.time_since_epoch());
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(since.count() / 1'000'000'000);
  times[0].tv_nsec = times[1].tv_nsec = static_cast<long>(since.count() % 1'000'000'000);
  ::utimensat(AT_FDCWD, stamp.c_str(), times, AT_SYMLINK_NOFOLLOW);  // dated by our clock
  CacheFiles::prune(root_, current);
}

void Engine::pruneIfDue() {
  struct stat info {};
  const auto stamp = cacheDir_ / kPruneStamp;
  if (::lstat(stamp.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
    const Date current = now();
    const Date stamped = modified(info);
    // A stamp dated far ahead comes from a wrong clock and does not hold pruning off.
    if (current - stamped < kPruneInterval && stamped - current < kPruneInterval) return;
  }
  prunePrivateCache();
}

void Engine::pruneLoop(std::stop_token stop, std::chrono::milliseconds delay) {
  if (!sleepFor(stop, delay)) return;
  prunePrivateCache();
  while (sleepFor(stop, std::chrono::duration_cast<std::chrono::milliseconds>(kPruneInterval)))
    pruneIfDue();
}

}  // namespace qy
