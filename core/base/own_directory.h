// OwnDirectory: opens a directory that belongs to this user and that nobody else can change, so
// that the files we read and write inside it (relative to its descriptor) are the user's own.
//
// A directory is accepted when it is a real directory (not a symbolic link, unless the caller
// allows a link that itself belongs to the user), owned by the effective user, and not writable
// by group or others. With `tighten`, one of ours with any group or other permission is set to
// 0700 instead of being refused; with `create`, a missing one is created 0700. A refusal comes
// with a reason in the user's language that names the directory. Free functions; any thread.
#pragma once

#include <filesystem>
#include <string>

#include "core/base/file_io.h"

namespace qy::OwnDirectory {

struct Options {
  bool create = false;         // a missing directory is created 0700
  bool tighten = false;        // one of ours with group or other permissions becomes 0700
  bool followOwnLink = false;  // a symbolic link owned by the user is followed
};

struct Opened {
  FileIO::Descriptor fd;  // valid exactly when accepted
  std::string refusal;    // why not, when not accepted
  bool ok() const { return fd.valid(); }
};

// `path` as a directory; a refusal names it by the path.
Opened open(const std::filesystem::path& path, Options options = {});
// `name` inside the directory `parent` (a descriptor); `shownAs` names it in a refusal.
Opened openAt(int parent, const std::string& name, const std::filesystem::path& shownAs,
              Options options = {});
// The parent of an accepted directory, checked the same way (".." of the descriptor: the
// directory it really sits in, whatever path led to it).
Opened parentOf(int directory, const std::filesystem::path& shownAs);

}  // namespace qy::OwnDirectory
