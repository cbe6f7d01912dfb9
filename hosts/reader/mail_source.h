// MailSource: the user's mail as the web reader lists it, from one path given on the command
// line: a Maildir (new/ and cur/, its subfolders as folders: Maildir++ ".Sent" and nested
// maildirs alike), an mbox file (split at envelope lines), or a folder of .eml files (its
// subfolders as folders).
//
// Every list() looks at the disk again, so mail delivered while the reader runs shows up without
// a restart; what was read before is kept by file name, size and modification time, so a rescan
// reads only new or changed files. Message ids are opaque: read() takes only an id handed out by
// list(), never a path, so a request cannot name a file outside the mail. Only regular files
// inside the folder are listed and read: no symbolic link in it is followed (a cur/ linking to
// /etc lists nothing), whatever it points to.
//
// Threads: list() and read() may be called from several threads at once; one lock guards the
// caches and is held while a scan updates them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/base/thread_annotations.h"
#include "hosts/reader/mbox.h"

namespace qy::reader {

// Larger files are not mail (and would be read whole): they are left out of the list.
inline constexpr uintmax_t kMaxMessageBytes = 64u << 20;
// An mbox past this size is not split at all (it would be held in memory whole).
inline constexpr uintmax_t kMaxMboxBytes = 1u << 30;
// Folders are looked for this deep below the root, no deeper (and symbolic links are not followed
// into directories), so a loop of links cannot make a scan endless.
inline constexpr int kMaxFolderDepth = 8;

struct MessageSummary {
  std::string id;
  std::string folder;   // "" for the top folder; "Archive/2024" for nested ones
  std::string from;     // display name or address, decoded
  std::string subject;  // decoded
  std::string date;     // the Date header as written
  int64_t time = 0;     // seconds since the epoch: the Date header, else the file's time
  uintmax_t size = 0;
  bool unread = false;  // Maildir: in new/, or without the "S" flag
  bool operator==(const MessageSummary&) const = default;
};

class MailSource {
 public:
  enum class Kind { maildir, mbox, emlFolder };

  // The source at `path`, or nothing when it is none of the three (missing, unreadable, a device).
  static std::unique_ptr<MailSource> open(const std::filesystem::path& path);

  MailSource(Kind kind, std::filesystem::path root);
  MailSource(const MailSource&) = delete;
  MailSource& operator=(const MailSource&) = delete;

  Kind kind() const { return kind_; }
  const std::filesystem::path& root() const { return root_; }

  // Every message, newest first (equal times: by id).
  std::vector<MessageSummary> list() QY_EXCLUDES(mutex_);
  // The bytes of a message that a list() handed out; nothing for an unknown id or a file that
  // vanished or cannot be read.
  std::optional<std::string> read(const std::string& id) QY_EXCLUDES(mutex_);

 private:
  struct FileEntry {
    std::filesystem::path path;
    std::string folder;
    bool unread = false;
  };
  struct Cached {
    uintmax_t size = 0;
    int64_t mtime = 0;
    MessageSummary summary;
  };

  std::vector<FileEntry> scanFiles() const;
  // The message file at `path` (inside the folder), reached without following a link.
  std::optional<std::string> readInside(const std::filesystem::path& path) const;
  std::vector<MessageSummary> listFiles() QY_EXCLUDES(mutex_);
  std::vector<MessageSummary> listMbox() QY_EXCLUDES(mutex_);

  const Kind kind_;
  const std::filesystem::path root_;
  Mutex mutex_;
  std::map<std::string, Cached> files_ QY_GUARDED_BY(mutex_);                // by id
  std::map<std::string, std::filesystem::path> paths_ QY_GUARDED_BY(mutex_);  // id -> file
  std::vector<MboxMessage> mbox_ QY_GUARDED_BY(mutex_);
  uintmax_t mboxSize_ QY_GUARDED_BY(mutex_) = 0;
  int64_t mboxTime_ QY_GUARDED_BY(mutex_) = -1;
};

// The summary of one message's bytes; `fallbackTime` when it has no readable date.
MessageSummary summarize(std::string_view bytes, int64_t fallbackTime);

}  // namespace qy::reader
