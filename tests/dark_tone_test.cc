// DarkTone: the three lightness curves, the grey rule and the base's tint.
#include <gtest/gtest.h>

#include "core/dark/dark_tone.h"

namespace qy {
namespace {

constexpr RGBA kBase{30 / 255.0, 30 / 255.0, 30 / 255.0, 1};
constexpr RGBA kWhite{1, 1, 1, 1};
constexpr RGBA kBlack{0, 0, 0, 1};
constexpr RGBA kRed{1, 0, 0, 1};

void expectColor(const RGBA& got, const RGBA& want, double tolerance = 1e-9) {
  EXPECT_NEAR(got.r, want.r, tolerance);
  EXPECT_NEAR(got.g, want.g, tolerance);
  EXPECT_NEAR(got.b, want.b, tolerance);
  EXPECT_NEAR(got.a, want.a, tolerance);
}

void expectHsl(const RGBA& got, double h, double s, double l, double tolerance = 1e-9) {
  auto hsl = got.hsl();
  EXPECT_NEAR(hsl.h, h, tolerance);
  EXPECT_NEAR(hsl.s, s, tolerance);
  EXPECT_NEAR(hsl.l, l, tolerance);
}

TEST(DarkTone, MapsTheWorkedExamplesOnTheDefaultBase) {
  struct Case { const char* name; DarkTone tone; RGBA color, want; };
  const Case kCases[] = {
      {"white background is the base", DarkTone::background, kWhite, kBase},
      {"black background stays", DarkTone::background, kBlack, kBlack},
      {"red background", DarkTone::background, kRed, RGBA{0.648, 0.072, 0.072, 1}},
      {"half-transparent background", DarkTone::background, RGBA{1, 1, 1, 0.5}, RGBA{kBase.r, kBase.g, kBase.b, 0.5}},
      {"black text", DarkTone::text, kBlack, RGBA{0.88, 0.88, 0.88, 1}},
      {"white text stays", DarkTone::text, kWhite, kWhite},
      {"red text", DarkTone::text, kRed, RGBA{1, 0.24, 0.24, 1}},
      {"white border", DarkTone::border, kWhite, RGBA{0.22, 0.22, 0.22, 1}},
      {"black border", DarkTone::border, kBlack, RGBA{0.55, 0.55, 0.55, 1}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    expectColor(c.tone.convert(c.color, kBase), c.want);
  }
  EXPECT_EQ(DarkTone(DarkTone::background).convert(kWhite, kBase).css(), "#1e1e1e");
  expectHsl(DarkTone(DarkTone::border).convert(kRed, kBase), 0, 0.8, 0.42);
  // Dark blue reads darker: 0.88 - 0.13 + 0.08, saturation capped at 0.9.
  expectHsl(DarkTone(DarkTone::text).convert(RGBA::hsl(240, 1, 0.25, 1), kBase), 240, 0.9, 0.83);
}

TEST(DarkTone, GreysTakeATintedBasesHue) {
  const RGBA base{26 / 255.0, 26 / 255.0, 77 / 255.0, 1};
  auto baseHsl = base.hsl();
  ASSERT_NEAR(baseHsl.h, 240, 1e-9);
  expectColor(DarkTone(DarkTone::background).convert(kWhite, base), base, 1e-12);
  expectHsl(DarkTone(DarkTone::text).convert(kBlack, base), 240, 0.1, 0.88);
  auto border = DarkTone(DarkTone::border).convert(RGBA{0.6, 0.6, 0.6, 1}, base);
  expectHsl(border, 240, baseHsl.s, 0.42 - 0.4 * 0.1);
  // The base's opacity is never used.
  const RGBA clearBase{base.r, base.g, base.b, 0};
  expectColor(DarkTone(DarkTone::background).convert(kWhite, clearBase), base, 1e-12);
}

TEST(DarkTone, ThresholdsAreExact) {
  // Saturation exactly 0.12 is coloured: the hue is kept, not the base's.
  auto coloured = DarkTone(DarkTone::border).convert(RGBA::hsl(120, 0.12, 0.3, 1), kBase);
  EXPECT_NEAR(coloured.hsl().h, 120, 1e-6);
  // Lightness exactly 0.5 takes the light branch of text: L = 0.62, hue and saturation kept.
  expectHsl(DarkTone(DarkTone::text).convert(RGBA::hsl(0, 1, 0.5, 1), kBase), 0, 1, 0.62);
  // Hue 205 itself is outside the blue band; 206 is inside.
  expectHsl(DarkTone(DarkTone::text).convert(RGBA::hsl(206, 1, 0.25, 1), kBase), 206, 0.9, 0.83, 1e-6);
  expectHsl(DarkTone(DarkTone::text).convert(RGBA::hsl(200, 1, 0.25, 1), kBase), 200, 0.9, 0.75, 1e-6);
  EXPECT_EQ(DarkTone(DarkTone::text).name(), "text");
}

}  // namespace
}  // namespace qy
