// The bridge library behind every per-effect frei0r plug-in (kt3_NAME.so). It loads the effect's
// plug-in (NAME.so in ../plugins from the bridge library's own file: build/plugins from
// build/lib, PREFIX/lib/kt3/plugins from PREFIX/lib/kt3/lib) once per process through
// the host runtime, keeps each frei0r instance's parameter values, and renders one instance at a
// time per effect: it writes that instance's values into the descriptors, re-opens the plug-in when
// an open-time value differs from the one it was opened with, and converts the frames both ways.
//
// Every function here is safe to call from any thread, and none of them throws: a failure is said
// on stderr and the frame passes through unchanged (input 1 of the editor's frames).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "parameters.h"

namespace kt3frei0r {

// What one frei0r plug-in stands for.
// Whether it is a mixer (two inputs: the transitions and Bump) or a filter (Fog) is the host's
// catalogue's to say.
struct EffectRef {
  const char* name;  // the plug-in's name: "Halves"
};

KT3_FREI0R_API int init(const EffectRef& effectRef);
KT3_FREI0R_API void pluginInfo(const EffectRef& effectRef, f0r_plugin_info_t* info);
KT3_FREI0R_API void paramInfo(const EffectRef& effectRef, f0r_param_info_t* info, int index);
KT3_FREI0R_API f0r_instance_t construct(const EffectRef& effectRef, unsigned width, unsigned height);
KT3_FREI0R_API void destruct(f0r_instance_t instance);
KT3_FREI0R_API void setParam(f0r_instance_t instance, f0r_param_t param, int index);
KT3_FREI0R_API void getParam(f0r_instance_t instance, f0r_param_t param, int index);
// A frame (or a band of one an editor cut it into: see band_guard.h, refused) at frei0r time `time`.
KT3_FREI0R_API void update(f0r_instance_t instance, double time, const uint32_t* input0,
                           const uint32_t* input1, uint32_t* output);

// The effect's frei0r parameters (what the Kdenlive descriptors are written from); empty, with
// `problem` set, when its plug-in cannot be loaded.
KT3_FREI0R_API std::vector<BridgeParam> describe(const EffectRef& effectRef, std::string* problem);

}  // namespace kt3frei0r
