// Installing: `cmake --install` into a staging directory (DESTDIR) puts the programs, the
// desktop entry, the service's user unit and the manual pages where they belong, each usable as installed; the demo runs
// the installed program on the bundled sample.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "extension/commands/install_service_command.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace qy {
namespace {

using testing::readFile;
using testing::runProcess;
using testing::TempDir;

std::filesystem::path staged(const TempDir& destdir, const std::string& relative) {
  return destdir.path() / std::filesystem::path(QY_INSTALL_PREFIX).relative_path() / relative;
}

bool onPath(const std::string& program) {
  return runProcess({"/bin/sh", "-c", "command -v " + program}, "").status == 0;
}

class Install : public ::testing::Test {
 protected:
  void SetUp() override {
    auto run = runProcess({QY_CMAKE_COMMAND, "--install", QY_BUILD_DIR}, "",
                          {{"DESTDIR", destdir.path().string()}});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
  }
  TempDir destdir;
};

TEST_F(Install, PutsEachFileWhereItBelongs) {
  for (const char* program : {"bin/quillory-ext", "bin/quillory"}) {
    SCOPED_TRACE(program);
    EXPECT_EQ(access(staged(destdir, program).c_str(), X_OK), 0);
  }
  auto version = runProcess({staged(destdir, "bin/quillory-ext").string(), "--version"}, "");
  EXPECT_EQ(version.out, "quillory-ext 0.1.0\n");

  const auto desktop = staged(destdir, "share/applications/quillory.desktop");
  EXPECT_NE(readFile(desktop).find("\nExec=" + std::string(QY_INSTALL_PREFIX) + "/bin/quillory\n"),
            std::string::npos);
  if (onPath("desktop-file-validate")) {
    auto valid = runProcess({"/usr/bin/env", "desktop-file-validate", desktop.string()}, "");
    EXPECT_EQ(valid.status, 0) << valid.out << valid.err;
    EXPECT_EQ(valid.out + valid.err, "") << "no hints either";
  } else {
    ADD_FAILURE() << "desktop-file-validate is missing (Debian: desktop-file-utils)";
  }

  // The unit template says what install-service writes, apart from its opening comment.
  auto afterComment = [](const std::string& text) { return text.substr(text.find('\n') + 1); };
  EXPECT_EQ(afterComment(readFile(staged(destdir, "share/systemd/user/quillory-ext.service"))),
            afterComment(serviceUnitText(std::string(QY_INSTALL_PREFIX) + "/bin/quillory-ext", std::nullopt)));

  for (const char* page : {"share/man/man1/quillory-ext.1", "share/man/man1/quillory.1"}) {
    SCOPED_TRACE(page);
    // groff's -ww reports every questionable request; -z formats without output.
    auto render = runProcess({"/usr/bin/env", "groff", "-man", "-Tutf8", "-ww", "-z", staged(destdir, page).string()}, "");
    EXPECT_EQ(render.status, 0);
    EXPECT_EQ(render.err, "");
  }
}

TEST_F(Install, DemoTranslatesTheSampleWithTheInstalledProgram) {
  auto demo = runProcess({std::string(QY_SOURCE_DIR) + "/scripts/demo.sh"}, "",
                         {{"QY_DEMO_NO_INSTALL", "1"},
                          {"QY_BUILD_DIR", QY_BUILD_DIR},
                          {"QY_EXT", staged(destdir, "bin/quillory-ext").string()}});
  ASSERT_EQ(demo.status, 0) << demo.err;
  EXPECT_NE(demo.out.find("X-Quillory-Status: translated;"), std::string::npos) << demo.out;
  EXPECT_NE(demo.out.find("banner:  已翻译为西班牙语"), std::string::npos) << demo.out;
  EXPECT_NE(demo.out.find("He reservado el tren"), std::string::npos) << demo.out;
}

}  // namespace
}  // namespace qy
