// Tells a whole-frame call from one band of a frame an editor cut into bands.
//
// MLT renders a frei0r service in horizontal bands when the service has a `threads` property (0 or
// more than 1): it constructs the instance at the band's height and calls it once per band, on the
// same instance with the same time, each band's pointers one band further into the frame's buffers.
// Our effects are whole-frame effects (a wipe's texture, Halves' bands, Jolt's zoom all span the
// frame), so a band rendered as if it were the frame is a wrong picture. The first band of a frame
// looks like any frame; the second gives it away: same time, and input 0, input 1 and the output all
// an exact whole number of bands (at most kMostBands) away from the call before. From then on the
// instance is known to be cut, for good: MLT keeps the property for the life of the service.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kt3frei0r {

class BandGuard {
 public:
  // The frames MLT cuts into at most: its largest slice count.
  static constexpr ptrdiff_t kMostBands = 32;

  struct Call {
    double time = 0;
    const uint32_t* input0 = nullptr;
    const uint32_t* input1 = nullptr;  // null for a filter
    uint32_t* output = nullptr;
  };

  // Whether `call` (of `count` pixels) is a band of a cut frame. When it is the first call found
  // out, `earlier` is set to the band before it, which was drawn as a whole frame and must be
  // given its input back.
  bool cut(const Call& call, size_t count, Call* earlier);
  bool known() const { return cut_; }

 private:
  bool cut_ = false;
  bool seen_ = false;
  Call last_;
};

}  // namespace kt3frei0r
