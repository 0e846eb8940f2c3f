#include "buffer_pool.h"

#include <algorithm>

namespace ophost {

BufferPool& BufferPool::shared() {
  static BufferPool* pool = new BufferPool;  // never destroyed: pictures may go back at exit
  return *pool;
}

std::vector<uint8_t> BufferPool::take(size_t bytes) {
  std::vector<uint8_t> buffer;
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

void BufferPool::give(std::vector<uint8_t>&& buffer) {
  const size_t bytes = buffer.capacity();
  if (bytes < kSmallest) return;
  std::vector<uint8_t> kept = std::move(buffer);
  std::lock_guard lock(mutex_);
  if (kept_.size() >= kBuffers || keptBytes_ + bytes > kBytes) return;  // freed as `kept` goes
  keptBytes_ += bytes;
  kept_.push_back(std::move(kept));
}

std::shared_ptr<Picture> pooledPicture(const Geometry& geometry, int32_t bytesPerPixel) {
  checkGeometry(geometry);
  std::vector<uint8_t> bytes = BufferPool::shared().take(static_cast<size_t>(geometry.stride) *
                                                         static_cast<size_t>(geometry.rows) *
                                                         static_cast<size_t>(bytesPerPixel));
  auto* picture = new Picture;
  picture->geometry = geometry;
  picture->bytesPerPixel = bytesPerPixel;
  picture->bytes = std::move(bytes);
  return std::shared_ptr<Picture>(picture, [](Picture* p) {
    recycle(std::move(*p));
    delete p;
  });
}

void recycle(Picture&& picture) { BufferPool::shared().give(std::move(picture.bytes)); }

}  // namespace ophost
