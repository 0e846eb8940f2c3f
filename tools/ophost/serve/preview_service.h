// What `ophost serve` answers, apart from HTTP itself: the plug-ins and their controls as JSON,
// preview frames as PNG, the whole effect as MP4, uploads of pictures and clips, and the
// `ophost render` command line for the settings the page shows.
//
// A request names everything it needs in query parameters, the same for frames, videos and
// command lines:
//   plugin=Halves  input0=card:bars  input1=upload:2  set=fill=squeeze (repeated)
//   length=50  position=25  easing=ease-in  size=640x360
// Settings are read by the command line's own parser, so a frame shown in the page is the frame
// `ophost render` writes for the exported command line.
//
// One plug-in library is loaded once at a time, so every plug-in has one slot: its renderer
// (kept between requests while the setup stays the same, so scrubbing only renders) behind a
// mutex. A frame request takes a ticket before it waits for the slot; a request that finds a
// later ticket of the same view (the page's own id; later by the page's own request number `seq`
// when it sends one) was issued while it waited is answered 409 without rendering, so the page
// never waits for frames it no longer wants.
//
// What the renders may take of the machine is bounded: a few renders at once (others wait, while
// their clients are there, up to a number waiting; more are answered 503), a render whose client
// has gone stops at its next frame, and renderers kept between requests are let go when they have
// been idle a while or when more plug-ins are in use than are kept.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "frame_shape.h"
#include "operator_model.h"
#include "renderer.h"
#include "shell_quote.h"

namespace ophost::serve {

using Query = std::vector<std::pair<std::string, std::string>>;

struct Reply {
  int status = 200;
  std::string type = "text/plain; charset=utf-8";
  std::string body;
  std::string download;  // a file name: sent as an attachment of that name
  // The frame's pixels when they are not square (input 0's, as a render's output keeps them),
  // sent as X-Pixel-Aspect: W:H so the page shows the frame at its display aspect.
  media::PixelAspect pixelAspect{};
};

struct ServiceOptions {
  std::filesystem::path plugins;
  std::filesystem::path textures;
  std::filesystem::path workDirectory;      // uploads and files being written; must exist
  size_t uploadLimit = 64u << 20;           // bytes
  int64_t videoFrameLimit = 3000;           // frames an MP4 download may hold
  size_t uploadsKept = 16;                  // older uploads are removed
  // What one request may make the server render, so that no request takes the memory, time or
  // disk of the machine: the pixels of a frame (a render needs some 30 bytes a pixel), and the
  // pixels of all the frames of an MP4 download together (3000 frames of 1280x720).
  int64_t framePixelLimit = int64_t{4096} * 4096;
  int64_t videoPixelLimit = int64_t{3000} * 1280 * 720;
  int rendersAtOnce = 0;     // 0: one per core
  int rendersWaiting = 16;   // requests that may wait for a render; more are answered 503
  size_t renderersKept = 2;  // plug-ins whose renderer is kept between requests
  std::chrono::milliseconds rendererIdleTime{60000};  // a renderer unused this long is let go
};

// Whether the client of a request is still there (always, when none is given): a render stops at
// its next frame once it is not.
using Presence = std::function<bool()>;

inline constexpr int64_t kServeLengthLimit = 100000;

class PreviewService {
 public:
  // Reads every plug-in's descriptor (loading each library once, then letting it go).
  explicit PreviewService(ServiceOptions options);
  ~PreviewService();
  PreviewService(const PreviewService&) = delete;
  PreviewService& operator=(const PreviewService&) = delete;

  Reply plugins() const;                         // GET /api/plugins
  Reply frame(const Query& query, const Presence& present = {});  // GET /api/frame
  Reply video(const Query& query, const Presence& present = {});  // GET /api/video
  Reply commandLine(const Query& query) const;   // GET /api/command
  Reply upload(const std::string& name, const std::string& bytes);  // POST /api/upload?name=

  // The two halves of frame(), apart so that superseding can be seen at work: a ticket is issued
  // when the request arrives, and renderFrame answers 409 when a later ticket of the same view
  // exists by the time the plug-in's slot is free.
  struct Ticket {
    std::string plugin;
    std::string view;
    uint64_t number = 0;
  };
  std::optional<Ticket> issueTicket(const Query& query);
  Reply renderFrame(const Query& query, const std::optional<Ticket>& ticket, const Presence& present = {});

  size_t uploadLimit() const { return options_.uploadLimit; }
  // Lets go of renderers idle for longer than the options allow (done every second on its own).
  void releaseIdleRenderers();
  // How many plug-ins have a renderer kept now.
  size_t renderersHeld();

 private:
  struct Known;   // a plug-in as its descriptor describes it
  struct Job;     // a request read and checked
  struct Slot;    // a plug-in's renderer and its lock
  struct Upload {
    std::filesystem::path file;
    std::string name;  // as the user called it
    media::Size size;  // its own
  };

  Job readJob(const Query& query, bool wantPosition) const;
  void checkFramePixels(const Job& job) const;
  Slot& slotFor(const std::string& plugin);
  class RenderPlace;
  void keepRenderer(Slot& slot, const Job& job);
  std::filesystem::path scratchFile(const std::string& extension);
  static std::string encodePng(const media::RgbImage& image, media::PixelAspect pixels, const std::filesystem::path& file);

  ServiceOptions options_;
  std::vector<Known> known_;
  std::mutex slotsLock_;
  std::map<std::string, std::unique_ptr<Slot>> slots_;
  mutable std::mutex uploadsLock_;
  std::map<uint64_t, Upload> uploads_;
  uint64_t nextUpload_ = 1;
  std::atomic<uint64_t> nextTicket_{1};
  std::atomic<uint64_t> nextScratch_{1};
  // Places for renders: free ones, and requests waiting for one.
  std::mutex placesLock_;
  std::condition_variable placeFreed_;
  int placesFree_ = 0;
  int placesWanted_ = 0;
  // Lets idle renderers go.
  std::mutex janitorLock_;
  std::condition_variable janitorWake_;
  bool ending_ = false;
  std::thread janitor_;
};

// The query string's parameters in order (the same name may come more than once), decoded.
Query parseQuery(const std::string& text);

// `text` as valid UTF-8 without the controls that reorder what is shown (invalid bytes become
// U+FFFD), for names that a user sent and the page shows.
std::string displayable(const std::string& text);

// The exported command lines quote their words as render/shell_quote.h does.
using render::shellQuote;

}  // namespace ophost::serve
