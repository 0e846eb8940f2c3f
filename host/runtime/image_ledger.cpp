#include "image_ledger.h"

#include "buffer_pool.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace ophost {
namespace {

constexpr size_t kMinGuardBytes = 256;

uint8_t guardByte(size_t n) { return static_cast<uint8_t>(0xA5 ^ (n * 29)); }

size_t pageBytes() {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

}  // namespace

struct ImageLedger::Entry {
  OpImage record{};
  ImageRole role = ImageRole::Input;
  std::string label;
  Geometry geometry;
  int32_t bytesPerPixel = 4;
  size_t guardBytes = 0;       // pattern bytes before the buffer
  size_t afterGuardBytes = 0;  // pattern bytes after it (none with guard pages: the page follows)
  size_t bufferBytes = 0;
  PixelBytes storage;             // the buffer with the guards in its slack, or guard, buffer, guard
  uint8_t* mapping = nullptr;     // with guard pages: page, pattern, buffer, page
  size_t mappingBytes = 0;
  uint8_t* zone = nullptr;        // the leading pattern bytes, followed by the buffer
  std::vector<uint8_t> snapshot;  // the buffer as handed out, when checks are on
  bool returned = false;
  std::string returnedHow;
  uint64_t order = 0;  // when it was handed out, counted from the ledger's start

  Entry() = default;
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;
  ~Entry() { release(); }

  uint8_t* buffer() { return zone + guardBytes; }
  // Whether the buffer is `storage` itself (the guards in its slack), to be handed on as it is.
  bool inSlack() const { return !storage.empty() && zone + guardBytes == storage.data(); }

  // Room for the buffer and its guards, the pattern written into the guard bytes. `own`, when
  // given, is a buffer of bufferBytes to be used as it is if its slack holds the guards.
  void place(bool guardPages, size_t minGuard, PixelBytes* own) {
    if (guardPages) {
      const size_t page = pageBytes();
      const size_t dataBytes = (bufferBytes + page - 1) / page * page;
      mappingBytes = dataBytes + 2 * page;
      void* at = mmap(nullptr, mappingBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (at == MAP_FAILED) throw std::bad_alloc();
      mapping = static_cast<uint8_t*>(at);
      if (dataBytes > 0 && mprotect(mapping + page, dataBytes, PROT_READ | PROT_WRITE) != 0) {
        release();
        throw std::bad_alloc();
      }
      zone = mapping + page;
      guardBytes = dataBytes - bufferBytes;
      afterGuardBytes = 0;
    } else {
      guardBytes = minGuard;
      afterGuardBytes = minGuard;
      if (bufferBytes > 0 && minGuard <= kPictureSlack) {
        storage = own != nullptr ? std::move(*own) : BufferPool::shared().take(bufferBytes);
        zone = storage.data() - guardBytes;
      } else {
        storage = BufferPool::shared().take(bufferBytes + guardBytes + afterGuardBytes);
        zone = storage.data();
      }
    }
    for (size_t n = 0; n < guardBytes; ++n) zone[n] = guardByte(n);
    uint8_t* after = buffer() + bufferBytes;
    for (size_t n = 0; n < afterGuardBytes; ++n) after[n] = guardByte(n);
  }

  void release() {
    if (mapping != nullptr) munmap(mapping, mappingBytes);
    mapping = nullptr;
    mappingBytes = 0;
    BufferPool::shared().give(std::move(storage));
    storage = {};
    zone = nullptr;
  }

  void checkGuards(std::vector<std::string>& faults) {
    const uint8_t* before = zone;
    const uint8_t* after = zone + guardBytes + bufferBytes;
    for (size_t n = 0; n < guardBytes; ++n) {
      if (before[n] != guardByte(n)) {
        faults.push_back(label + ": written before the start of its buffer");
        break;
      }
    }
    for (size_t n = 0; n < afterGuardBytes; ++n) {
      if (after[n] != guardByte(n)) {
        faults.push_back(label + ": written past the end of its buffer (byte " +
                         std::to_string(n) + " after it)");
        break;
      }
    }
  }

  void checkOutsideArea(std::vector<std::string>& faults) {
    if (snapshot.empty()) return;
    const uint8_t* now = buffer();
    const size_t bpp = static_cast<size_t>(bytesPerPixel);
    for (int32_t row = 0; row < geometry.rows; ++row) {
      for (int32_t column = 0; column < geometry.stride; ++column) {
        if (role != ImageRole::Texture && geometry.contains(column, row)) continue;
        const size_t at = (static_cast<size_t>(row) * geometry.stride + column) * bpp;
        if (std::memcmp(now + at, snapshot.data() + at, bpp) != 0) {
          faults.push_back(label + (role == ImageRole::Texture
                                        ? ": the plug-in wrote into a texture at column "
                                        : ": written outside the active area at column ") +
                           std::to_string(column) + ", row " + std::to_string(row));
          return;
        }
      }
    }
  }
};

ImageLedger::ImageLedger() = default;
ImageLedger::~ImageLedger() = default;

OpImage* ImageLedger::handOut(const Picture& content, ImageRole role, std::string label, bool checks,
                              bool guardPages) {
  Entry& entry = place(content.geometry, content.bytesPerPixel, role, std::move(label), guardPages);
  if (!content.bytes.empty()) std::memcpy(entry.buffer(), content.bytes.data(), entry.bufferBytes);
  if (checks) entry.snapshot.assign(content.bytes.begin(), content.bytes.end());
  return &entry.record;
}

OpImage* ImageLedger::adopt(Picture&& content, ImageRole role, std::string label, bool checks,
                             bool guardPages) {
  const Geometry& g = content.geometry;
  const size_t bytes = content.bytes.size();
  if (guardPages || bytes == 0 ||
      bytes != static_cast<size_t>(g.stride) * static_cast<size_t>(g.rows) * static_cast<size_t>(content.bytesPerPixel)) {
    return handOut(content, role, std::move(label), checks, guardPages);
  }
  Entry& entry = place(content.geometry, content.bytesPerPixel, role, std::move(label), false,
                       &content.bytes);
  if (!entry.inSlack()) {
    std::memcpy(entry.buffer(), content.bytes.data(), entry.bufferBytes);
    recycle(std::move(content));
  }
  if (checks) entry.snapshot.assign(entry.buffer(), entry.buffer() + entry.bufferBytes);
  return &entry.record;
}

OpImage* ImageLedger::handOutFilled(const Geometry& geometry, uint32_t fill, ImageRole role,
                                    std::string label, bool checks, bool guardPages) {
  checkGeometry(geometry);
  Entry& entry = place(geometry, 4, role, std::move(label), guardPages);
  uint8_t* buffer = entry.buffer();
  uint8_t word[4];
  std::memcpy(word, &fill, sizeof word);
  for (size_t at = 0; at < entry.bufferBytes; at += 4) std::memcpy(buffer + at, word, sizeof word);
  if (checks) entry.snapshot.assign(buffer, buffer + entry.bufferBytes);
  return &entry.record;
}

ImageLedger::Entry& ImageLedger::place(const Geometry& g, int32_t bytesPerPixel, ImageRole role,
                                       std::string label, bool guardPages, PixelBytes* own) {
  auto entry = std::make_unique<Entry>();
  entry->role = role;
  entry->label = std::move(label);
  entry->geometry = g;
  entry->bytesPerPixel = bytesPerPixel;
  entry->bufferBytes = static_cast<size_t>(g.stride) * static_cast<size_t>(g.rows) *
                       static_cast<size_t>(bytesPerPixel);
  entry->place(guardPages,
               std::max(kMinGuardBytes, static_cast<size_t>(g.stride) * static_cast<size_t>(bytesPerPixel)),
               own);
  entry->record.pixels = entry->buffer();
  entry->record.stride = static_cast<int16_t>(g.stride);
  entry->record.rows = static_cast<int16_t>(g.rows);
  entry->record.x = static_cast<int16_t>(g.x);
  entry->record.y = static_cast<int16_t>(g.y);
  entry->record.width = static_cast<int16_t>(g.width);
  entry->record.height = static_cast<int16_t>(g.height);
  entry->order = handedOut_++;
  Entry& placed = *entry;
  entries_[&placed.record] = std::move(entry);
  return placed;
}

std::string ImageLedger::takeBack(const OpImage* image, const char* how,
                                  std::vector<std::string>& faults, Picture* keep) {
  auto found = entries_.find(image);
  if (found == entries_.end()) {
    faults.push_back(std::string(how) + " was given " +
                     (image == nullptr ? "a null image" : "an image the host never handed out"));
    return {};
  }
  Entry& entry = *found->second;
  if (entry.returned) {
    faults.push_back(entry.label + ": given back twice (" + entry.returnedHow + ", then " + how + ")");
    return {};
  }
  entry.returned = true;
  entry.returnedHow = how;
  entry.checkGuards(faults);
  entry.checkOutsideArea(faults);
  if (keep != nullptr) {
    keep->geometry = entry.geometry;
    keep->bytesPerPixel = entry.bytesPerPixel;
    if (entry.inSlack()) {
      keep->bytes = std::move(entry.storage);
      entry.storage = {};
    } else {
      keep->bytes = BufferPool::shared().take(entry.bufferBytes);
      if (entry.bufferBytes > 0) std::memcpy(keep->bytes.data(), entry.buffer(), entry.bufferBytes);
    }
  }
  // The buffer goes now; the record stays until forgetReturned() so a second give-back is caught.
  entry.release();
  std::vector<uint8_t>().swap(entry.snapshot);
  entry.record.pixels = nullptr;
  return entry.label;
}

bool ImageLedger::isTexture(const OpImage* image) const {
  auto found = entries_.find(image);
  return found != entries_.end() && found->second->role == ImageRole::Texture;
}

// Held images in the order they were handed out: the records' addresses, which order the map,
// differ from run to run.
std::vector<std::string> ImageLedger::held(Kind kind) const {
  const bool textures = kind == Kind::Textures;
  std::vector<std::pair<uint64_t, std::string>> found;
  for (const auto& [record, entry] : entries_) {
    if (!entry->returned && (entry->role == ImageRole::Texture) == textures) found.emplace_back(entry->order, entry->label);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> labels;
  for (auto& [order, label] : found) labels.push_back(std::move(label));
  return labels;
}

std::vector<std::string> ImageLedger::reclaim(Kind kind) {
  std::vector<std::string> labels = held(kind);
  const bool textures = kind == Kind::Textures;
  std::erase_if(entries_, [&](const auto& item) {
    return !item.second->returned && (item.second->role == ImageRole::Texture) == textures;
  });
  return labels;
}

void ImageLedger::checkHeldTextures(std::vector<std::string>& faults) {
  for (auto& [record, entry] : entries_) {
    if (entry->returned || entry->role != ImageRole::Texture || entry->snapshot.empty()) continue;
    const size_t before = faults.size();
    entry->checkGuards(faults);
    entry->checkOutsideArea(faults);
    if (faults.size() != before) {
      entry->snapshot.assign(entry->buffer(), entry->buffer() + entry->bufferBytes);  // say it once
    }
  }
}

void ImageLedger::forgetReturned() {
  std::erase_if(entries_, [](const auto& item) { return item.second->returned; });
}

}  // namespace ophost
