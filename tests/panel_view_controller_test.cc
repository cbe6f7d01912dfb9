// The banner panel as a view model: the values it shows, what its controls save, its buttons;
// and starting the settings application detached.
#include "extension/bridge/panel_view_controller.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "core/config/config_store.h"
#include "platform/app_launcher.h"
#include "support/engine_fixture.h"
#include "support/temp_dir.h"

namespace qy {
namespace {

using testing::EngineFixture;

// A panel over the fixture's engine and a real settings file in its root.
struct PanelFixture {
  EngineFixture f;
  ConfigStore::Store store{f.root()};
  int appsOpened = 0;

  ExtensionEnvironment environment() {
    ExtensionEnvironment env;
    env.engine = &f.engine();
    env.log = [](std::string_view) {};
    env.loadConfig = [this] { return store.load(); };
    env.saveConfig = [this](const Config& cfg) { return store.save(cfg); };
    env.openApp = [this] { ++appsOpened; };
    return env;
  }
  std::unique_ptr<PanelViewController> open(std::optional<std::string> key) {
    auto panel = std::make_unique<PanelViewController>(std::move(key), environment());
    panel->loadView();
    return panel;
  }
};

TEST(Panel, ShowsTheSettingsAndItsFixedTexts) {
  PanelFixture p;
  Config cfg;
  cfg.mode = "replace";
  cfg.style = "boxed";  // none of the three: shows the first segment
  cfg.darkMode = "off";
  ASSERT_TRUE(p.store.save(cfg));
  PanelViewController panel("k1", p.environment());
  EXPECT_FALSE(panel.isViewLoaded());
  EXPECT_FALSE(panel.modeControl().hasAction);
  panel.loadView();
  EXPECT_EQ(panel.modeControl().selectedSegment, 1u);
  EXPECT_EQ(panel.styleControl().selectedSegment, 0u);
  EXPECT_EQ(panel.darkControl().selectedSegment, 2u);
  EXPECT_TRUE(panel.darkControl().hasAction);
  EXPECT_EQ(panel.modeControl().labels, (std::vector<std::string>{"双语对照", "仅译文", "关闭"}));
  EXPECT_EQ(panel.styleControl().labels, (std::vector<std::string>{"色条", "浅底", "无装饰"}));
  EXPECT_EQ(panel.darkControl().labels, (std::vector<std::string>{"跟随系统", "始终", "关闭"}));
  ASSERT_EQ(panel.rows().size(), 3u);
  EXPECT_EQ(panel.rows()[0].label, "显示");
  EXPECT_EQ(panel.rows()[1].label, "样式");
  EXPECT_EQ(panel.rows()[2].label, "深色");
  ASSERT_EQ(panel.buttons().size(), 2u);
  EXPECT_EQ(panel.buttons()[0].title, "重新翻译这封邮件");
  EXPECT_EQ(panel.buttons()[1].title, "更多设置\u2026");
  EXPECT_EQ(panel.note(), "关闭后，到\u201cQuillory\u201dApp 里可以重新打开。");
  EXPECT_EQ(panel.preferredContentSize(), (platform::Size{330, 216}));
}

TEST(Panel, ChangesSaveOverTheFileAsItIsNowAndAskForAReload) {
  PanelFixture p;
  Config cfg;
  cfg.style = "boxed";
  ASSERT_TRUE(p.store.save(cfg));
  auto panel = p.open("k1");
  // The settings application changes the target language while the panel is open.
  cfg.targetLanguage = "fr";
  ASSERT_TRUE(p.store.save(cfg));

  panel->darkControl().selectedSegment = 1;
  panel->changed();
  Config saved = p.store.load();
  EXPECT_EQ(saved.darkMode, "on");
  EXPECT_EQ(saved.style, "sidebar");  // the unknown style is saved as the segment it showed
  EXPECT_EQ(saved.mode, "bilingual");
  EXPECT_EQ(saved.targetLanguage, "fr");
  EXPECT_EQ(panel->cfg(), saved);
  EXPECT_EQ(p.f.logLines().back(), "asking Mail to reload: settings changed in panel");

  panel->modeControl().selectedSegment = 1;
  panel->changed();
  EXPECT_EQ(p.store.load().mode, "replace");
  panel->modeControl().selectedSegment = 2;
  panel->styleControl().selectedSegment = std::nullopt;  // no selection counts as the first
  panel->changed();
  EXPECT_EQ(p.store.load().mode, "off");
  EXPECT_EQ(p.store.load().style, "sidebar");
}

TEST(Panel, AChangeThatCannotBeSavedSaysSoAndShowsWhatHolds) {
  PanelFixture p;
  Config cfg;
  cfg.darkMode = "off";
  ASSERT_TRUE(p.store.save(cfg));
  auto panel = p.open("k1");
  // config.json replaced by a directory: nothing can be written over it.
  const std::filesystem::path file = p.store.file();
  std::filesystem::remove(file);
  std::filesystem::create_directory(file);
  const size_t logged = p.f.logLines().size();

  panel->darkControl().selectedSegment = 1;
  panel->changed();
  ASSERT_TRUE(panel->saveError());
  EXPECT_NE(panel->saveError()->find("没有保存"), std::string::npos);
  EXPECT_EQ(panel->darkControl().selectedSegment, 0u) << "the control shows the settings that hold";
  EXPECT_EQ(p.f.logLines().size(), logged) << "no reload: nothing changed";

  // Writable again: the next change is saved and the error goes.
  std::filesystem::remove(file);
  panel->darkControl().selectedSegment = 1;
  panel->changed();
  EXPECT_FALSE(panel->saveError());
  EXPECT_EQ(p.store.load().darkMode, "on");
}

TEST(Panel, RetranslateForgetsTheMessageWhenThePanelHasAKey) {
  PanelFixture p;
  p.f.engine().remember("k1", {{"Hello", "Hola"}});
  p.f.engine().remember("k2", {{"Bye", "Adiós"}});
  p.open("k1")->retranslateTapped();
  EXPECT_EQ(p.f.engine().memoryKeys(), std::vector<std::string>{"k2"});
  EXPECT_EQ(p.f.logLines().back(), "asking Mail to reload: user asked to retranslate");

  auto keyless = p.open(std::nullopt);
  keyless->retranslateTapped();
  EXPECT_EQ(p.f.engine().memoryKeys(), std::vector<std::string>{"k2"});
  keyless->modeControl().selectedSegment = 1;  // a keyless panel still changes settings
  keyless->changed();
  EXPECT_EQ(p.store.load().mode, "replace");
  keyless->openAppTapped();
  EXPECT_EQ(p.appsOpened, 1);
}

TEST(SettingsApp, IsFoundBesideTheBinaryThenOnThePathAndStartsDetached) {
  testing::TempDir dir;
  std::filesystem::create_directories(dir / "bin");
  std::filesystem::create_directories(dir / "path");
  EXPECT_FALSE(platform::findSettingsApp(dir / "bin", (dir / "path").string()));
  const auto marker = dir / "started";
  auto script = [&](const std::filesystem::path& at) {
    testing::writeFile(at, "#!/bin/sh\necho \"$PPID $(cut -d' ' -f6 /proc/$$/stat)\" > '" +
                               marker.string() + ".tmp'\nmv '" + marker.string() + ".tmp' '" +
                               marker.string() + "'\n");
    std::filesystem::permissions(at, std::filesystem::perms::owner_all);
  };
  script(dir / "path" / "quillory");
  EXPECT_EQ(platform::findSettingsApp(dir / "bin", (dir / "path").string()),
            (dir / "path" / "quillory").string());
  script(dir / "bin" / "quillory");
  auto app = platform::findSettingsApp(dir / "bin", (dir / "path").string());
  EXPECT_EQ(app, (dir / "bin" / "quillory").string());

  ASSERT_TRUE(platform::startDetached({*app}));
  // The program runs on its own; wait for its mark (generously: the machine may be busy).
  for (int i = 0; i < 6000 && !std::filesystem::exists(marker); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(std::filesystem::exists(marker));
  std::istringstream seen(testing::readFile(marker));
  long parent = 0, session = 0;
  seen >> parent >> session;
  EXPECT_NE(parent, static_cast<long>(::getpid()));  // not our child
  EXPECT_NE(session, static_cast<long>(::getsid(0)));  // nor in our session

  EXPECT_FALSE(platform::startDetached({(dir / "missing").string()}));
}

}  // namespace
}  // namespace qy
