// Scanning Maildirs, mbox files and .eml folders.
#include "hosts/reader/mail_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <system_error>

#include "core/base/file_io.h"

#include "core/base/unicode.h"
#include "core/mime/mime_parser.h"
#include "core/mime/header_values.h"
#include "core/mime/header_words.h"

namespace qy::reader {
namespace fs = std::filesystem;
namespace {

// Only the header block is parsed for the list; a header longer than this is cut.
constexpr size_t kMaxHeaderBytes = 256 * 1024;

struct FileStat {
  uintmax_t size = 0;
  int64_t mtime = 0;
};

std::optional<FileStat> statRegular(const fs::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return FileStat{static_cast<uintmax_t>(st.st_size), static_cast<int64_t>(st.st_mtime)};
}

// A directory itself, not a symbolic link to one: the mail folder's links are never followed.
bool isDirectory(const fs::path& path) {
  std::error_code ec;
  return fs::is_directory(fs::symlink_status(path, ec));
}

// Opens the regular file `path` inside the mail folder `root`, following no symbolic link on
// the way (the folder itself may be one: the user named it). Nothing for anything else.
FileIO::Descriptor openInside(const fs::path& root, const fs::path& path) {
  const fs::path relative = path.lexically_relative(root);
  if (relative.empty() || relative.is_absolute()) return {};
  FileIO::Descriptor dir(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return {};
  std::vector<fs::path> parts(relative.begin(), relative.end());
  for (size_t i = 0; i < parts.size(); ++i) {
    const std::string part = parts[i].string();
    if (part.empty() || part == "." || part == "..") return {};
    const bool last = i + 1 == parts.size();
    const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (last ? O_NONBLOCK | O_NOCTTY : O_DIRECTORY);
    FileIO::Descriptor next(::openat(dir.get(), part.c_str(), flags));
    if (!next.valid()) return {};
    dir = std::move(next);
  }
  struct stat st {};
  if (::fstat(dir.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  return dir;
}

std::optional<FileStat> statOpen(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return FileStat{static_cast<uintmax_t>(st.st_size), static_cast<int64_t>(st.st_mtime)};
}

// At most `count` bytes from the start of an open file.
std::optional<std::string> readOpenPrefix(int fd, size_t count) {
  std::string bytes(count, '\0');
  size_t got = 0;
  while (got < count) {
    const ssize_t n = ::pread(fd, bytes.data() + got, count - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

// At most `count` bytes from the start of a file.
std::optional<std::string> readPrefix(const fs::path& path, size_t count) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes(count, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return bytes;
}

bool isMaildir(const fs::path& path) { return isDirectory(path / "cur") || isDirectory(path / "new"); }

std::optional<std::string> readLimited(const fs::path& path, uintmax_t limit) {
  const auto st = statRegular(path);
  if (!st || st->size > limit) return std::nullopt;
  return readPrefix(path, static_cast<size_t>(st->size));
}

// "Archive/2024" for a Maildir++ folder ".Archive.2024"; nested maildirs keep their path.
std::string folderName(const fs::path& relative, bool maildir) {
  std::string out;
  for (const auto& component : relative) {
    std::string name = component.string();
    if (maildir && !name.empty() && name[0] == '.') {
      name.erase(0, 1);
      std::replace(name.begin(), name.end(), '.', '/');
    }
    if (name.empty()) continue;
    if (!out.empty()) out += '/';
    out += name;
  }
  return Unicode::repairUtf8(out);
}

bool hasEmlSuffix(const fs::path& path) {
  return Unicode::lowercased(path.extension().string()) == ".eml";
}

// The unique part of a Maildir file name: the flags after ":2," change as the message is read.
std::string maildirUnique(const std::string& name) { return name.substr(0, name.find(':')); }

bool maildirSeen(const std::string& name) {
  const size_t info = name.find(":2,");
  return info != std::string::npos && name.find('S', info + 3) != std::string::npos;
}

std::string_view headerBlock(std::string_view bytes) {
  bytes = bytes.substr(0, kMaxHeaderBytes);
  size_t end = bytes.find("\n\n");
  if (const size_t crlf = bytes.find("\r\n\r\n"); crlf < end) end = crlf;
  return end == std::string_view::npos ? bytes : bytes.substr(0, end + 1);
}

}  // namespace

MessageSummary summarize(std::string_view bytes, int64_t fallbackTime) {
  const std::string_view header = headerBlock(bytes);
  const ByteView view(reinterpret_cast<const uint8_t*>(header.data()), header.size());
  const auto root = MIME::parse(view);
  MessageSummary s;
  s.size = bytes.size();
  const auto charset = root->params().find("charset");
  const std::optional<std::string_view> fallback =
      charset == root->params().end() ? std::nullopt : std::optional<std::string_view>(charset->second);
  s.from = MIME::decodeHeaderWords(MIME::displayName(MIME::fieldAsWritten(header, *root, "from")), fallback);
  s.subject = MIME::decodeHeaderWords(MIME::fieldAsWritten(header, *root, "subject"), fallback);
  s.date = MIME::decodeHeaderWords(MIME::fieldAsWritten(header, *root, "date"), fallback);
  s.time = MIME::parseMailDate(s.date).value_or(fallbackTime);
  return s;
}

std::unique_ptr<MailSource> MailSource::open(const fs::path& path) {
  std::error_code ec;
  const auto status = fs::status(path, ec);
  if (ec) return nullptr;
  if (fs::is_directory(status))
    return std::make_unique<MailSource>(isMaildir(path) ? Kind::maildir : Kind::emlFolder, path);
  if (fs::is_regular_file(status)) return std::make_unique<MailSource>(Kind::mbox, path);
  return nullptr;
}

MailSource::MailSource(Kind kind, fs::path root) : kind_(kind), root_(std::move(root)) {}

std::vector<MailSource::FileEntry> MailSource::scanFiles() const {
  std::vector<FileEntry> out;
  // Directories to look at, with their depth; an explicit stack, not recursion.
  std::vector<std::pair<fs::path, int>> stack{{root_, 0}};
  while (!stack.empty()) {
    auto [dir, depth] = stack.back();
    stack.pop_back();
    const std::string folder = folderName(fs::relative(dir, root_).lexically_normal() == "."
                                              ? fs::path()
                                              : fs::relative(dir, root_),
                                          kind_ == Kind::maildir);
    if (kind_ == Kind::maildir && isMaildir(dir)) {
      for (const char* sub : {"new", "cur"}) {
        if (!isDirectory(dir / sub)) continue;  // a link named cur/ could point anywhere
        std::error_code ec;
        for (fs::directory_iterator it(dir / sub, ec), end; !ec && it != end; it.increment(ec)) {
          const std::string name = it->path().filename().string();
          std::error_code typeError;
          if (name.empty() || name[0] == '.' || !it->is_regular_file(typeError) || it->is_symlink(typeError))
            continue;
          out.push_back({it->path(), folder, std::string_view(sub) == "new" || !maildirSeen(name)});
        }
      }
    }
    if (depth >= kMaxFolderDepth) continue;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      const fs::path& p = it->path();
      const std::string name = p.filename().string();
      std::error_code typeError;
      // Only what is inside the folder is read: a link, to a message or a directory, is not
      // followed.
      if (it->is_symlink(typeError)) continue;
      if (it->is_directory(typeError)) {
        if (kind_ == Kind::maildir && (name == "new" || name == "cur" || name == "tmp")) continue;
        if (kind_ == Kind::emlFolder && !name.empty() && name[0] == '.') continue;
        stack.emplace_back(p, depth + 1);
      } else if (kind_ == Kind::emlFolder && hasEmlSuffix(p) && it->is_regular_file(typeError)) {
        out.push_back({p, folder, true});
      }
    }
  }
  return out;
}

std::vector<MessageSummary> MailSource::list() {
  std::vector<MessageSummary> out = kind_ == Kind::mbox ? listMbox() : listFiles();
  std::sort(out.begin(), out.end(), [](const MessageSummary& a, const MessageSummary& b) {
    return a.time != b.time ? a.time > b.time : a.id < b.id;
  });
  return out;
}

std::vector<MessageSummary> MailSource::listFiles() {
  const std::vector<FileEntry> entries = scanFiles();
  std::vector<MessageSummary> out;
  std::map<std::string, Cached> files;
  std::map<std::string, fs::path> paths;
  std::map<std::string, Cached> previous;
  {
    MutexLock lock(mutex_);
    previous = files_;
  }
  for (const auto& entry : entries) {
    const FileIO::Descriptor file = openInside(root_, entry.path);
    const auto st = file.valid() ? statOpen(file.get()) : std::nullopt;
    if (!st || st->size > kMaxMessageBytes) continue;
    const std::string name = entry.path.filename().string();
    const std::string unique = kind_ == Kind::maildir ? maildirUnique(name) : name;
    const std::string id = Unicode::repairUtf8(entry.folder.empty() ? unique : entry.folder + "/" + unique);
    if (paths.count(id)) continue;  // the same message in new/ and cur/ during a move
    Cached cached;
    if (auto it = previous.find(id); it != previous.end() && it->second.size == st->size &&
                                      it->second.mtime == st->mtime) {
      cached = it->second;
    } else {
      // The list needs only the header: a large message is not read whole for it.
      const auto head = readOpenPrefix(file.get(), kMaxHeaderBytes);
      if (!head) continue;
      cached = {st->size, st->mtime, summarize(withoutEnvelope(*head), st->mtime)};
      cached.summary.size = st->size;
    }
    cached.summary.id = id;
    cached.summary.folder = entry.folder;
    cached.summary.unread = kind_ == Kind::maildir ? entry.unread : false;
    out.push_back(cached.summary);
    paths[id] = entry.path;
    files[id] = std::move(cached);
  }
  MutexLock lock(mutex_);
  files_ = std::move(files);
  paths_ = std::move(paths);
  return out;
}

std::vector<MessageSummary> MailSource::listMbox() {
  const auto st = statRegular(root_);
  MutexLock lock(mutex_);
  if (!st || st->size > kMaxMboxBytes) {
    mbox_.clear();
    return {};
  }
  if (st->size != mboxSize_ || st->mtime != mboxTime_) {
    const auto bytes = readLimited(root_, kMaxMboxBytes);
    mbox_ = bytes ? splitMbox(*bytes) : std::vector<MboxMessage>{};
    mboxSize_ = st->size;
    mboxTime_ = st->mtime;
    files_.clear();
    for (const auto& m : mbox_) {
      Cached cached{m.bytes.size(), st->mtime, summarize(m.bytes, st->mtime)};
      // An id by place in the file: messages are appended, so earlier ones keep theirs.
      cached.summary.id = "m" + std::to_string(m.offset);
      files_[cached.summary.id] = std::move(cached);
    }
  }
  std::vector<MessageSummary> out;
  for (const auto& [id, cached] : files_) out.push_back(cached.summary);
  return out;
}

std::optional<std::string> MailSource::readInside(const fs::path& path) const {
  const FileIO::Descriptor file = openInside(root_, path);
  const auto st = file.valid() ? statOpen(file.get()) : std::nullopt;
  if (!st || st->size > kMaxMessageBytes) return std::nullopt;
  return readOpenPrefix(file.get(), static_cast<size_t>(st->size));
}

std::optional<std::string> MailSource::read(const std::string& id) {
  if (kind_ == Kind::mbox) {
    MutexLock lock(mutex_);
    for (const auto& m : mbox_)
      if ("m" + std::to_string(m.offset) == id) return m.bytes;
    return std::nullopt;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::optional<fs::path> path;
    {
      MutexLock lock(mutex_);
      if (auto it = paths_.find(id); it != paths_.end()) path = it->second;
    }
    if (path)
      if (auto bytes = readInside(*path)) {
        // A message saved behind an envelope line reaches the extension as received.
        if (const size_t cut = bytes->size() - withoutEnvelope(*bytes).size()) bytes->erase(0, cut);
        return bytes;
      }
    // The file may have moved (new/ to cur/, a flag added) since the last list.
    if (attempt == 0) list();
  }
  return std::nullopt;
}

}  // namespace qy::reader
