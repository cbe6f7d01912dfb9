// `quillory-ext doctor`: checks everything the silent reading rules hide and explains it in
// Chinese, keeping the technical names — the storage directory (exists, 0700, writable),
// config.json key by key, translators.json accepted or refused and why, the engines (Apertium's
// version and pairs; each command provider started once and asked nothing; each local translation
// server asked for its models or languages and given one tiny translation), whether the target
// language has an engine and which Debian packages would add one, the service and its user unit,
// and the size of the cache. One line per finding: "✓" fine, "!" worth knowing, "✗" a problem.
// It reads and never writes. Exit status 0 when nothing is wrong, else 1 with the first problem
// repeated on the last line.
#pragma once

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "extension/commands/config_check.h"
#include "extension/commands/server_checks.h"
#include "platform/engine_survey.h"

namespace qy {

struct DoctorOptions {
  std::filesystem::path root;  // empty: the storage root
  SurveyOptions survey;        // its translatorsFile is taken from the root
  // How long a command provider gets to show that it stays up once started.
  std::chrono::milliseconds startCheck{1000};
  ServerCheckOptions servers;  // the local translation servers' probes
};

std::vector<Finding> runDoctorChecks(const DoctorOptions& options);

int runDoctor(const std::vector<std::string>& args, const DoctorOptions& options, std::FILE* out,
              std::FILE* err);

}  // namespace qy
