#include "media_input.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/csp.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <system_error>

#include "cards.h"
#include "ffmpeg_owners.h"
#include "orientation.h"
#include "frame_filter.h"
#include "tone_map.h"
#include "input_file.h"
#include "host_error.h"
#include "ycbcr_frames.h"

namespace ophost::media {

int64_t FrameTimes::frameAt(double seconds) const {
  const auto after = std::upper_bound(starts.begin(), starts.end(), seconds + slack);
  return std::max<int64_t>(0, (after - starts.begin()) - 1);
}

void FrameSource::frameInto(int64_t index, Picture& picture) {
  rgbIntoArea(frame(index, {picture.geometry.width, picture.geometry.height}), picture);
}

namespace {

class CardSource final : public FrameSource {
 public:
  explicit CardSource(std::string card) : card_(std::move(card)) { drawCard(card_, 8, 8); }
  Size naturalSize() const override { return kCardSize; }
  RgbImage frame(int64_t, Size size) override {
    auto found = drawn_.find({size.width, size.height});
    if (found == drawn_.end()) {
      found = drawn_.emplace(std::make_pair(size.width, size.height),
                             drawCard(card_, size.width, size.height)).first;
    }
    return found->second;
  }
  std::optional<int64_t> frameCount() const override { return 1; }
  bool isStill() const override { return true; }

 private:
  std::string card_;
  std::map<std::pair<int32_t, int32_t>, RgbImage> drawn_;
};

std::string sizeText(int64_t width, int64_t height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

// The field order the stream says, else the first frame's.
FieldOrder fieldOrderOf(AVFieldOrder stream, const AVFrame& first) {
  switch (stream) {
    case AV_FIELD_TT: case AV_FIELD_TB: return FieldOrder::TopFirst;
    case AV_FIELD_BB: case AV_FIELD_BT: return FieldOrder::BottomFirst;
    case AV_FIELD_PROGRESSIVE: return FieldOrder::Progressive;
    case AV_FIELD_UNKNOWN: break;
  }
  if (!first.interlaced_frame) return FieldOrder::Progressive;
  return first.top_field_first ? FieldOrder::TopFirst : FieldOrder::BottomFirst;
}

// Anything libavformat can open: a clip, a still, or an image sequence.
class DecodedSource final : public FrameSource {
 public:
  DecodedSource(const std::string& name, bool sequence, const std::atomic<bool>* cancel, const SourceOptions& options)
      : name_(name), sequence_(sequence), hdr_(options.hdr) {
    deadline_.cancel = cancel;
    openFile();  // what it opens is freed by its owners should this constructor throw
    if (!decodeNext()) {
      throw HostError(name_ + ": not a picture or video (nothing in it can be decoded)");
    }
    natural_ = {last_->width, last_->height};
    alpha_ = frameHasTransparency(*last_);
    const AVRational aspect = av_guess_sample_aspect_ratio(format_.get(), format_->streams[stream_], last_.get());
    pixelAspect_ = PixelAspect(aspect.num, aspect.den);
    fieldOrder_ = fieldOrderOf(format_->streams[stream_]->codecpar->field_order, *last_);
    if (options.deinterlace && interlaced(fieldOrder_)) {
      // From the start again, each frame through the deinterlacer: the clip is progressive now.
      deinterlace_ = fieldOrder_;
      fieldOrder_ = FieldOrder::Progressive;
      notes_.push_back(name_ + " is " + describe(deinterlace_) + ": deinterlaced (bwdif), a frame for each frame");
      rewind();
    }
    bool full = false;
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(layout(full));
    if (descriptor != nullptr && !(descriptor->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) &&
        descriptor->nb_components >= 3) {
      const YcbcrMeaning m = meaning(full);
      bt709_ = std::abs(m.kr - kBt709Kr) < 1e-4 && std::abs(m.kb - kBt709Kb) < 1e-4;
    }
  }

  Size naturalSize() const override { return natural_; }
  std::optional<int64_t> frameCount() const override { return count_; }
  bool isStill() const override { return count_ && *count_ == 1; }
  std::optional<FrameRate> frameRate() const override { return rate_; }
  bool hasAlpha() const override { return alpha_; }
  bool isBt709() const override { return bt709_; }
  std::vector<std::string> notes() const override { return notes_; }
  PixelAspect pixelAspect() const override { return pixelAspect_; }
  FieldOrder fieldOrder() const override { return fieldOrder_; }
  // How its pictures are meant to be shown (a phone's display rotation).
  Orientation orientation() const { return orientation_; }

  // Read through once more without decoding: the picture stream's packets, each one frame, but
  // for those the container marks to be dropped (the lead-in an edit list cuts), their times
  // sorted into the order they are shown.
  std::optional<FrameTimes> frameTimes() override {
    if (times_) return times_;
    const InputFormat counting = openDemuxer();
    const AVStream* stream = counting->streams[stream_];
    const Packet packet(av_packet_alloc());
    if (!packet) throw HostError(name_ + ": out of memory");
    std::vector<int64_t> starts, keys;
    int64_t end = AV_NOPTS_VALUE;
    bool timed = true;
    deadline_.start();
    while (av_read_frame(counting.get(), packet.get()) >= 0) {
      if (packet->stream_index == stream_ && (packet->flags & AV_PKT_FLAG_DISCARD) == 0) {
        if (packet->pts == AV_NOPTS_VALUE) timed = false;
        starts.push_back(packet->pts);
        if (packet->flags & AV_PKT_FLAG_KEY) keys.push_back(packet->pts);
        if (packet->pts != AV_NOPTS_VALUE && packet->duration > 0) end = std::max(end, packet->pts + packet->duration);
        if (starts.size() % 256 == 0) deadline_.start();  // reading on: the limit is per stretch, not the file
      }
      av_packet_unref(packet.get());
    }
    if (deadline_.cancelled()) throw HostError(name_ + ": interrupted while its frames were counted");
    if (deadline_.passed()) throw HostError(name_ + ": its frames could not be counted (" + reason(AVERROR_EXIT) + ")");
    FrameTimes times;
    const double frame = 1.0 / rate_.value_or(FrameRate()).perSecond();
    if (starts.empty()) starts.push_back(0);
    if (timed) {
      std::sort(starts.begin(), starts.end());
      if (std::adjacent_find(starts.begin(), starts.end()) == starts.end()) {
        framePts_ = starts;
        std::sort(keys.begin(), keys.end());
        keyPts_ = keys;
      }
      const double unit = av_q2d(stream->time_base);
      times.slack = std::clamp(unit / 2, 1e-6, 5e-4);
      for (const int64_t start : starts) times.starts.push_back(static_cast<double>(start - starts.front()) * unit);
      times.end = end == AV_NOPTS_VALUE ? times.starts.back() + frame
                                        : std::max(static_cast<double>(end - starts.front()) * unit, times.starts.back());
    } else {
      for (size_t k = 0; k < starts.size(); ++k) times.starts.push_back(static_cast<double>(k) * frame);
      times.end = static_cast<double>(starts.size()) * frame;
    }
    times_ = std::move(times);
    return times_;
  }

  RgbImage frame(int64_t index, Size size) override {
    moveTo(index);
    return convert(size);
  }

  void frameInto(int64_t index, Picture& picture) override {
    moveTo(index);
    if (convertYcbcr(picture)) return;
    const Geometry& g = picture.geometry;
    if (!frameHasAlpha(*last_)) {
      rgbIntoArea(convert({g.width, g.height}), picture);
      return;
    }
    std::vector<uint8_t> alpha;
    rgbIntoArea(convert({g.width, g.height}, &alpha), picture);
    for (int32_t j = 0; j < g.height; ++j) {
      uint8_t* row = picture.area(0, j);
      const uint8_t* keys = alpha.data() + static_cast<size_t>(j) * static_cast<size_t>(g.width);
      for (int32_t i = 0; i < g.width; ++i) row[4 * i] = keys[i];
    }
  }

 private:
  // Whether the frame's format has an alpha channel; one of a palette only when a colour of the
  // palette is not opaque.
  static bool frameHasAlpha(const AVFrame& frame) {
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
    if (descriptor == nullptr || !(descriptor->flags & AV_PIX_FMT_FLAG_ALPHA)) return false;
    if (!(descriptor->flags & AV_PIX_FMT_FLAG_PAL)) return true;
    if (frame.data[1] == nullptr) return false;
    for (int n = 0; n < 256; ++n) {
      uint32_t colour = 0;
      std::memcpy(&colour, frame.data[1] + 4 * n, 4);
      if ((colour >> 24) != 255) return true;  // the palette's entries are 0xAARRGGBB words
    }
    return false;
  }

  // Whether some pixel of the frame is not opaque (a GIF decodes with alpha, used or not).
  static bool frameHasTransparency(const AVFrame& frame) {
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
    if (!frameHasAlpha(frame)) return false;
    if (descriptor->flags & AV_PIX_FMT_FLAG_PAL) return true;  // a colour of its palette is not opaque
    const int alpha = descriptor->nb_components - 1;  // alpha comes last
    const uint32_t opaque = (uint32_t{1} << descriptor->comp[alpha].depth) - 1;
    std::vector<uint32_t> line(static_cast<size_t>(frame.width));
    for (int y = 0; y < frame.height; ++y) {
      av_read_image_line2(line.data(), const_cast<const uint8_t**>(frame.data), frame.linesize, descriptor, 0, y,
                          alpha, frame.width, 0, 4);
      if (std::any_of(line.begin(), line.end(), [opaque](uint32_t value) { return value < opaque; })) return true;
    }
    return false;
  }

  // Decodes on to frame `index` (the last one there is, beyond the end): from the keyframe before
  // it when it lies behind or well ahead and the clip can be sought in, else from the start again
  // when it lies behind.
  void moveTo(int64_t index) {
    if (index < lastIndex_ && count_ && *count_ == 1) return;
    if ((index < lastIndex_ || keyframeBetween(lastIndex_, index)) && seekTo(index)) return;
    if (index < lastIndex_) rewind();
    while (lastIndex_ < index && !ended_) {
      if (!decodeNext()) break;
    }
  }

  // Whether a keyframe lies after frame `from` and at or before frame `to`: decoding from there
  // passes over the frames between.
  bool keyframeBetween(int64_t from, int64_t to) const {
    const auto size = static_cast<int64_t>(framePts_.size());
    if (from < 0 || to <= from || to >= size) return false;
    const auto key = std::upper_bound(keyPts_.begin(), keyPts_.end(), framePts_[static_cast<size_t>(to)]);
    return key != keyPts_.begin() && *std::prev(key) > framePts_[static_cast<size_t>(from)];
  }

  // Frame `index` decoded from the keyframe at or before it, each frame before it in between
  // decoded and let go: the frame sequential decoding gives, since every frame is known by its
  // time (framePts_, from frameTimes()). False, with the clip read from its start again, where
  // that cannot be done: a deinterlaced clip (its filter reads the frames around each), a sequence,
  // times not known or not each a frame's own, a seek the file refuses, or a frame decoded whose
  // time is not one of them.
  bool seekTo(int64_t index) {
    if (sequence_ || interlaced(deinterlace_) || index < 0 || index >= static_cast<int64_t>(framePts_.size())) {
      return false;
    }
    const int64_t target = framePts_[static_cast<size_t>(index)];
    deadline_.start();
    if (av_seek_frame(format_.get(), stream_, target, AVSEEK_FLAG_BACKWARD) < 0) return false;
    avcodec_flush_buffers(decoder_.get());
    flushed_ = false;
    ended_ = false;
    for (;;) {
      deadline_.start();
      if (!decodeFrame()) break;
      const int64_t pts = work_->pts;
      const auto found = std::lower_bound(framePts_.begin(), framePts_.end(), pts);
      if (pts == AV_NOPTS_VALUE || found == framePts_.end() || *found != pts || found - framePts_.begin() > index) break;
      if (found - framePts_.begin() < index) {
        av_frame_unref(work_.get());
        continue;
      }
      av_frame_unref(last_.get());
      av_frame_move_ref(last_.get(), work_.get());
      toneMap();
      lastIndex_ = index;
      return true;
    }
    rewind();
    return false;
  }

  void checkSize(int64_t width, int64_t height, const char* what) const {
    if (width > kMaxDecodedSide || height > kMaxDecodedSide) {
      throw HostError(name_ + ": " + what + " " + sizeText(width, height) + ", larger than the " +
                      sizeText(kMaxDecodedSide, kMaxDecodedSide) + " the host decodes");
    }
  }

  // The file opened for reading by the rules of input_file.h, its streams found.
  InputFormat openDemuxer() {
    InputFormat format = openPlainInput(name_, sequence_, deadline_, "picture");
    const FailureWords words;
    // A stream's claimed size is refused before its first frame is decoded.
    for (unsigned n = 0; n < format->nb_streams; ++n) {
      const AVCodecParameters* claimed = format->streams[n]->codecpar;
      if (claimed->codec_type == AVMEDIA_TYPE_VIDEO) checkSize(claimed->width, claimed->height, "its pictures are");
    }
    const int status = avformat_find_stream_info(format.get(), nullptr);
    if (status < 0) {
      throw HostError(name_ + ": not a picture or video (" + (words.words().empty() ? reason(status) : words.words()) + ")");
    }
    return format;
  }

  void openFile() {
    format_ = openDemuxer();
    const AVCodec* codec = nullptr;
    stream_ = av_find_best_stream(format_.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (stream_ < 0 || codec == nullptr) {
      throw HostError(name_ + ": not a picture or video (it holds no picture stream)");
    }
    const AVCodecParameters* parameters = format_->streams[stream_]->codecpar;
    checkSize(parameters->width, parameters->height, "its pictures are");
    // VP9 keeps alpha in a second stream of its own, which only libvpx's decoder reads.
    const AVDictionaryEntry* alphaMode = av_dict_get(format_->streams[stream_]->metadata, "alpha_mode", nullptr, 0);
    if (parameters->codec_id == AV_CODEC_ID_VP9 && alphaMode != nullptr && std::strcmp(alphaMode->value, "1") == 0) {
      if (const AVCodec* withAlpha = avcodec_find_decoder_by_name("libvpx-vp9")) codec = withAlpha;
    }
    rate_ = streamRate(format_->streams[stream_]);
    const uint8_t* matrix = av_stream_get_side_data(format_->streams[stream_], AV_PKT_DATA_DISPLAYMATRIX, nullptr);
    orientation_ = orientationOf(reinterpret_cast<const int32_t*>(matrix));
    decoder_.reset(avcodec_alloc_context3(codec));
    if (!decoder_) throw HostError(name_ + ": out of memory");
    avcodec_parameters_to_context(decoder_.get(), parameters);
    decoder_->thread_count = 2;
    decoder_->max_pixels = static_cast<int64_t>(kMaxDecodedSide) * kMaxDecodedSide;
    const int status = avcodec_open2(decoder_.get(), codec, nullptr);
    if (status < 0) throw HostError(name_ + ": cannot be decoded (" + reason(status) + ")");
    packet_.reset(av_packet_alloc());
    work_.reset(av_frame_alloc());
    if (!packet_ || !work_) throw HostError(name_ + ": out of memory");
  }

  // The stream's average rate, else the rate its timestamps are counted in, reduced; none when
  // neither is a rate a video could have.
  static std::optional<FrameRate> streamRate(const AVStream* stream) {
    for (AVRational rate : {stream->avg_frame_rate, stream->r_frame_rate}) {
      if (rate.num <= 0 || rate.den <= 0) continue;
      av_reduce(&rate.num, &rate.den, rate.num, rate.den, 1 << 20);
      if (rate.num >= kMinFps * int64_t{rate.den} && rate.num <= kMaxFps * int64_t{rate.den}) {
        return FrameRate(rate.num, rate.den);
      }
    }
    return std::nullopt;
  }

  std::string reason(int status) const { return failureReason(status, deadline_, "picture"); }

  void closeFile() {
    work_.reset();
    last_.reset();
    packet_.reset();
    decoder_.reset();
    format_.reset();
  }

  void rewind() {
    closeFile();
    lastIndex_ = -1;
    flushed_ = false;
    ended_ = false;
    deinterlacer_.reset();
    deinterlacerEnded_ = false;
    openFile();
    decodeNext();
  }

  // The next frame into last_ (deinterlaced, tone-mapped, as asked); false at the end (then
  // count_ is known).
  bool decodeNext() {
    deadline_.start();
    if (!last_) last_.reset(av_frame_alloc());
    if (!filtered_) filtered_.reset(av_frame_alloc());
    if (!last_ || !filtered_) throw HostError(name_ + ": out of memory");
    if (!interlaced(deinterlace_)) {
      if (!decodeFrame()) return endOfClip();
      av_frame_unref(last_.get());
      av_frame_move_ref(last_.get(), work_.get());
    } else {
      // The deinterlacer gives frame N once it has seen frame N + 1 (and the last at the end).
      while (!deinterlacer_ || !deinterlacer_->take(filtered_.get())) {
        if (deinterlacerEnded_) return endOfClip();
        if (decodeFrame()) {
          if (!deinterlacer_) {
            const std::string parity = deinterlace_ == FieldOrder::TopFirst ? "tff" : "bff";
            deinterlacer_ = std::make_unique<FrameFilter>("bwdif=mode=send_frame:parity=" + parity + ":deint=all",
                                                          *work_, format_->streams[stream_]->time_base, name_,
                                                          "deinterlaced");
          }
          deinterlacer_->give(work_.get());
        } else if (deinterlacer_) {
          deinterlacer_->give(nullptr);
          deinterlacerEnded_ = true;
        } else {
          return endOfClip();
        }
      }
      av_frame_unref(last_.get());
      av_frame_move_ref(last_.get(), filtered_.get());
    }
    toneMap();
    ++lastIndex_;
    return true;
  }

  bool endOfClip() {
    ended_ = true;
    count_ = lastIndex_ + 1;
    return false;
  }

  // Decodes the next frame of the file into work_; false at its end.
  bool decodeFrame() {
    for (;;) {
      if (deadline_.passed()) {
        throw HostError(name_ + ": frame " + std::to_string(lastIndex_ + 1) + " cannot be decoded (" +
                        reason(AVERROR_EXIT) + ")");
      }
      int status = avcodec_receive_frame(decoder_.get(), work_.get());
      if (status == 0) {
        if (work_->width <= 0 || work_->height <= 0) {
          av_frame_unref(work_.get());
          throw HostError(name_ + ": frame " + std::to_string(lastIndex_ + 1) + " has no size");
        }
        checkSize(work_->width, work_->height, ("frame " + std::to_string(lastIndex_ + 1) + " is").c_str());
        return true;
      }
      if (status == AVERROR_EOF) return false;
      if (status != AVERROR(EAGAIN)) {
        throw HostError(name_ + ": frame " + std::to_string(lastIndex_ + 1) +
                        " cannot be decoded (" + reason(status) + ")");
      }
      if (flushed_) return false;
      status = av_read_frame(format_.get(), packet_.get());
      if (status < 0) {
        avcodec_send_packet(decoder_.get(), nullptr);
        flushed_ = true;
        continue;
      }
      if (packet_->stream_index == stream_) {
        status = avcodec_send_packet(decoder_.get(), packet_.get());
        if (status < 0 && status != AVERROR(EAGAIN) && lastIndex_ < 0) {
          av_packet_unref(packet_.get());
          throw HostError(name_ + ": not a picture or video that can be decoded (" +
                          reason(status) + ")");
        }
      }
      av_packet_unref(packet_.get());
    }
  }

  // A high-dynamic-range frame brought to standard range, or the clip refused, as asked.
  void toneMap() {
    const std::string transfer = highDynamicRange(*last_);
    if (transfer.empty()) return;
    if (hdr_ == HighDynamicRange::Refuse) {
      throw HostError(name_ + ": a high-dynamic-range clip (" + transfer + "), which --no-tonemap refuses");
    }
    if (notes_.empty()) {
      notes_.push_back(name_ + " is high-dynamic-range (" + transfer +
                       "): tone-mapped to standard-range BT.709, its highlights compressed");
    }
    if (!toneMapper_) toneMapper_ = std::make_unique<ToneMapper>();
    toneMapper_->map(*last_, name_);
  }

  // The decoded frame's pixel format, with the old full-range formats named by their layout.
  AVPixelFormat layout(bool& full) const {
    AVPixelFormat format = static_cast<AVPixelFormat>(last_->format);
    full = last_->color_range == AVCOL_RANGE_JPEG;
    switch (format) {  // the old full-range formats: the same layout, full range
      case AV_PIX_FMT_YUVJ420P: format = AV_PIX_FMT_YUV420P; full = true; break;
      case AV_PIX_FMT_YUVJ422P: format = AV_PIX_FMT_YUV422P; full = true; break;
      case AV_PIX_FMT_YUVJ444P: format = AV_PIX_FMT_YUV444P; full = true; break;
      case AV_PIX_FMT_YUVJ440P: format = AV_PIX_FMT_YUV440P; full = true; break;
      default: break;
    }
    return format;
  }

  // What the frame's numbers mean: its matrix (BT.709 for an unnamed one of 720 rows or more, as
  // HD is made, else BT.601), range and chroma siting.
  YcbcrMeaning meaning(bool full) const {
    YcbcrMeaning m;
    m.fullRange = full;
    const AVLumaCoefficients* weights = av_csp_luma_coeffs_from_avcsp(last_->colorspace);
    if (last_->colorspace == AVCOL_SPC_UNSPECIFIED || weights == nullptr) {
      const bool hd = last_->height >= 720;
      m.kr = hd ? kBt709Kr : kBt601Kr;
      m.kb = hd ? kBt709Kb : kBt601Kb;
    } else {
      m.kr = av_q2d(weights->cr);
      m.kb = av_q2d(weights->cb);
    }
    switch (last_->chroma_location) {
      case AVCHROMA_LOC_CENTER: m.chromaCentredAcross = true; break;
      case AVCHROMA_LOC_TOPLEFT: m.chromaCositedDown = true; break;
      case AVCHROMA_LOC_TOP: m.chromaCentredAcross = true, m.chromaCositedDown = true; break;
      default: break;  // left, H.264's and MPEG-2's, when none is named
    }
    return m;
  }

  // Writes the decoded frame into the picture's area straight from YCbCr: as it is when it is 8-bit
  // 4:2:0, 4:2:2 or 4:4:4 of the area's size, else scaled to 4:4:4 of that size first (in its own
  // matrix and range). False for a frame that is not YCbCr (RGB, a palette), left to convert().
  bool convertYcbcr(Picture& picture) {
    if (last_ == nullptr) throw HostError(name_ + ": holds no picture");
    bool full = false;
    const AVPixelFormat format = layout(full);
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    if (descriptor == nullptr || (descriptor->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) ||
        descriptor->nb_components < 3) {
      return false;
    }
    const Geometry& g = picture.geometry;
    if (g.width <= 0 || g.height <= 0) return true;
    const YcbcrMeaning wanted = meaning(full);
    if (!ycbcr_ || ycbcrMeaning_ != wanted) {
      ycbcr_ = std::make_unique<YcbcrToOpPixels>(wanted);
      ycbcrMeaning_ = wanted;
    }
    const bool alpha = (descriptor->flags & AV_PIX_FMT_FLAG_ALPHA) != 0;
    const bool direct = (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUV422P || format == AV_PIX_FMT_YUV444P ||
                         format == AV_PIX_FMT_YUVA420P || format == AV_PIX_FMT_YUVA422P ||
                         format == AV_PIX_FMT_YUVA444P) &&
                        last_->width == g.width && last_->height == g.height;
    YcbcrPlanes planes;
    planes.width = g.width;
    planes.height = g.height;
    const AVFrame* from = last_.get();
    if (direct) {
      planes.shiftX = descriptor->log2_chroma_w;
      planes.shiftY = descriptor->log2_chroma_h;
      planes.interlaced = interlaced(fieldOrder_);
    } else {
      scaleTo444(format, full, alpha, g.width, g.height);
      from = scaled_.get();
      planes.shiftX = planes.shiftY = 0;
    }
    for (int p = 0; p < 3; ++p) planes.plane[p] = from->data[p], planes.stride[p] = from->linesize[p];
    if (alpha) planes.alpha = from->data[3], planes.alphaStride = from->linesize[3];
    ycbcr_->convert(planes, picture);
    return true;
  }

  // The decoded frame as 8-bit 4:4:4 of width x height in scaled_, with its alpha or without,
  // its matrix and range kept.
  void scaleTo444(AVPixelFormat format, bool full, bool alpha, int32_t width, int32_t height) {
    if (width > kMaxDecodedSide || height > kMaxDecodedSide) {
      throw HostError(name_ + ": cannot be scaled to " + sizeText(width, height));
    }
    const AVPixelFormat target = alpha ? AV_PIX_FMT_YUVA444P : AV_PIX_FMT_YUV444P;
    if (!scaled_ || scaled_->width != width || scaled_->height != height || scaled_->format != target) {
      scaled_.reset(av_frame_alloc());
      if (!scaled_) throw HostError(name_ + ": out of memory");
      scaled_->format = target;
      scaled_->width = width;
      scaled_->height = height;
      // swscale's vector code writes a little past the end of each row.
      if (av_frame_get_buffer(scaled_.get(), 64) < 0) throw HostError(name_ + ": out of memory");
    }
    SwsContext* context = sws_getCachedContext(scaler_.release(), last_->width, last_->height, format, width, height,
                                               target, SWS_BICUBIC | SWS_ACCURATE_RND,
                                               nullptr, nullptr, nullptr);
    scaler_.reset(context);
    if (!scaler_) throw HostError(name_ + ": its pixel format cannot be converted");
    const int range = full ? 1 : 0;  // the same on both sides: no range conversion here
    const int* coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
    sws_setColorspaceDetails(scaler_.get(), coefficients, range, coefficients, range, 0, 1 << 16, 1 << 16);
    sws_scale(scaler_.get(), last_->data, last_->linesize, 0, last_->height, scaled_->data, scaled_->linesize);
  }

  // The decoded frame as RGB of `size`; its alpha, a byte a pixel row after row, into `alpha`
  // when it is given.
  RgbImage convert(Size size, std::vector<uint8_t>* alpha = nullptr) {
    if (last_ == nullptr) throw HostError(name_ + ": holds no picture");
    bool full = false;
    const AVPixelFormat format = layout(full);
    int space = SWS_CS_ITU601;
    switch (last_->colorspace) {
      case AVCOL_SPC_BT709: space = SWS_CS_ITU709; break;
      case AVCOL_SPC_BT2020_NCL: case AVCOL_SPC_BT2020_CL: space = SWS_CS_BT2020; break;
      case AVCOL_SPC_UNSPECIFIED: space = last_->height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601; break;
      default: break;
    }
    if (size.width <= 0 || size.height <= 0 || size.width > kMaxDecodedSide || size.height > kMaxDecodedSide) {
      throw HostError(name_ + ": cannot be scaled to " + sizeText(size.width, size.height));
    }
    RgbImage rgb(size.width, size.height);
    const AVPixelFormat packed = alpha ? AV_PIX_FMT_RGBA : AV_PIX_FMT_RGB24;
    const Scaler context(sws_getContext(last_->width, last_->height, format, size.width,
                                        size.height, packed,
                                        SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT,
                                        nullptr, nullptr, nullptr));
    if (!context) throw HostError(name_ + ": its pixel format cannot be converted");
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    const bool rgbSource = descriptor && (descriptor->flags & AV_PIX_FMT_FLAG_RGB);
    sws_setColorspaceDetails(context.get(), sws_getCoefficients(space), rgbSource ? 1 : (full ? 1 : 0),
                             sws_getCoefficients(SWS_CS_ITU601), 1, 0, 1 << 16, 1 << 16);
    const size_t pixels = static_cast<size_t>(size.width) * static_cast<size_t>(size.height);
    std::vector<uint8_t> rgba;
    if (alpha) rgba.resize(pixels * 4 + kScalerPadding);
    uint8_t* target[4] = {alpha ? rgba.data() : rgb.rgb.data(), nullptr, nullptr, nullptr};
    const int targetStride[4] = {size.width * (alpha ? 4 : 3), 0, 0, 0};
    sws_scale(context.get(), last_->data, last_->linesize, 0, last_->height, target, targetStride);
    if (alpha) {
      alpha->resize(pixels);
      for (size_t n = 0; n < pixels; ++n) {
        std::copy_n(rgba.data() + 4 * n, 3, rgb.rgb.data() + 3 * n);
        (*alpha)[n] = rgba[4 * n + 3];
      }
    }
    return rgb;
  }

  std::string name_;
  bool sequence_ = false;
  Deadline deadline_;  // asked by format_ (its interrupt callback), so it outlives it
  InputFormat format_;
  CodecContext decoder_;
  Packet packet_;
  Frame work_;
  Frame last_;
  int stream_ = -1;
  int64_t lastIndex_ = -1;
  bool flushed_ = false;
  bool ended_ = false;
  std::optional<int64_t> count_;
  Size natural_;
  std::optional<FrameRate> rate_;
  bool alpha_ = false;  // some pixel of the first frame is not opaque
  bool bt709_ = false;  // the first frame is BT.709 YCbCr
  PixelAspect pixelAspect_;
  FieldOrder fieldOrder_ = FieldOrder::Progressive;  // as read: progressive once deinterlaced
  FieldOrder deinterlace_ = FieldOrder::Progressive;  // the fields the deinterlacer takes apart
  std::unique_ptr<FrameFilter> deinterlacer_;
  bool deinterlacerEnded_ = false;
  Frame filtered_;  // the deinterlacer's next frame
  std::optional<FrameTimes> times_;  // once read
  // The time of each frame in the order shown, in the stream's time base, when each is a time of
  // its own: how a frame is found after a seek. Empty until frameTimes() read them.
  std::vector<int64_t> framePts_;
  std::vector<int64_t> keyPts_;  // the times of the keyframes among them
  Orientation orientation_;
  HighDynamicRange hdr_;
  std::unique_ptr<ToneMapper> toneMapper_;
  std::vector<std::string> notes_;
  std::unique_ptr<YcbcrToOpPixels> ycbcr_;  // for the meaning of the frames seen last
  YcbcrMeaning ycbcrMeaning_;
  Scaler scaler_;  // to 4:4:4 at another size, kept from frame to frame
  Frame scaled_;
};

}  // namespace

std::unique_ptr<FrameSource> openSource(const std::string& name, const std::atomic<bool>* cancel,
                                        const SourceOptions& options) {
  if (name.rfind("card:", 0) == 0) return std::make_unique<CardSource>(name.substr(5));
  static const std::regex numbered("%0?[0-9]*d");
  const bool sequence = std::regex_search(name, numbered);
  if (sequence) {
    const std::filesystem::path parent = std::filesystem::path(name).parent_path();
    std::error_code error;
    if (!parent.empty() && !std::filesystem::is_directory(parent, error)) {
      throw HostError(name + ": no such directory for the image sequence");
    }
  } else {
    checkReadableFile(name);
  }
  auto decoded = std::make_unique<DecodedSource>(name, sequence, cancel, options);
  const Orientation orientation = decoded->orientation();
  return orientedSource(std::move(decoded), orientation);
}

}  // namespace ophost::media
