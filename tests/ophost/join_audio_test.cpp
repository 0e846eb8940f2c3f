// The sound of a join: each clip's level away from the cuts, a cross-fade over each cut, silence
// for a clip without sound, the length of the video, and nothing left by a join that fails.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include <cmath>
#include <fstream>

#include "ffmpeg_owners.h"
#include "host_error.h"
#include "join_audio.h"
#include "media_output.h"
#include "ophost_test_support.h"

using namespace ophost;
using namespace ophost::media;

namespace {

class JoinAudio : public ophosttest::Scratch {};

constexpr double kPi = 3.14159265358979323846;

// A file holding `seconds` of a 440 Hz tone of peak `amplitude` as 16-bit PCM, and nothing else;
// from `gapAt` seconds on (when given), its times jump an hour ahead.
void writeTone(const std::filesystem::path& file, double seconds, int rate, int channels, double amplitude,
               double gapAt = -1) {
  AVFormatContext* muxer = nullptr;
  ASSERT_GE(avformat_alloc_output_context2(&muxer, nullptr, "matroska", file.c_str()), 0);
  const OutputFormat owner(muxer);
  AVStream* stream = avformat_new_stream(muxer, nullptr);
  stream->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
  stream->codecpar->codec_id = AV_CODEC_ID_PCM_S16LE;
  stream->codecpar->sample_rate = rate;
  av_channel_layout_default(&stream->codecpar->ch_layout, channels);
  stream->codecpar->bits_per_coded_sample = 16;
  stream->codecpar->block_align = 2 * channels;
  stream->time_base = {1, rate};
  ASSERT_GE(avio_open(&muxer->pb, file.c_str(), AVIO_FLAG_WRITE), 0);
  ASSERT_GE(avformat_write_header(muxer, nullptr), 0);
  const int64_t total = std::lround(seconds * rate);
  for (int64_t start = 0; start < total; start += 1024) {
    const int64_t count = std::min<int64_t>(1024, total - start);
    const Packet packet(av_packet_alloc());
    ASSERT_GE(av_new_packet(packet.get(), static_cast<int>(count * 2 * channels)), 0);
    auto* samples = reinterpret_cast<int16_t*>(packet->data);
    for (int64_t n = 0; n < count; ++n) {
      const double value = amplitude * std::sin(2 * kPi * 440 * static_cast<double>(start + n) / rate);
      for (int c = 0; c < channels; ++c) samples[n * channels + c] = static_cast<int16_t>(std::lround(value * 32767));
    }
    const int64_t gap = gapAt >= 0 && static_cast<double>(start) >= gapAt * rate ? int64_t{3600} * rate : 0;
    packet->pts = packet->dts = av_rescale_q(start + gap, {1, rate}, stream->time_base);
    packet->duration = av_rescale_q(count, {1, rate}, stream->time_base);
    packet->stream_index = 0;
    EXPECT_GE(av_interleaved_write_frame(muxer, packet.get()), 0);
  }
  EXPECT_GE(av_write_trailer(muxer), 0);
  avio_closep(&muxer->pb);
}

// A file's first audio channel, decoded, its rate, and how many video packets it holds.
struct Decoded {
  std::vector<float> samples;
  int rate = 0;
  int64_t pictures = 0;
  double soundStart = -1, pictureStart = -1;  // in seconds, as a player would place them
  // The RMS level of the sound between `from` and `to` seconds.
  double level(double from, double to) const {
    const auto first = static_cast<size_t>(from * rate), last = static_cast<size_t>(to * rate);
    double sum = 0;
    for (size_t n = first; n < last && n < samples.size(); ++n) sum += double{samples[n]} * samples[n];
    return std::sqrt(sum / static_cast<double>(last - first));
  }
};

Decoded decode(const std::filesystem::path& file) {
  Decoded decoded;
  AVFormatContext* opened = nullptr;
  if (avformat_open_input(&opened, file.c_str(), nullptr, nullptr) < 0) return decoded;
  const InputFormat demuxer(opened);
  avformat_find_stream_info(opened, nullptr);
  const AVCodec* codec = nullptr;
  const int audio = av_find_best_stream(opened, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  if (audio < 0) return decoded;
  const CodecContext decoder(avcodec_alloc_context3(codec));
  avcodec_parameters_to_context(decoder.get(), opened->streams[audio]->codecpar);
  decoder->pkt_timebase = opened->streams[audio]->time_base;
  avcodec_open2(decoder.get(), codec, nullptr);
  decoded.rate = decoder->sample_rate;
  const Packet packet(av_packet_alloc());
  const Frame frame(av_frame_alloc());
  auto take = [&](const AVPacket* sent) {
    avcodec_send_packet(decoder.get(), sent);
    while (avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
      if (decoded.soundStart < 0) {
        decoded.soundStart = static_cast<double>(frame->best_effort_timestamp) * av_q2d(decoder->pkt_timebase);
      }
      EXPECT_TRUE(frame->format == AV_SAMPLE_FMT_FLTP || frame->format == AV_SAMPLE_FMT_FLT);
      const auto* first = reinterpret_cast<const float*>(frame->extended_data[0]);
      const int step = frame->format == AV_SAMPLE_FMT_FLT ? frame->ch_layout.nb_channels : 1;
      for (int n = 0; n < frame->nb_samples; ++n) decoded.samples.push_back(first[n * step]);
    }
  };
  while (av_read_frame(opened, packet.get()) >= 0) {
    const AVStream* stream = opened->streams[packet->stream_index];
    if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && decoded.pictures++ == 0) {
      decoded.pictureStart = static_cast<double>(packet->pts) * av_q2d(stream->time_base);
    }
    if (packet->stream_index == audio) take(packet.get());
    av_packet_unref(packet.get());
  }
  take(nullptr);
  return decoded;
}

// A video-only file of `frames` frames at 25 per second, as the join's video sinks write one.
void writeVideo(const std::filesystem::path& file, int64_t frames) {
  auto sink = createSink(file.string(), {32, 18, 25, kDefaultQuality});
  for (int64_t n = 0; n < frames; ++n) sink->add(RgbImage(32, 18), n);
  sink->finish();
}

TEST_F(JoinAudio, EachClipsLevelAwayFromTheCutsACrossFadeOverEachAndTheVideosLength) {
  // Clip 1 (a loud tone, 50 frames: 0 to 2 s), cut of 10 frames (1.6 to 2 s), clip 2 (a video
  // without sound, 40 frames: 1.6 to 3.2 s), cut of 5 frames (3 to 3.2 s), clip 3 (a quiet tone
  // of another rate and layout, 50 frames: 3 to 5 s): 125 frames, 5 s.
  writeTone(dir / "loud.mkv", 3, 48000, 2, 0.5);
  writeVideo(dir / "mute.mp4", 40);
  writeTone(dir / "quiet.mkv", 3, 44100, 1, 0.1);
  writeVideo(dir / "video.mp4", 125);
  const std::vector<JoinAudioClip> clips{{(dir / "loud.mkv").string(), 50}, {(dir / "mute.mp4").string(), 40},
                                         {(dir / "quiet.mkv").string(), 50}};
  const std::vector<JoinAudioCut> cuts{{10, "tri"}, {5, "qsin"}};
  EXPECT_TRUE(anyClipHasSound(clips));
  EXPECT_FALSE(anyClipHasSound({{(dir / "mute.mp4").string(), 40}, {"", 10}, {"card:bars", 10}}));
  const double loud = 0.5 / std::sqrt(2.0), quiet = 0.1 / std::sqrt(2.0);
  for (const char* name : {"out.mp4", "out.mkv"}) {
    SCOPED_TRACE(name);
    muxJoinAudio((dir / "video.mp4").string(), clips, cuts, FrameRate(25), (dir / name).string());
    const Decoded out = decode(dir / name);
    EXPECT_EQ(out.pictures, 125);
    ASSERT_EQ(out.rate, 48000);
    EXPECT_NEAR(static_cast<double>(out.samples.size()), 5.0 * 48000, 1024);
    EXPECT_NEAR(out.soundStart, out.pictureStart, 0.001);
    EXPECT_NEAR(out.level(0.0, 0.1), loud, loud * 0.05);  // from the first sample: no priming delay
    EXPECT_NEAR(out.level(0.2, 1.5), loud, loud * 0.05);
    // A straight line down to silence over the first cut: half way, half the level.
    EXPECT_GT(out.level(1.6, 1.65), loud * 0.8);
    EXPECT_NEAR(out.level(1.775, 1.825), loud * 0.5, loud * 0.06);
    EXPECT_LT(out.level(1.95, 2.0), loud * 0.2);
    EXPECT_LT(out.level(2.05, 2.95), 1e-3);  // the clip without sound
    // Up from silence to the quiet tone over the second cut.
    EXPECT_LT(out.level(3.0, 3.02), quiet * 0.3);
    EXPECT_GT(out.level(3.18, 3.2), quiet * 0.85);
    EXPECT_NEAR(out.level(3.3, 4.9), quiet, quiet * 0.05);
  }
  // A hard cut, and a clip whose sound's times jump far past its span: silence from the jump on.
  writeTone(dir / "gap.mkv", 2, 48000, 2, 0.5, 0.5);
  writeVideo(dir / "short.mp4", 50);
  muxJoinAudio((dir / "short.mp4").string(), {{(dir / "gap.mkv").string(), 25}, {clips[0].input, 25}}, {{0}}, FrameRate(25),
               (dir / "cut.mp4").string());
  const Decoded cut = decode(dir / "cut.mp4");
  EXPECT_NEAR(static_cast<double>(cut.samples.size()), 2.0 * 48000, 1024);
  EXPECT_NEAR(cut.level(0.0, 0.45), loud, loud * 0.05);
  EXPECT_LT(cut.level(0.55, 0.95), 1e-3);
  EXPECT_NEAR(cut.level(1.0, 1.95), loud, loud * 0.05);
  EXPECT_EQ(files(), (std::vector<std::string>{"cut.mp4", "gap.mkv", "loud.mkv", "mute.mp4", "out.mkv", "out.mp4",
                                               "quiet.mkv", "short.mp4", "video.mp4"}));
}

TEST_F(JoinAudio, AJoinThatFailsLeavesNothing) {
  writeTone(dir / "tone.mkv", 1, 48000, 2, 0.5);
  writeVideo(dir / "video.mp4", 40);
  std::ofstream(dir / "broken.mp4") << "not a clip at all";
  const std::string tone = (dir / "tone.mkv").string(), out = (dir / "out.mp4").string();
  const std::vector<std::string> before = files();
  auto refusal = [&](const std::vector<JoinAudioClip>& clips, const std::vector<JoinAudioCut>& cuts) {
    try {
      muxJoinAudio((dir / "video.mp4").string(), clips, cuts, FrameRate(25), out);
    } catch (const HostError& error) {
      EXPECT_EQ(files(), before);
      return std::string(error.what());
    }
    ADD_FAILURE() << "no error";
    return std::string();
  };
  EXPECT_NE(refusal({{tone, 25}, {(dir / "broken.mp4").string(), 25}}, {{10}}).find("broken.mp4"), std::string::npos);
  EXPECT_NE(refusal({{tone, 25}, {tone, 25}}, {{10, "wobble"}}).find("unknown cross-fade curve \"wobble\""),
            std::string::npos);
  EXPECT_NE(refusal({{tone, 25}, {tone, 5}}, {{10}}).find("cut 1 overlaps 10 frames"), std::string::npos);
  EXPECT_NE(refusal({{tone, 30}, {tone, 30}}, {{10}}).find("video holds 40 frames, not the 50"), std::string::npos);
  int asked = 0;
  EXPECT_THROW(muxJoinAudio((dir / "video.mp4").string(), {{tone, 25}, {tone, 25}}, {{10}}, FrameRate(25), out,
                            [&] { return ++asked > 20; }),
               OutputStopped);
  EXPECT_GT(asked, 20);
  EXPECT_EQ(files(), before);
}

}  // namespace
