#include "preview_service.h"

#include <malloc.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

#include "cards.h"
#include "colour.h"
#include "command_line.h"
#include "host_error.h"
#include "interrupt.h"
#include "media_input.h"
#include "media_output.h"
#include "plugin.h"
#include "settings.h"
#include "string_catalogue.h"

namespace ophost::serve {

using namespace ophost::render;

namespace {

// A request the service refuses, with the HTTP status that says why.
struct Refusal {
  int status;
  std::string message;
};

Reply text(int status, const std::string& message) {
  Reply reply;
  reply.status = status;
  reply.body = message + "\n";
  return reply;
}

Reply json(std::string body) {
  Reply reply;
  reply.type = "application/json; charset=utf-8";
  reply.body = std::move(body);
  return reply;
}

std::string quoted(const std::string& raw) {
  const std::string value = displayable(raw);
  std::string out = "\"";
  for (unsigned char c : value) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

// Every value of `name` in the query, in order.
std::vector<std::string> all(const Query& query, const std::string& name) {
  std::vector<std::string> values;
  for (const auto& [key, value] : query) {
    if (key == name) values.push_back(value);
  }
  return values;
}

std::optional<std::string> one(const Query& query, const std::string& name) {
  std::optional<std::string> found;
  for (const auto& [key, value] : query) {
    if (key == name) found = value;  // the last one counts
  }
  return found;
}

std::string readFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw HostError("cannot read back " + file.string());
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Removes a file being written when it goes out of scope, however that is left.
class ScratchFile {
 public:
  explicit ScratchFile(std::filesystem::path file) : file_(std::move(file)) {}
  ~ScratchFile() {
    std::error_code ignored;
    std::filesystem::remove(file_, ignored);
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  const std::filesystem::path& path() const { return file_; }

 private:
  std::filesystem::path file_;
};

const char* const kStopping = "the server is stopping";

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// What a render answers when its client has gone (nobody reads it).
constexpr int kClientGone = 499;
struct ClientGone {};

bool gone(const Presence& present) { return present && !present(); }

int64_t ticks(Clock::time_point time) { return time.time_since_epoch().count(); }

void warnOnStderr(const Warning& warning) {
  std::fprintf(stderr, "ophost serve: warning: %s\n", warning.text.c_str());
}

std::string paramJson(const ParamModel& p, size_t index) {
  std::string out = "{\"name\":" + quoted(paramName(p, index)) + ",\"label\":" + quoted(catalogueText(p.label));
  switch (p.kind) {
    case ParamKind::Slider:
      out += ",\"kind\":\"slider\",\"min\":" + std::to_string(p.min) + ",\"max\":" + std::to_string(p.max) +
             ",\"default\":" + std::to_string(p.defaultValue) + ",\"unit\":" + quoted(catalogueText(p.subLabel));
      break;
    case ParamKind::Choice: {
      const bool directions = p.style == CHOICE_STYLE_DIRECTIONS;
      out += ",\"kind\":\"choice\",\"style\":" + quoted(directions ? "directions" : "text") + ",\"entries\":[";
      for (size_t e = 0; e < p.entries.size(); ++e) {
        out += e ? "," : "";
        out += "{\"name\":" + quoted(entryName(p, e)) + ",\"text\":" + quoted(entryText(p, e));
        if (directions) {
          const auto direction = directionForCode(p.entries[e]);
          out += ",\"code\":" + std::to_string(p.entries[e]) +
                 ",\"arrow\":" + quoted(direction ? std::string(direction->arrow) : "?");
        }
        out += "}";
      }
      out += "],\"default\":" + quoted(entryName(p, static_cast<size_t>(p.defaultValue)));
      break;
    }
    case ParamKind::Colour: {
      const auto word = static_cast<uint32_t>(p.defaultValue);
      out += ",\"kind\":\"colour\",\"default\":" + quoted(hexWord(word)) + ",\"rgb\":" + quoted(rgbText(word));
      break;
    }
  }
  return out + "}";
}

}  // namespace

struct PreviewService::Known {
  std::string name;
  std::filesystem::path file;
  OperatorModel model;  // read while the library was loaded; only its plain data is used
  std::string error;    // why it could not be loaded
};

struct PreviewService::Job {
  const Known* known = nullptr;
  RenderSetup setup;
  int64_t position = 0;
  std::string input0Shown, input1Shown;  // as the command line names them
  std::vector<std::string> textureShown;  // the --texture entry, as the command line gives it
  media::Size natural0;                   // input 0's own size
  // One rendered frame: the size asked for, else input 0's own.
  media::Size frameSize() const { return setup.size ? media::Size{setup.size->width, setup.size->height} : natural0; }
  int64_t framePixels() const { return int64_t{frameSize().width} * frameSize().height; }
  // The pixels of its frames: input 0's, when the frames keep its size (as `ophost render` does).
  media::PixelAspect pixels(const FrameRenderer& renderer) const {
    return setup.size ? media::PixelAspect() : renderer.inputPixelAspect(0);
  }
  std::optional<std::string> sizeText, easingText;
  std::string key;  // the setup in one string: the slot's renderer serves one key
};

struct PreviewService::Slot {
  std::timed_mutex lock;  // held while the renderer is built or used
  std::unique_ptr<FrameRenderer> renderer;
  std::string key;
  std::atomic<int64_t> lastUsed{0};  // Clock ticks
  std::mutex ticketsLock;
  std::map<std::string, uint64_t> latest;  // per view: the last ticket issued
};

PreviewService::PreviewService(ServiceOptions options) : options_(std::move(options)) {
  for (const auto& file : pluginFiles(options_.plugins)) {
    Known known;
    known.name = file.stem().string();
    known.file = file;
    try {
      auto plugin = Plugin::load(file);
      known.name = plugin->name();
      known.model = plugin->model();
      known.model.action = nullptr;
      for (ParamModel& p : known.model.params) p.valueWord = nullptr;
    } catch (const HostError& error) {
      known.error = error.what();
    }
    known_.push_back(std::move(known));
  }
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  placesFree_ = options_.rendersAtOnce > 0 ? options_.rendersAtOnce : static_cast<int>(cores);
  janitor_ = std::thread([this] {
    std::unique_lock<std::mutex> guard(janitorLock_);
    while (!janitorWake_.wait_for(guard, 1s, [this] { return ending_; })) {
      guard.unlock();
      releaseIdleRenderers();
      guard.lock();
    }
  });
}

PreviewService::~PreviewService() {
  {
    std::lock_guard<std::mutex> guard(janitorLock_);
    ending_ = true;
  }
  janitorWake_.notify_all();
  janitor_.join();
  // Renderers close their plug-ins and inputs before the uploads they read are removed.
  slots_.clear();
  std::error_code ignored;
  for (const auto& [number, upload] : uploads_) std::filesystem::remove(upload.file, ignored);
}

Reply PreviewService::plugins() const {
  std::string out = "{\"plugins\":[";
  for (size_t n = 0; n < known_.size(); ++n) {
    const Known& k = known_[n];
    const auto summary = pluginSummary(k.name);
    out += n ? "," : "";
    out += "{\"name\":" + quoted(k.name) + ",\"summary\":" + quoted(summary ? std::string(*summary) : "");
    if (!k.error.empty()) {
      out += ",\"error\":" + quoted(k.error) + "}";
      continue;
    }
    const KnownEffect* effect = knownEffect(k.name);
    out += ",\"ident\":" + quoted(k.model.ident) + ",\"inputs\":" + (k.model.singleInput() ? "1" : "2") +
           ",\"textures\":" + std::to_string(effect ? effect->textures.size() : 0) + ",\"params\":[";
    for (size_t p = 0; p < k.model.params.size(); ++p) {
      out += (p ? "," : "") + paramJson(k.model.params[p], p);
    }
    out += "]}";
  }
  out += "],\"cards\":[";
  bool first = true;
  for (const auto& card : media::cards()) {
    out += first ? "" : ",";
    first = false;
    out += "{\"name\":" + quoted("card:" + std::string(card.name)) + ",\"about\":" + quoted(std::string(card.about)) + "}";
  }
  out += "],\"uploadLimit\":" + std::to_string(options_.uploadLimit) +
         ",\"lengthLimit\":" + std::to_string(kServeLengthLimit) +
         ",\"videoFrameLimit\":" + std::to_string(options_.videoFrameLimit) + "}";
  return json(out);
}

PreviewService::Job PreviewService::readJob(const Query& query, bool wantPosition) const {
  Job job;
  const auto plugin = one(query, "plugin");
  if (!plugin || plugin->empty()) throw Refusal{400, "name a plug-in: plugin=NAME"};
  for (const Known& k : known_) {
    if (lowerCase(k.name) == lowerCase(*plugin)) job.known = &k;
  }
  if (job.known == nullptr) {
    std::string names;
    for (const Known& k : known_) names += (names.empty() ? "" : ", ") + k.name;
    throw Refusal{404, "no plug-in \"" + *plugin + "\" (there are: " + names + ")"};
  }
  const Known& known = *job.known;
  if (!known.error.empty()) throw Refusal{503, known.name + " cannot be loaded: " + known.error};
  const OperatorModel& model = known.model;

  auto input = [&](int index, const std::string& fallback, std::string& shown, media::Size& natural) {
    const std::string option = "input" + std::to_string(index);
    const std::string value = one(query, option).value_or(fallback);
    if (value.rfind("card:", 0) == 0) {
      if (!media::isCard(value.substr(5))) {
        std::string cards;
        for (const auto& card : media::cards()) cards += (cards.empty() ? "" : ", ") + ("card:" + std::string(card.name));
        throw Refusal{400, option + ": no built-in picture \"" + value + "\" (there are: " + cards + ")"};
      }
      shown = value;
      natural = media::kCardSize;
      return value;
    }
    static const std::regex uploadName("upload:([0-9]{1,12})");
    std::smatch match;
    if (std::regex_match(value, match, uploadName)) {
      std::lock_guard<std::mutex> guard(uploadsLock_);
      const auto found = uploads_.find(std::stoull(match[1]));
      if (found == uploads_.end()) throw Refusal{404, option + ": " + value + " is not (or no longer) uploaded"};
      // A file the command line would take for a built-in picture is named as a path.
      shown = found->second.name.rfind("card:", 0) == 0 ? "./" + found->second.name : found->second.name;
      natural = found->second.size;
      return found->second.file.string();
    }
    throw Refusal{400, option + ": \"" + value + "\" is neither a built-in picture (card:NAME) nor an upload (upload:N)"};
  };
  media::Size natural1;
  job.setup.input0 = input(0, "card:bars", job.input0Shown, job.natural0);
  if (!model.singleInput()) job.setup.input1 = input(1, "card:rings", job.input1Shown, natural1);

  // A picture uploaded as the effect's texture, in place of the texture directory's.
  if (const auto texture = one(query, "texture"); texture && !texture->empty()) {
    static const std::regex uploadName("upload:([0-9]{1,12})");
    std::smatch match;
    if (!std::regex_match(*texture, match, uploadName)) {
      throw Refusal{400, "texture: \"" + *texture + "\" is not an upload (upload:N)"};
    }
    Upload upload;
    {
      std::lock_guard<std::mutex> guard(uploadsLock_);
      const auto found = uploads_.find(std::stoull(match[1]));
      if (found == uploads_.end()) throw Refusal{404, "texture: " + *texture + " is not (or no longer) uploaded"};
      upload = found->second;
    }
    const std::string shown = lowerCase(known.name) + "=" + upload.name;
    try {
      CustomTexture custom = textureEntry(shown, {known.name});
      custom.file = upload.file.string();
      job.setup.textures.push_back(std::move(custom));
    } catch (const HostError& error) {
      throw Refusal{400, error.what()};
    }
    job.textureShown = {shown};
  }

  // Every parameter, set or not, in descriptor order, in the command line's own words.
  std::vector<std::optional<std::string>> values(model.params.size());
  try {
    for (const std::string& setting : all(query, "set")) {
      const auto [name, value] = splitSetting(setting);
      const size_t index = findParam(model, known.name, name);
      const ParamModel& p = model.params[index];
      const int64_t parsed = parseValue(p, known.name + " " + paramName(p, index), value);
      switch (p.kind) {
        case ParamKind::Choice: values[index] = entryName(p, static_cast<size_t>(parsed)); break;
        case ParamKind::Slider: values[index] = std::to_string(parsed); break;
        case ParamKind::Colour: values[index] = value; break;
      }
    }
  } catch (const HostError& error) {
    throw Refusal{400, error.what()};
  }
  for (size_t n = 0; n < model.params.size(); ++n) {
    const ParamModel& p = model.params[n];
    if (!values[n]) {
      values[n] = p.kind == ParamKind::Choice   ? entryName(p, static_cast<size_t>(p.defaultValue))
                  : p.kind == ParamKind::Slider ? std::to_string(p.defaultValue)
                                                : hexWord(static_cast<uint32_t>(p.defaultValue));
    }
    job.setup.settings.push_back(paramName(p, n) + "=" + *values[n]);
  }

  try {
    const auto length = one(query, "length");
    job.setup.length = length ? parseWhole(*length, "length", 1, kServeLengthLimit) : 50;
    if (wantPosition) {
      const auto position = one(query, "position");
      job.position = position ? parseWhole(*position, "position", 0, job.setup.length) : job.setup.length / 2;
    }
    job.easingText = one(query, "easing");
    if (job.easingText && (job.easingText->empty() || *job.easingText == "linear")) job.easingText.reset();
    if (job.easingText) job.setup.easing = Easing::parse(*job.easingText);
    job.sizeText = one(query, "size");
    if (job.sizeText && job.sizeText->empty()) job.sizeText.reset();
    if (job.sizeText) job.setup.size = parseSize(*job.sizeText);
  } catch (const HostError& error) {
    throw Refusal{400, error.what()};
  }

  job.setup.pluginDirectory = options_.plugins;
  job.setup.textureDirectory = options_.textures;
  job.setup.plugin = known.name;
  job.setup.warn = warnOnStderr;
  job.key = known.name + "\n" + job.setup.input0 + "\n" + job.setup.input1 + "\n" + std::to_string(job.setup.length) +
            "\n" + job.easingText.value_or("") + "\n" + job.sizeText.value_or("");
  for (const std::string& setting : job.setup.settings) job.key += "\n" + setting;
  for (const CustomTexture& texture : job.setup.textures) job.key += "\ntexture " + texture.file;
  return job;
}

void PreviewService::checkFramePixels(const Job& job) const {
  if (job.framePixels() > options_.framePixelLimit) {
    const media::Size size = job.frameSize();
    throw Refusal{400, std::string(job.setup.size ? "size " : "input 0's own size ") + std::to_string(size.width) +
                           "x" + std::to_string(size.height) + ": a frame has at most " +
                           std::to_string(options_.framePixelLimit) +
                           " pixels here; choose a smaller frame size (the command line renders any)"};
  }
}

PreviewService::Slot& PreviewService::slotFor(const std::string& plugin) {
  std::lock_guard<std::mutex> guard(slotsLock_);
  auto& slot = slots_[plugin];
  if (!slot) slot = std::make_unique<Slot>();
  return *slot;
}

// A place among the renders that may run at once, held for one render. A request waits for one
// while its client is there; when too many wait already it is refused at once.
class PreviewService::RenderPlace {
 public:
  RenderPlace(PreviewService& service, const Presence& present) : service_(service) {
    std::unique_lock<std::mutex> guard(service.placesLock_);
    if (service.placesFree_ == 0 && service.placesWanted_ >= service.options_.rendersWaiting) {
      throw Refusal{503, "busy: every render is taken and " + std::to_string(service.placesWanted_) +
                             " requests wait already; try again shortly"};
    }
    ++service.placesWanted_;
    while (service.placesFree_ == 0) {
      service.placeFreed_.wait_for(guard, 50ms);
      if (service.placesFree_ == 0 && (gone(present) || interrupted())) {
        --service.placesWanted_;
        throw interrupted() ? Refusal{503, kStopping} : Refusal{kClientGone, "the client went away"};
      }
    }
    --service.placesWanted_;
    --service.placesFree_;
  }
  ~RenderPlace() {
    {
      std::lock_guard<std::mutex> guard(service_.placesLock_);
      ++service_.placesFree_;
    }
    service_.placeFreed_.notify_one();
  }
  RenderPlace(const RenderPlace&) = delete;
  RenderPlace& operator=(const RenderPlace&) = delete;

 private:
  PreviewService& service_;
};

namespace {

// The plug-in's slot, waited for while the client is there and the server is not stopping.
std::unique_lock<std::timed_mutex> lockWhilePresent(std::timed_mutex& lock, const Presence& present) {
  std::unique_lock<std::timed_mutex> guard(lock, std::defer_lock);
  while (!guard.try_lock_for(50ms)) {
    if (interrupted()) throw Refusal{503, kStopping};
    if (gone(present)) throw Refusal{kClientGone, "the client went away"};
  }
  return guard;
}

}  // namespace

// The slot's renderer for this job (built anew when the setup changed); a new one may make
// others go, so that no more than renderersKept are held. The slot's lock is held.
void PreviewService::keepRenderer(Slot& slot, const Job& job) {
  slot.lastUsed = ticks(Clock::now());
  if (slot.renderer && slot.key == job.key) return;
  slot.renderer.reset();  // the library is let go before it is loaded again
  slot.key.clear();
  slot.renderer = std::make_unique<FrameRenderer>(job.setup);
  slot.key = job.key;
  std::vector<std::pair<int64_t, Slot*>> others;
  {
    std::lock_guard<std::mutex> guard(slotsLock_);
    for (auto& [name, other] : slots_) {
      if (other.get() != &slot) others.emplace_back(other->lastUsed.load(), other.get());
    }
  }
  std::sort(others.begin(), others.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  size_t held = 1;
  bool released = false;
  for (auto& [used, other] : others) {
    std::unique_lock<std::timed_mutex> guard(other->lock, std::try_to_lock);
    if (!guard) {
      ++held;  // in use now
    } else if (other->renderer && held >= options_.renderersKept) {
      other->renderer.reset();
      other->key.clear();
      released = true;
    } else if (other->renderer) {
      ++held;
    }
  }
  if (released) malloc_trim(0);
}

void PreviewService::releaseIdleRenderers() {
  const int64_t now = ticks(Clock::now());
  const int64_t idle = std::chrono::duration_cast<Clock::duration>(options_.rendererIdleTime).count();
  std::vector<Slot*> all;
  {
    std::lock_guard<std::mutex> guard(slotsLock_);
    for (auto& [name, slot] : slots_) all.push_back(slot.get());
  }
  bool released = false;
  for (Slot* slot : all) {
    std::unique_lock<std::timed_mutex> guard(slot->lock, std::try_to_lock);
    if (guard && slot->renderer && now - slot->lastUsed.load() >= idle) {
      slot->renderer.reset();
      slot->key.clear();
      released = true;
    }
  }
  if (released) malloc_trim(0);  // the frames' memory goes back to the system
}

size_t PreviewService::renderersHeld() {
  std::vector<Slot*> all;
  {
    std::lock_guard<std::mutex> guard(slotsLock_);
    for (auto& [name, slot] : slots_) all.push_back(slot.get());
  }
  size_t held = 0;
  for (Slot* slot : all) {
    std::lock_guard<std::timed_mutex> guard(slot->lock);
    held += slot->renderer ? 1 : 0;
  }
  return held;
}

std::filesystem::path PreviewService::scratchFile(const std::string& extension) {
  return options_.workDirectory / ("render-" + std::to_string(nextScratch_++) + extension);
}

std::string PreviewService::encodePng(const media::RgbImage& image, media::PixelAspect pixels,
                                      const std::filesystem::path& file) {
  const ScratchFile scratch(file);
  media::OutputOptions options{image.width, image.height, media::FrameRate()};
  options.pixelAspect = pixels;
  auto sink = media::createSink(file.string(), options);
  sink->add(image, 0);
  sink->finish();
  return readFile(file);
}

std::optional<PreviewService::Ticket> PreviewService::issueTicket(const Query& query) {
  const auto view = one(query, "view");
  const auto plugin = one(query, "plugin");
  if (!view || view->empty() || !plugin) return std::nullopt;
  const bool known = std::any_of(known_.begin(), known_.end(),
                                 [&](const Known& k) { return lowerCase(k.name) == lowerCase(*plugin); });
  if (!known) return std::nullopt;  // refused when it is read
  // The page numbers its requests (`seq`), because requests on different connections can reach
  // the server in another order than they were sent; without a number, arrival order counts.
  uint64_t number = 0;
  if (const auto seq = one(query, "seq")) {
    number = static_cast<uint64_t>(parseWhole(*seq, "seq", 1, INT64_MAX));
  } else {
    number = nextTicket_++;
  }
  Ticket ticket{lowerCase(*plugin), *view, number};
  Slot& slot = slotFor(ticket.plugin);
  std::lock_guard<std::mutex> guard(slot.ticketsLock);
  if (slot.latest.size() > 256 && !slot.latest.count(ticket.view)) slot.latest.clear();  // views long gone
  uint64_t& latest = slot.latest[ticket.view];
  latest = std::max(latest, ticket.number);
  return ticket;
}

Reply PreviewService::frame(const Query& query, const Presence& present) {
  std::optional<Ticket> ticket;
  try {
    ticket = issueTicket(query);
  } catch (const HostError& error) {
    return text(400, error.what());
  }
  return renderFrame(query, ticket, present);
}

Reply PreviewService::renderFrame(const Query& query, const std::optional<Ticket>& ticket, const Presence& present) {
  try {
    const Job job = readJob(query, true);
    checkFramePixels(job);
    Slot& slot = slotFor(lowerCase(job.known->name));
    const auto guard = lockWhilePresent(slot.lock, present);
    if (interrupted()) return text(503, kStopping);
    if (ticket) {
      std::lock_guard<std::mutex> tickets(slot.ticketsLock);
      if (slot.latest[ticket->view] > ticket->number) {
        return text(409, "superseded by a later request of the same view");
      }
    }
    const RenderPlace place(*this, present);
    if (gone(present)) return text(kClientGone, "the client went away");
    try {
      keepRenderer(slot, job);
    } catch (const std::exception& error) {
      return text(500, error.what());
    }
    Reply reply;
    reply.pixelAspect = job.pixels(*slot.renderer);
    try {
      reply.body = encodePng(slot.renderer->render(job.position), reply.pixelAspect, scratchFile(".png"));
    } catch (const std::exception& error) {
      // Whatever failed, the next request starts from a renderer of its own.
      slot.renderer.reset();
      slot.key.clear();
      return text(interrupted() ? 503 : 500, interrupted() ? kStopping : error.what());
    }
    reply.type = "image/png";
    return reply;
  } catch (const Refusal& refusal) {
    return text(refusal.status, refusal.message);
  }
}

Reply PreviewService::video(const Query& query, const Presence& present) {
  try {
    const Job job = readJob(query, false);
    if (job.setup.length + 1 > options_.videoFrameLimit) {
      throw Refusal{400, "length " + std::to_string(job.setup.length) + ": a download holds at most " +
                             std::to_string(options_.videoFrameLimit) +
                             " frames here; render longer effects with the command line"};
    }
    checkFramePixels(job);
    const int64_t frames = options_.videoPixelLimit / std::max<int64_t>(job.framePixels(), 1);
    if (job.setup.length + 1 > frames) {
      throw Refusal{400, "length " + std::to_string(job.setup.length) + ": a download holds at most " +
                             std::to_string(frames) + " frames of this size here; choose a smaller frame " +
                             "size, or render it with the command line"};
    }
    Slot& slot = slotFor(lowerCase(job.known->name));
    const auto guard = lockWhilePresent(slot.lock, present);
    const RenderPlace place(*this, present);
    const ScratchFile scratch(scratchFile(".mp4"));
    const std::filesystem::path& file = scratch.path();
    try {
      keepRenderer(slot, job);
      FrameRenderer& renderer = *slot.renderer;
      const Geometry& g = renderer.geometry();
      {
        media::OutputOptions output{g.stride, g.rows, media::FrameRate()};
        output.pixelAspect = job.pixels(renderer);
        auto sink = media::createSink(file.string(), output);
        sink->stopWhen([&present] { return interrupted() || gone(present); });
        for (int64_t frame = 0; frame <= job.setup.length; ++frame) {
          // A server told to stop, or a client that went away, does not have the rest rendered.
          if (interrupted()) throw Interrupted(kStopping);
          if (gone(present)) throw ClientGone{};
          sink->add(renderer.render(frame), frame);
        }
        sink->finish();
      }
      Reply reply;
      reply.body = readFile(file);
      reply.type = "video/mp4";
      reply.download = lowerCase(job.known->name) + ".mp4";
      return reply;
    } catch (const ClientGone&) {
      return text(kClientGone, "the client went away");
    } catch (const media::OutputStopped&) {
      if (interrupted()) return text(503, kStopping);
      return text(kClientGone, "the client went away");
    } catch (const std::exception& error) {
      slot.renderer.reset();
      slot.key.clear();
      return text(interrupted() ? 503 : 500, interrupted() ? kStopping : error.what());
    }
  } catch (const Refusal& refusal) {
    return text(refusal.status, refusal.message);
  }
}

Reply PreviewService::commandLine(const Query& query) const {
  try {
    const Job job = readJob(query, true);
    // The render's options, written by the command line's own table; the plug-ins and textures
    // are left to the user's ophost.
    Options render;
    render.positional = {job.known->name};
    render.input0 = job.input0Shown;
    render.input1 = job.input1Shown;
    render.settings = job.setup.settings;
    render.texture = job.textureShown;
    render.length = std::to_string(job.setup.length);
    render.size = job.sizeText.value_or("");
    render.easing = job.easingText.value_or("");
    auto line = [](const Options& options) {
      std::string out = "ophost";
      for (const std::string& word : commandWords(options, kRender)) out += " " + shellQuote(word);
      return out;
    };
    const std::string stem = lowerCase(job.known->name);
    Options still = render, clip = render;
    still.position = std::to_string(job.position);
    still.output = stem + "_" + std::to_string(job.position) + ".png";
    clip.output = stem + ".mp4";
    return json("{\"frame\":" + quoted(line(still)) + ",\"video\":" + quoted(line(clip)) + "}");
  } catch (const Refusal& refusal) {
    return text(refusal.status, refusal.message);
  }
}

Reply PreviewService::upload(const std::string& name, const std::string& bytes) {
  const std::string shown = displayable(std::filesystem::path(name).filename().string());
  if (shown.empty() || shown == "." || shown == "..") return text(400, "name the upload: POST /api/upload?name=FILE");
  if (std::any_of(shown.begin(), shown.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; })) {
    return text(400, "the upload's name holds control characters");
  }
  if (bytes.size() > options_.uploadLimit) {
    return text(413, shown + ": " + std::to_string(bytes.size()) + " bytes is more than the " +
                         std::to_string(options_.uploadLimit) + " bytes an upload may have");
  }
  if (bytes.empty()) return text(400, shown + ": the upload is empty");
  std::string extension = lowerCase(std::filesystem::path(shown).extension().string());
  static const std::regex plainExtension("\\.[a-z0-9]{1,5}");
  if (!std::regex_match(extension, plainExtension)) extension = ".bin";

  uint64_t number = 0;
  {
    std::lock_guard<std::mutex> guard(uploadsLock_);
    number = nextUpload_++;
  }
  const std::filesystem::path file = options_.workDirectory / ("upload-" + std::to_string(number) + extension);
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      std::error_code ignored;
      std::filesystem::remove(file, ignored);
      return text(500, shown + ": cannot keep the upload (disk full?)");
    }
  }
  auto refuse = [&](const std::string& why) {
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    return text(415, shown + ": " + why);
  };
  media::Size size;
  bool still = true;
  try {
    auto source = media::openSource(file.string(), &interruptFlag());
    size = source->naturalSize();
    // A second frame is asked for so a still is known as one (its end is found) and a clip is
    // seen to decode beyond its first picture.
    source->frame(1, {16, 16});
    still = source->isStill();
  } catch (const HostError& error) {
    if (interrupted()) {
      std::error_code ignored;
      std::filesystem::remove(file, ignored);
      return text(503, kStopping);
    }
    // The message names the file it was kept under; the user knows it by its own name.
    std::string why = error.what();
    const std::string kept = file.string() + ": ";
    if (why.rfind(kept, 0) == 0) why = why.substr(kept.size());
    return refuse(why);
  } catch (const std::exception&) {
    return refuse("cannot be read as a picture or video");
  }
  const int32_t most = media::kMaxDecodedSide;
  if (size.width < 2 || size.height < 2 || size.width > most || size.height > most) {
    return refuse("a picture of " + std::to_string(size.width) + "x" + std::to_string(size.height) +
                  " is not within 2.." + std::to_string(most) + " on each side");
  }
  {
    std::lock_guard<std::mutex> guard(uploadsLock_);
    uploads_[number] = Upload{file, shown, size};
    while (uploads_.size() > options_.uploadsKept) {
      std::error_code ignored;
      std::filesystem::remove(uploads_.begin()->second.file, ignored);
      uploads_.erase(uploads_.begin());
    }
  }
  return json("{\"id\":" + quoted("upload:" + std::to_string(number)) + ",\"name\":" + quoted(shown) +
              ",\"width\":" + std::to_string(size.width) + ",\"height\":" + std::to_string(size.height) +
              ",\"still\":" + (still ? "true" : "false") + "}");
}

Query parseQuery(const std::string& textValue) {
  auto decode = [](const std::string& part) {
    std::string out;
    for (size_t n = 0; n < part.size(); ++n) {
      if (part[n] == '+') {
        out += ' ';
      } else if (part[n] == '%' && n + 2 < part.size() && std::isxdigit(static_cast<unsigned char>(part[n + 1])) &&
                 std::isxdigit(static_cast<unsigned char>(part[n + 2]))) {
        out += static_cast<char>(std::stoi(part.substr(n + 1, 2), nullptr, 16));
        n += 2;
      } else {
        out += part[n];
      }
    }
    return out;
  };
  Query query;
  std::stringstream in(textValue);
  std::string pair;
  while (std::getline(in, pair, '&')) {
    if (pair.empty()) continue;
    const size_t equals = pair.find('=');
    if (equals == std::string::npos) {
      query.emplace_back(decode(pair), "");
    } else {
      query.emplace_back(decode(pair.substr(0, equals)), decode(pair.substr(equals + 1)));
    }
  }
  return query;
}

std::string displayable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t size = text.size();
  for (size_t n = 0; n < size;) {
    const unsigned char lead = bytes[n];
    size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    uint32_t code = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
    bool valid = length != 0 && n + length <= size;
    for (size_t k = 1; valid && k < length; ++k) {
      valid = (bytes[n + k] & 0xC0) == 0x80;
      code = code << 6 | (bytes[n + k] & 0x3F);
    }
    // Overlong forms, surrogates and code points beyond Unicode are not UTF-8 either.
    static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    valid = valid && code >= least[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    if (!valid) {
      out += "\xEF\xBF\xBD";
      ++n;
      continue;
    }
    const bool reordering = code == 0x061C || code == 0x200E || code == 0x200F || (code >= 0x202A && code <= 0x202E) ||
                            (code >= 0x2066 && code <= 0x2069);
    if (!reordering) out.append(text, n, length);
    n += length;
  }
  return out;
}

}  // namespace ophost::serve
