// PanelViewController: its controls, their values and its actions.
#include "extension/bridge/panel_view_controller.h"

#include <algorithm>

namespace qy {
namespace {

// One control's segments: the labels shown and the setting values they stand for, index for
// index.
struct ControlTable {
  const char* rowLabel;
  const char* control;
  std::array<const char*, 3> labels;
  std::array<const char*, 3> values;
};

const ControlTable kMode{"显示", "mode", {"双语对照", "仅译文", "关闭"},
                         {"bilingual", "replace", "off"}};
const ControlTable kStyle{"样式", "style", {"色条", "浅底", "无装饰"},
                          {"sidebar", "highlight", "plain"}};
const ControlTable kDark{"深色", "dark", {"跟随系统", "始终", "关闭"}, {"auto", "on", "off"}};

SegmentedControl makeControl(const ControlTable& table) {
  return SegmentedControl{{table.labels.begin(), table.labels.end()}, std::nullopt, false};
}

// The segment showing `value`; a value outside the table shows segment 0.
size_t segmentFor(const ControlTable& table, const std::string& value) {
  auto it = std::find(table.values.begin(), table.values.end(), value);
  return it == table.values.end() ? 0 : static_cast<size_t>(it - table.values.begin());
}

// The value of the selected segment; no selection (or one out of range) counts as segment 0.
std::string valueOf(const ControlTable& table, const SegmentedControl& control) {
  size_t index = control.selectedSegment.value_or(0);
  return table.values[index < table.values.size() ? index : 0];
}

}  // namespace

PanelViewController::PanelViewController(std::optional<std::string> key,
                                         ExtensionEnvironment environment)
    : key_(std::move(key)),
      environment_(withDefaults(std::move(environment))),
      cfg_(environment_.loadConfig()),
      modeControl_(makeControl(kMode)),
      styleControl_(makeControl(kStyle)),
      darkControl_(makeControl(kDark)) {}

void PanelViewController::loadView() {
  modeControl_.selectedSegment = segmentFor(kMode, cfg_.mode);
  styleControl_.selectedSegment = segmentFor(kStyle, cfg_.style);
  darkControl_.selectedSegment = segmentFor(kDark, cfg_.darkMode);
  for (SegmentedControl* control : {&modeControl_, &styleControl_, &darkControl_}) {
    control->hasAction = true;
  }
  rows_ = {{kMode.rowLabel, kMode.control},
           {kStyle.rowLabel, kStyle.control},
           {kDark.rowLabel, kDark.control}};
  buttons_ = {{"重新翻译这封邮件", "retranslate"}, {"更多设置…", "openApp"}};
  note_ = "关闭后，到“Quillory”App 里可以重新打开。";
  setPreferredContentSize(kSize);
  viewLoaded_ = true;
}

void PanelViewController::changed() {
  // Every other setting keeps the value the file holds now, not the one it held at opening.
  cfg_ = environment_.loadConfig();
  cfg_.mode = valueOf(kMode, modeControl_);
  cfg_.style = valueOf(kStyle, styleControl_);
  cfg_.darkMode = valueOf(kDark, darkControl_);
  if (environment_.saveConfig(cfg_)) {
    saveError_.reset();
    environment_.engine->requestReload("settings changed in panel");
    return;
  }
  // Nothing was written: the panel shows the settings that hold, and says why.
  saveError_ = "更改没有保存：无法写入设置文件（磁盘可能已满，或没有写入权限）。";
  cfg_ = environment_.loadConfig();
  modeControl_.selectedSegment = segmentFor(kMode, cfg_.mode);
  styleControl_.selectedSegment = segmentFor(kStyle, cfg_.style);
  darkControl_.selectedSegment = segmentFor(kDark, cfg_.darkMode);
}

void PanelViewController::retranslateTapped() {
  if (key_) environment_.engine->forget(*key_);
  environment_.engine->requestReload("user asked to retranslate");
}

void PanelViewController::openAppTapped() { environment_.openApp(); }

}  // namespace qy
