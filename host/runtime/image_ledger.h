// Every image the host hands a plug-in, tracked from hand-out until it comes back.
//
// Each image's buffer is placed between two guard zones filled with a known pattern. When the
// plug-in gives an image back (put or freed), the ledger checks the guards, and, with checks on,
// that nothing outside the active area changed (for a texture: that nothing changed at all). Any
// misuse - an image given back twice, a pointer the host never handed out, a write outside the
// area - is recorded as a plug-in fault.
//
// With guard pages on, each buffer is instead mapped on its own so that its last byte is followed
// directly by an inaccessible page, and a page before it is inaccessible too: a read or write past
// either end stops the process at once, at the access. The few bytes between the leading page and
// the buffer's start (the buffer ends on a page boundary) keep the guard pattern and are checked.
//
// Otherwise the guard zones lie in the slack every picture buffer has around it (kPictureSlack),
// so a picture can be handed out in its own buffer (adopt) and the image put as the output comes
// back in the buffer the plug-in wrote, neither of them copied.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "operator_abi.h"
#include "picture.h"

namespace ophost {

enum class ImageRole { Input, NewImage, Texture };

class ImageLedger {
 public:
  ImageLedger();
  ImageLedger(const ImageLedger&) = delete;
  ImageLedger& operator=(const ImageLedger&) = delete;
  ~ImageLedger();

  // Copies `content` into a fresh guarded buffer and returns the record to give the plug-in.
  // With `guardPages`, the buffer is placed between inaccessible pages (see above).
  OpImage* handOut(const Picture& content, ImageRole role, std::string label, bool checks,
                   bool guardPages = false);
  // Hands out `content`'s own buffer, taken over with no copy when its guard zones fit in the
  // buffer's slack (without guard pages); copied as handOut() does otherwise.
  OpImage* adopt(Picture&& content, ImageRole role, std::string label, bool checks,
                 bool guardPages = false);
  // The same for a new four-byte image of `geometry` with every pixel `fill`, written straight
  // into the guarded buffer.
  OpImage* handOutFilled(const Geometry& geometry, uint32_t fill, ImageRole role, std::string label,
                         bool checks, bool guardPages = false);

  // Takes an image back. Returns its label, or records a fault and returns an empty string when
  // `image` is not an image the plug-in holds. Guard and area checks add their faults here.
  // When `keep` is given, the image's content as given back goes there (its buffer itself when it
  // can, a copy otherwise).
  std::string takeBack(const OpImage* image, const char* how, std::vector<std::string>& faults,
                       Picture* keep = nullptr);

  bool isTexture(const OpImage* image) const;

  // Which of the held images: textures, or every other (inputs and new images).
  enum class Kind { Textures, Images };
  // The labels of held images of that kind, in the order they were handed out.
  std::vector<std::string> held(Kind kind) const;
  // Takes back every held image of that kind without checks; returns their labels (in that order).
  std::vector<std::string> reclaim(Kind kind);
  // Checks that no held texture was written since it was handed out (or last checked).
  void checkHeldTextures(std::vector<std::string>& faults);
  // Forgets images already given back; until then a second give-back is told from a stray pointer.
  void forgetReturned();

 private:
  struct Entry;
  Entry& place(const Geometry& geometry, int32_t bytesPerPixel, ImageRole role, std::string label,
               bool guardPages, PixelBytes* own = nullptr);
  std::map<const OpImage*, std::unique_ptr<Entry>> entries_;
  uint64_t handedOut_ = 0;
};

}  // namespace ophost
