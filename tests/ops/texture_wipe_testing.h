// What the tests of the four texture threshold wipes share: a plain reference of the wipe rule,
// test textures, a harness that serves a texture and checks each render's calls, and the checks
// that every wipe must pass the same way (descriptor words, open and close, missing inputs, the
// band's worked values and the mended progress cases).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "test_host.h"

namespace wipetest {

using namespace optest;
using ophost::LogRecord;

struct WipeModule {
  const char* name;     // the plug-in, "Ripples"
  const char* texture;  // its texture file inside the texture directory, "ripples.png"
  const char* source;   // the source path its log records carry
  uint32_t code;        // its module code
  int32_t line0;        // the lines its missing inputs are logged at
  int32_t line1;
};

// E and L of a forward run, from the rule: E = softness * 255 / 100, L = (E + 255) * position /
// length. Length 0 counts as the start, a position past the end as the end.
struct Band {
  int e;
  int l;
};
inline Band forwardBand(int softness, uint32_t position, uint32_t length) {
  const int e = softness * 255 / 100;
  if (length == 0) return {e, 0};
  if (position > length) position = length;
  return {e, static_cast<int>(static_cast<uint64_t>(e + 255) * position / length)};
}

// The rule over the active area: texel t < L - E takes `source`, L - E <= t < L blends with
// w = t + E - L, t >= L keeps `painted`. `texel(j, i)` is the texel of area column j, row i.
inline Picture referenceWipe(Picture painted, const Picture& source, Band band,
                             const std::function<int(int j, int i)>& texel) {
  const Geometry& g = painted.geometry;
  for (int i = 0; i < g.height; ++i) {
    for (int j = 0; j < g.width; ++j) {
      const int t = texel(j, i);
      uint8_t* p = painted.area(j, i);
      const uint8_t* q = source.area(j, i);
      for (int k = 0; k < 4; ++k) {
        if (t < band.l - band.e) {
          p[k] = q[k];
        } else if (t < band.l) {
          const int w = t + band.e - band.l;
          p[k] = static_cast<uint8_t>((p[k] * w + q[k] * (band.e - w)) / band.e);
        }
      }
    }
  }
  return painted;
}

// Frames every wipe is compared with the reference at: softness, position, length.
struct WipeFrame {
  int softness;
  uint32_t position;
  uint32_t length;
};
inline const std::vector<WipeFrame> kFrames = {{20, 50, 100}, {0, 37, 90}, {100, 3, 7},
                                               {1, 299, 300}, {63, 1, 1},  {50, 0, 10}};

// A grey texture of pseudo-random texels that takes every grey level.
inline Picture patternTexture(int w, int h, uint32_t seed) {
  return greyPicture(w, h, [seed](int k, int r) {
    uint32_t s = (static_cast<uint32_t>(r) * 7919u + static_cast<uint32_t>(k)) * 2654435761u + seed;
    s ^= s >> 15;
    return (s * 2246822519u) >> 24;
  });
}

// A texture of 255 with a single texel of 0 at (k, r): at a low level with a hard edge only the
// pixels that read that texel change.
inline Picture oneDarkTexel(int w, int h, int k, int r) {
  return greyPicture(w, h,
                     [k, r](int column, int row) { return column == k && row == r ? 0 : 255; });
}

// Byte r * stride + k of a texture's buffer: how the wipes read texel (k, r).
inline int texelByte(const Picture& texture, int stride, int k, int r) {
  return texture.bytes.at(static_cast<size_t>(r) * static_cast<size_t>(stride) +
                          static_cast<size_t>(k));
}

// The active-area pixels (column j, row i) in which two pictures differ.
using Pixels = std::vector<std::pair<int, int>>;
inline Pixels changedPixels(const Picture& a, const Picture& b) {
  Pixels out;
  for (int i = 0; i < a.geometry.height; ++i)
    for (int j = 0; j < a.geometry.width; ++j)
      if (std::memcmp(a.area(j, i), b.area(j, i), 4) != 0) out.emplace_back(j, i);
  return out;
}

class WipeHarness {
 public:
  explicit WipeHarness(const WipeModule& m) : module(m), plugin(loadPlugin(m.name)) {
    plugin->setTextureProvider([this](const std::string& name) -> std::shared_ptr<const Picture> {
      EXPECT_EQ(name, module.texture);
      return texture;
    });
  }

  const WipeModule module;
  std::unique_ptr<ophost::Plugin> plugin;
  std::shared_ptr<const Picture> texture;  // what the host serves; null: the file cannot be had

  std::string loadCall() const { return std::string("texture /programs/kt3/") + module.texture; }
  std::string freeCall() const { return std::string("free texture ") + module.texture; }

  // Opens with `served` as the texture file's content.
  void open(const Picture& served) {
    texture = std::make_shared<const Picture>(served);
    const ActionResult result = plugin->open();
    expectNoFaults(result);
    ASSERT_EQ(result.status, 0);
    ASSERT_EQ(plugin->heldTextures().size(), 1u);
  }

  // Renders one frame; checks its calls (the painting source freed, the painted image put) and
  // that the source came back unwritten. Returns the output.
  Picture render(const Picture& input0, const Picture& input1, ActionRequest request,
                 bool backward = false) {
    plugin->setFieldProvider(fixedInputs(input0, input1));
    const ActionResult result = plugin->render(request);
    expectNoFaults(result);
    EXPECT_EQ(result.status, 0);
    const std::string painted = backward ? "input 1" : "input 0";
    const std::string source = backward ? "input 0" : "input 1";
    EXPECT_EQ(result.briefCalls(),
              (std::vector<std::string>{"get 0", "get 1", "free " + source, "put " + painted}));
    EXPECT_EQ(result.calls.at(0).position, request.position);
    EXPECT_EQ(result.calls.at(1).position, request.position);
    if (result.freed.size() == 1) {
      EXPECT_EQ(result.freed[0].content, backward ? input0 : input1)
          << "the painting source was written";
    }
    return result.output.value_or(Picture{});
  }
};

// The tag list and the softness slider every wipe starts with; returns the model.
inline const ophost::OperatorModel& expectDescriptor(const WipeHarness& h, const char* ident,
                                                     uint32_t block, size_t params) {
  const auto& model = h.plugin->model();
  const uintptr_t tags[] = {OPE_Tag00, OPE_Tag01,  OPE_Action, OPE_Ident,
                            OPE_Tag0D, OPE_Param1, OPE_Param2};
  EXPECT_EQ(model.pairs.size(), 5 + params);
  for (size_t n = 0; n < model.pairs.size() && n < 7; ++n)
    EXPECT_EQ(model.pairs[n].first, tags[n]) << n;
  EXPECT_EQ(model.pairs.at(0).second, 0u);
  EXPECT_EQ(model.pairs.at(1).second, 0u);
  EXPECT_EQ(model.pairs.at(4).second, 2u);
  EXPECT_EQ(model.ident, ident);
  const auto* slider = reinterpret_cast<const uint32_t*>(model.pairs.at(5).second);
  const uint32_t words[] = {2u | (block + 10) << 16, 0, block + 11, 0, 0, 100, 20};
  EXPECT_EQ(std::memcmp(slider, words, sizeof words), 0);
  return model;
}

inline void expectDirectionChoice(const ophost::OperatorModel& model, uint32_t label,
                                  const std::vector<uint32_t>& codes, int32_t initial) {
  const auto* choice = reinterpret_cast<const ParamChoice*>(model.pairs.at(6).second);
  EXPECT_EQ(choice->head, 0u | label << 16);
  EXPECT_EQ(choice->style, 1u);
  EXPECT_EQ(choice->value, initial);
  std::vector<uint32_t> entries;
  for (const uint32_t* e = choice->entries; *e != 0; ++e) entries.push_back(*e);
  EXPECT_EQ(entries, codes);
}

// Dispatch, open and close. `tooSmall` are textures the render would read past; a failed or
// refused load logs at `openLine` (0: logs nothing).
inline void checkLifecycle(WipeHarness& h, const std::vector<Picture>& tooSmall, int32_t openLine,
                           const Picture& good) {
  const std::vector<LogRecord> openLog =
      openLine == 0 ? std::vector<LogRecord>{}
                    : std::vector<LogRecord>{{4, openLine, h.module.source, h.module.code, " "}};
  const std::vector<std::string> logCall =
      openLine == 0 ? std::vector<std::string>{}
                    : std::vector<std::string>{"log " + std::to_string(openLine)};
  auto plus = [](std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  int fetches = 0;
  h.plugin->setFieldProvider([&](int32_t, uint32_t) -> std::shared_ptr<const Picture> {
    ++fetches;
    return nullptr;
  });
  auto expectRenderRefused = [&](const char* when) {
    const ActionResult render = h.plugin->render(at(1, 2));
    EXPECT_EQ(render.status, -1) << when;
    EXPECT_TRUE(render.calls.empty()) << when;
  };

  for (int action : {0, 4, 5, 6, 7, 65535}) {
    const ActionResult result = h.plugin->act(static_cast<uint16_t>(action), at(1, 2));
    EXPECT_EQ(result.status, 0) << action;
    EXPECT_TRUE(result.calls.empty()) << action;
  }
  const ActionResult idleClose = h.plugin->close();
  EXPECT_EQ(idleClose.status, 0);
  EXPECT_TRUE(idleClose.calls.empty());
  expectRenderRefused("never opened");

  h.texture = nullptr;
  const ActionResult missing = h.plugin->open();
  expectNoFaults(missing);
  EXPECT_EQ(missing.status, -1);
  EXPECT_EQ(missing.briefCalls(), plus({h.loadCall()}, logCall));
  EXPECT_EQ(missing.logs, openLog);
  expectRenderRefused("after a failed load");

  for (const Picture& small : tooSmall) {
    h.texture = std::make_shared<const Picture>(small);
    const ActionResult refused = h.plugin->open();
    expectNoFaults(refused);
    EXPECT_EQ(refused.status, -1) << small.geometry.describe();
    EXPECT_EQ(refused.briefCalls(), plus({h.loadCall(), h.freeCall()}, logCall));
    EXPECT_EQ(refused.logs, openLog);
    EXPECT_TRUE(h.plugin->heldTextures().empty());
    expectRenderRefused("after a refused texture");
  }

  h.texture = std::make_shared<const Picture>(good);
  const ActionResult first = h.plugin->open();
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(first.briefCalls(), std::vector<std::string>{h.loadCall()});
  const ActionResult second = h.plugin->open();
  expectNoFaults(second);
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(second.briefCalls(), (std::vector<std::string>{h.freeCall(), h.loadCall()}));
  EXPECT_EQ(h.plugin->heldTextures().size(), 1u);
  const ActionResult close = h.plugin->close();
  expectNoFaults(close);
  EXPECT_EQ(close.briefCalls(), std::vector<std::string>{h.freeCall()});
  EXPECT_TRUE(h.plugin->close().calls.empty()) << "a second close finds the slot empty";
  expectRenderRefused("after close");
  EXPECT_EQ(fetches, 0);
}

inline void checkMissingInputs(WipeHarness& h, const Picture& texture) {
  h.open(texture);
  const auto picture = std::make_shared<const Picture>(noisePicture(Geometry::exact(6, 5), 1));
  h.plugin->setFieldProvider(fixedInputs(nullptr, picture));
  const ActionResult noInput0 = h.plugin->render(at(5, 10));
  EXPECT_EQ(noInput0.status, -1);
  EXPECT_EQ(noInput0.briefCalls(),
            (std::vector<std::string>{"get 0", "log " + std::to_string(h.module.line0)}));
  EXPECT_EQ(noInput0.logs,
            (std::vector<LogRecord>{{4, h.module.line0, h.module.source, h.module.code, " "}}));
  expectNoFaults(noInput0);

  h.plugin->setFieldProvider(fixedInputs(picture, nullptr));
  const ActionResult noInput1 = h.plugin->render(at(5, 10));
  EXPECT_EQ(noInput1.status, -1);
  EXPECT_EQ(noInput1.briefCalls(),
            (std::vector<std::string>{"get 0", "get 1", "log " + std::to_string(h.module.line1)}));
  EXPECT_EQ(noInput1.logs,
            (std::vector<LogRecord>{{4, h.module.line1, h.module.source, h.module.code, " "}}));
  EXPECT_EQ(noInput1.reclaimed, std::vector<std::string>{"input 0"});
  expectNoFaults(noInput1);
}

// The band's worked values through a plug-in's mapping: on a 286 x 228 frame that reads a
// 286 x 228 texture one to one (the plug-in set up so), texture row 0 holds the grey levels
// 0..255 from the left. At softness 20, position 50 of 100 (E = 51, L = 153), with the painted
// image's bytes {200, 0, 255, 100} and the source's {10, 255, 0, 100}.
inline Picture rampTexture() {
  return greyPicture(286, 228, [](int k, int r) { return r == 0 && k < 256 ? k : 255; });
}
inline void checkWorkedBand(WipeHarness& h, bool backward = false) {
  const Geometry g = Geometry::exact(286, 228);
  const Picture kept = solidPicture(g, 0x64FF00C8u);      // bytes 200, 0, 255, 100
  const Picture incoming = solidPicture(g, 0x6400FF0Au);  // bytes 10, 255, 0, 100
  const Picture out = backward ? h.render(incoming, kept, at(50, 100), true)
                               : h.render(kept, incoming, at(50, 100));
  auto bytes = [&](int j) { return std::vector<int>(out.area(j, 0), out.area(j, 0) + 4); };
  EXPECT_EQ(bytes(0), (std::vector<int>{10, 255, 0, 100}));
  EXPECT_EQ(bytes(101), (std::vector<int>{10, 255, 0, 100}));
  EXPECT_EQ(bytes(102), (std::vector<int>{10, 255, 0, 100}));
  EXPECT_EQ(bytes(127), (std::vector<int>{103, 130, 125, 100}));
  EXPECT_EQ(bytes(152), (std::vector<int>{196, 5, 250, 100}));
  EXPECT_EQ(bytes(153), (std::vector<int>{200, 0, 255, 100}));
  EXPECT_EQ(bytes(255), (std::vector<int>{200, 0, 255, 100}));
  EXPECT_EQ(out.pixel(0, 1), kept.pixel(0, 1)) << "texels of 255 elsewhere keep the pixel";
}

// The ends of a forward run, and the mended progress cases: length 0 renders as the start, a
// position past the end as the end, and a length beyond 8.4 million steps still ends on input 1.
// Leaves the plug-in open with a texture of 255 throughout.
inline void checkForwardEnds(WipeHarness& h, const Geometry& g) {
  const Picture input0 = noisePicture(g, 41);
  const Picture input1 = noisePicture(g, 42);
  h.plugin->setValue(0, 20);
  EXPECT_EQ(h.render(input0, input1, at(0, 100)), input0);
  EXPECT_EQ(changedPixels(h.render(input0, input1, at(100, 100)), input1), Pixels{});
  EXPECT_EQ(h.render(input0, input1, at(0, 0)), input0) << "length 0";
  EXPECT_EQ(h.render(input0, input1, at(9, 0)), input0) << "length 0";
  EXPECT_EQ(h.render(input0, input1, at(250, 100)), h.render(input0, input1, at(100, 100)));
  h.plugin->setValue(0, 100);
  EXPECT_EQ(changedPixels(h.render(input0, input1, at(10000000, 10000000)), input1), Pixels{})
      << "a long effect ends on input 1";
  EXPECT_EQ(h.render(input0, input1, at(9000000, 10000000)), h.render(input0, input1, at(459, 510)))
      << "L = 459 either way";
  // A hard edge keeps texels of 255 on input 0 at the end, and past it.
  h.open(greyPicture(286, 228, [](int, int) { return 255; }));
  h.plugin->setValue(0, 0);
  EXPECT_EQ(h.render(input0, input1, at(100, 100)), input0);
  EXPECT_EQ(h.render(input0, input1, at(250, 100)), input0) << "past the end";
}

}  // namespace wipetest
