#include "buffer_pool.h"

#include <algorithm>

namespace ophost {

BufferPool& BufferPool::shared() {
  static BufferPool* pool = new BufferPool;  // never destroyed: pictures may go back at exit
  return *pool;
}

PixelBytes BufferPool::take(size_t bytes) {
  PixelBytes buffer;
  if (bytes >= kSmallest) {
    std::lock_guard lock(mutex_);
    // The smallest kept buffer that holds `bytes`: a big one stays for a big picture.
    auto best = kept_.end();
    for (auto it = kept_.begin(); it != kept_.end(); ++it) {
      if (it->capacity() >= bytes && (best == kept_.end() || it->capacity() < best->capacity())) best = it;
    }
    if (best != kept_.end()) {
      keptBytes_ -= best->capacity();
      buffer = std::move(*best);
      kept_.erase(best);
    }
  }
  // A kept buffer is handed out at its full size when it was last used so (no bytes are written
  // then); it is only grown, zeroing the new part, when it was shorter.
  buffer.resize(bytes);
  return buffer;
}

void BufferPool::give(PixelBytes&& buffer) {
  const size_t bytes = buffer.capacity();
  if (bytes < kSmallest) return;
  PixelBytes kept = std::move(buffer);
  std::lock_guard lock(mutex_);
  if (kept_.size() >= kBuffers || keptBytes_ + bytes > kBytes) return;  // freed as `kept` goes
  keptBytes_ += bytes;
  kept_.push_back(std::move(kept));
}

namespace {

// Gives a pooled picture's buffer back with the picture. Its type marks the pictures soleOwner()
// may take over: made here, writable, and not made const.
struct ToThePool {
  void operator()(Picture* picture) const {
    recycle(std::move(*picture));
    delete picture;
  }
};

}  // namespace

std::shared_ptr<Picture> pooledPicture(const Geometry& geometry, int32_t bytesPerPixel) {
  checkGeometry(geometry);
  PixelBytes bytes = BufferPool::shared().take(static_cast<size_t>(geometry.stride) *
                                                         static_cast<size_t>(geometry.rows) *
                                                         static_cast<size_t>(bytesPerPixel));
  auto* picture = new Picture;
  picture->geometry = geometry;
  picture->bytesPerPixel = bytesPerPixel;
  picture->bytes = std::move(bytes);
  return std::shared_ptr<Picture>(picture, ToThePool{});
}

void recycle(Picture&& picture) { BufferPool::shared().give(std::move(picture.bytes)); }

bool soleOwner(const std::shared_ptr<const Picture>& picture) {
  return picture != nullptr && picture.use_count() == 1 && std::get_deleter<ToThePool>(picture) != nullptr;
}

Picture takeOver(const std::shared_ptr<const Picture>& picture) {
  // The picture was made writable by pooledPicture() and only the caller holds it.
  Picture& writable = const_cast<Picture&>(*picture);
  Picture taken;
  taken.geometry = writable.geometry;
  taken.bytesPerPixel = writable.bytesPerPixel;
  taken.bytes = std::move(writable.bytes);
  writable.bytes = {};
  return taken;
}

}  // namespace ophost
