// Installing a language pack's Debian package, and saying what happened in words a person can
// act on. The command is the one configured, else $QY_PACK_INSTALL (words separated by spaces),
// else `apt-get install -y` as root (no desktop to ask) or `pkexec apt-get install -y` for
// anyone else; the package name is appended. The installer runs in the C locale with its
// standard error read beside its output, so its messages can be recognised whatever language
// the desktop speaks.
//
// Threads: any thread; installPackage() blocks until the installer ends (at most kInstallLimit).
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/translate/translation_service.h"

namespace qy::platform {

// How long an install may run before it is stopped (a slow mirror, a large pack).
inline constexpr std::chrono::hours kInstallLimit{1};

// The command that installs a package (without the package's name).
std::vector<std::string> packInstallCommand(const std::vector<std::string>& configured);

// What an installer run came to.
struct InstallOutcome {
  std::optional<int> exitCode;  // nothing: stopped at the time limit, or its output overflowed
  std::string output;           // standard output and error together, as far as read
  bool throughPkexec = false;   // the command asked pkexec for authorisation
};

// Nothing when the install succeeded, else the reason in Chinese: the package not in the
// sources, package lists out of date, no network, authorisation refused or not root, the
// package system busy (dpkg's lock), the time limit, or the exit code with the installer's last
// error line.
std::optional<std::string> installError(std::string_view package, const InstallOutcome& outcome);

// Runs `command` with `package` appended; the error as installError() words it.
PackResult installPackage(std::vector<std::string> command, std::string_view package);

}  // namespace qy::platform
