#include "band_guard.h"

namespace kt3frei0r {

namespace {
// How many whole bands of `count` pixels lie from `from` to `to`: 0 when not a whole number.
ptrdiff_t bandsBetween(const uint32_t* from, const uint32_t* to, size_t count) {
  if (from == nullptr || to == nullptr || count == 0) return 0;
  const auto distance = reinterpret_cast<intptr_t>(to) - reinterpret_cast<intptr_t>(from);
  const auto band = static_cast<intptr_t>(count * sizeof(uint32_t));
  return distance % band == 0 ? static_cast<ptrdiff_t>(distance / band) : 0;
}
}  // namespace

bool BandGuard::cut(const Call& call, size_t count, Call* earlier) {
  if (cut_) return true;
  const bool sameTime = seen_ && call.time == last_.time;
  const Call before = last_;
  last_ = call;
  seen_ = true;
  if (!sameTime) return false;
  const ptrdiff_t bands = bandsBetween(before.input0, call.input0, count);
  if (bands == 0 || bands > kMostBands || bands < -kMostBands) return false;
  if (bandsBetween(before.output, call.output, count) != bands) return false;
  if ((before.input1 == nullptr) != (call.input1 == nullptr)) return false;
  if (call.input1 != nullptr && bandsBetween(before.input1, call.input1, count) != bands) return false;
  cut_ = true;
  if (earlier != nullptr) *earlier = before;
  return true;
}

}  // namespace kt3frei0r
