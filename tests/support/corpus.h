// The shared corpus of real mail (eml/) and HTML bodies (html/) lives beside the project, outside
// the repository. Tests over it skip, saying so, where a checkout has no corpus beside it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>

#define QY_SKIP_WITHOUT_CORPUS()                                  \
  if (!std::filesystem::is_directory(QY_CORPUS_DIR))              \
  GTEST_SKIP() << "no mail corpus at " << QY_CORPUS_DIR
