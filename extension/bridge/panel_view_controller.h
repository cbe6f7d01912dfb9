// PanelViewController: the small panel a host shows for the banner button of a "pending" or
// "done" message. A view model the host draws: three rows of segmented controls (display mode,
// translation style, dark mode), two buttons (retranslate this message, open the settings
// application) and a note. Each change is saved to the settings file at once and followed by a
// reload request, so the host shows the message again under the new settings.
//
// Created by the security handler for one click and owned by the host while it shows it; the
// panel never closes itself. One caller at a time (the host's thread for this panel).
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "core/config/config.h"
#include "extension/bridge/extension_environment.h"
#include "platform/mail_kit.h"

namespace qy {

// A select-one segmented control.
struct SegmentedControl {
  std::vector<std::string> labels;
  std::optional<size_t> selectedSegment;  // nothing: no segment selected
  bool hasAction = false;                 // set by loadView: changes call changed()
};

// One row of the panel: its label beside a control.
struct PanelRow {
  std::string label;
  std::string control;  // "mode", "style" or "dark"
};

struct PanelButton {
  std::string title;
  std::string action;  // "retranslate" or "openApp"
};

class PanelViewController final : public platform::ExtensionViewController {
 public:
  // The panel's size in points.
  static constexpr platform::Size kSize{330, 216};

  // Loads the settings and creates the controls; the view is built by loadView().
  PanelViewController(std::optional<std::string> key, ExtensionEnvironment environment);

  // Selects in each control the segment of the setting's value, and builds the rows, buttons
  // and note.
  void loadView();
  bool isViewLoaded() const { return viewLoaded_; }

  // The action of the three controls: saves the selected values over the settings as the file
  // holds them now, then asks for a reload. When the file cannot be written, the controls go
  // back to what it holds and saveError() says so.
  void changed();
  // Forgets this message's translation (when the panel has a key) and asks for a reload.
  void retranslateTapped();
  // Starts the settings application, when it is installed.
  void openAppTapped();

  const std::optional<std::string>& key() const { return key_; }
  const Config& cfg() const { return cfg_; }
  SegmentedControl& modeControl() { return modeControl_; }
  SegmentedControl& styleControl() { return styleControl_; }
  SegmentedControl& darkControl() { return darkControl_; }
  const SegmentedControl& modeControl() const { return modeControl_; }
  const SegmentedControl& styleControl() const { return styleControl_; }
  const SegmentedControl& darkControl() const { return darkControl_; }

  // The view, once loaded: rows in order (显示, 样式, 深色), the button row, the note.
  const std::vector<PanelRow>& rows() const { return rows_; }
  const std::vector<PanelButton>& buttons() const { return buttons_; }
  const std::string& note() const { return note_; }
  // Why the last change was not saved (Chinese, for the host to show); nothing after a save.
  const std::optional<std::string>& saveError() const { return saveError_; }

 private:
  const std::optional<std::string> key_;
  const ExtensionEnvironment environment_;
  Config cfg_;
  SegmentedControl modeControl_;
  SegmentedControl styleControl_;
  SegmentedControl darkControl_;
  bool viewLoaded_ = false;
  std::vector<PanelRow> rows_;
  std::vector<PanelButton> buttons_;
  std::string note_;
  std::optional<std::string> saveError_;
};

}  // namespace qy
