// Findings already recorded in fuzz/findings/, each with a way to steer a case around it, so a long
// run is not stopped again and again by the same fault and the plug-in's other paths get their time
// (OPFUZZ_SKIP=known, or a comma list of names). An entry goes when its plug-in is mended.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "fuzz_case.h"
#include "plugin.h"

namespace opfuzz {

struct KnownFinding {
  std::string name;    // "Plugin.what", as recorded in fuzz/findings/
  std::string plugin;  // the plug-in it is in
  // Changes the case so it no longer reaches the fault (the rest of the case is kept).
  std::function<void(FuzzCase&, const ophost::Plugin&)> steer;
};

// Steers parameter `k` (0-based) into its range wherever the case writes it a word for which
// `reaches(value)` holds; other out-of-range words are left for the fuzzer.
inline std::function<void(FuzzCase&, const ophost::Plugin&)> keepInRangeWhen(
    size_t k, std::function<bool(int32_t)> reaches) {
  return [k, reaches](FuzzCase& c, const ophost::Plugin& plugin) {
    if (k >= plugin.model().params.size()) return;
    const ophost::ParamModel& param = plugin.model().params[k];
    auto steer = [&](ParamSetting& p) {
      if (p.kind != ParamSetting::Kind::InRange && reaches(static_cast<int32_t>(p.resolve(param)))) {
        p.kind = ParamSetting::Kind::InRange;
      }
    };
    steer(c.params[k]);
    for (Step& s : c.steps) {
      if (s.changeParam == static_cast<int>(k)) steer(s.change);
    }
  };
}

// Empty while every recorded finding is mended (Fog's amount, the wipes' softness and Blinds' count
// were, in the commit that brought the fuzz targets); an entry, for example
//   {"Fog.amount", "Fog", keepInRangeWhen(1, [](int32_t v) { return v > 4194303 || v < -4194304; })},
// comes with each new finding recorded in fuzz/findings/ and goes with its fix.
inline const std::vector<KnownFinding>& knownFindings() {
  static const std::vector<KnownFinding> known = {};
  return known;
}

}  // namespace opfuzz
