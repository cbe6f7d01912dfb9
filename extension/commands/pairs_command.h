// `quillory-ext pairs`: the language pairs this machine translates and those a Debian package
// would add, one a line ("en → es  已安装  apertium-eng-spa"). Notes about engines that are off
// go to `err`. Exit status 0.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "platform/engine_survey.h"

namespace qy {

int runPairs(const std::vector<std::string>& args, const SurveyOptions& options, std::FILE* out,
             std::FILE* err);

}  // namespace qy
