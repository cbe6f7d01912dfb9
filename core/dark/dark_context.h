// DarkContext: recolours one HTML mail for a dark appearance without destroying its light one.
// Colours in inline styles and style sheets are wrapped in CSS custom properties with the
// sender's value as fallback ("var(--qy-3, #ffffff)"); legacy colour attributes (bgcolor,
// <font color>, <body text>) get a marker attribute instead. headBlock() then defines the
// properties and marker rules with the mapped dark colours, always or only under
// prefers-color-scheme: dark.
//
// One context per rendering, used by one thread: rewrite every start tag and style sheet first,
// then ask for headBlock(), which holds every variable and marker handed out so far. Nothing here
// fails: colours that do not parse and malformed tags are copied unchanged.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/config/config.h"
#include "core/dark/dark_tone.h"
#include "core/dark/rgba.h"

namespace qy {

class DarkContext {
 public:
  // A context when these settings call for dark rewriting of this mail: darkMode "on", or "auto"
  // for a mail that does not style its own dark appearance. Nothing otherwise.
  static std::optional<DarkContext> make(const Config& cfg, bool emailSupportsDark);

  DarkContext(DarkContext&&) = default;
  DarkContext& operator=(DarkContext&&) = default;
  DarkContext(const DarkContext&) = delete;
  DarkContext& operator=(const DarkContext&) = delete;

  // True: dark colours apply unconditionally; false: only under prefers-color-scheme: dark.
  bool always() const { return always_; }
  // The dark page colour (the darkBackground setting, or rgb(30,30,30) when it is no colour).
  const RGBA& base() const { return base_; }
  // The CSS colour of variable n at position n - 1.
  const std::vector<std::string>& variableValues() const { return variableValues_; }

  // A start tag's full text and its lower-case name → the tag to write.
  std::string rewriteTag(std::string_view tag, std::string_view name);
  // A style sheet → the style sheet with every declaration block rewritten.
  std::string rewriteStylesheet(std::string_view css);
  // A declaration list (an inline style, or one block of a style sheet) → the new text.
  std::string rewriteDeclarations(std::string_view text);
  // The metas and the <style> element to insert into the head.
  std::string headBlock() const;

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
  };
  using Numbers = std::unordered_map<std::string, int, Hash, std::equal_to<>>;

  DarkContext(bool always, const RGBA& base) : always_(always), base_(base) {}

  // Appends the rewritten declarations to `out`; false (and `out` untouched) when nothing changed.
  bool rewriteDeclarationsInto(std::string_view text, std::string& out);
  bool rewriteValueInto(std::string_view value, DarkTone tone, std::string& out);
  // The variable number for a colour token, or 0 when the token stays as written.
  int variableFor(std::string_view token, DarkTone tone);
  // The marker number of a legacy attribute value in this role, or 0 for none.
  int markerFor(std::string_view value, DarkTone tone);
  // The marker number of a dark colour in one of the attribute maps: its number, or the next one
  // (count + 1) when the colour is new; `order` lists the map's keys by number.
  static int index(std::string key, Numbers& numbers, std::vector<std::string>& order);

  bool always_;
  RGBA base_;
  Numbers variables_;                     // tone name "|" lower-cased token → number
  std::vector<std::string> variableValues_;
  Numbers unchanged_;                     // colour tokens whose dark form serialises the same
  Numbers bgAttrs_;                       // dark background CSS → marker number
  Numbers fgAttrs_;                       // dark text CSS → marker number
  std::vector<std::string> bgOrder_;      // bgAttrs_ keys by number
  std::vector<std::string> fgOrder_;      // fgAttrs_ keys by number
  std::string key_;                       // scratch for building keys
};

}  // namespace qy
