// The host runtime: loads a plug-in library, reads its descriptor, keeps its parameter values in
// range, drives its actions, serves its host calls, and accounts for every image it hands out.
//
// One Plugin object owns one loaded library. A plug-in's state lives in its library, so a library
// can be loaded by one Plugin at a time, and that Plugin runs its actions one at a time (calls from
// several threads are serialised). Each action's host calls, log records and plug-in faults come
// back in its ActionResult.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "operator_abi.h"
#include "operator_model.h"
#include "picture.h"
#include "texture_files.h"

namespace ophost {

// One call the plug-in made into the host during an action.
struct HostCall {
  enum class Kind { GetField, PutField, ChkAbort, AllocImage, FreeImage, GetImageFile, Log };
  Kind kind = Kind::GetField;
  int32_t index = 0;      // GetField: the input index
  uint32_t position = 0;  // GetField: the position asked for
  std::string image;      // the image handed out or taken ("input 0", "new image", "texture X"), or
                          // "null" when the host answered null, "unknown" for a stray pointer
  std::string text;       // GetImageFile: the path asked for; AllocImage: the arguments

  // A short, stable form for call-order checks: "get 0", "put input 0", "free input 1",
  // "alloc new image", "abort?", "texture /programs/kt3/x.png", "log 84".
  std::string brief() const;
};

struct LogRecord {
  int32_t level = 0;
  int32_t line = 0;
  std::string file;
  uint32_t code = 0;
  std::string text;
  bool operator==(const LogRecord&) const = default;
};

struct ReleasedImage {
  std::string label;
  Picture content;
};

struct ActionResult {
  int status = 0;                     // what OperatorAction returned
  std::optional<Picture> output;      // the image the plug-in put, as put
  std::string outputLabel;            // which image that was
  std::vector<HostCall> calls;
  std::vector<LogRecord> logs;
  std::vector<std::string> faults;    // plug-in faults found by the host
  std::vector<std::string> notes;     // host-side remarks (why a texture could not be had, ...)
  std::vector<std::string> reclaimed; // images a failed render left for the host to take back
  std::vector<ReleasedImage> freed;   // images given back with opFreeImage, as given back (checks on)
  // Time spent in the plug-in's own code: the whole action less the time the host spent serving
  // its calls (copying inputs in, taking the output back, checks).
  std::chrono::nanoseconds pluginTime{0};
  std::chrono::nanoseconds hostTime{0};

  std::vector<std::string> briefCalls() const;
  int count(HostCall::Kind kind) const;
};

// The context fields of an action other than `action` itself.
struct ActionRequest {
  uint32_t length = 100;
  uint32_t position = 0;
  uint8_t flags = 0;
  int16_t scaleNum = 0;
  int16_t scaleDen = 0;
};

// Supplies input `index` (0 or 1) at `position`, or null when the host has none to give.
using FieldProvider =
    std::function<std::shared_ptr<const Picture>(int32_t index, uint32_t position)>;

// How the host answers; tests use the switches to reach a plug-in's failure paths.
struct HostBehaviour {
  bool checks = true;              // guard the area outside the active area, keep freed images
  int32_t putStatus = 0;           // what opPutField answers
  bool allocAnswersNull = false;   // opAllocImage answers null
  uint32_t newImageFill = kOpaqueBlack;
  const std::atomic<bool>* abort = nullptr;  // opChkAbort answers 1 while this is set
  // Every buffer handed out (inputs, new images, textures) ends directly at an inaccessible page,
  // and starts after one, so a plug-in's access past either end stops the process at the access.
  bool guardPages = false;
};

class Plugin {
 public:
  // Loads the library at `path` and reads its descriptor. Throws HostError for a file that is not
  // a loadable plug-in or whose descriptor is not well formed, or for a library already loaded.
  static std::unique_ptr<Plugin> load(const std::filesystem::path& path);
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  const std::string& name() const;           // the file name without ".so"
  const std::filesystem::path& path() const;
  const OperatorModel& model() const;

  // Parameter values, by index into model().params. setValue refuses, with a HostError naming the
  // range, any value the descriptor does not allow; nothing reaches the plug-in then.
  void setValue(size_t param, int64_t value);
  int64_t value(size_t param) const;
  void resetValues();

  void setFieldProvider(FieldProvider provider);
  void setTextureProvider(TextureProvider provider);
  void setTextureDirectory(const std::filesystem::path& directory);
  HostBehaviour& behaviour();

  ActionResult open(const ActionRequest& request = {});
  ActionResult close(const ActionRequest& request = {});
  ActionResult render(const ActionRequest& request);
  // Any action code with the given context fields, exactly as a host would send it.
  ActionResult act(uint16_t action, const ActionRequest& request = {});

  // Textures the plug-in still holds (between open and close).
  std::vector<std::string> heldTextures() const;

  struct Impl;

 private:
  explicit Plugin(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace ophost
