#include "fuzz_case.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <sstream>

namespace opfuzz {
namespace {

constexpr int32_t kMaxArea = 300;   // active areas up to 300 x 300, so one run stays quick
constexpr int32_t kMaxMargin = 24;  // offsets and spare columns and rows around the area

int32_t sideLength(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 5: return 0;
    case 4: return 1;
    case 1: return in.ConsumeIntegralInRange<int32_t>(2, 8);
    case 0: return in.ConsumeIntegralInRange<int32_t>(9, 64);
    default: return in.ConsumeIntegralInRange<int32_t>(0, kMaxArea);
  }
}

int32_t margin(FuzzedDataProvider& in) {
  return in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<int32_t>(1, kMaxMargin);
}

ParamSetting paramSetting(FuzzedDataProvider& in) {
  ParamSetting p;
  const int kind = in.ConsumeIntegralInRange<int>(0, 7);
  p.kind = kind < 4 ? ParamSetting::Kind::InRange
           : kind == 4 ? ParamSetting::Kind::AboveRange
           : kind == 5 ? ParamSetting::Kind::BelowRange
                       : ParamSetting::Kind::Word;
  if (p.kind == ParamSetting::Kind::AboveRange || p.kind == ParamSetting::Kind::BelowRange) {
    p.word = in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<uint32_t>(0, 1000);
  } else if (p.kind == ParamSetting::Kind::Word && in.ConsumeBool()) {
    const uint32_t specials[] = {0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu, 0x8000u, 0xFFFFu, 0x10000u};
    p.word = in.PickValueInArray(specials);
  } else {
    p.word = in.ConsumeIntegral<uint32_t>();
  }
  return p;
}

uint32_t anyLength(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 6)) {
    case 6: return 0;
    case 5: return 1;
    case 4: return 0xFFFFFFFFu;
    case 3: return in.ConsumeIntegral<uint32_t>();
    case 2: return 0x80000000u;
    default: return in.ConsumeIntegralInRange<uint32_t>(2, 200);
  }
}

uint32_t anyPosition(FuzzedDataProvider& in, uint32_t length) {
  switch (in.ConsumeIntegralInRange<int>(0, 6)) {
    case 6: return 0;
    case 5: return length;
    case 4: return length + 1;
    case 3: return length - 1;
    case 2: return in.ConsumeIntegral<uint32_t>();
    default: return length == 0 ? 0 : in.ConsumeIntegralInRange<uint32_t>(0, length);
  }
}

int16_t anyScale(FuzzedDataProvider& in) {
  const int16_t specials[] = {0, 1, -1, 2, 32767, -32768, 100};
  return in.ConsumeBool() ? in.PickValueInArray(specials) : in.ConsumeIntegral<int16_t>();
}

}  // namespace

uint32_t ParamSetting::resolve(const ophost::ParamModel& param) const {
  switch (kind) {
    case Kind::InRange: {
      const uint64_t span = static_cast<uint64_t>(param.highest() - param.lowest()) + 1;
      return static_cast<uint32_t>(param.lowest() + static_cast<int64_t>(word % span));
    }
    case Kind::AboveRange: return static_cast<uint32_t>(param.highest() + 1 + word);
    case Kind::BelowRange: return static_cast<uint32_t>(param.lowest() - 1 - static_cast<int64_t>(word));
    case Kind::Word: return word;
  }
  return word;
}

FuzzCase decodeCase(const uint8_t* data, size_t size, size_t pluginCount) {
  FuzzedDataProvider in(data, size);
  FuzzCase c;
  c.plugin = pluginCount == 0 ? 0 : in.ConsumeIntegral<uint8_t>() % pluginCount;

  ophost::Geometry& g = c.geometry;
  g.width = sideLength(in);
  g.height = sideLength(in);
  g.x = margin(in);
  g.y = margin(in);
  g.stride = g.x + g.width + margin(in);
  g.rows = g.y + g.height + margin(in);
  c.input1Misfit = in.ConsumeIntegralInRange<int>(0, 15) == 15;
  c.seed0 = in.ConsumeIntegral<uint32_t>();
  c.seed1 = in.ConsumeIntegral<uint32_t>();
  for (ParamSetting& p : c.params) p = paramSetting(in);

  TextureSetting& t = c.texture;
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: case 1: case 2: t.kind = TextureSetting::Kind::Real; break;
    case 3: t.kind = TextureSetting::Kind::Null; break;
    case 4: t.kind = TextureSetting::Kind::Refused; break;
    default: t.kind = TextureSetting::Kind::Sized; break;
  }
  switch (in.ConsumeIntegralInRange<int>(0, 4)) {
    case 0: t.width = 1; t.height = 1; break;
    case 1: t.width = in.ConsumeIntegralInRange<int32_t>(1, 8); t.height = in.ConsumeIntegralInRange<int32_t>(1, 8); break;
    case 2: t.width = in.ConsumeIntegralInRange<int32_t>(1, 1200); t.height = in.ConsumeIntegralInRange<int32_t>(1, 1200); break;
    default: t.width = in.ConsumeIntegralInRange<int32_t>(1, 400) | 1; t.height = in.ConsumeIntegralInRange<int32_t>(1, 400) | 1; break;
  }
  t.seed = in.ConsumeIntegral<uint32_t>();

  c.allocAnswersNull = in.ConsumeIntegralInRange<int>(0, 5) == 5;
  c.checks = in.ConsumeIntegralInRange<int>(0, 7) != 7;
  c.abort = in.ConsumeIntegralInRange<int>(0, 7) == 7;
  c.putStatus = in.ConsumeIntegralInRange<int>(0, 7) == 7 ? -1 : 0;
  if (in.ConsumeBool()) c.newImageFill = in.ConsumeIntegral<uint32_t>();

  const int steps = in.ConsumeIntegralInRange<int>(1, 8);
  for (int n = 0; n < steps && (n == 0 || in.remaining_bytes() > 0); ++n) {
    Step s;
    switch (in.ConsumeIntegralInRange<int>(0, 9)) {
      case 0: s.action = n == 0 ? ACTION_OPEN : ACTION_RENDER; break;
      case 1: case 2: s.action = ACTION_OPEN; break;
      case 3: s.action = ACTION_CLOSE; break;
      case 4: s.action = in.ConsumeIntegral<uint16_t>(); break;
      default: s.action = ACTION_RENDER; break;
    }
    s.request.length = anyLength(in);
    s.request.position = anyPosition(in, s.request.length);
    s.request.flags = in.ConsumeBool() ? 0 : in.ConsumeIntegral<uint8_t>();
    s.request.scaleNum = anyScale(in);
    s.request.scaleDen = anyScale(in);
    s.missing = in.ConsumeIntegralInRange<int>(0, 5) == 5 ? in.ConsumeIntegralInRange<uint8_t>(1, 3) : 0;
    if (in.ConsumeIntegralInRange<int>(0, 5) == 5) {
      s.changeParam = in.ConsumeIntegralInRange<int>(0, 3);
      s.change = paramSetting(in);
    }
    c.steps.push_back(s);
  }
  return c;
}

namespace {

std::string actionName(uint16_t action) {
  switch (action) {
    case ACTION_OPEN: return "open";
    case ACTION_CLOSE: return "close";
    case ACTION_RENDER: return "render";
    default: return "action " + std::to_string(action);
  }
}

std::string paramText(const ParamSetting& p, const ophost::Plugin& plugin, size_t k) {
  const auto& params = plugin.model().params;
  if (k >= params.size()) return "(no such parameter)";
  const ophost::ParamModel& m = params[k];
  const uint32_t word = p.resolve(m);
  std::ostringstream out;
  out << (m.kind == ophost::ParamKind::Colour ? static_cast<int64_t>(word)
                                              : static_cast<int64_t>(static_cast<int32_t>(word)));
  if (p.kind != ParamSetting::Kind::InRange) {
    out << " (0x" << std::hex << word << std::dec << ", written into the value word; range "
        << m.lowest() << ".." << m.highest() << ")";
  }
  return out.str();
}

}  // namespace

std::string describeCase(const FuzzCase& c, const ophost::Plugin& plugin) {
  std::ostringstream out;
  const ophost::Geometry& g = c.geometry;
  out << "plug-in " << plugin.name() << "\n";
  out << "inputs: " << g.describe() << ", noise seeds " << c.seed0 << ", " << c.seed1
      << (c.input1Misfit ? "; input 1 laid out differently (refused by the host)" : "") << "\n";
  for (size_t k = 0; k < plugin.model().params.size() && k < 4; ++k) {
    out << "parameter " << k + 1 << ": " << paramText(c.params[k], plugin, k) << "\n";
  }
  out << "texture: ";
  switch (c.texture.kind) {
    case TextureSetting::Kind::Real: out << "the host's own file (when built)"; break;
    case TextureSetting::Kind::Null: out << "none (the host answers null)"; break;
    case TextureSetting::Kind::Refused: out << "refused (the host cannot read it)"; break;
    case TextureSetting::Kind::Sized:
      out << c.texture.width << "x" << c.texture.height << " grey, seed " << c.texture.seed;
      break;
  }
  out << "\nhost: checks " << (c.checks ? "on" : "off") << ", opAllocImage "
      << (c.allocAnswersNull ? "answers null" : "serves") << ", opPutField answers " << c.putStatus
      << ", opChkAbort answers " << (c.abort ? 1 : 0) << ", new images filled 0x" << std::hex
      << c.newImageFill << std::dec << "\n";
  int n = 1;
  for (const Step& s : c.steps) {
    out << "step " << n++ << ": ";
    if (s.changeParam >= 0) {
      out << "set parameter " << s.changeParam + 1 << " to "
          << paramText(s.change, plugin, static_cast<size_t>(s.changeParam)) << "; ";
    }
    out << actionName(s.action) << " length " << s.request.length << " position "
        << s.request.position << " flags " << int(s.request.flags) << " scale " << s.request.scaleNum
        << "/" << s.request.scaleDen;
    if (s.missing & 1) out << ", input 0 missing";
    if (s.missing & 2) out << ", input 1 missing";
    out << "\n";
  }
  out << "then: close\n";
  return out.str();
}

}  // namespace opfuzz
