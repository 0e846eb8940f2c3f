// The command line's names and values: parameters by key and number, choice entries by name, text
// and arrow, colours, ranges; the small syntaxes; and the easing curves.
#include <gtest/gtest.h>

#include <set>

#include "host_error.h"
#include "settings.h"
#include "string_catalogue.h"
#include "test_host.h"

using namespace ophost;
using namespace ophost::render;

namespace {

ParamModel choice(uint16_t label, uint32_t style, std::vector<uint32_t> entries) {
  ParamModel p;
  p.kind = ParamKind::Choice;
  p.label = label;
  p.style = style;
  p.entries = std::move(entries);
  p.min = 0;
  p.max = static_cast<int32_t>(p.entries.size()) - 1;
  return p;
}

ParamModel slider(uint16_t label, int32_t min, int32_t max) {
  ParamModel p;
  p.kind = ParamKind::Slider;
  p.label = label;
  p.subLabel = label + 1u;
  p.min = min;
  p.max = max;
  return p;
}

std::string refusal(const ParamModel& p, const std::string& text) {
  try {
    parseValue(p, "X y", text);
  } catch (const HostError& error) {
    return error.what();
  }
  return "";
}

TEST(Values, ChoicesByKeyTextIndexDirectionNameAndArrow) {
  const ParamModel fill = choice(110, CHOICE_STYLE_TEXT, {111, 112});
  EXPECT_EQ(parseValue(fill, "Halves fill", "squeeze"), 1);
  EXPECT_EQ(parseValue(fill, "Halves fill", "Squeeze"), 1);
  EXPECT_EQ(parseValue(fill, "Halves fill", "0"), 0);
  const ParamModel layout = choice(120, CHOICE_STYLE_TEXT, {121, 122, 123, 124, 125, 126, 127, 128});
  EXPECT_EQ(parseValue(layout, "Halves layout", "top-return"), 6);
  EXPECT_EQ(parseValue(layout, "Halves layout", "input 1 in from the right, ending on input 1"), 3);
  const ParamModel ripple = choice(320, CHOICE_STYLE_DIRECTIONS, {8, 2, 4, 6});
  EXPECT_EQ(parseValue(ripple, "Ripples direction", "down-right"), 2);
  EXPECT_EQ(parseValue(ripple, "Ripples direction", "\u2199"), 3);
  EXPECT_EQ(entryName(ripple, 0), "up-left");
  EXPECT_EQ(entryText(ripple, 0), "\u2196 up-left");
  EXPECT_EQ(describeValue(ripple, 2), "down-right (2)");
}

TEST(Values, RefusalsNameTheRangeOrTheEntries) {
  const ParamModel share = slider(130, 1, 99);
  EXPECT_EQ(parseValue(share, "Halves share", "99"), 99);
  EXPECT_EQ(refusal(share, "100"), "X y: 100 is outside its range 1..99");
  EXPECT_EQ(refusal(share, "0"), "X y: 0 is outside its range 1..99");
  EXPECT_NE(refusal(share, "5.5").find("not a whole number (its range is 1..99)"), std::string::npos);
  EXPECT_NE(refusal(share, "").find("not a whole number"), std::string::npos);
  const ParamModel streak = choice(420, CHOICE_STYLE_DIRECTIONS, {3, 7});
  EXPECT_EQ(refusal(streak, "2"), "X y: 2 is outside its range 0..1");
  EXPECT_EQ(refusal(streak, "up"), "X y: no entry \"up\" (its entries: right, left, or 0..1)");
}

TEST(Values, ColoursAsRgbWithKeyAndAsPackedWords) {
  ParamModel colour;
  colour.kind = ParamKind::Colour;
  colour.label = 930;
  EXPECT_EQ(parseValue(colour, "Fog colour", "#FFFFFF"), 0xEB8080FF);
  EXPECT_EQ(parseValue(colour, "Fog colour", "#000000"), 0x108080FF);
  EXPECT_EQ(parseValue(colour, "Fog colour", "#80ffffff"), 0xEB808080);
  EXPECT_EQ(parseValue(colour, "Fog colour", "0x12345678"), 0x12345678);
  EXPECT_EQ(parseValue(colour, "Fog colour", "EB8080FF"), 0xEB8080FF);
  const int64_t red = parseValue(colour, "Fog colour", "#FF0000");
  EXPECT_NEAR(static_cast<int>((red >> 24) & 0xFF), 81, 1);   // BT.601 studio-range red
  EXPECT_NEAR(static_cast<int>((red >> 16) & 0xFF), 240, 1);  // Cr
  EXPECT_NE(refusal(colour, "white").find("not a colour"), std::string::npos);
  EXPECT_NE(refusal(colour, "#FFF").find("not a colour"), std::string::npos);
  EXPECT_EQ(describeValue(colour, 0xEB8080FF), "#FFFFFF (0xEB8080FF)");
}

TEST(Values, ParametersByCatalogueKeyOrNumber) {
  OperatorModel model;
  model.params = {choice(810, CHOICE_STYLE_DIRECTIONS, {1, 2, 3, 4, 5, 6, 7, 8}), slider(820, 0, 100)};
  EXPECT_EQ(findParam(model, "Bump", "light"), 0u);
  EXPECT_EQ(findParam(model, "Bump", "Strength"), 1u);
  EXPECT_EQ(findParam(model, "Bump", "2"), 1u);
  try {
    findParam(model, "Bump", "3");
    FAIL();
  } catch (const HostError& error) {
    EXPECT_STREQ(error.what(), "Bump has no parameter \"3\" (its parameters: light (1), strength (2))");
  }
  EXPECT_EQ(splitSetting("colour=#FF=00"), (std::pair<std::string, std::string>{"colour", "#FF=00"}));
  EXPECT_THROW(splitSetting("=5"), HostError);
  EXPECT_THROW(splitSetting("share"), HostError);
}

TEST(Catalogue, DirectionsAndKeysAreStable) {
  const char* names[] = {"up", "up-right", "right", "down-right", "down", "down-left", "left", "up-left"};
  for (uint32_t code = 1; code <= 8; ++code) {
    ASSERT_TRUE(directionForCode(code));
    EXPECT_EQ(directionForCode(code)->name, names[code - 1]);
    EXPECT_EQ(directionForName(names[code - 1])->code, code);
  }
  EXPECT_FALSE(directionForCode(0));
  EXPECT_FALSE(directionForCode(9));
  EXPECT_EQ(catalogueText(4711), "(string 4711)");
  // Keys name parameters on the command line: within one plug-in's block no two may agree.
  for (uint32_t block = 100; block <= 900; block += 100) {
    std::set<std::string> labelKeys;
    for (uint32_t label = block + 10; label < block + 100; label += 10) {
      if (auto entry = catalogueString(label)) {
        EXPECT_TRUE(labelKeys.insert(std::string(entry->key)).second) << label;
      }
    }
    EXPECT_FALSE(labelKeys.empty()) << block;
  }
}

TEST(Syntax, SizesAreasAndRanges) {
  EXPECT_EQ(parseSize("720x576").width, 720);
  EXPECT_EQ(parseSize("720X576").height, 576);
  EXPECT_THROW(parseSize("720"), HostError);
  EXPECT_THROW(parseSize("1x576"), HostError);
  EXPECT_THROW(parseSize("9000x10"), HostError);
  const Geometry area = parseArea("0,72,720,432");
  EXPECT_EQ(area.y, 72);
  EXPECT_EQ(area.height, 432);
  EXPECT_THROW(parseArea("0,0,0,10"), HostError);
  EXPECT_THROW(parseArea("1,2,3"), HostError);
  EXPECT_EQ(parseRange("0:50"), (std::pair<int64_t, int64_t>{0, 50}));
  EXPECT_THROW(parseRange("5:4"), HostError);
  EXPECT_THROW(parseRange("-1:4"), HostError);
}

TEST(Easing, NamedCurvesFollowCss) {
  const Easing linear = Easing::parse("linear");
  EXPECT_TRUE(linear.isLinear());
  EXPECT_DOUBLE_EQ(linear.apply(0.3), 0.3);
  // Values of the CSS curves at x = 0.5 (solved independently).
  EXPECT_NEAR(Easing::parse("ease-in").apply(0.5), 0.3153, 1e-3);
  EXPECT_NEAR(Easing::parse("ease-out").apply(0.5), 0.6847, 1e-3);
  EXPECT_NEAR(Easing::parse("ease-in-out").apply(0.5), 0.5, 1e-9);
  EXPECT_NEAR(Easing::parse("ease").apply(0.5), 0.8024, 1e-3);
  EXPECT_NEAR(Easing::parse("cubic-bezier(0, 0, 1, 1)").apply(0.37), 0.37, 1e-9);
  for (const char* name : {"ease-in", "ease-out", "ease-in-out", "cubic-bezier(0.1,0.7,1.0,0.1)"}) {
    const Easing e = Easing::parse(name);
    EXPECT_DOUBLE_EQ(e.apply(0), 0) << name;
    EXPECT_NEAR(e.apply(1), 1, 1e-12) << name;
    double previous = 0;
    for (int k = 1; k <= 100; ++k) {  // these curves never go back
      const double y = e.apply(k / 100.0);
      if (std::string(name) != "cubic-bezier(0.1,0.7,1.0,0.1)") {
        EXPECT_GE(y, previous - 1e-12) << name;
      }
      previous = y;
    }
  }
  EXPECT_THROW(Easing::parse("cubic-bezier(1.5,0,0.5,1)"), HostError);
  EXPECT_THROW(Easing::parse("cubic-bezier(0.5,0,0.5)"), HostError);
  EXPECT_THROW(Easing::parse("bounce"), HostError);
}

TEST(Easing, ThePluginSeesAFinerLengthAndAClampedPosition) {
  const PluginTime plain = pluginTime(Easing::linear(), 7, 20);
  EXPECT_EQ(plain.length, 20u);
  EXPECT_EQ(plain.position, 7u);
  const PluginTime eased = pluginTime(Easing::parse("ease-in-out"), 10, 20);
  EXPECT_EQ(eased.length, 20000u);
  EXPECT_EQ(eased.position, 10000u);
  EXPECT_EQ(pluginTime(Easing::parse("ease-in"), 20, 20).position, 20000u);
  // A curve that overshoots holds at the ends: the plug-in never sees a position beyond its length.
  const Easing overshoot = Easing::parse("cubic-bezier(0.3,1.6,0.7,1.6)");
  for (int64_t frame = 0; frame <= 20; ++frame) EXPECT_LE(pluginTime(overshoot, frame, 20).position, 20000u);
  EXPECT_EQ(pluginTime(overshoot, 12, 20).position, 20000u);
}

}  // namespace
