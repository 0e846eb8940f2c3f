#include "stream_concat.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ffmpeg_owners.h"
#include "muxed_file.h"
#include "host_error.h"
#include "input_file.h"
#include "media_output.h"
#include "temporary_file.h"

namespace ophost::media {

namespace {

// One file open for its packets: a segment's picture stream, or the sound's first audio stream.
struct OpenStream {
  std::string name;
  Deadline deadline;  // asked by format (its interrupt callback), so it outlives it
  InputFormat format;
  int index = -1;
  const AVStream* stream() const { return format->streams[index]; }
};

std::unique_ptr<OpenStream> openStream(const std::string& name, AVMediaType type) {
  const char* awaited = type == AVMEDIA_TYPE_VIDEO ? "picture" : "sound";
  auto open = std::make_unique<OpenStream>();
  open->name = name;
  checkReadableFile(name);
  open->format = openPlainInput(name, false, open->deadline, awaited);
  const int status = avformat_find_stream_info(open->format.get(), nullptr);
  if (status < 0) {
    throw HostError(name + ": cannot be read (" + failureReason(status, open->deadline, awaited) + ")");
  }
  for (unsigned n = 0; n < open->format->nb_streams && open->index < 0; ++n) {
    if (open->format->streams[n]->codecpar->codec_type == type) open->index = static_cast<int>(n);
  }
  if (open->index < 0) {
    throw HostError(name + (type == AVMEDIA_TYPE_VIDEO ? ": not a video segment (it holds no picture stream)"
                                                       : ": holds no sound (no audio stream)"));
  }
  return open;
}

// The next packet of the open stream, skipping the file's other streams; false at its end.
bool nextPacket(OpenStream& open, AVPacket* packet) {
  for (;;) {
    open.deadline.start();
    const int status = av_read_frame(open.format.get(), packet);
    if (status == AVERROR_EOF) return false;
    if (status < 0) throw HostError(open.name + ": cannot be read (" + failureReason(status, open.deadline, "packet") + ")");
    if (packet->stream_index == open.index) return true;
    av_packet_unref(packet);
  }
}

std::string rational(AVRational value, const char* between) {
  return std::to_string(value.num) + between + std::to_string(value.den);
}

std::string secondsAt(int64_t time, AVRational timeBase) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(time) * av_q2d(timeBase));
  return text;
}

std::string fieldsText(AVFieldOrder order) {
  switch (order) {
    case AV_FIELD_PROGRESSIVE: return "progressive";
    case AV_FIELD_TT: return "top field first";
    case AV_FIELD_BB: return "bottom field first";
    case AV_FIELD_TB: return "top field first, shown bottom first";
    case AV_FIELD_BT: return "bottom field first, shown top first";
    default: return "of unknown field order";
  }
}

// What every segment of a job shares, as the first segment has it.
struct SegmentShape {
  CodecParameters parameters;
  AVRational timeBase{0, 1};
  AVRational rate{0, 1};
  AVRational pixelAspect{0, 1};
};

// The segment's times: its first picture's and the end of its last, in its stream's time base.
struct SegmentSpan {
  int64_t start = 0, end = 0;
  int64_t pictures = 0;
};

SegmentShape shapeOf(OpenStream& segment) {
  SegmentShape shape;
  shape.parameters.reset(avcodec_parameters_alloc());
  if (!shape.parameters || avcodec_parameters_copy(shape.parameters.get(), segment.stream()->codecpar) < 0) {
    throw HostError("out of memory for " + segment.name);
  }
  shape.timeBase = segment.stream()->time_base;
  shape.rate = av_guess_frame_rate(segment.format.get(), const_cast<AVStream*>(segment.stream()), nullptr);
  shape.pixelAspect = av_guess_sample_aspect_ratio(segment.format.get(), const_cast<AVStream*>(segment.stream()), nullptr);
  if (shape.rate.num <= 0 || shape.rate.den <= 0) throw HostError(segment.name + ": its frame rate cannot be told");
  return shape;
}

// Why `shape` (of `name`) differs from `first` (of `firstName`); empty when it does not.
std::string misfit(const SegmentShape& shape, const SegmentShape& first) {
  const AVCodecParameters& a = *shape.parameters;
  const AVCodecParameters& b = *first.parameters;
  if (a.codec_id != b.codec_id) {
    return std::string("its codec is ") + avcodec_get_name(a.codec_id) + ", not " + avcodec_get_name(b.codec_id);
  }
  if (a.width != b.width || a.height != b.height) {
    return "its frames are " + std::to_string(a.width) + "x" + std::to_string(a.height) + ", not " +
           std::to_string(b.width) + "x" + std::to_string(b.height);
  }
  if (a.format != b.format) {
    const char* own = av_get_pix_fmt_name(static_cast<AVPixelFormat>(a.format));
    const char* other = av_get_pix_fmt_name(static_cast<AVPixelFormat>(b.format));
    return std::string("its pixels are ") + (own ? own : "unknown") + ", not " + (other ? other : "unknown");
  }
  if (av_cmp_q(shape.pixelAspect, first.pixelAspect) != 0 &&
      !(shape.pixelAspect.num == 0 && first.pixelAspect.num == 0)) {
    return "its pixel aspect is " + rational(shape.pixelAspect, ":") + ", not " + rational(first.pixelAspect, ":");
  }
  if (a.field_order != b.field_order) return "it is " + fieldsText(a.field_order) + ", not " + fieldsText(b.field_order);
  if (av_cmp_q(shape.timeBase, first.timeBase) != 0) {
    return "its time base is " + rational(shape.timeBase, "/") + ", not " + rational(first.timeBase, "/");
  }
  if (av_cmp_q(shape.rate, first.rate) != 0) {
    return "its rate is " + rational(shape.rate, "/") + " fps, not " + rational(first.rate, "/");
  }
  if (a.profile != b.profile || a.level != b.level || a.bits_per_raw_sample != b.bits_per_raw_sample ||
      a.color_range != b.color_range || a.color_space != b.color_space || a.color_primaries != b.color_primaries ||
      a.color_trc != b.color_trc || a.chroma_location != b.chroma_location) {
    return "its codec parameters differ (profile, level, depth or colours)";
  }
  if (a.extradata_size != b.extradata_size ||
      (a.extradata_size > 0 && std::memcmp(a.extradata, b.extradata, static_cast<size_t>(a.extradata_size)) != 0)) {
    return "its codec's setup (extradata) differs: it was encoded with other settings";
  }
  return "";
}

// Reads the segment through: it must start, in decoding order, with a keyframe that is also its
// first picture shown (no picture of it refers to one before), and hold pictures that all have
// times.
SegmentSpan spanOf(OpenStream& segment, int64_t frame) {
  const Packet packet(av_packet_alloc());
  if (!packet) throw HostError("out of memory for " + segment.name);
  SegmentSpan span;
  int64_t firstShown = 0;
  while (nextPacket(segment, packet.get())) {
    const int64_t time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
    const int64_t duration = packet->duration > 0 ? packet->duration : frame;
    av_packet_unref(packet.get());
    if (time == AV_NOPTS_VALUE) throw HostError(segment.name + ": a picture of it has no time");
    if (span.pictures == 0) {
      if (!key) throw HostError(segment.name + ": does not start with a keyframe");
      firstShown = span.start = time;
      span.end = time + duration;
    }
    span.start = std::min(span.start, time);
    span.end = std::max(span.end, time + duration);
    ++span.pictures;
  }
  if (span.pictures == 0) throw HostError(segment.name + ": holds no pictures");
  if (span.start < firstShown) {
    throw HostError(segment.name + ": pictures before its first keyframe refer to another segment (an open GOP)");
  }
  return span;
}

// The output file, its streams copied from the first segment and from the sound.
class ConcatMuxer {
 public:
  ConcatMuxer(const std::string& output, const std::filesystem::path& temporary, const AVCodecParameters& video,
              const SegmentShape& shape, const OpenStream* sound)
      : file_(output, temporary) {
    video_ = file_.addCopiedStream(video, shape.timeBase);
    video_->avg_frame_rate = shape.rate;
    video_->sample_aspect_ratio = shape.pixelAspect;
    if (sound != nullptr) {
      const AVCodecParameters& heard = *sound->stream()->codecpar;
      audio_ = file_.addCopiedStream(heard, sound->stream()->time_base);
      primingShift_ = file_.soundPrimingShift(heard, sound->stream()->time_base);
    }
    file_.begin("a " + std::filesystem::path(output).extension().string() + " file cannot carry these streams");
  }

  const AVStream* video() const { return video_; }
  const AVStream* audio() const { return audio_; }

  // Writes `packet` (in `timeBase`) into stream `stream`.
  void put(AVPacket* packet, const AVStream* stream, AVRational timeBase) {
    if (stream == audio_) {
      if (packet->pts != AV_NOPTS_VALUE) packet->pts += primingShift_;
      if (packet->dts != AV_NOPTS_VALUE) packet->dts += primingShift_;
    }
    packet->stream_index = stream->index;
    packet->pos = -1;
    av_packet_rescale_ts(packet, timeBase, stream->time_base);
    file_.write(packet);
  }

  void finish() { file_.finish(); }

 private:
  MuxedFile file_;
  AVStream* video_ = nullptr;  // file_'s
  AVStream* audio_ = nullptr;
  int64_t primingShift_ = 0;  // added to the sound's times, in its own time base
};

void checkStop(const std::function<bool()>& stop, const std::string& output) {
  if (stop && stop()) throw OutputStopped("stopped while " + output + " was being written");
}

}  // namespace

ConcatResult concatSegments(const std::vector<std::string>& segments, const std::string& output,
                            const std::string& audio, const std::function<bool()>& stop) {
  if (segments.empty()) throw HostError("concat needs one segment or more");
  if (outputKindFor(output) != OutputKind::Video) {
    throw HostError("cannot write " + output + ": segments are joined into .mp4, .m4v, .mov, .mkv or .webm");
  }
  checkOutputFile(output, output);
  av_log_set_level(AV_LOG_QUIET);

  // Every segment checked against the first and the one before it, before anything is written.
  SegmentShape first;
  int64_t origin = 0, end = 0, frame = 1;
  for (size_t k = 0; k < segments.size(); ++k) {
    checkStop(stop, output);
    const auto segment = openStream(segments[k], AVMEDIA_TYPE_VIDEO);
    SegmentShape shape = shapeOf(*segment);
    if (k == 0) {
      first = std::move(shape);
      frame = std::max<int64_t>(1, av_rescale_q(1, av_inv_q(first.rate), first.timeBase));
    } else if (const std::string why = misfit(shape, first); !why.empty()) {
      throw HostError("segment " + std::to_string(k + 1) + " (" + segments[k] + ") does not fit segment 1 (" +
                      segments[0] + "): " + why);
    }
    const SegmentSpan span = spanOf(*segment, frame);
    if (k == 0) {
      origin = span.start;
    } else if (std::llabs(span.start - end) * 2 > frame) {
      const int64_t frames = (std::llabs(span.start - end) + frame / 2) / frame;
      const std::string many = std::to_string(frames) + " frame" + (frames == 1 ? "" : "s");
      throw HostError("segment " + std::to_string(k + 1) + " (" + segments[k] + ") does not follow segment " +
                      std::to_string(k) + " (" + segments[k - 1] + "): it starts at " +
                      secondsAt(span.start, first.timeBase) +
                      (span.start > end ? ", " + many + " after the end of the one before (a segment missing?)"
                                        : ", " + many + " before the end of the one before (they overlap)"));
    }
    end = span.end;
  }

  std::unique_ptr<OpenStream> sound;
  if (!audio.empty()) sound = openStream(audio, AVMEDIA_TYPE_AUDIO);
  TemporaryFile temporary(temporaryNameFor(output));  // outlives the muxer writing it
  ConcatMuxer muxer(output, temporary.path(), *first.parameters, first, sound.get());

  const Packet picture(av_packet_alloc());
  const Packet heard(av_packet_alloc());
  if (!picture || !heard) throw HostError("cannot write " + output + ": out of memory");
  const AVRational soundTimeBase = sound ? sound->stream()->time_base : AVRational{1, 1};
  bool soundWaiting = sound && nextPacket(*sound, heard.get());
  ConcatResult result;
  int64_t lastDts = AV_NOPTS_VALUE;  // of the picture before, in the segments' time base
  for (const std::string& name : segments) {
    const auto segment = openStream(name, AVMEDIA_TYPE_VIDEO);
    while (nextPacket(*segment, picture.get())) {
      checkStop(stop, output);
      if (picture->pts != AV_NOPTS_VALUE) picture->pts -= origin;
      if (picture->dts != AV_NOPTS_VALUE) picture->dts -= origin;
      // Matroska keeps no decoding times: its reader leaves them out where they cannot be told
      // (the first pictures of a stream that reorders them) and they are made up again here, each
      // after the one before and none after its picture's own time.
      if (picture->pts != AV_NOPTS_VALUE && (picture->dts == AV_NOPTS_VALUE || picture->dts <= lastDts)) {
        picture->dts = lastDts == AV_NOPTS_VALUE ? picture->pts : std::min(picture->pts, lastDts + 1);
      }
      lastDts = picture->dts;
      const int64_t when = picture->dts != AV_NOPTS_VALUE ? picture->dts : picture->pts;
      while (soundWaiting && av_compare_ts(heard->dts != AV_NOPTS_VALUE ? heard->dts : heard->pts, soundTimeBase,
                                           when, first.timeBase) <= 0) {
        muxer.put(heard.get(), muxer.audio(), soundTimeBase);
        soundWaiting = nextPacket(*sound, heard.get());
      }
      muxer.put(picture.get(), muxer.video(), first.timeBase);
      ++result.frames;
    }
  }
  while (soundWaiting) {
    checkStop(stop, output);
    muxer.put(heard.get(), muxer.audio(), soundTimeBase);
    soundWaiting = nextPacket(*sound, heard.get());
  }
  muxer.finish();
  temporary.renameTo(output);
  result.rate = FrameRate(first.rate.num, first.rate.den);
  result.width = first.parameters->width;
  result.height = first.parameters->height;
  result.codec = avcodec_get_name(first.parameters->codec_id);
  result.sound = sound != nullptr;
  return result;
}

}  // namespace ophost::media
