// Log: one-line diagnostic records appended to qy.log in the storage root.
//
// write() stamps the line at call time (RFC 3339 UTC, whole seconds, "Z"), queues it and returns;
// one writer thread per log appends the lines in call order. Each line is appended with a single
// write to a file opened for appending, so processes sharing the file never interleave inside a
// line. The log's directory must be the user's own (see OwnDirectory) and the log is never opened
// through a symbolic link; otherwise the line is dropped. Before a write, a file larger than 2,000,000 bytes becomes qy.old.log (replacing the
// previous one). New files are 0600. Every file error is swallowed: a line that cannot be written
// is lost and the caller never knows. Lines queued when the process exits normally are written
// before it exits (the writer drains its queue when destroyed).
//
// LogWriter is the writer for one file; Log::write() uses the process-wide writer at Paths::log(),
// and only when StorageRoot::process() accepted the root.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace qy {

class LogWriter {
 public:
  static constexpr int64_t kRotateAbove = 2'000'000;

  // `file` is the log; the old generation sits beside it as qy.old.log. `ensureDirectory`, when
  // not empty, is created (0700) before each write.
  LogWriter(std::filesystem::path file, std::filesystem::path ensureDirectory);
  ~LogWriter();  // writes what is queued, then stops
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  void write(std::string_view message);
  // Waits until every line queued so far has been handled (tests and orderly shutdown).
  void flush();

 private:
  void run();
  void append(const std::string& line);

  const std::filesystem::path file_;
  const std::filesystem::path old_;
  const std::filesystem::path ensureDirectory_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable drained_;
  std::deque<std::string> queue_;  // guarded by lock_
  uint64_t queued_ = 0;            // guarded by lock_: lines ever queued
  uint64_t handled_ = 0;           // guarded by lock_: lines ever handled
  bool stopping_ = false;          // guarded by lock_
  std::thread thread_;             // started on first write
};

// "2025-03-01T08:15:30Z" for a point in time.
std::string rfc3339(std::chrono::system_clock::time_point when);

namespace Log {
void write(std::string_view message);
void flush();
}  // namespace Log

}  // namespace qy
