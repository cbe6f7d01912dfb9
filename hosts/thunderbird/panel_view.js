// Drawing a panel of the extension (its rows of segments, its buttons and its note) with native
// controls, for the toolbar popup and for the panel under a banner.
//
// drawPanel() builds the controls from the panel model alone and reports the user's actions
// through send(op, fields) with the protocol's ops: "panelChanged" (with the selected indexes),
// "panelRetranslate", "panelOpenApp". The caller adds the panel's id. Elements carry class
// names ("qy-row", "qy-label", "qy-segment", "qy-buttons", "qy-error", "qy-note") for the caller to style.
"use strict";

const kPanelOps = { retranslate: QyProtocol.ops.panelRetranslate, openApp: QyProtocol.ops.panelOpenApp };

function drawPanel(doc, container, panel, send) {
  container.replaceChildren();
  const inputs = [];  // [control, index, radio]
  const selected = () => {
    const out = {};
    for (const row of panel.rows ?? []) {
      out[row.control] = 0;
    }
    for (const [control, index, radio] of inputs) {
      if (radio.checked) {
        out[control] = index;
      }
    }
    return out;
  };
  for (const row of panel.rows ?? []) {
    const fieldset = doc.createElement("fieldset");
    fieldset.className = "qy-row";
    const legend = doc.createElement("legend");
    legend.className = "qy-label";
    legend.textContent = row.label;
    fieldset.append(legend);
    (row.segments ?? []).forEach((text, index) => {
      const label = doc.createElement("label");
      label.className = "qy-segment";
      const radio = doc.createElement("input");
      radio.type = "radio";
      radio.name = `qy-${panel.id}-${row.control}`;
      radio.value = String(index);
      radio.checked = index === row.selected;
      radio.addEventListener("change", () => send(QyProtocol.ops.panelChanged, { selected: selected() }));
      inputs.push([row.control, index, radio]);
      const span = doc.createElement("span");
      span.textContent = text;
      label.append(radio, span);
      fieldset.append(label);
    });
    container.append(fieldset);
  }
  const buttons = doc.createElement("div");
  buttons.className = "qy-buttons";
  for (const button of panel.buttons ?? []) {
    const op = kPanelOps[button.action];
    if (!op) {
      continue;
    }
    const element = doc.createElement("button");
    element.type = "button";
    element.textContent = button.title;
    element.addEventListener("click", () => send(op, {}));
    buttons.append(element);
  }
  container.append(buttons);
  if (panel.error) {
    // A change that could not be saved: the rows show the settings that hold.
    const error = doc.createElement("p");
    error.className = "qy-error";
    error.setAttribute("role", "alert");
    error.textContent = panel.error;
    container.append(error);
  }
  if (panel.note) {
    const note = doc.createElement("p");
    note.className = "qy-note";
    note.textContent = panel.note;
    container.append(note);
  }
}
