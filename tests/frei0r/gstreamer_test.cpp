// Our mixers in GStreamer, driven through its C API as an application drives them: two appsrc of
// known pictures into frei0r-mixer-kt3-NAME into an appsink, `progress` animated by an
// interpolation control source, every frame compared with ophost's at the same length and
// position. And the encoding recipe the README gives: GStreamer 1.22's frei0r mixers send neither
// stream-start nor segment, so a pad probe on the mixer's output sends both, and the mixer then
// feeds an encoder and muxer like any other element.
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/controller/gstdirectcontrolbinding.h>
#include <gst/controller/gstinterpolationcontrolsource.h>
#include <gst/gst.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "frei0r_test_support.h"

using namespace f0rtest;

namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 90;
constexpr GstClockTime kFrame = GST_SECOND / 25;

struct Unref {
  void operator()(GstElement* element) const { gst_object_unref(element); }
  void operator()(GstControlSource* source) const { gst_object_unref(source); }
  void operator()(GstSample* sample) const { gst_sample_unref(sample); }
  void operator()(GstBus* bus) const { gst_object_unref(bus); }
  void operator()(GstMessage* message) const { gst_message_unref(message); }
};
template <typename T>
using Owned = std::unique_ptr<T, Unref>;

// A sample's pixels as RGBA words (empty when its buffer cannot be read).
std::vector<uint32_t> pixelsOf(GstSample* sample) {
  GstMapInfo map;
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  if (buffer == nullptr || !gst_buffer_map(buffer, &map, GST_MAP_READ)) return {};
  std::vector<uint32_t> rgba(map.size / 4);
  std::memcpy(rgba.data(), map.data, rgba.size() * 4);
  gst_buffer_unmap(buffer, &map);
  return rgba;
}

// The recipe: stream-start before the mixer's first event (its caps), a time segment before its
// first buffer.
GstPadProbeReturn startStream(GstPad* pad, GstPadProbeInfo* info, gpointer) {
  if ((GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) != 0) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(event) == GST_EVENT_STREAM_START) return GST_PAD_PROBE_OK;
    if (!gst_pad_get_sticky_event(pad, GST_EVENT_STREAM_START, 0)) {
      gst_pad_push_event(pad, gst_event_new_stream_start("kt3-mixer"));
    }
    return GST_PAD_PROBE_OK;
  }
  if (GstEvent* segment = gst_pad_get_sticky_event(pad, GST_EVENT_SEGMENT, 0)) {
    gst_event_unref(segment);
  } else {
    GstSegment time;
    gst_segment_init(&time, GST_FORMAT_TIME);
    gst_pad_push_event(pad, gst_event_new_segment(&time));
  }
  return GST_PAD_PROBE_OK;
}

class GStreamer : public Scratch {
 protected:
  void SetUp() override {
    Scratch::SetUp();
    if (!KT3_WITH_MELT) GTEST_SKIP() << "GStreamer's plug-in scanner cannot load plug-ins built with the sanitizers";
    setenv("FREI0R_PATH", frei0rDir().c_str(), 1);
    setenv("GST_REGISTRY", (dir / "registry.bin").c_str(), 1);
    gst_init(nullptr, nullptr);
    writeCard(dir / "a.png", "bars", kWidth, kHeight);
    writeCard(dir / "b.png", "rings", kWidth, kHeight);
    a = rgbaOf(readPng(dir / "a.png"));
    b = rgbaOf(readPng(dir / "b.png"));
  }

  // appsrc ! mixer.sink_0, appsrc ! mixer.sink_1, mixer ! `tail`, with progress keyframed from 0 at
  // frame 0 to 1 at frame `length` and the recipe's probe on the mixer's output.
  GstElement* build(const std::string& element, int length, const std::string& settings, const std::string& tail) {
    const std::string caps = "video/x-raw,format=RGBA,width=" + std::to_string(kWidth) +
                             ",height=" + std::to_string(kHeight) + ",framerate=25/1";
    const std::string source = "appsrc format=time caps=" + caps + " name=";
    const std::string description = element + " name=mixer " + settings + " ! " + tail + " " + source +
                                    "in0 ! mixer.sink_0 " + source + "in1 ! mixer.sink_1";
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    if (error != nullptr) {
      ADD_FAILURE() << description << ": " << error->message;
      g_error_free(error);
      if (pipeline != nullptr) gst_object_unref(pipeline);
      return nullptr;
    }
    Owned<GstElement> mixer(gst_bin_get_by_name(GST_BIN(pipeline), "mixer"));
    GstControlSource* progress = gst_interpolation_control_source_new();
    g_object_set(progress, "mode", GST_INTERPOLATION_MODE_LINEAR, nullptr);
    gst_timed_value_control_source_set(GST_TIMED_VALUE_CONTROL_SOURCE(progress), 0, 0.0);
    gst_timed_value_control_source_set(GST_TIMED_VALUE_CONTROL_SOURCE(progress),
                                       static_cast<GstClockTime>(length) * kFrame, 1.0);
    gst_object_add_control_binding(GST_OBJECT(mixer.get()),
                                   gst_direct_control_binding_new(GST_OBJECT(mixer.get()), "progress", progress));
    gst_object_unref(progress);
    GstPad* out = gst_element_get_static_pad(mixer.get(), "src");
    gst_pad_add_probe(out, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                      startStream, nullptr, nullptr);
    gst_object_unref(out);
    return pipeline;
  }

  void feed(GstElement* pipeline, int length) {
    for (const auto& [name, picture] : {std::pair{"in0", &a}, std::pair{"in1", &b}}) {
      Owned<GstElement> source(gst_bin_get_by_name(GST_BIN(pipeline), name));
      for (int r = 0; r <= length; ++r) {
        GstBuffer* buffer = gst_buffer_new_memdup(picture->data(), picture->size() * 4);
        GST_BUFFER_PTS(buffer) = static_cast<GstClockTime>(r) * kFrame;
        GST_BUFFER_DURATION(buffer) = kFrame;
        ASSERT_EQ(gst_app_src_push_buffer(GST_APP_SRC(source.get()), buffer), GST_FLOW_OK);
      }
      gst_app_src_end_of_stream(GST_APP_SRC(source.get()));
    }
  }

  std::vector<uint32_t> a, b;
};

}  // namespace

TEST_F(GStreamer, MixerFramesFollowAnAnimatedProgressAsOphostRendersThem) {
  struct Case {
    const char* effect;
    int length;
    std::string settings;                // element properties (frames: the length / 1000000)
    std::vector<std::string> reference;  // ophost's --set
  };
  for (const Case& c : {Case{"Halves", 20, "frames=0.00002 hold=0.5 layout=0.428571", {"hold=50", "layout=right"}},
                        Case{"Ripples", 12, "frames=0.000012 softness=0.3", {"softness=30"}}}) {
    SCOPED_TRACE(c.effect);
    std::string element = std::string("frei0r-mixer-kt3-") + c.effect;
    for (char& ch : element) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    Owned<GstElement> pipeline(build(element, c.length, c.settings, "appsink name=out sync=false"));
    ASSERT_TRUE(pipeline);
    ASSERT_NE(gst_element_set_state(pipeline.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    feed(pipeline.get(), c.length);
    Owned<GstElement> sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "out"));
    const std::vector<RgbImage> reference =
        ophostSequence(dir, c.effect, dir / "a.png", dir / "b.png", static_cast<uint32_t>(c.length), c.reference);
    int frames = 0;
    while (Owned<GstSample> sample{gst_app_sink_pull_sample(GST_APP_SINK(sink.get()))}) {
      const std::vector<uint32_t> rgba = pixelsOf(sample.get());
      ASSERT_FALSE(rgba.empty());
      ASSERT_LT(static_cast<size_t>(frames), reference.size());
      const Difference d = difference(rgbOf(rgba, kWidth, kHeight), reference[static_cast<size_t>(frames)]);
      EXPECT_EQ(d.pixels, 0u) << "frame " << frames << ": largest difference " << d.largest;
      ++frames;
    }
    EXPECT_EQ(frames, c.length + 1);
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  }
}

// The README's recipe, with an encoder and a muxer after the mixer: the file is whole (every frame
// decodes, in order, with the pictures the transition made).
TEST_F(GStreamer, TheRecipeEncodesAWholeFile) {
  constexpr int kLength = 10;
  const fs::path file = dir / "ripples.webm";
  Owned<GstElement> pipeline(build("frei0r-mixer-kt3-ripples", kLength, "frames=0.00001",
                                   "videoconvert ! vp8enc deadline=1 ! webmmux ! filesink location=" + file.string()));
  ASSERT_TRUE(pipeline);
  ASSERT_NE(gst_element_set_state(pipeline.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  feed(pipeline.get(), kLength);
  Owned<GstBus> bus(gst_element_get_bus(pipeline.get()));
  Owned<GstMessage> end(gst_bus_timed_pop_filtered(bus.get(), 30 * GST_SECOND,
                                                   static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
  ASSERT_TRUE(end) << "the pipeline did not finish";
  EXPECT_EQ(GST_MESSAGE_TYPE(end.get()), GST_MESSAGE_EOS);
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);

  // Read back by GStreamer's own demuxer and decoder: every frame, as RGB.
  GError* error = nullptr;
  Owned<GstElement> reader(gst_parse_launch(
      ("filesrc location=" + file.string() + " ! matroskademux ! vp8dec ! videoconvert ! video/x-raw,format=RGBA ! "
       "appsink name=out sync=false").c_str(), &error));
  ASSERT_EQ(error, nullptr) << error->message;
  ASSERT_NE(gst_element_set_state(reader.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  Owned<GstElement> sink(gst_bin_get_by_name(GST_BIN(reader.get()), "out"));
  std::vector<RgbImage> decoded;
  while (Owned<GstSample> sample{gst_app_sink_pull_sample(GST_APP_SINK(sink.get()))}) {
    const std::vector<uint32_t> rgba = pixelsOf(sample.get());
    ASSERT_FALSE(rgba.empty());
    decoded.push_back(rgbOf(rgba, kWidth, kHeight));
  }
  gst_element_set_state(reader.get(), GST_STATE_NULL);
  ASSERT_EQ(decoded.size(), static_cast<size_t>(kLength + 1));
  // A lossy encoding: each end far nearer its own input than the other one.
  auto meanDifference = [](const RgbImage& x, const RgbImage& y) {
    double sum = 0;
    for (size_t k = 0; k < x.rgb.size() && k < y.rgb.size(); ++k) sum += std::abs(int(x.rgb[k]) - int(y.rgb[k]));
    return sum / static_cast<double>(x.rgb.size());
  };
  const RgbImage in0 = readPng(dir / "a.png"), in1 = readPng(dir / "b.png");
  EXPECT_LT(4 * meanDifference(decoded.front(), in0), meanDifference(decoded.front(), in1)) << "frame 0 is input 0";
  EXPECT_LT(4 * meanDifference(decoded.back(), in1), meanDifference(decoded.back(), in0)) << "the last is input 1";
}
