// A job cut into segments (render and join --segment K/N) and joined again with ophost concat:
// the cut's arithmetic, lossless segments that join into exactly the one-machine output (a join's
// sound included), H.264 segments that join with every frame and a keyframe at each start, PNG
// sequence segments that are the one-machine sequence, and concat refusing what does not fit.
extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

#include "ffmpeg_owners.h"
#include "host_error.h"
#include "job_shape.h"
#include "ophost_test_support.h"
#include "segment.h"

using namespace ophosttest;
using ophost::media::FrameRate;
using ophost::render::SegmentChoice;

namespace {

class Segments : public Scratch {
 protected:
  void run(const std::vector<std::string>& arguments) {
    const RunResult done = runOphost(arguments);
    ASSERT_EQ(done.status, 0) << done.err;
  }
  // Every decoded video frame's checksum and time, as ffmpeg lists them.
  std::vector<std::string> frames(const std::string& file) {
    const RunResult listed = runFfmpeg({"-i", file, "-map", "0:v", "-f", "framemd5", "-"});
    EXPECT_EQ(listed.status, 0) << listed.err;
    std::vector<std::string> lines;
    std::istringstream in(listed.out);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line[0] != '#') lines.push_back(line);
    }
    return lines;
  }
  std::string soundChecksum(const std::string& file) {
    const RunResult sum = runFfmpeg({"-i", file, "-map", "0:a", "-f", "md5", "-"});
    EXPECT_EQ(sum.status, 0) << sum.err;
    return sum.out;
  }
};

// What a file's packets say: its pictures' times in seconds (in the order shown), which of them
// are keyframes, and where its sound ends.
struct Packets {
  std::vector<std::pair<double, bool>> pictures;
  double soundEnd = -1;
};

Packets packetsOf(const std::string& file) {
  Packets packets;
  AVFormatContext* opened = nullptr;
  if (avformat_open_input(&opened, file.c_str(), nullptr, nullptr) < 0) return packets;
  const ophost::media::InputFormat demuxer(opened);
  avformat_find_stream_info(opened, nullptr);
  const ophost::media::Packet packet(av_packet_alloc());
  while (av_read_frame(opened, packet.get()) >= 0) {
    const AVStream* stream = opened->streams[packet->stream_index];
    const double unit = av_q2d(stream->time_base);
    if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      packets.pictures.emplace_back(static_cast<double>(packet->pts) * unit, (packet->flags & AV_PKT_FLAG_KEY) != 0);
    } else if (stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
      packets.soundEnd = std::max(packets.soundEnd, static_cast<double>(packet->pts + packet->duration) * unit);
    }
    av_packet_unref(packet.get());
  }
  std::sort(packets.pictures.begin(), packets.pictures.end());
  return packets;
}

std::string bytesOf(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

ophost::render::Options commandLine(const std::vector<std::string>& words) {
  ophost::render::Options options;
  options.plugins = OP_PLUGIN_DIR;
  options.textures = OP_TEXTURE_DIR;
  ophost::render::parseCommandLine(words, options);
  return options;
}

const std::vector<std::string> kJolt = {"render", "Jolt", "--input0", "card:bars", "--input1", "card:rings",
                                        "--size", "64x36", "-q"};

std::vector<std::string> with(std::vector<std::string> words, const std::vector<std::string>& more) {
  words.insert(words.end(), more.begin(), more.end());
  return words;
}

TEST(SegmentFrames, BalancedContiguousAndEachASecondOrMore) {
  using ophost::render::mostSegments;
  using ophost::render::segmentFrames;
  EXPECT_EQ(segmentFrames(100, FrameRate(25), {1, 3}), std::make_pair(int64_t{0}, int64_t{34}));
  EXPECT_EQ(segmentFrames(100, FrameRate(25), {2, 3}), std::make_pair(int64_t{34}, int64_t{67}));
  EXPECT_EQ(segmentFrames(100, FrameRate(25), {3, 3}), std::make_pair(int64_t{67}, int64_t{100}));
  EXPECT_EQ(mostSegments(75, FrameRate(25)), 3);
  EXPECT_EQ(mostSegments(89, FrameRate(30000, 1001)), 2);  // a second is 30 frames at 29.97
  EXPECT_EQ(mostSegments(10, FrameRate(25)), 1);           // too short to cut: one segment
  EXPECT_EQ(segmentFrames(10, FrameRate(25), {1, 1}), std::make_pair(int64_t{0}, int64_t{10}));
  try {
    segmentFrames(75, FrameRate(25), {1, 4});
    ADD_FAILURE() << "4 segments of 75 frames at 25 fps";
  } catch (const ophost::HostError& error) {
    EXPECT_NE(std::string(error.what()).find("3 segments at most"), std::string::npos) << error.what();
  }
  for (const FrameRate rate : {FrameRate(25), FrameRate(30000, 1001), FrameRate(24)}) {
    const int64_t second = (int64_t{rate.num} + rate.den - 1) / rate.den;
    for (int64_t frames = 1; frames <= 200; ++frames) {
      for (int64_t count = 1; count <= mostSegments(frames, rate); ++count) {
        int64_t next = 0, shortest = frames, longest = 0;
        for (int64_t k = 1; k <= count; ++k) {
          const auto [first, end] = segmentFrames(frames, rate, {k, count});
          ASSERT_EQ(first, next) << frames << " frames, " << k << "/" << count;
          shortest = std::min(shortest, end - first), longest = std::max(longest, end - first);
          next = end;
        }
        EXPECT_EQ(next, frames);
        EXPECT_LE(longest - shortest, 1);
        if (count > 1) {
          EXPECT_GE(shortest, second);
        }
      }
      EXPECT_THROW(segmentFrames(frames, rate, {1, mostSegments(frames, rate) + 1}), ophost::HostError);
    }
  }
  EXPECT_EQ(ophost::render::parseSegment("2/3").index, 2);
  for (const char* bad : {"0/3", "4/3", "3", "a/b", "1/0", "1/2/3", "-1/2", ""}) {
    EXPECT_THROW(ophost::render::parseSegment(bad), ophost::HostError) << bad;
  }
}

TEST_F(Segments, LosslessSegmentsJoinIntoTheOneMachineRenderAndJoin) {
  REQUIRE_PLUGIN("Jolt");
  // A render: 75 frames, FFV1 in Matroska.
  const auto render = with(kJolt, {"--length", "74", "--codec", "ffv1"});
  EXPECT_EQ(ophost::cli::jobShape(commandLine(with(render, {"--output", at("whole.mkv")}))).frames, 75);
  EXPECT_THROW(ophost::cli::jobShape(commandLine(with(render, {"--output", at("none/whole.mkv")}))), ophost::HostError);
  EXPECT_THROW(ophost::cli::jobShape(commandLine({"render", "Nosuch", "--output", at("whole.mkv")})), ophost::HostError);
  run(with(render, {"--output", at("whole.mkv")}));
  for (const char* k : {"1", "2", "3"}) {
    run(with(render, {"--output", at("r" + std::string(k) + ".mkv"), "--segment", std::string(k) + "/3"}));
  }
  EXPECT_EQ(packetsOf(at("r2.mkv")).pictures.front().first, 1.0);  // its place in the job
  run({"concat", at("r1.mkv"), at("r2.mkv"), at("r3.mkv"), "--output", at("render.mkv"), "-q"});
  const auto whole = frames(at("whole.mkv"));
  EXPECT_EQ(whole.size(), 75u);
  EXPECT_EQ(frames(at("render.mkv")), whole);

  // A join of three clips with sound, each segment starting in the middle of a clip; its sound
  // written apart and copied in beside the joined segments.
  for (int n = 1; n <= 3; ++n) {
    ASSERT_EQ(runFfmpeg({"-f", "lavfi", "-i", "testsrc=size=64x36:rate=25:duration=2", "-f", "lavfi", "-i",
                         "sine=frequency=" + std::to_string(300 * n) + ":duration=2", "-c:v", "libx264", "-pix_fmt",
                         "yuv420p", "-c:a", "aac", "-shortest", at("c" + std::to_string(n) + ".mp4")})
                  .status,
              0);
  }
  const std::vector<std::string> join = {"join", at("c1.mp4"), at("c2.mp4"), at("c3.mp4"), "--with", "jolt",
                                         "--duration", "10f", "--codec", "ffv1", "-q"};
  const ophost::cli::JobShape shape = ophost::cli::jobShape(commandLine(with(join, {"--output", at("j.mkv")})));
  EXPECT_EQ(shape.frames, 130);
  EXPECT_TRUE(shape.rate == FrameRate(25));
  run(with(join, {"--output", at("joined.mkv")}));
  for (const char* k : {"1", "2", "3"}) {
    run(with(join, {"--output", at("j" + std::string(k) + ".mkv"), "--segment", std::string(k) + "/3"}));
    EXPECT_LT(packetsOf(at("j" + std::string(k) + ".mkv")).soundEnd, 0) << "a segment holds no sound";
  }
  run(with(join, {"--output", at("sound.mkv"), "--sound-only"}));
  EXPECT_TRUE(packetsOf(at("sound.mkv")).pictures.empty());
  run({"concat", at("j1.mkv"), at("j2.mkv"), at("j3.mkv"), "--output", at("concat.mkv"), "--audio", at("sound.mkv"), "-q"});
  const auto joined = frames(at("joined.mkv"));
  EXPECT_EQ(joined.size(), 130u);
  EXPECT_EQ(frames(at("concat.mkv")), joined);
  EXPECT_EQ(soundChecksum(at("concat.mkv")), soundChecksum(at("joined.mkv")));
  const Packets heard = packetsOf(at("concat.mkv"));
  EXPECT_EQ(heard.pictures.front().first, 0.0);
  EXPECT_NEAR(heard.soundEnd, 130 / 25.0, 0.03);  // as long as the video, to an Opus packet
}

TEST_F(Segments, H264SegmentsJoinWithEveryFrameAndAKeyframeAtEachStart) {
  REQUIRE_PLUGIN("Jolt");
  const auto render = with(kJolt, {"--length", "89"});  // 90 frames, segments of 30
  for (const char* k : {"1", "2", "3"}) {
    run(with(render, {"--output", at("h" + std::string(k) + ".mp4"), "--segment", std::string(k) + "/3"}));
  }
  EXPECT_NEAR(packetsOf(at("h3.mp4")).pictures.front().first, 2.4, 1e-9);
  run({"concat", at("h1.mp4"), at("h2.mp4"), at("h3.mp4"), "--output", at("h.mp4"), "-q"});
  const Packets joined = packetsOf(at("h.mp4"));
  ASSERT_EQ(joined.pictures.size(), 90u);
  for (size_t n = 0; n < joined.pictures.size(); ++n) {
    EXPECT_NEAR(joined.pictures[n].first, static_cast<double>(n) / 25, 1e-9) << n;
    if (n % 30 == 0) {
      EXPECT_TRUE(joined.pictures[n].second) << "segment start " << n << " is a keyframe";
    }
  }
  EXPECT_EQ(frames(at("h.mp4")).size(), 90u);  // every frame decodes
}

TEST_F(Segments, ConcatRefusesSegmentsThatDoNotFitAndWritesNothing) {
  REQUIRE_PLUGIN("Jolt");
  const auto render = with(kJolt, {"--length", "74"});
  for (const char* k : {"1", "2", "3"}) {
    run(with(render, {"--output", at("s" + std::string(k) + ".mp4"), "--segment", std::string(k) + "/3"}));
  }
  run(with(render, {"--output", at("fast2.mp4"), "--segment", "2/3", "--preset", "ultrafast"}));
  run(with(kJolt, {"--length", "74", "--size", "48x28", "--output", at("small2.mp4"), "--segment", "2/3"}));
  const auto before = files();
  const std::string out = at("out.mp4");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"concat", at("s1.mp4"), at("s3.mp4"), "--output", out}, "segment 2 (" + at("s3.mp4") + ") does not follow"},
      {{"concat", at("s1.mp4"), at("s2.mp4"), at("s2.mp4"), "--output", out}, "they overlap"},
      {{"concat", at("s1.mp4"), at("small2.mp4"), at("s3.mp4"), "--output", out}, "its frames are 48x28, not 64x36"},
      {{"concat", at("s1.mp4"), at("fast2.mp4"), at("s3.mp4"), "--output", out}, "(" + at("fast2.mp4") + ") does not fit"},
      {{"concat", at("s1.mp4"), at("s2.mp4"), at("nosuch.mp4"), "--output", out}, "nosuch.mp4"},
      {{"concat", at("s1.mp4"), at("s2.mp4"), "--output", at("s2.mp4")}, "which the command reads"},
      {{"concat", at("s1.mp4"), at("s2.mp4"), at("s3.mp4"), "--output", out, "--audio", at("s1.mp4")}, "holds no sound"},
      {with(render, {"--output", at("one.png"), "--segment", "1/3"}), "cannot be a segment"},
      {with(render, {"--output", out, "--segment", "1/4"}), "3 segments at most"},
  };
  for (const auto& [arguments, expected] : cases) {
    const RunResult refused = runOphost(arguments);
    EXPECT_NE(refused.status, 0) << arguments[1];
    EXPECT_NE(refused.err.find(expected), std::string::npos) << refused.err;
    EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << refused.err;
  }
  EXPECT_EQ(files(), before);
}

TEST_F(Segments, PngSequenceSegmentsAreTheOneMachineSequence) {
  REQUIRE_PLUGIN("Jolt");
  const std::filesystem::path whole = dir / "whole", parts = dir / "parts";
  std::filesystem::create_directories(whole);
  std::filesystem::create_directories(parts);
  const auto render = with(kJolt, {"--length", "60", "--frames", "5:59"});  // 55 frames, from frame 5
  run(with(render, {"--output", (whole / "f%03d.png").string()}));
  for (const char* k : {"1", "2"}) {
    run(with(render, {"--output", (parts / "f%03d.png").string(), "--segment", std::string(k) + "/2"}));
  }
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(whole)) names.push_back(entry.path().filename().string());
  EXPECT_EQ(names.size(), 55u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(parts), {}), 55);
  for (const std::string& name : names) EXPECT_EQ(bytesOf(parts / name), bytesOf(whole / name)) << name;
}

}  // namespace
