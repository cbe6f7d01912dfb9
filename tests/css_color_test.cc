// Colours: the name table, the hex, functional and legacy parsers, HSL and CSS serialisation.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>

#include "core/dark/css_color.h"
#include "core/dark/css_text.h"
#include "core/dark/rgba.h"

namespace qy {
namespace {

void expectColor(const std::optional<RGBA>& got, const std::optional<RGBA>& want) {
  ASSERT_EQ(got.has_value(), want.has_value());
  if (!want) return;
  EXPECT_NEAR(got->r, want->r, 1e-9);
  EXPECT_NEAR(got->g, want->g, 1e-9);
  EXPECT_NEAR(got->b, want->b, 1e-9);
  EXPECT_NEAR(got->a, want->a, 1e-9);
}

constexpr RGBA kWhite{1, 1, 1, 1};
constexpr RGBA kRed{1, 0, 0, 1};
constexpr RGBA kGreen{0, 1, 0, 1};

TEST(CSSColor, NameTableHoldsTheStandardColours) {
  const auto& table = CSSColor::named();
  EXPECT_EQ(table.size(), 148u);
  struct Case { const char* name; uint32_t value; };
  const Case kCases[] = {
      {"aliceblue", 0xf0f8ff}, {"gray", 0x808080}, {"grey", 0x808080}, {"green", 0x008000},
      {"maroon", 0x800000}, {"purple", 0x800080}, {"rebeccapurple", 0x663399},
      {"yellowgreen", 0x9acd32}, {"lightgoldenrodyellow", 0xfafad2}, {"navajowhite", 0xffdead},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    auto it = table.find(std::string_view(c.name));
    ASSERT_NE(it, table.end());
    EXPECT_EQ(it->second, c.value);
  }
  EXPECT_FALSE(table.contains(std::string_view("transparent")));
  EXPECT_FALSE(table.contains(std::string_view("currentcolor")));
}

TEST(CSSColor, LegacyReadsNamesHexAndFunctions) {
  struct Case { const char* name; std::string input; std::optional<RGBA> want; };
  const Case kCases[] = {
      {"name with blanks and case", "  WHITE \t", kWhite},
      {"short hex", "#FFF", kWhite},
      {"short hex with opacity", "#ffff", kWhite},
      {"long hex with opacity", "#11223344", RGBA{0x11 / 255.0, 0x22 / 255.0, 0x33 / 255.0, 0x44 / 255.0}},
      {"bare six digits", "ffffff", kWhite},
      {"bare three digits", "fff", std::nullopt},
      {"transparent", "transparent", std::nullopt},
      {"empty", "", std::nullopt},
      {"blanks only", " \t", std::nullopt},
      {"inherit", "inherit", std::nullopt},
      {"currentcolor", "currentcolor", std::nullopt},
      {"five digits", "#12345", std::nullopt},
      {"bad digits", "#ggg", std::nullopt},
      {"function", " RGB(255,0,0) ", kRed},
      {"kelvin sign lower-cases to k", "blac\xE2\x84\xAA", RGBA{0, 0, 0, 1}},
      {"bare six non-hex", "zzzzzz", std::nullopt},
      {"no-break space trimmed", "\xC2\xA0red", kRed},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    expectColor(CSSColor::legacy(c.input), c.want);
  }
}

TEST(CSSColor, FunctionReadsRgbAndHsl) {
  struct Case { const char* name; std::string input; std::optional<RGBA> want; };
  const Case kCases[] = {
      {"commas", "rgb(255, 0, 0)", kRed},
      {"opacity fraction", "rgba(255,0,0,.5)", RGBA{1, 0, 0, 0.5}},
      {"percentages", "rgb(100%, 50%, 0%)", RGBA{1, 0.5, 0, 1}},
      {"clamped channels", "rgb(300, -20, 0)", kRed},
      {"slash opacity percent", "rgb(1 2 3 / 40%)", RGBA{1 / 255.0, 2 / 255.0, 3 / 255.0, 0.4}},
      {"opacity clamped", "rgba(0,0,0,7)", RGBA{0, 0, 0, 1}},
      {"two pieces", "rgb(1,2)", std::nullopt},
      {"five pieces", "rgb(1,2,3,4,5)", std::nullopt},
      {"unit on channel", "rgb(12px,0,0)", std::nullopt},
      {"exponent and sign", "rgb(+1e2,-0,2.55e2)", RGBA{100 / 255.0, 0, 1, 1}},
      {"hsl", "hsl(120, 100%, 50%)", kGreen},
      {"hsl deg and spaces", "hsl(120deg 100% 25%)", RGBA{0, 0.5, 0, 1}},
      {"hsl upper-case DEG", "HSL(120DEG,100%,50%)", kGreen},
      {"hsl without percent", "hsl(120, 1, 0.5)", std::nullopt},
      {"negative hue wraps", "hsl(-240, 100%, 50%)", kGreen},
      {"turn is not a number", "hsl(0.5turn, 100%, 50%)", std::nullopt},
      {"unknown function", "lab(50% 0 0)", std::nullopt},
      {"close before open", ")rgb(1,2,3", std::nullopt},
      {"no close", "rgb(1,2,3", std::nullopt},
      {"nan channel", "rgb(nan, 0, 0)", std::nullopt},
      {"inf hue", "hsl(inf, 100%, 50%)", std::nullopt},
      {"infinity opacity", "rgba(0,0,0,infinity)", std::nullopt},
      {"overflowing exponent", "rgb(1e400, 0, 0)", std::nullopt},
      {"overflowing percent", "rgb(1e400%, 0, 0)", std::nullopt},
      {"underflowing exponent reads as zero", "rgb(1e-400, 0, 0)", RGBA{0, 0, 0, 1}},
      {"hex float is not a number", "rgb(0x10, 0, 0)", std::nullopt},
      {"lone sign", "rgb(-, 0, 0)", std::nullopt},
      {"double sign", "rgb(+-1, 0, 0)", std::nullopt},
      {"lone percent", "rgb(%, 0, 0)", std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    expectColor(CSSColor::function(c.input), c.want);
  }
}

TEST(CSSColor, NumbersIgnoreLocaleAndRefuseNonFinite) {
  EXPECT_EQ(CSSText::parseNumber(".5"), 0.5);
  EXPECT_EQ(CSSText::parseNumber("5."), 5.0);
  EXPECT_EQ(CSSText::parseNumber("-1e2"), -100.0);
  EXPECT_EQ(CSSText::parseNumber("0,5"), std::nullopt);
  EXPECT_EQ(CSSText::parseNumber(" 1"), std::nullopt);
  EXPECT_EQ(CSSText::parseNumber("1e"), std::nullopt);
  EXPECT_EQ(CSSText::parseNumber("NaN"), std::nullopt);
  EXPECT_EQ(CSSText::parseNumber("-inf"), std::nullopt);
  EXPECT_EQ(CSSText::parseNumber(""), std::nullopt);
}

TEST(RGBA, CssRoundsHalvesUpAndWritesOpacityWithThreeDigits) {
  struct Case { const char* name; RGBA color; std::string want; };
  const Case kCases[] = {
      {"opaque grey", RGBA{30 / 255.0, 30 / 255.0, 30 / 255.0, 1}, "#1e1e1e"},
      {"half rounds away from zero", RGBA{0.5, 0, 1, 1}, "#8000ff"},
      {"0.999 is opaque", RGBA{1, 1, 1, 0.999}, "#ffffff"},
      {"just below", RGBA{0, 0, 0, 0.9989}, "rgba(0,0,0,0.999)"},
      {"half", RGBA{1, 1, 1, 0.5}, "rgba(255,255,255,0.5)"},
      {"three digits", RGBA{0, 0, 0, 0.125}, "rgba(0,0,0,0.125)"},
      {"rounded to three digits", RGBA{0, 0, 0, 0.26666}, "rgba(0,0,0,0.267)"},
      {"zero", RGBA{0, 0, 0, 0}, "rgba(0,0,0,0)"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.color.css(), c.want);
  }
}

TEST(RGBA, HslRoundTrips) {
  EXPECT_EQ(kRed.hsl(), (RGBA::HSL{0, 1, 0.5}));
  EXPECT_EQ((RGBA{0.5, 0.5, 0.5, 1}.hsl()), (RGBA::HSL{0, 0, 0.5}));
  const RGBA kSamples[] = {kRed, kGreen, {0.2, 0.4, 0.9, 1}, {0.9, 0.1, 0.6, 0.3}, {0.5, 0.5, 0.5, 1}};
  for (const RGBA& c : kSamples) {
    auto hsl = c.hsl();
    EXPECT_GE(hsl.h, 0);
    EXPECT_LT(hsl.h, 360);
    expectColor(RGBA::hsl(hsl.h, hsl.s, hsl.l, c.a), c);
  }
  expectColor(RGBA::hsl(720 + 240, 1, 0.5, 1), RGBA{0, 0, 1, 1});
  expectColor(RGBA::hsl(0, 2, -1, 1), RGBA{0, 0, 0, 1});  // s and l clamped
  expectColor(RGBA::hex(0xFF123456, 0.5), RGBA{0x12 / 255.0, 0x34 / 255.0, 0x56 / 255.0, 0.5});
}

TEST(CSSColor, HugeAndUnbalancedInputsAreRefused) {
  std::string big(1 << 20, 'a');
  EXPECT_FALSE(CSSColor::legacy(big));
  EXPECT_FALSE(CSSColor::function("rgb(" + big));
  EXPECT_FALSE(CSSColor::function("rgb(" + std::string(1 << 20, '(') + ")"));
  std::string spaced = "rgb(";
  for (int i = 0; i < 200000; ++i) spaced += "1 ";
  spaced += ")";
  EXPECT_FALSE(CSSColor::function(spaced));
  EXPECT_FALSE(CSSColor::legacy("#\xFF\xFE\xFD"));
}

}  // namespace
}  // namespace qy
