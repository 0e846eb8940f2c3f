// One frei0r plug-in: the effect KT3_EFFECT (a two-input mixer, or a filter for Fog).
// Built once per effect as kt3_NAME.so; everything is done by the bridge library.
#include "bridge.h"

#define KT3_FREI0R_ENTRY extern "C" __attribute__((visibility("default")))

namespace {
const kt3frei0r::EffectRef kEffect{KT3_EFFECT};
}  // namespace

KT3_FREI0R_ENTRY int f0r_init() { return kt3frei0r::init(kEffect); }
KT3_FREI0R_ENTRY void f0r_deinit() {}  // the loaded plug-in stays for the next instance
KT3_FREI0R_ENTRY void f0r_get_plugin_info(f0r_plugin_info_t* info) { kt3frei0r::pluginInfo(kEffect, info); }
KT3_FREI0R_ENTRY void f0r_get_param_info(f0r_param_info_t* info, int index) {
  kt3frei0r::paramInfo(kEffect, info, index);
}
KT3_FREI0R_ENTRY f0r_instance_t f0r_construct(unsigned int width, unsigned int height) {
  return kt3frei0r::construct(kEffect, width, height);
}
KT3_FREI0R_ENTRY void f0r_destruct(f0r_instance_t instance) { kt3frei0r::destruct(instance); }
KT3_FREI0R_ENTRY void f0r_set_param_value(f0r_instance_t instance, f0r_param_t param, int index) {
  kt3frei0r::setParam(instance, param, index);
}
KT3_FREI0R_ENTRY void f0r_get_param_value(f0r_instance_t instance, f0r_param_t param, int index) {
  kt3frei0r::getParam(instance, param, index);
}
KT3_FREI0R_ENTRY void f0r_update(f0r_instance_t instance, double time, const uint32_t* inframe,
                                 uint32_t* outframe) {
  kt3frei0r::update(instance, time, inframe, nullptr, outframe);
}
KT3_FREI0R_ENTRY void f0r_update2(f0r_instance_t instance, double time, const uint32_t* inframe1,
                                  const uint32_t* inframe2, const uint32_t*, uint32_t* outframe) {
  kt3frei0r::update(instance, time, inframe1, inframe2, outframe);  // a filter reads input 0 only
}
