// Runs a program with arguments, an environment addition and standard input, and collects its
// standard output, standard error and exit status (for end-to-end tests of our commands).
#pragma once

#include <map>
#include <string>
#include <vector>

namespace qy::testing {

struct ProcessResult {
  int status = -1;  // exit status, or -1 when it did not exit normally
  std::string out;
  std::string err;
};

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& input,
                         const std::map<std::string, std::string>& env = {});

}  // namespace qy::testing
