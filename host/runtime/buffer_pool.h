// Picture buffers kept for their next use. A render at 1920x1080 goes through several buffers of
// 8 MB a frame (decoded inputs, which the plug-in gets and puts back as its output, new images,
// the copies of inputs kept for a later frame);
// allocated anew each frame, every one of them comes from the kernel as fresh pages that it zeroes
// first. Given back here instead, they are handed out again for the next frame, so a steady render
// allocates nothing. One pool serves the whole process (the decoding, rendering and encoding
// threads each take and give back); it keeps a bounded number of buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "picture.h"

namespace ophost {

class BufferPool {
 public:
  // Buffers smaller than this are not worth keeping: the allocator serves them from its own lists.
  static constexpr size_t kSmallest = 64 * 1024;
  // At most this many buffers, and this many bytes in all, are kept.
  static constexpr size_t kBuffers = 24;
  static constexpr size_t kBytes = size_t{1} << 30;

  static BufferPool& shared();

  // A buffer of exactly `bytes` bytes whose contents are whatever they were (zeros when new).
  PixelBytes take(size_t bytes);
  // Keeps `buffer` for a later take() (or frees it when the pool is full or it is small).
  void give(PixelBytes&& buffer);

 private:
  mutable std::mutex mutex_;
  std::vector<PixelBytes> kept_;
  size_t keptBytes_ = 0;
};

// A picture of `geometry` whose buffer comes from the shared pool and goes back to it when the
// last owner lets go. Its contents are left as they were: the caller writes every byte.
std::shared_ptr<Picture> pooledPicture(const Geometry& geometry, int32_t bytesPerPixel);
// A picture's buffer given back once it is no longer wanted.
void recycle(Picture&& picture);

// Whether `picture` is a pooled picture that no one else holds: its buffer may then be taken over
// (the picture left empty) instead of copied, since no one can see the change.
bool soleOwner(const std::shared_ptr<const Picture>& picture);
// Takes over the buffer of a picture for which soleOwner() is true; the picture is left empty.
Picture takeOver(const std::shared_ptr<const Picture>& picture);

}  // namespace ophost
