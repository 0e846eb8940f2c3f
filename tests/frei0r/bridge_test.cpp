// The frei0r plug-ins driven in this process as an editor drives them: what they show of the
// descriptors, how the values map, and frames compared with ophost's renders of the same effect.
#include <atomic>
#include <cmath>
#include <thread>

#include "frei0r_test_support.h"
#include "operator_model.h"
#include "param_vocabulary.h"
#include "parameters.h"

using namespace f0rtest;

namespace {

struct EffectCase {
  const char* name;
  bool mixer;
  std::vector<std::string> names;  // the frei0r parameters, in order
};

const std::vector<EffectCase>& effects() {
  static const std::vector<EffectCase> all = {
      {"Halves", true, {"progress", "fill", "layout", "share", "hold", "frames"}},
      {"Jolt", true, {"progress", "mode", "frames"}},
      {"Blinds", true, {"progress", "direction", "motion", "count", "timing", "frames"}},
      {"Ripples", true, {"progress", "softness", "direction", "frames"}},
      {"Slant", true, {"progress", "softness", "direction", "frames"}},
      {"Streaks", true, {"progress", "softness", "direction", "frames"}},
      {"Sunbeams", true, {"progress", "softness", "frames"}},
      {"Bump", true, {"progress", "light", "strength", "frames"}},
      {"Fog", false, {"shape", "amount", "colour"}},
  };
  return all;
}

double get(const Frei0rPlugin& plugin, f0r_instance_t instance, const std::string& name) {
  double value = -1;
  plugin.getParam(instance, &value, plugin.paramIndex(name));
  return value;
}

class Frames : public Scratch {
 protected:
  void SetUp() override {
    Scratch::SetUp();
    writeCard(dir / "a.png", "bars", 160, 90);
    writeCard(dir / "b.png", "rings", 160, 90);
    a = readPng(dir / "a.png");
    b = readPng(dir / "b.png");
  }
  void expectSame(const RgbImage& bridged, const RgbImage& reference, const std::string& what) {
    const Difference d = difference(bridged, reference);
    EXPECT_EQ(d.pixels, 0u) << what << ": largest difference " << d.largest << " (tolerance "
                            << roundTripTolerance() << ")";
  }
  RgbImage a, b;
};

}  // namespace

// Every effect as a frei0r host lists it: kind, colour model, parameters named by the catalogue,
// each with an explanation, and the descriptors' defaults as the instance's initial values.
TEST(Frei0rInfo, EveryEffectShowsItsDescriptors) {
  for (const EffectCase& effect : effects()) {
    SCOPED_TRACE(effect.name);
    Frei0rPlugin plugin(effect.name);
    ASSERT_TRUE(plugin.loaded());
    EXPECT_EQ(plugin.init(), 1);
    f0r_plugin_info_t info{};
    plugin.pluginInfo(&info);
    EXPECT_EQ(std::string(info.name), std::string("KT3 ") + effect.name);
    EXPECT_EQ(info.plugin_type, effect.mixer ? F0R_PLUGIN_TYPE_MIXER2 : F0R_PLUGIN_TYPE_FILTER);
    EXPECT_EQ(info.color_model, F0R_COLOR_MODEL_RGBA8888);
    EXPECT_EQ(info.frei0r_version, FREI0R_MAJOR_VERSION);
    ASSERT_EQ(info.num_params, static_cast<int>(effect.names.size()));
    EXPECT_GT(std::string(info.explanation).size(), 10u);
    for (int i = 0; i < info.num_params; ++i) {
      f0r_param_info_t param{};
      plugin.paramInfo(&param, i);
      EXPECT_EQ(param.name, effect.names[static_cast<size_t>(i)]);
      EXPECT_EQ(param.type, std::string(param.name) == "colour" ? F0R_PARAM_COLOR : F0R_PARAM_DOUBLE);
      EXPECT_GT(std::string(param.explanation).size(), 5u) << param.name;
    }
  }
  Frei0rPlugin halves("Halves");
  f0r_param_info_t layout{};
  halves.paramInfo(&layout, 2);
  EXPECT_NE(std::string(layout.explanation).find("0.142857 = Input 1 in from the left"), std::string::npos)
      << layout.explanation;
  f0r_param_info_t share{};
  halves.paramInfo(&share, 3);
  EXPECT_NE(std::string(share.explanation).find("1..99"), std::string::npos) << share.explanation;

  f0r_instance_t instance = halves.construct(64, 36);
  EXPECT_DOUBLE_EQ(get(halves, instance, "progress"), 0.0);
  EXPECT_DOUBLE_EQ(get(halves, instance, "share"), 50.0 / 99.0);  // 50 of 1..99
  EXPECT_DOUBLE_EQ(get(halves, instance, "frames"), 0.0);  // no length given: 10000 steps
  EXPECT_DOUBLE_EQ(get(halves, instance, "hold"), 0.5);
  halves.destruct(instance);

  Frei0rPlugin bump("Bump");
  instance = bump.construct(64, 36);
  EXPECT_DOUBLE_EQ(get(bump, instance, "light"), 3.0 / 7.0);  // entry 3 (down-right) of eight
  bump.destruct(instance);

  Frei0rPlugin fog("Fog");
  instance = fog.construct(64, 36);
  f0r_param_color_t colour{};
  fog.getParam(instance, &colour, fog.paramIndex("colour"));
  EXPECT_FLOAT_EQ(colour.r, 1.0f);  // the default OpPixel white
  EXPECT_FLOAT_EQ(colour.g, 1.0f);
  EXPECT_FLOAT_EQ(colour.b, 1.0f);
  double nothing = 0;
  fog.setParam(instance, &nothing, 99);       // no such parameter: ignored
  fog.setParam(instance, nullptr, 0);         // no value: ignored
  f0r_param_info_t none{};
  fog.paramInfo(&none, 7);
  EXPECT_STREQ(none.name, "");
  fog.destruct(instance);
}

// Each of the nine effects, set away from its defaults, against ophost at the same position: the
// doubles map onto the same descriptor values and progress onto the same position / length.
TEST_F(Frames, EveryEffectRendersAsOphostDoes) {
  struct Setting {
    const char* effect;
    std::vector<std::pair<std::string, double>> values;  // frei0r side
    std::vector<std::string> settings;                    // the same for ophost
  };
  const std::vector<Setting> cases = {
      {"Halves", {{"fill", 1}, {"layout", 5.0 / 7.0}, {"share", 0.26}, {"hold", 0.2}},
       {"fill=squeeze", "layout=left-return", "share=26", "hold=20"}},
      {"Jolt", {{"mode", 1}}, {"mode=zoom-out"}},
      {"Blinds", {{"direction", 1.0 / 3.0}, {"motion", 1}, {"count", 0.55}, {"timing", 1}},
       {"direction=right", "motion=fixed", "count=11", "timing=staggered"}},
      {"Ripples", {{"softness", 0.4}, {"direction", 1}}, {"softness=40", "direction=3"}},
      {"Slant", {{"softness", 0.9}, {"direction", 2.0 / 3.0}}, {"softness=90", "direction=2"}},
      {"Streaks", {{"softness", 0.05}, {"direction", 1}}, {"softness=5", "direction=1"}},
      {"Sunbeams", {{"softness", 0.63}}, {"softness=63"}},
      {"Bump", {{"light", 6.0 / 7.0}, {"strength", 0.8}}, {"light=left", "strength=80"}},
      {"Fog", {{"shape", 1}, {"amount", 0.7}}, {"shape=circle", "amount=70"}},
  };
  for (const Setting& c : cases) {
    SCOPED_TRACE(c.effect);
    Frei0rPlugin plugin(c.effect);
    ASSERT_TRUE(plugin.loaded());
    f0r_instance_t instance = plugin.construct(static_cast<unsigned>(a.width),
                                               static_cast<unsigned>(a.height));
    for (const auto& [name, value] : c.values) plugin.set(instance, name, value);
    const bool mixer = std::string(c.effect) != "Fog";
    for (uint32_t position : {0u, 7u, 13u, 20u}) {
      if (!mixer && position > 0) break;
      if (mixer) plugin.set(instance, "progress", position / 20.0);
      const RgbImage bridged = plugin.render(instance, a, b);
      const RgbImage reference = ophostRender(dir, c.effect, dir / "a.png", mixer ? dir / "b.png" : "",
                                              20, position, c.settings);
      expectSame(bridged, reference, std::string(c.effect) + " at " + std::to_string(position) + "/20");
    }
    plugin.destruct(instance);
  }
}

// Several instances of one effect with their own values, rendered from several threads at once:
// each frame is its own instance's, and Fog is opened again whenever the shape it was opened
// with is not the one the next instance asks for.
TEST_F(Frames, InstancesKeepTheirOwnValuesAcrossThreads) {
  Frei0rPlugin fog("Fog");
  Frei0rPlugin ripples("Ripples");
  ASSERT_TRUE(fog.loaded() && ripples.loaded());
  const RgbImage diamond = ophostRender(dir, "Fog", dir / "a.png", "", 20, 0, {"shape=diamond", "amount=60"});
  const RgbImage circle = ophostRender(dir, "Fog", dir / "a.png", "", 20, 0,
                                       {"shape=circle", "amount=60", "colour=#FF8000"});
  const RgbImage soft = ophostRender(dir, "Ripples", dir / "a.png", dir / "b.png", 20, 9, {"softness=80"});
  const RgbImage hard = ophostRender(dir, "Ripples", dir / "a.png", dir / "b.png", 20, 15,
                                     {"softness=0", "direction=1"});

  const auto w = static_cast<unsigned>(a.width), h = static_cast<unsigned>(a.height);
  f0r_instance_t fogs[2] = {fog.construct(w, h), fog.construct(w, h)};
  fog.set(fogs[0], "amount", 0.6);
  fog.set(fogs[1], "amount", 0.6);
  fog.set(fogs[1], "shape", 1);
  fog.setColour(fogs[1], "colour", {1.0f, 128.0f / 255.0f, 0.0f});
  f0r_instance_t wipes[2] = {ripples.construct(w, h), ripples.construct(w, h)};
  ripples.set(wipes[0], "softness", 0.8);
  ripples.set(wipes[0], "progress", 9 / 20.0);
  ripples.set(wipes[1], "softness", 0.0);
  ripples.set(wipes[1], "direction", 1.0 / 3.0);
  ripples.set(wipes[1], "progress", 15 / 20.0);

  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 6; ++round) {
        const int k = (t + round) % 2;
        if (difference(fog.render(fogs[k], a, {}), k == 0 ? diamond : circle).pixels != 0) ++wrong;
        if (difference(ripples.render(wipes[k], a, b), k == 0 ? soft : hard).pixels != 0) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  for (f0r_instance_t instance : fogs) fog.destruct(instance);
  for (f0r_instance_t instance : wipes) ripples.destruct(instance);
}

// Frame sizes an editor may send: odd ones, 4K, and ones the effects cannot take, which pass
// through untouched instead of failing.
TEST_F(Frames, AnyFrameSize) {
  Frei0rPlugin plugin("Ripples");
  ASSERT_TRUE(plugin.loaded());
  for (auto [width, height] : {std::pair{333, 187}, std::pair{3840, 2160}}) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    writeCard(dir / "a_big.png", "grid", width, height);
    writeCard(dir / "b_big.png", "gradient", width, height);
    const RgbImage a1 = readPng(dir / "a_big.png"), b1 = readPng(dir / "b_big.png");
    f0r_instance_t instance = plugin.construct(static_cast<unsigned>(width), static_cast<unsigned>(height));
    plugin.set(instance, "progress", 0.45);
    expectSame(plugin.render(instance, a1, b1),
               ophostRender(dir, "Ripples", dir / "a_big.png", dir / "b_big.png", 20, 9, {}), "Ripples");
    plugin.destruct(instance);
  }

  // Wider than the image record's 16-bit fields: input 1 of the editor passes through.
  const unsigned wide = 40000;
  f0r_instance_t instance = plugin.construct(wide, 1);
  std::vector<uint32_t> in0(wide, 0x11223344u), in1(wide, 0x55667788u), out(wide, 0);
  plugin.update2(instance, 0.0, in0.data(), in1.data(), nullptr, out.data());
  EXPECT_EQ(out, in0);
  plugin.destruct(instance);

  instance = plugin.construct(0, 0);  // nothing to render, nothing touched
  plugin.update2(instance, 0.0, in0.data(), in1.data(), nullptr, out.data());
  plugin.update2(instance, 0.0, nullptr, nullptr, nullptr, out.data());
  plugin.destruct(instance);
  plugin.destruct(nullptr);
}

// Frames an editor sends without an input still give a defined output: without input 0 the frame is
// transparent black (not what the buffer held), without a transition's input 1 input 0 passes.
TEST(Frei0rUpdate, MissingInputsGiveDefinedFrames) {
  Frei0rPlugin ripples("Ripples");
  Frei0rPlugin fog("Fog");
  ASSERT_TRUE(ripples.loaded() && fog.loaded());
  const unsigned w = 12, h = 5;
  const std::vector<uint32_t> in0(w * h, 0xFF203040u), in1(w * h, 0xFF605040u);
  const std::vector<uint32_t> black(w * h, 0u);
  std::vector<uint32_t> out(w * h);

  f0r_instance_t instance = ripples.construct(w, h);
  ripples.set(instance, "progress", 0.5);
  out.assign(w * h, 0xDEADBEEFu);
  ripples.update2(instance, 0.0, nullptr, in1.data(), nullptr, out.data());
  EXPECT_EQ(out, black) << "transition without input 0";
  out.assign(w * h, 0xDEADBEEFu);
  ripples.update2(instance, 0.0, in0.data(), nullptr, nullptr, out.data());
  EXPECT_EQ(out, in0) << "transition without input 1";
  ripples.destruct(instance);

  instance = fog.construct(w, h);
  out.assign(w * h, 0xDEADBEEFu);
  fog.update(instance, 0.0, nullptr, out.data());
  EXPECT_EQ(out, black) << "filter without its input";
  fog.destruct(instance);
}

// frei0r's alpha travels as the key: a transition blends it like the colour bytes.
TEST_F(Frames, AlphaTravelsAsTheKey) {
  Frei0rPlugin plugin("Sunbeams");
  ASSERT_TRUE(plugin.loaded());
  f0r_instance_t instance = plugin.construct(16, 8);
  std::vector<uint32_t> in0 = rgbaOf(RgbImage(16, 8)), in1 = in0, out(in0.size(), 0);
  for (uint32_t& pixel : in0) pixel = (pixel & 0x00FFFFFFu) | 0x40000000u;  // alpha 64
  plugin.set(instance, "progress", 0.0);
  plugin.update2(instance, 0.0, in0.data(), in1.data(), nullptr, out.data());
  for (uint32_t pixel : out) EXPECT_EQ(pixel >> 24, 64u);
  plugin.set(instance, "progress", 1.0);
  plugin.update2(instance, 0.0, in0.data(), in1.data(), nullptr, out.data());
  for (uint32_t pixel : out) EXPECT_EQ(pixel >> 24, 255u);
  plugin.destruct(instance);
}

namespace {

// The bridge names parameters and entries with the host's one vocabulary, so an editor's saved
// settings and an ophost command line use the same words, also for what the catalogue lacks.
TEST(BridgeVocabulary, NamesWhatTheCatalogueLacksAsTheCommandLineDoes) {
  ophost::OperatorModel model;
  ophost::ParamModel text;
  text.kind = ophost::ParamKind::Choice;
  text.label = 9990;  // no catalogue string
  text.entries = {9991, 9992};
  text.max = 1;
  ophost::ParamModel directions = text;
  directions.label = 610;  // Blinds' direction: in the catalogue
  directions.style = CHOICE_STYLE_DIRECTIONS;
  directions.entries = {1, 9};
  model.params = {text, directions};
  const auto bridged = kt3frei0r::bridgeParams(model, false);
  ASSERT_EQ(bridged.size(), 2u);
  EXPECT_EQ(bridged[0].name, ophost::paramName(model.params[0], 0));
  EXPECT_EQ(bridged[0].name, "param1");
  EXPECT_EQ(bridged[1].name, ophost::paramName(model.params[1], 1));
  for (size_t p = 0; p < 2; ++p) {
    for (size_t e = 0; e < 2; ++e) EXPECT_EQ(bridged[p].entryNames[e], ophost::entryName(model.params[p], e));
  }
  EXPECT_EQ(bridged[0].entryNames, (std::vector<std::string>{"entry0", "entry1"}));
  EXPECT_EQ(bridged[1].entryNames, (std::vector<std::string>{"up", "code9"}));
}

}  // namespace
