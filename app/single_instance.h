// SingleInstance: at most one settings application per storage root. The first one holds an
// exclusive lock on `settings-app.lock` (0600, in the 0700 storage root) and writes its page's
// address into it; a second one finds the lock taken and reads the address instead, to open the
// running application's page. The lock goes with the process, however it ends.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace qy::app {

class SingleInstance {
 public:
  // Takes the lock in `root`. When another process holds it, `running()` is that one's address.
  explicit SingleInstance(const std::filesystem::path& root);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // Whether this process is the one instance (false also when the lock file cannot be opened:
  // then nothing is shared and this process runs on its own).
  bool first() const { return first_; }
  // The running instance's address, when this is not the first and it has written one.
  std::optional<std::string> running() const;
  // Records this instance's address for later ones.
  void publish(const std::string& url);

 private:
  int fd_ = -1;
  bool first_ = false;
};

}  // namespace qy::app
