#include "join_audio.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <filesystem>
#include <memory>
#include <regex>
#include <utility>

#include "ffmpeg_owners.h"
#include "muxed_file.h"
#include "filter_graph.h"
#include "host_error.h"
#include "input_file.h"
#include "media_output.h"
#include "temporary_file.h"

namespace ophost::media {

namespace {

// How much sound is decoded past the end of a clip's span, for the resampler's own delay.
constexpr double kSpareSeconds = 0.25;

// The rate the sound is written at when the first clip's own is not one the encoder takes.
constexpr int kUsualSampleRate = 48000;

std::string channelText(const AVChannelLayout& layout) {
  char text[128] = {0};
  av_channel_layout_describe(&layout, text, sizeof text);
  return text;
}

// One clip's sound as its file holds it, decoded frame by frame.
class ClipSound {
 public:
  ClipSound() = default;  // silence
  explicit ClipSound(const std::string& name) : name_(name) {
    checkReadableFile(name);
    format_ = openPlainInput(name, false, deadline_, "sound");
    const FailureWords words;
    int status = avformat_find_stream_info(format_.get(), nullptr);
    if (status < 0) {
      throw HostError(name + ": not a video or sound file that can be read (" +
                      (words.words().empty() ? failureReason(status, deadline_, "sound") : words.words()) + ")");
    }
    const AVCodec* codec = nullptr;
    stream_ = av_find_best_stream(format_.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (stream_ == AVERROR_STREAM_NOT_FOUND) return;  // a clip without sound: silence
    if (stream_ < 0 || codec == nullptr) {
      throw HostError(name + ": its sound cannot be decoded (no decoder for it is installed)");
    }
    const AVStream* audio = format_->streams[stream_];
    // The clip's time 0 is where its pictures start; a clip of sound alone starts with its sound.
    const int video = av_find_best_stream(format_.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (video >= 0 && format_->streams[video]->start_time != AV_NOPTS_VALUE) {
      origin_ = av_rescale_q(format_->streams[video]->start_time, format_->streams[video]->time_base, audio->time_base);
    } else if (audio->start_time != AV_NOPTS_VALUE) {
      origin_ = audio->start_time;
    }
    decoder_.reset(avcodec_alloc_context3(codec));
    if (!decoder_) throw HostError(name + ": out of memory");
    avcodec_parameters_to_context(decoder_.get(), audio->codecpar);
    decoder_->pkt_timebase = audio->time_base;
    status = avcodec_open2(decoder_.get(), codec, nullptr);
    if (status < 0) throw HostError(name + ": its sound cannot be decoded (" + averror(status) + ")");
    if (decoder_->sample_rate <= 0 || decoder_->ch_layout.nb_channels <= 0) {
      throw HostError(name + ": its sound has no sample rate or no channels");
    }
    if (decoder_->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
      const int channels = decoder_->ch_layout.nb_channels;
      av_channel_layout_uninit(&decoder_->ch_layout);
      av_channel_layout_default(&decoder_->ch_layout, channels);
    }
    packet_.reset(av_packet_alloc());
    frame_.reset(av_frame_alloc());
    if (!packet_ || !frame_) throw HostError(name + ": out of memory");
  }

  bool hasSound() const { return decoder_ != nullptr; }
  int sampleRate() const { return decoder_->sample_rate; }
  int channels() const { return decoder_->ch_layout.nb_channels; }

  // What the buffer source it is fed into is told of its frames; their times are counted in
  // samples from the clip's time 0.
  std::string bufferArguments() const {
    const char* format = av_get_sample_fmt_name(decoder_->sample_fmt);
    return "time_base=1/" + std::to_string(decoder_->sample_rate) + ":sample_rate=" +
           std::to_string(decoder_->sample_rate) + ":sample_fmt=" + (format ? format : "none") +
           ":channel_layout=" + channelText(decoder_->ch_layout);
  }

  // Decodes the next frame and hands it to `source`. False once the clip has given all the sound it
  // has, or the `seconds` of it that are wanted; `source` is then closed.
  bool feed(AVFilterContext* source, double seconds) {
    deadline_.start();
    for (;;) {
      if (deadline_.passed()) fail(AVERROR_EXIT);
      int status = avcodec_receive_frame(decoder_.get(), frame_.get());
      if (status == 0) {
        const AVRational samples{1, decoder_->sample_rate};
        const int64_t time = frame_->best_effort_timestamp;
        frame_->pts = time == AV_NOPTS_VALUE ? next_
                                             : av_rescale_q(time - origin_, format_->streams[stream_]->time_base, samples);
        next_ = frame_->pts + frame_->nb_samples;
        const double wanted = (seconds + kSpareSeconds) * decoder_->sample_rate;
        // Sound that starts after the span (a gap in the times, a clip whose sound begins late)
        // is not handed on: the span is silence up to it, and no gap is filled beyond the span.
        status = static_cast<double>(frame_->pts) < wanted
                     ? av_buffersrc_add_frame_flags(source, frame_.get(), AV_BUFFERSRC_FLAG_PUSH)
                     : 0;
        av_frame_unref(frame_.get());
        if (status < 0) fail(status);
        if (static_cast<double>(next_) < wanted) return true;
        close(source);
        return false;
      }
      if (status == AVERROR_EOF) {
        close(source);
        return false;
      }
      if (status != AVERROR(EAGAIN)) fail(status);
      status = av_read_frame(format_.get(), packet_.get());
      if (status < 0) {
        if (status != AVERROR_EOF) fail(status);
        avcodec_send_packet(decoder_.get(), nullptr);  // the decoder gives what it holds, then EOF
        continue;
      }
      if (packet_->stream_index == stream_) status = avcodec_send_packet(decoder_.get(), packet_.get());
      av_packet_unref(packet_.get());
      if (status < 0 && status != AVERROR(EAGAIN)) fail(status);
    }
  }

 private:
  void close(AVFilterContext* source) {
    const int status = av_buffersrc_add_frame_flags(source, nullptr, AV_BUFFERSRC_FLAG_PUSH);
    if (status < 0) fail(status);
  }
  [[noreturn]] void fail(int status) const {
    throw HostError(name_ + ": its sound cannot be decoded (" + failureReason(status, deadline_, "sound") + ")");
  }

  std::string name_;
  Deadline deadline_;  // asked by format_ (its interrupt callback), so it outlives it
  InputFormat format_;
  CodecContext decoder_;
  Packet packet_;
  Frame frame_;
  int stream_ = -1;
  int64_t origin_ = 0;  // the clip's time 0 in the audio stream's time base
  int64_t next_ = 0;    // where the next frame starts, in samples
};

// The sample of the join's sound at which output frame `frame` starts: the nearest one.
int64_t sampleAt(int64_t frame, int sampleRate, FrameRate rate) {
  return av_rescale_rnd(frame, int64_t{sampleRate} * rate.den, rate.num, AV_ROUND_NEAR_INF);
}

// The join's sound in samples. Clip k spans output frames [start, end) and its sound the samples
// between theirs; cut k the samples between the start of clip k+1 and the end of clip k. So the
// spans less the overlaps add up to the samples of the whole join exactly, and every cut falls
// where its frames do.
struct SoundPlan {
  std::vector<int64_t> spans;
  std::vector<double> seconds;  // each clip's span
  std::vector<int64_t> overlaps;
  int64_t total = 0;
};

SoundPlan planSound(const std::vector<JoinAudioClip>& clips, const std::vector<JoinAudioCut>& cuts, int sampleRate,
                    FrameRate rate) {
  SoundPlan plan;
  int64_t start = 0;
  for (size_t k = 0; k < clips.size(); ++k) {
    const int64_t end = start + clips[k].frames;
    plan.spans.push_back(sampleAt(end, sampleRate, rate) - sampleAt(start, sampleRate, rate));
    plan.seconds.push_back(static_cast<double>(clips[k].frames) * rate.den / rate.num);
    plan.total = sampleAt(end, sampleRate, rate);
    if (k + 1 == clips.size()) break;
    start = end - cuts[k].frames;
    plan.overlaps.push_back(sampleAt(end, sampleRate, rate) - sampleAt(start, sampleRate, rate));
  }
  return plan;
}

// The join's sound: every clip's branch fitted to its span, the cuts cross-faded, read out in
// frames of the encoder's size.
class JoinedSound {
 public:
  JoinedSound(std::vector<std::unique_ptr<ClipSound>>& clips, const std::vector<JoinAudioCut>& cuts, SoundPlan plan,
              AVCodecContext* encoder, const std::string& name)
      : clips_(clips), plan_(std::move(plan)), encoder_(encoder), name_(name), frame_(av_frame_alloc()) {
    const std::string sampleRate = std::to_string(encoder->sample_rate);
    const std::string layout = channelText(encoder->ch_layout);
    std::string description;
    std::vector<std::pair<std::string, std::string>> sources;
    for (size_t k = 0; k < clips.size(); ++k) {
      if (clips[k]->hasSound()) {
        const std::string label = "c" + std::to_string(k);
        sources.emplace_back(label, clips[k]->bufferArguments());
        description += "[" + label + "]";
        // A mono clip among stereo ones is heard as loud in both channels as it is alone.
        if (clips[k]->channels() == 1 && encoder->ch_layout.nb_channels == 2) description += "pan=stereo|c0=c0|c1=c0,";
        // Stretched by no more than a sample a second where its times drift, gaps filled, and
        // padded or cut at the start so that it begins at the clip's time 0.
        description += "aresample=" + sampleRate + ":async=1:first_pts=0,";
      } else {
        description += "anullsrc=r=" + sampleRate + ":cl=" + layout + ",";
      }
      const std::string samples = std::to_string(plan_.spans[k]);
      description += "aformat=sample_fmts=fltp:sample_rates=" + sampleRate + ":channel_layouts=" + layout +
                     ",apad=whole_len=" + samples + ",atrim=end_sample=" + samples + "[a" + std::to_string(k) + "];";
    }
    std::string joined = "a0";
    for (size_t k = 0; k + 1 < clips.size(); ++k) {
      const std::string next = "j" + std::to_string(k + 1);
      description += "[" + joined + "][a" + std::to_string(k + 1) + "]";
      description += plan_.overlaps[k] > 0 ? "acrossfade=nb_samples=" + std::to_string(plan_.overlaps[k]) +
                                                 ":curve1=" + cuts[k].curve + ":curve2=" + cuts[k].curve
                                           : std::string("concat=n=2:v=0:a=1");
      description += "[" + next + "];";
      joined = next;
    }
    description += "[" + joined + "]aformat=sample_fmts=" + av_get_sample_fmt_name(encoder->sample_fmt) + "[out]";
    if (!frame_) fail("the sound's filters cannot be set up", AVERROR(ENOMEM));
    graph_ = std::make_unique<FilterGraph>(description, sources, FilterGraph::Kind::Audio,
                                           "cannot write " + name_ + ": the sound's filters cannot be set up",
                                           "cannot write " + name_ + ": mixing the sound failed");
    if (encoder->frame_size > 0 && !(encoder->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE)) {
      av_buffersink_set_frame_size(graph_->sink(), static_cast<unsigned>(encoder->frame_size));
    }
  }

  // The next packet of the encoded sound, its times in the encoder's time base; false after the
  // last one.
  bool next(AVPacket* packet) {
    for (;;) {
      int status = avcodec_receive_packet(encoder_, packet);
      if (status == 0) return true;
      if (status == AVERROR_EOF) {
        if (sent_ != plan_.total) {
          throw HostError("cannot write " + name_ + ": its sound came out " + std::to_string(sent_) +
                          " samples long, not the video's " + std::to_string(plan_.total));
        }
        return false;
      }
      if (status != AVERROR(EAGAIN)) fail("encoding the sound failed", status);
      status = ended_ ? AVERROR_EOF : graph_->receive(frame_.get());
      if (status == 0) {
        frame_->pts = sent_;  // in samples, from 0: the sound starts with the video
        sent_ += frame_->nb_samples;
        status = avcodec_send_frame(encoder_, frame_.get());
        av_frame_unref(frame_.get());
        if (status < 0) fail("encoding the sound failed", status);
      } else if (status == AVERROR_EOF) {
        if (ended_) fail("encoding the sound failed", AVERROR_BUG);
        ended_ = true;
        status = avcodec_send_frame(encoder_, nullptr);
        if (status < 0) fail("encoding the sound failed", status);
      } else if (status != AVERROR(EAGAIN)) {
        fail("mixing the sound failed", status);
      } else if (feeding_ < clips_.size()) {
        ClipSound& clip = *clips_[feeding_];
        if (!clip.hasSound() || !clip.feed(sourceFor(feeding_), plan_.seconds[feeding_])) ++feeding_;
      } else {
        fail("mixing the sound failed", AVERROR_BUG);  // every clip given, yet more is wanted
      }
    }
  }

 private:
  [[noreturn]] void fail(const std::string& what, int status) const {
    throw HostError("cannot write " + name_ + ": " + what + " (" + averror(status) + ")");
  }

  AVFilterContext* sourceFor(size_t clip) const {
    size_t index = 0;
    for (size_t k = 0; k < clip; ++k) index += clips_[k]->hasSound() ? 1 : 0;
    return graph_->source(index);
  }

 private:
  std::vector<std::unique_ptr<ClipSound>>& clips_;
  SoundPlan plan_;
  AVCodecContext* encoder_;
  std::string name_;
  std::unique_ptr<FilterGraph> graph_;  // a source for each clip with sound
  Frame frame_;
  int64_t sent_ = 0;      // samples given to the encoder so far
  size_t feeding_ = 0;    // the clip whose sound the graph is taking now
  bool ended_ = false;
};

// Throws HostError, naming `output`, for clips and cuts that do not make a join.
void checkJoin(const std::vector<JoinAudioClip>& clips, const std::vector<JoinAudioCut>& cuts, FrameRate rate,
               const std::string& output) {
  const std::string cannot = "cannot write " + output + ": ";
  if (clips.empty()) throw HostError(cannot + "a join needs at least one clip");
  if (cuts.size() + 1 != clips.size()) {
    throw HostError(cannot + std::to_string(clips.size()) + " clips are joined by " +
                    std::to_string(clips.size() - 1) + " cuts, not " + std::to_string(cuts.size()));
  }
  if (rate.den <= 0 || rate.num < kMinFps * int64_t{rate.den} || rate.num > kMaxFps * int64_t{rate.den}) {
    throw HostError(cannot + "a frame rate of " + std::to_string(rate.num) + "/" + std::to_string(rate.den) +
                    " is not one the host writes");
  }
  // A day of frames at the highest rate: far beyond any join, yet small enough for the sums.
  constexpr int64_t kMostFrames = int64_t{kMaxFps} * 86400;
  int64_t frames = 0;
  for (size_t k = 0; k < clips.size(); ++k) {
    if (clips[k].frames <= 0 || clips[k].frames > kMostFrames) {
      throw HostError(cannot + "clip " + std::to_string(k + 1) + " spans " + std::to_string(clips[k].frames) +
                      " frames (it must span 1 to " + std::to_string(kMostFrames) + ")");
    }
    frames += clips[k].frames;
    if (frames > kMostFrames) throw HostError(cannot + "the join is longer than " + std::to_string(kMostFrames) + " frames");
  }
  const std::vector<std::string>& curves = crossfadeCurves();
  for (size_t k = 0; k < cuts.size(); ++k) {
    const JoinAudioCut& cut = cuts[k];
    const std::string which = "cut " + std::to_string(k + 1);
    if (cut.frames < 0 || cut.frames > clips[k].frames || cut.frames > clips[k + 1].frames) {
      throw HostError(cannot + which + " overlaps " + std::to_string(cut.frames) +
                      " frames, more than the clips on either side of it span (or fewer than 0)");
    }
    if (std::find(curves.begin(), curves.end(), cut.curve) == curves.end()) {
      std::string names;
      for (const std::string& curve : curves) names += (names.empty() ? "" : ", ") + curve;
      throw HostError(cannot + which + ": unknown cross-fade curve \"" + cut.curve + "\" (one of " + names + ")");
    }
  }
}

// A clip that cannot hold sound: none named, a built-in card or a numbered picture sequence.
bool soundless(const std::string& input) {
  static const std::regex numbered("%0?[0-9]*d");
  return input.empty() || input.rfind("card:", 0) == 0 || std::regex_search(input, numbered);
}

// Each clip's sound, silence for one that has none.
std::vector<std::unique_ptr<ClipSound>> openClips(const std::vector<JoinAudioClip>& clips) {
  std::vector<std::unique_ptr<ClipSound>> sounds;
  for (const JoinAudioClip& clip : clips) {
    sounds.push_back(soundless(clip.input) ? std::make_unique<ClipSound>() : std::make_unique<ClipSound>(clip.input));
  }
  return sounds;
}

// The audio encoders for a container (the first one installed is used), or none when it takes no
// sound the host writes.
std::vector<const char*> encodersFor(const AVOutputFormat* container, AVCodecID video) {
  const std::string name = container->name;
  if (name == "mov" && video == AV_CODEC_ID_PRORES) return {"pcm_s16le"};
  if (name == "mp4" || name == "mov" || name == "ipod") return {"aac"};
  if (name == "matroska" || name == "webm") return {"libopus", "opus"};
  return {};
}

// The encoder's sample format: floating point when it takes that, else its first.
AVSampleFormat sampleFormatFor(const AVCodec* codec) {
  if (codec->sample_fmts == nullptr) return AV_SAMPLE_FMT_FLTP;
  for (const AVSampleFormat* format = codec->sample_fmts; *format != AV_SAMPLE_FMT_NONE; ++format) {
    if (*format == AV_SAMPLE_FMT_FLTP || *format == AV_SAMPLE_FMT_FLT) return *format;
  }
  return codec->sample_fmts[0];
}

// The first clip with sound's own rate when the encoder takes it, else kUsualSampleRate.
int sampleRateFor(const AVCodec* codec, const ClipSound* first) {
  if (first == nullptr) return kUsualSampleRate;
  const int own = first->sampleRate();
  if (codec->supported_samplerates == nullptr) return own >= 8000 && own <= 192000 ? own : kUsualSampleRate;
  for (const int* rate = codec->supported_samplerates; *rate != 0; ++rate) {
    if (*rate == own) return own;
  }
  return kUsualSampleRate;
}

// The muxer writing `output` (under `temporary`), with the video stream of `video` copied into it
// and an audio stream for `encoder`.
class JoinMuxer {
 public:
  // No video file: the sound alone, chosen as it would be for a video of `videoCodec`.
  JoinMuxer(const std::string& output, const std::filesystem::path& temporary, const std::string& videoFile,
            AVCodecID videoCodec = AV_CODEC_ID_NONE)
      : output_(output), videoCodec_(videoCodec), file_(output, temporary) {
    if (videoFile.empty()) return;
    checkReadableFile(videoFile);
    video_ = openPlainInput(videoFile, false, deadline_, "picture");
    int status = avformat_find_stream_info(video_.get(), nullptr);
    if (status < 0) throw HostError(videoFile + ": not a video (" + failureReason(status, deadline_, "picture") + ")");
    videoStream_ = av_find_best_stream(video_.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (videoStream_ < 0) throw HostError(videoFile + ": not a video (it holds no picture stream)");
    const AVStream* in = video_->streams[videoStream_];
    AVStream* out = file_.addCopiedStream(*in->codecpar, in->time_base);
    out->avg_frame_rate = in->avg_frame_rate;
    out->sample_aspect_ratio = in->sample_aspect_ratio;
    videoCodec_ = in->codecpar->codec_id;
  }

  AVFormatContext* format() const { return file_.format(); }
  AVCodecID videoCodec() const { return videoCodec_; }

  // Adds the audio stream for the opened `encoder`, opens the temporary file and writes the header.
  void start(const AVCodecContext* encoder) {
    audio_ = avformat_new_stream(file_.format(), nullptr);
    if (audio_ == nullptr || avcodec_parameters_from_context(audio_->codecpar, encoder) < 0) {
      throw HostError("cannot write " + output_ + ": out of memory");
    }
    audio_->time_base = encoder->time_base;
    primingShift_ = file_.soundPrimingShift(*audio_->codecpar, encoder->time_base);
    file_.begin();
  }

  // Copies the video's packets and writes `sound`'s in among them by time, asking `stop` between
  // packets; then completes the file. Returns how many pictures were copied.
  int64_t write(JoinedSound& sound, AVRational soundTimeBase, const std::function<bool()>& stop) {
    const Packet picture(av_packet_alloc());
    const Packet audio(av_packet_alloc());
    if (!picture || !audio) throw HostError("cannot write " + output_ + ": out of memory");
    const AVRational pictureTimeBase = video_ ? video_->streams[videoStream_]->time_base : AVRational{1, 1};
    bool audioWaiting = sound.next(audio.get());
    int64_t pictures = 0;
    while (video_) {
      checkStop(stop);
      deadline_.start();
      int status = av_read_frame(video_.get(), picture.get());
      if (status == AVERROR_EOF) break;
      if (status < 0) throw HostError("cannot write " + output_ + ": its video cannot be read (" + averror(status) + ")");
      if (picture->stream_index != videoStream_) {
        av_packet_unref(picture.get());
        continue;
      }
      const int64_t when = picture->dts != AV_NOPTS_VALUE ? picture->dts : picture->pts;
      while (audioWaiting && when != AV_NOPTS_VALUE &&
             av_compare_ts(audio->pts, soundTimeBase, when, pictureTimeBase) <= 0) {
        checkStop(stop);
        writeAudio(audio.get(), soundTimeBase);
        audioWaiting = sound.next(audio.get());
      }
      picture->stream_index = 0;
      picture->pos = -1;
      av_packet_rescale_ts(picture.get(), pictureTimeBase, file_.format()->streams[0]->time_base);
      ++pictures;
      put(picture.get());
    }
    while (audioWaiting) {
      checkStop(stop);
      writeAudio(audio.get(), soundTimeBase);
      audioWaiting = sound.next(audio.get());
    }
    file_.finish();
    return pictures;
  }

 private:
  void checkStop(const std::function<bool()>& stop) const {
    if (stop && stop()) throw OutputStopped("stopped while " + output_ + " was being completed");
  }
  void writeAudio(AVPacket* packet, AVRational timeBase) {
    packet->stream_index = audio_->index;
    if (packet->pts != AV_NOPTS_VALUE) packet->pts += primingShift_;
    if (packet->dts != AV_NOPTS_VALUE) packet->dts += primingShift_;
    av_packet_rescale_ts(packet, timeBase, audio_->time_base);
    put(packet);
  }
  void put(AVPacket* packet) { file_.write(packet); }

  std::string output_;
  Deadline deadline_;  // asked by video_ (its interrupt callback), so it outlives it
  InputFormat video_;
  int videoStream_ = -1;
  AVCodecID videoCodec_ = AV_CODEC_ID_NONE;
  MuxedFile file_;
  AVStream* audio_ = nullptr;  // file_'s
  int64_t primingShift_ = 0;   // added to the sound's times, in the encoder's time base (samples)
};

}  // namespace

const std::vector<std::string>& crossfadeCurves() {
  static const std::vector<std::string> curves = [] {
    std::vector<std::string> names;
    const AVFilter* crossfade = avfilter_get_by_name("acrossfade");
    const AVOption* option = nullptr;
    while (crossfade != nullptr && (option = av_opt_next(&crossfade->priv_class, option)) != nullptr) {
      if (option->type == AV_OPT_TYPE_CONST && option->unit != nullptr && std::string(option->unit) == "curve" &&
          std::find(names.begin(), names.end(), option->name) == names.end()) {
        names.emplace_back(option->name);
      }
    }
    return names;
  }();
  return curves;
}

bool anyClipHasSound(const std::vector<JoinAudioClip>& clips) {
  for (const JoinAudioClip& clip : clips) {
    if (!soundless(clip.input) && ClipSound(clip.input).hasSound()) return true;
  }
  return false;
}

namespace {

// The join's sound into `output`, with the video of `videoFile` copied in beside it, or alone
// (as it would go with a video of `videoCodec`) when there is no video file.
void writeSound(const std::string& videoFile, AVCodecID videoCodec, const std::vector<JoinAudioClip>& clips,
                const std::vector<JoinAudioCut>& cuts, FrameRate rate, const std::string& output,
                const std::function<bool()>& stop) {
  checkJoin(clips, cuts, rate, output);
  checkOutputFile(output, output);
  TemporaryFile temporary(temporaryNameFor(output));  // outlives the muxer writing it
  std::vector<std::unique_ptr<ClipSound>> sounds = openClips(clips);
  JoinMuxer muxer(output, temporary.path(), videoFile, videoCodec);
  const std::vector<const char*> encoders = encodersFor(muxer.format()->oformat, muxer.videoCodec());
  if (encoders.empty()) {
    throw HostError("cannot write " + output + ": sound is written only into .mp4, .m4v, .mov, .mkv and .webm files");
  }
  const AVCodec* codec = nullptr;
  for (const char* name : encoders) {
    if (codec == nullptr) codec = avcodec_find_encoder_by_name(name);
  }
  if (codec == nullptr) throw HostError("cannot write " + output + ": no " + encoders[0] + " encoder is installed");
  const ClipSound* first = nullptr;
  for (const auto& sound : sounds) {
    if (first == nullptr && sound->hasSound()) first = sound.get();
  }
  const CodecContext encoder(avcodec_alloc_context3(codec));
  if (!encoder) throw HostError("cannot write " + output + ": out of memory");
  encoder->sample_rate = sampleRateFor(codec, first);
  encoder->sample_fmt = sampleFormatFor(codec);
  av_channel_layout_default(&encoder->ch_layout, first != nullptr && first->channels() == 1 ? 1 : 2);
  encoder->time_base = {1, encoder->sample_rate};
  encoder->bit_rate = (codec->id == AV_CODEC_ID_AAC ? 96000 : 64000) * int64_t{encoder->ch_layout.nb_channels};
  encoder->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;  // FFmpeg's own Opus encoder, when it is the one
  if (muxer.format()->oformat->flags & AVFMT_GLOBALHEADER) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  int status = avcodec_open2(encoder.get(), codec, nullptr);
  if (status < 0) throw HostError("cannot write " + output + ": the sound's encoder refused (" + averror(status) + ")");
  JoinedSound sound(sounds, cuts, planSound(clips, cuts, encoder->sample_rate, rate), encoder.get(), output);
  muxer.start(encoder.get());
  int64_t frames = 0;
  for (const JoinAudioClip& clip : clips) frames += clip.frames;
  for (const JoinAudioCut& cut : cuts) frames -= cut.frames;
  const int64_t pictures = muxer.write(sound, encoder->time_base, stop);
  if (!videoFile.empty() && pictures != frames) {
    throw HostError("cannot write " + output + ": its video holds " + std::to_string(pictures) +
                    " frames, not the " + std::to_string(frames) + " its clips and cuts make");
  }
  temporary.renameTo(output);
}

}  // namespace

void muxJoinAudio(const std::string& videoFile, const std::vector<JoinAudioClip>& clips,
                  const std::vector<JoinAudioCut>& cuts, FrameRate rate, const std::string& output,
                  const std::function<bool()>& stop) {
  writeSound(videoFile, AV_CODEC_ID_NONE, clips, cuts, rate, output, stop);
}

void writeJoinSound(const std::vector<JoinAudioClip>& clips, const std::vector<JoinAudioCut>& cuts, FrameRate rate,
                    Codec video, const std::string& output, const std::function<bool()>& stop) {
  // The sound chosen as for the video the output would hold (ProRes in MOV takes PCM).
  const AVCodec* encoder = avcodec_find_encoder_by_name(encoderName(video));
  writeSound("", encoder ? encoder->id : AV_CODEC_ID_NONE, clips, cuts, rate, output, stop);
}

}  // namespace ophost::media
