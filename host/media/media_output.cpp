#include "media_output.h"

#include <atomic>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <regex>
#include <system_error>
#include <thread>

#include "ffmpeg_owners.h"
#include "filter_graph.h"
#include "host_error.h"
#include "muxed_file.h"
#include "temporary_file.h"
#include "ycbcr_frames.h"

namespace ophost::media {

namespace {

std::string averror(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, text, sizeof text);
  return text;
}

const std::regex& numberedPattern() {
  static const std::regex pattern("%0?[0-9]*d");
  return pattern;
}

std::string lowerExtension(const std::string& name) {
  std::string extension = std::filesystem::path(name).extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension;
}

void checkDirectory(const std::string& name) {
  const std::filesystem::path parent = std::filesystem::absolute(name).parent_path();
  std::error_code error;
  if (!std::filesystem::is_directory(parent, error)) {
    throw HostError("cannot write " + name + ": no such directory " + parent.string());
  }
  if (access(parent.c_str(), W_OK) != 0) {
    throw HostError("cannot write " + name + ": directory " + parent.string() + " is not writable");
  }
}

// An empty frame, to be given a buffer or filled by a decoder or filter.
Frame newFrame() {
  Frame frame(av_frame_alloc());
  if (!frame) throw HostError("out of memory for a frame");
  return frame;
}

// A frame of `format` at width x height with its buffer.
Frame newFrame(AVPixelFormat format, int width, int height) {
  Frame frame = newFrame();
  frame->format = format;
  frame->width = width;
  frame->height = height;
  if (av_frame_get_buffer(frame.get(), 0) < 0) throw HostError("out of memory for a frame");
  return frame;
}

// One frame as an AVFrame of `format` at width x height, converted from RGB (studio range of the
// BT.601 matrix, or of `colourspace`, for YUV formats).
Frame convertedFrame(const RgbImage& rgb, AVPixelFormat format, int width, int height,
                     int colourspace = SWS_CS_ITU601) {
  Frame frame = newFrame(format, width, height);
  const Scaler context(sws_getContext(rgb.width, rgb.height, AV_PIX_FMT_RGB24, width, height, format,
                                      SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP,
                                      nullptr, nullptr, nullptr));
  if (!context) throw HostError("cannot convert a frame for output");
  const int* bt601 = sws_getCoefficients(SWS_CS_ITU601);
  sws_setColorspaceDetails(context.get(), bt601, 1, sws_getCoefficients(colourspace), format == AV_PIX_FMT_RGB24 ? 1 : 0, 0,
                           1 << 16, 1 << 16);
  std::vector<uint8_t> spare;
  const uint8_t* source[4] = {rgb.scalerInput(spare), nullptr, nullptr, nullptr};
  const int sourceStride[4] = {rgb.width * 3, 0, 0, 0};
  sws_scale(context.get(), source, sourceStride, 0, rgb.height, frame->data, frame->linesize);
  return frame;
}

// A PNG of `rgb`, RGBA when `alpha` holds a byte for each of its pixels (0 transparent). The
// image and the keys are let go once they are in the encoder's frame, before the compression.
Packet encodePng(RgbImage rgb, std::vector<uint8_t> alpha = {}, bool withAlpha = false, PixelAspect aspect = {}) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (codec == nullptr) throw HostError("no PNG encoder is available");
  const CodecContext encoder(avcodec_alloc_context3(codec));
  Packet packet(av_packet_alloc());
  if (!encoder || !packet) throw HostError("out of memory for a PNG");
  const AVPixelFormat format = withAlpha ? AV_PIX_FMT_RGBA : AV_PIX_FMT_RGB24;
  encoder->width = rgb.width;
  encoder->height = rgb.height;
  encoder->pix_fmt = format;
  encoder->time_base = {1, 25};
  encoder->sample_aspect_ratio = {aspect.num, aspect.den};  // written as the pHYs chunk
  int status = avcodec_open2(encoder.get(), codec, nullptr);
  if (status >= 0) {
    const Frame frame = newFrame(format, rgb.width, rgb.height);
    for (int32_t j = 0; j < rgb.height; ++j) {
      uint8_t* row = frame->data[0] + static_cast<ptrdiff_t>(j) * frame->linesize[0];
      if (!withAlpha) {
        std::copy_n(rgb.at(0, j), rgb.width * 3, row);
        continue;
      }
      const uint8_t* keys = alpha.data() + static_cast<size_t>(j) * static_cast<size_t>(rgb.width);
      for (int32_t i = 0; i < rgb.width; ++i) {
        std::copy_n(rgb.at(i, j), 3, row + 4 * i);
        row[4 * i + 3] = keys[i];
      }
    }
    rgb = RgbImage();
    std::vector<uint8_t>().swap(alpha);
    status = avcodec_send_frame(encoder.get(), frame.get());
  }
  if (status >= 0) status = avcodec_receive_packet(encoder.get(), packet.get());
  if (status < 0) throw HostError("cannot encode a PNG (" + averror(status) + ")");
  return packet;
}

// The keys of a picture's whole buffer, row after row.
std::vector<uint8_t> keysOf(const Picture& picture) {
  std::vector<uint8_t> keys(static_cast<size_t>(picture.geometry.stride) * static_cast<size_t>(picture.geometry.rows));
  for (size_t n = 0; n < keys.size(); ++n) keys[n] = picture.bytes[4 * n];
  return keys;
}

// Writes the packet's bytes to the new file `file`; on failure removes it and throws, telling `name` and why.
void writeBytes(const std::filesystem::path& file, const AVPacket& bytes, const std::string& name) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) throw HostError("cannot write " + name + ": " + std::strerror(errno));
  const size_t size = static_cast<size_t>(bytes.size);
  size_t done = 0;
  int failure = 0;
  while (done < size) {
    const ssize_t wrote = ::write(fd, bytes.data + done, size - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      failure = wrote < 0 ? errno : ENOSPC;
      break;
    }
    done += static_cast<size_t>(wrote);
  }
  if (::close(fd) != 0 && failure == 0) failure = errno;
  if (failure != 0) {
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    throw HostError("cannot write " + name + ": " + std::strerror(failure));
  }
}

// Temporaries, each with its final name, that are removed unless they were renamed into place.
class Temporaries {
 public:
  void add(std::filesystem::path temporary, std::string final) {
    files_.emplace_back(std::make_unique<TemporaryFile>(std::move(temporary)), std::move(final));
  }
  std::vector<std::string> commit() {
    std::vector<std::string> names;
    for (const auto& file : files_) {
      file.first->renameTo(file.second);
      names.push_back(file.second);
    }
    files_.clear();
    return names;
  }

 private:
  std::vector<std::pair<std::unique_ptr<TemporaryFile>, std::string>> files_;
};

// One PNG, or a numbered sequence of them. A sequence's frames are converted, compressed and
// written on threads of their own, a few frames at a time, because PNG compression takes longer
// than rendering a frame; each file is the same as if it were written in turn.
class PngSink final : public FrameSink {
 public:
  PngSink(std::string name, bool sequence, bool alpha, PixelAspect aspect)
      : name_(std::move(name)), sequence_(sequence), alpha_(alpha), aspect_(aspect),
        inFlight_(std::max(2u, std::thread::hardware_concurrency())) {}
  void add(const RgbImage& frame, int64_t number) override {
    write(number, [frame, aspect = aspect_]() mutable { return encodePng(std::move(frame), {}, false, aspect); });
  }
  // The frame is made RGB here, smaller than its OpPixels and with no copy of them kept, and the
  // RGB let go once it is in the encoder's frame: each frame being compressed holds no more than
  // it needs.
  void add(const Picture& frame, int64_t number) override {
    if (!alpha_) noteDroppedAlpha(frame);
    write(number, [rgb = pictureToRgb(frame), keys = alpha_ ? keysOf(frame) : std::vector<uint8_t>(),
                   alpha = alpha_, aspect = aspect_]() mutable {
      return encodePng(std::move(rgb), std::move(keys), alpha, aspect);
    });
  }
  std::vector<std::string> finish() override {
    while (!pending_.empty()) awaitOldest();
    return temporaries_.commit();
  }

 private:
  void write(int64_t number, std::function<Packet()> encode) {
    if (!sequence_ && frames_ > 0) {
      throw HostError(name_ + " holds one frame: write a range to name%04d.png, .mp4 or .gif");
    }
    const std::string final = sequence_ ? sequenceFileName(name_, number) : name_;
    if (final == last_) throw HostError("cannot write " + name_ + ": two frames would both be " + final);
    checkOutputFile(final, sequence_ ? final : name_);
    last_ = final;
    const std::filesystem::path temporary = temporaryNameFor(final);
    temporaries_.add(temporary, final);
    ++frames_;
    auto job = [encode = std::move(encode), temporary, final]() mutable { writeBytes(temporary, *encode(), final); };
    if (!sequence_) return job();
    while (pending_.size() >= inFlight_) awaitOldest();
    pending_.push_back(std::async(std::launch::async, std::move(job)));
  }
  // Waits for the oldest frame still being written; what it failed with is thrown here.
  void awaitOldest() {
    std::future<void> oldest = std::move(pending_.front());
    pending_.pop_front();
    oldest.get();
  }

  std::string name_;
  bool sequence_;
  bool alpha_;  // RGBA, the keys as alpha
  PixelAspect aspect_;
  size_t inFlight_;  // frames being written at once, at most
  int64_t frames_ = 0;
  std::string last_;  // the file name of the frame before
  Temporaries temporaries_;
  // After temporaries_: the frames still being written are waited for before their files are
  // removed, when the sink goes without finishing.
  std::deque<std::future<void>> pending_;
};

// An encoder and muxer writing to a temporary file. Every object it makes has an owner of its
// own from the moment it is made, so a constructor that throws frees them all and removes the
// temporary file as surely as the destructor does.
class EncodedFile {
 public:
  EncodedFile(const std::string& name, const char* format, AVCodecID codecId, const char* codecName,
              AVPixelFormat pixels, int width, int height, FrameRate fps, Dictionary options,
              int64_t bitRate = 0, bool bt709 = false, PixelAspect aspect = {},
              FieldOrder fields = FieldOrder::Progressive)
      : name_(name), temporary_(temporaryNameFor(name)), file_(name, temporary_.path(), format) {
    const AVCodec* codec = codecName ? avcodec_find_encoder_by_name(codecName) : nullptr;
    if (codec == nullptr) codec = avcodec_find_encoder(codecId);
    if (codec == nullptr) throw HostError("cannot write " + name + ": no encoder is installed for it");
    stream_ = avformat_new_stream(file_.format(), nullptr);
    encoder_.reset(avcodec_alloc_context3(codec));
    packet_.reset(av_packet_alloc());
    if (stream_ == nullptr || !encoder_ || !packet_) throw HostError("cannot write " + name + ": out of memory");
    encoder_->width = width;
    encoder_->height = height;
    encoder_->pix_fmt = pixels;
    encoder_->time_base = {fps.den, fps.num};
    encoder_->framerate = {fps.num, fps.den};
    encoder_->sample_aspect_ratio = {aspect.num, aspect.den};
    if (interlaced(fields)) {
      encoder_->field_order = fields == FieldOrder::TopFirst ? AV_FIELD_TT : AV_FIELD_BB;
      if (codecId == AV_CODEC_ID_H264 || codecId == AV_CODEC_ID_PRORES) {
        encoder_->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
      }
    } else {
      encoder_->field_order = AV_FIELD_PROGRESSIVE;
    }
    const AVPixFmtDescriptor* layout = av_pix_fmt_desc_get(pixels);
    if (layout != nullptr && !(layout->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL))) {
      // What is written: studio range, BT.601 (the OpPixels' own) or BT.709, the chroma (where it
      // is halved) co-sited with the even columns.
      encoder_->gop_size = static_cast<int>(std::lround(fps.perSecond() * 2));
      encoder_->color_range = AVCOL_RANGE_MPEG;
      encoder_->colorspace = bt709 ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
      encoder_->color_primaries = bt709 ? AVCOL_PRI_BT709 : AVCOL_PRI_SMPTE170M;
      encoder_->color_trc = bt709 ? AVCOL_TRC_BT709 : AVCOL_TRC_SMPTE170M;
      encoder_->chroma_sample_location = AVCHROMA_LOC_LEFT;
    }
    encoder_->bit_rate = bitRate;  // none: the encoder's rate factor or its own lossless coding
    encoder_->thread_count = 0;  // as many as the encoder finds worth it on this machine
    if (file_.format()->oformat->flags & AVFMT_GLOBALHEADER) encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* settings = options.release();  // the encoder takes what it knows out of it
    int status = avcodec_open2(encoder_.get(), codec, &settings);
    options.reset(settings);
    if (status < 0) throw HostError("cannot write " + name + ": the encoder refused (" + averror(status) + ")");
    avcodec_parameters_from_context(stream_->codecpar, encoder_.get());
    if (codec->id == AV_CODEC_ID_HEVC && (std::strcmp(file_.format()->oformat->name, "mp4") == 0 ||
                                         std::strcmp(file_.format()->oformat->name, "mov") == 0)) {
      stream_->codecpar->codec_tag = MKTAG('h', 'v', 'c', '1');  // the tag players look for
    }
    stream_->time_base = encoder_->time_base;
    stream_->avg_frame_rate = {fps.num, fps.den};
    stream_->sample_aspect_ratio = encoder_->sample_aspect_ratio;
    file_.begin();
  }
  EncodedFile(const EncodedFile&) = delete;
  EncodedFile& operator=(const EncodedFile&) = delete;

  // Encodes `frame` (null to drain) and writes what the encoder gives back; `between` is called
  // before each packet (it may throw to stop).
  void encode(AVFrame* frame, const std::function<void()>& between = {}) {
    int status = avcodec_send_frame(encoder_.get(), frame);
    if (status < 0) throw HostError("cannot write " + name_ + ": encoding failed (" + averror(status) + ")");
    for (;;) {
      if (between) between();
      status = avcodec_receive_packet(encoder_.get(), packet_.get());
      if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return;
      if (status < 0) throw HostError("cannot write " + name_ + ": encoding failed (" + averror(status) + ")");
      if (packet_->duration <= 0) packet_->duration = 1;  // one frame, in the encoder's time base
      av_packet_rescale_ts(packet_.get(), encoder_->time_base, stream_->time_base);
      packet_->stream_index = stream_->index;
      file_.write(packet_.get());
    }
  }
  // Drains the encoder (calling `between` before each packet), writes the trailer, closes the
  // file and renames it into place.
  std::vector<std::string> finish(const std::function<void()>& between = {}) {
    encode(nullptr, between);
    file_.finish();
    temporary_.renameTo(name_);
    return {name_};
  }

 private:
  // Destroyed in the reverse order: the muxer is freed before the file it wrote to is closed,
  // and the file is closed before it is removed.
  std::string name_;
  TemporaryFile temporary_;
  MuxedFile file_;
  CodecContext encoder_;
  AVStream* stream_ = nullptr;  // the muxer's
  Packet packet_;
};

// How a codec's frames are laid out and its encoder set up.
struct VideoEncoding {
  AVCodecID id = AV_CODEC_ID_NONE;
  AVPixelFormat pixels = AV_PIX_FMT_YUV420P;
  int shiftX = 1, shiftY = 1, bits = 8;
  bool alpha = false;
  bool bt709 = false;  // the BT.709 matrix, else BT.601
  Dictionary settings;
  int64_t bitRate = 0;
};

VideoEncoding encodingFor(Codec codec, const OutputOptions& options, bool alpha) {
  VideoEncoding e;
  const std::string quality = std::to_string(options.quality.value_or(defaultCrf(codec)));
  const std::string preset = options.preset.empty() ? kDefaultPreset : options.preset;
  e.alpha = alpha;
  e.bt709 = options.bt709 && codec != Codec::Ffv1;
  switch (codec) {
    case Codec::H264:
    case Codec::Hevc:
      e.id = codec == Codec::H264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC;
      if (options.bitRate > 0) {
        e.bitRate = options.bitRate;
      } else {
        setEntry(e.settings, "crf", quality.c_str());
      }
      setEntry(e.settings, "preset", preset.c_str());
      if (codec == Codec::Hevc) {
        setEntry(e.settings, "x265-params", options.segmentStart ? "log-level=none:open-gop=0" : "log-level=none");
      }
      // A segment's pictures refer to none before its first: every group of pictures closed.
      if (options.segmentStart) setEntry(e.settings, "flags", "+cgop");
      break;
    case Codec::Vp9:
      e.id = AV_CODEC_ID_VP9;
      e.pixels = alpha ? AV_PIX_FMT_YUVA420P : AV_PIX_FMT_YUV420P;
      if (options.bitRate > 0) {
        e.bitRate = options.bitRate;
      } else {
        setEntry(e.settings, "crf", quality.c_str());  // with no bit rate: constant quality
      }
      setEntry(e.settings, "deadline", "good");
      setEntry(e.settings, "cpu-used", "2");
      setEntry(e.settings, "row-mt", "1");
      break;
    case Codec::Prores:
      // HQ 4:2:2, or 4444 with its alpha.
      e.id = AV_CODEC_ID_PRORES;
      e.pixels = alpha ? AV_PIX_FMT_YUVA444P10LE : AV_PIX_FMT_YUV422P10LE;
      e.shiftX = alpha ? 0 : 1;
      e.shiftY = 0;
      e.bits = 10;
      setEntry(e.settings, "profile", alpha ? "4444" : "hq");
      break;
    case Codec::Ffv1:
      // The OpPixels exactly: 4:4:4, with the keys as alpha or without.
      e.id = AV_CODEC_ID_FFV1;
      e.pixels = alpha ? AV_PIX_FMT_YUVA444P : AV_PIX_FMT_YUV444P;
      e.shiftX = e.shiftY = 0;
      setEntry(e.settings, "level", "3");
      setEntry(e.settings, "slicecrc", "1");
      break;
    case Codec::Png:
    case Codec::Gif: throw HostError(codecName(codec) + " is not a video codec");
  }
  return e;
}

// A side of a frame whose chroma is halved along it: even, its odd last line dropped.
int32_t evenSide(int32_t side) { return std::max(2, side & ~1); }

// A video in a container, encoded from the pictures in YCbCr as they are (or from RGB, converted).
// Where the chroma is halved, a frame of an odd size loses its last column or row.
class VideoSink final : public FrameSink {
 public:
  VideoSink(const std::string& name, Codec codec, const OutputOptions& options, bool alpha)
      : name_(name), encoding_(encodingFor(codec, options, alpha)),
        width_(encoding_.shiftX ? evenSide(options.width) : options.width),
        height_(encoding_.shiftY ? evenSide(options.height) : options.height), fields_(options.fieldOrder),
        count_(options.segmentStart.value_or(0)) {
    file_ = std::make_unique<EncodedFile>(name, nullptr, encoding_.id, encoderName(codec), encoding_.pixels,
                                          width_, height_, options.fps, std::move(encoding_.settings),
                                          encoding_.bitRate, encoding_.bt709, options.pixelAspect, fields_);
  }
  void add(const RgbImage& rgb, int64_t) override {
    const Frame frame = convertedFrame(rgb, encoding_.pixels, width_, height_,
                                       encoding_.bt709 ? SWS_CS_ITU709 : SWS_CS_ITU601);
    if (encoding_.alpha) fillOpaque(frame.get());
    frame->pts = count_++;
    tag(frame.get());
    file_->encode(frame.get());
  }
  // OpPixels are already BT.601 studio YCbCr: only the chroma is made 4:2:2 or 4:2:0 where the
  // codec takes it so (after the matrix is made BT.709, for a BT.709 output). The frame is used
  // again for the next picture unless the encoder still holds it.
  using FrameSink::add;
  void add(const Picture& picture, int64_t) override {
    const int32_t width = encoding_.shiftX ? evenSide(picture.geometry.stride) : picture.geometry.stride;
    const int32_t height = encoding_.shiftY ? evenSide(picture.geometry.rows) : picture.geometry.rows;
    if (width != width_ || height != height_) throw HostError("cannot write " + name_ + ": a frame of another size");
    if (!encoding_.alpha) noteDroppedAlpha(picture);
    if (!frame_) frame_ = newFrame(encoding_.pixels, width_, height_);
    if (av_frame_make_writable(frame_.get()) < 0) throw HostError("out of memory for a frame");
    YcbcrTarget target;
    for (int p = 0; p < 4; ++p) target.plane[p] = frame_->data[p], target.stride[p] = frame_->linesize[p];
    if (!encoding_.alpha) target.plane[3] = nullptr;
    target.width = width_;
    target.height = height_;
    target.shiftX = encoding_.shiftX;
    target.shiftY = encoding_.shiftY;
    target.bits = encoding_.bits;
    target.interlaced = interlaced(fields_);
    if (encoding_.bt709) target.matrix = &toBt709_;
    opPixelsToYcbcr(picture, target);
    frame_->pts = count_++;
    tag(frame_.get());
    file_->encode(frame_.get());
  }
  std::vector<std::string> finish() override {
    return file_->finish([this] { checkStop(name_); });
  }

 private:
  // What is written, on the frame too (an encoder may write what its frames say, as ProRes does).
  void tag(AVFrame* frame) const {
    frame->interlaced_frame = interlaced(fields_) ? 1 : 0;
    frame->top_field_first = fields_ == FieldOrder::TopFirst ? 1 : 0;
    frame->color_range = AVCOL_RANGE_MPEG;
    frame->colorspace = encoding_.bt709 ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
    frame->color_primaries = encoding_.bt709 ? AVCOL_PRI_BT709 : AVCOL_PRI_SMPTE170M;
    frame->color_trc = encoding_.bt709 ? AVCOL_TRC_BT709 : AVCOL_TRC_SMPTE170M;
    frame->chroma_location = AVCHROMA_LOC_LEFT;
  }
  // An RGB frame has no alpha: all of it opaque.
  void fillOpaque(AVFrame* frame) const {
    for (int32_t j = 0; j < height_; ++j) {
      uint8_t* row = frame->data[3] + static_cast<ptrdiff_t>(j) * frame->linesize[3];
      for (int32_t i = 0; i < width_; ++i) putMaximum(row, i);
    }
  }
  void putMaximum(uint8_t* row, int32_t i) const {
    if (encoding_.bits == 8) {
      row[i] = 255;
    } else {
      reinterpret_cast<uint16_t*>(row)[i] = static_cast<uint16_t>((1 << encoding_.bits) - 1);
    }
  }

  std::string name_;
  VideoEncoding encoding_;
  int width_, height_;
  FieldOrder fields_;
  int64_t count_ = 0;
  Frame frame_;  // the encoder's input, reused
  const MatrixChange toBt709_ = matrixChangeTo(kBt709Kr, kBt709Kb);
  std::unique_ptr<EncodedFile> file_;
};

std::string bufferArguments(int width, int height, int format, AVRational timeBase) {
  return "video_size=" + std::to_string(width) + "x" + std::to_string(height) + ":pix_fmt=" +
         std::to_string(format) + ":time_base=" + std::to_string(timeBase.num) + "/" +
         std::to_string(timeBase.den) + ":pixel_aspect=1/1";
}

// An animated GIF with one palette made for all its frames, chosen from all of them, each frame
// mapped onto it with error diffusion. It takes two passes, so that the frames are never all in
// memory: as each frame comes it is counted into the palette's colour statistics and kept, as it
// is, in a hidden temporary file beside the output (3 bytes a pixel); finish() makes the palette,
// reads the frames back one by one, maps and encodes each. The temporary file is always removed.
class GifSink final : public FrameSink {
 public:
  GifSink(const std::string& name, const OutputOptions& options)
      : name_(name), options_(options), framesFile_(temporaryNameFor(name)),
        frameBytes_(static_cast<size_t>(options.width) * static_cast<size_t>(options.height) * 3) {
    file_ = std::make_unique<EncodedFile>(name, "gif", AV_CODEC_ID_GIF, nullptr, AV_PIX_FMT_PAL8,
                                          options.width, options.height, options.fps, Dictionary());
    statistics_ = std::make_unique<FilterGraph>("[in]palettegen=stats_mode=full[out]",
                                                std::vector<std::pair<std::string, std::string>>{{"in", frameArguments()}},
                                                FilterGraph::Kind::Video, failure("the palette filters are not available"),
                                                failure("its palette could not be made"));
    frames_ = ::open(framesFile_.path().c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (frames_ < 0) throw HostError("cannot write " + name + ": " + std::strerror(errno));
  }
  ~GifSink() override {
    if (frames_ >= 0) ::close(frames_);
  }
  GifSink(const GifSink&) = delete;
  GifSink& operator=(const GifSink&) = delete;

  void add(const RgbImage& rgb, int64_t) override {
    const Frame frame = convertedFrame(rgb, AV_PIX_FMT_RGB24, options_.width, options_.height);
    frame->pts = count_++;
    keep(frame.get());
    statistics_->add(0, frame.get());
    const Frame nothing = newFrame();
    while (statistics_->take(nothing.get())) av_frame_unref(nothing.get());  // the palette comes at the end
  }

  std::vector<std::string> finish() override {
    if (count_ > 0) {
      statistics_->add(0, nullptr);
      const Frame palette = newFrame();
      if (!statistics_->take(palette.get())) {
        throw HostError("cannot write " + name_ + ": no palette was made");
      }
      FilterGraph mapping("[in][palette]paletteuse=dither=sierra2_4a[out]",
                          {{"in", frameArguments()},
                           {"palette", bufferArguments(palette->width, palette->height, palette->format,
                                                       av_buffersink_get_time_base(statistics_->sink()))}},
                          FilterGraph::Kind::Video, failure("the palette filters are not available"),
                          failure("its frames could not be mapped onto the palette"));
      mapping.add(1, palette.get());
      mapping.add(1, nullptr);
      if (::lseek(frames_, 0, SEEK_SET) != 0) throw HostError("cannot write " + name_ + ": " + std::strerror(errno));
      const Frame mapped = newFrame();
      for (int64_t n = 0; n < count_; ++n) {
        checkStop(name_);
        const Frame frame = newFrame(AV_PIX_FMT_RGB24, options_.width, options_.height);
        readBack(frame.get());
        frame->pts = n;
        mapping.add(0, frame.get());
        while (mapping.take(mapped.get())) encode(mapped.get());
      }
      mapping.add(0, nullptr);
      while (mapping.take(mapped.get())) encode(mapped.get());
    }
    ::close(frames_);
    frames_ = -1;
    framesFile_.remove();
    return file_->finish([this] { checkStop(name_); });
  }

 private:
  std::string failure(const std::string& what) const { return "cannot write " + name_ + ": " + what; }
  std::string frameArguments() const {
    return bufferArguments(options_.width, options_.height, AV_PIX_FMT_RGB24, AVRational{options_.fps.den, options_.fps.num});
  }
  void encode(AVFrame* frame) {
    file_->encode(frame);
    av_frame_unref(frame);
  }
  // The frame's rows, back to back, at the end of the temporary file.
  void keep(const AVFrame* frame) {
    rows_.resize(frameBytes_);
    const size_t row = static_cast<size_t>(options_.width) * 3;
    for (int32_t j = 0; j < options_.height; ++j) {
      std::copy_n(frame->data[0] + static_cast<ptrdiff_t>(j) * frame->linesize[0], row, rows_.data() + row * static_cast<size_t>(j));
    }
    for (size_t done = 0; done < rows_.size();) {
      const ssize_t wrote = ::write(frames_, rows_.data() + done, rows_.size() - done);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) throw HostError("cannot write " + name_ + ": " + std::strerror(wrote < 0 ? errno : ENOSPC));
      done += static_cast<size_t>(wrote);
    }
  }
  void readBack(AVFrame* frame) {
    rows_.resize(frameBytes_);
    for (size_t done = 0; done < rows_.size();) {
      const ssize_t got = ::read(frames_, rows_.data() + done, rows_.size() - done);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        throw HostError("cannot write " + name_ + ": its frames could not be read back (" +
                        (got < 0 ? std::string(std::strerror(errno)) : "the file is short") + ")");
      }
      done += static_cast<size_t>(got);
    }
    const size_t row = static_cast<size_t>(options_.width) * 3;
    for (int32_t j = 0; j < options_.height; ++j) {
      std::copy_n(rows_.data() + row * static_cast<size_t>(j), row, frame->data[0] + static_cast<ptrdiff_t>(j) * frame->linesize[0]);
    }
  }

  std::string name_;
  OutputOptions options_;
  TemporaryFile framesFile_;
  size_t frameBytes_;
  int frames_ = -1;
  std::vector<uint8_t> rows_;
  std::unique_ptr<EncodedFile> file_;
  std::unique_ptr<FilterGraph> statistics_;
  int64_t count_ = 0;
};

}  // namespace

OutputKind outputKindFor(const std::string& name) {
  const std::string extension = lowerExtension(name);
  if (extension == ".png") {
    return std::regex_search(name, numberedPattern()) ? OutputKind::PngSequence : OutputKind::Png;
  }
  if (extension == ".mp4" || extension == ".mov" || extension == ".mkv" || extension == ".m4v" ||
      extension == ".webm") {
    return OutputKind::Video;
  }
  if (extension == ".gif") return OutputKind::Gif;
  throw HostError("cannot write " + name + ": unknown output format \"" + extension +
                  "\" (write .png, name%04d.png, .mp4, .m4v, .mov, .mkv, .webm or .gif)");
}

Codec outputCodec(const std::string& name, const OutputOptions& options) {
  outputKindFor(name);
  const std::vector<Codec> carried = codecsCarriedBy(name);
  const Codec codec = options.codec.value_or(carried.front());
  if (std::find(carried.begin(), carried.end(), codec) == carried.end()) {
    throw HostError("cannot write " + name + ": a " + lowerExtension(name) + " file carries " + codecList(carried) +
                    ", not " + codecName(codec));
  }
  if (!encoderInstalled(codec)) {
    throw HostError("cannot write " + name + ": this FFmpeg has no " + codecName(codec) + " encoder (" +
                    encoderName(codec) + ")");
  }
  return codec;
}

bool writesAlpha(const std::string& name, const OutputOptions& options) {
  const std::vector<Codec> carried = codecsCarriedBy(name);
  return options.alpha && !carried.empty() && holdsAlpha(options.codec.value_or(carried.front()));
}

void FrameSink::noteDroppedAlpha(const Picture& frame) {
  if (warned_ || !warn_) return;
  if (!frame.opaque()) {
    warned_ = true;
    warn_(warning_);
  }
}

bool isAnimated(OutputKind kind) { return kind != OutputKind::Png; }

std::string sequenceFileName(const std::string& pattern, int64_t number) {
  std::smatch match;
  if (!std::regex_search(pattern, match, numberedPattern())) return pattern;
  // "%d", "%4d" (padded with spaces) or "%04d" (with zeros), formatted here: a width is not
  // bounded by any buffer, and one wider than any file name is refused before it is spent.
  const std::string conversion = match.str();
  const bool zeros = conversion.size() > 2 && conversion[1] == '0';
  size_t width = 0;
  const size_t digitsAt = zeros ? 2 : 1;
  for (size_t k = digitsAt; k + 1 < conversion.size(); ++k) {
    width = width * 10 + static_cast<size_t>(conversion[k] - '0');
    if (width > kMaxFileNameBytes) {
      throw HostError("cannot write " + pattern + ": its frame numbers would be " +
                      conversion.substr(digitsAt, conversion.size() - digitsAt - 1) +
                      " digits wide, more than the " + std::to_string(kMaxFileNameBytes) +
                      " bytes a file name may have");
    }
  }
  std::string digits = std::to_string(number);
  if (digits.size() < width) {
    const size_t sign = zeros && number < 0 ? 1 : 0;
    digits.insert(sign, width - digits.size(), zeros ? '0' : ' ');
  }
  return match.prefix().str() + digits + match.suffix().str();
}

void checkOutputFile(const std::string& file, const std::string& name) {
  const size_t bytes = std::filesystem::path(file).filename().string().size();
  if (bytes > kMaxFileNameBytes) {
    throw HostError("cannot write " + name + ": its file name would be " + std::to_string(bytes) +
                    " bytes long, more than the " + std::to_string(kMaxFileNameBytes) +
                    " bytes a file name may have");
  }
  std::error_code error;
  if (std::filesystem::is_directory(file, error)) throw HostError("cannot write " + file + ": it is a directory");
}

std::filesystem::path temporaryNameFor(const std::filesystem::path& file) {
  static std::atomic<int> counter{0};  // serve writes several outputs at once
  // At most 32 bytes of the name, cut where a UTF-8 character starts.
  std::string start = file.filename().string();
  if (start.size() > 32) {
    size_t cut = 32;
    while (cut > 0 && (static_cast<unsigned char>(start[cut]) & 0xC0) == 0x80) --cut;
    start.resize(cut);
  }
  return file.parent_path() / ("." + start + ".partial-" + std::to_string(getpid()) + "-" +
                               std::to_string(counter++));
}

void checkOutputDirectory(const std::string& name) { checkDirectory(name); }

std::unique_ptr<FrameSink> createSink(const std::string& name, const OutputOptions& options) {
  const OutputKind kind = outputKindFor(name);
  checkDirectory(name);
  checkOutputFile(kind == OutputKind::PngSequence ? sequenceFileName(name, 0) : name, name);
  if (options.width <= 0 || options.height <= 0) throw HostError("cannot write " + name + ": empty frames");
  const Codec codec = outputCodec(name, options);
  const bool alpha = writesAlpha(name, options);
  av_log_set_level(AV_LOG_QUIET);
  std::unique_ptr<FrameSink> sink;
  switch (kind) {
    case OutputKind::Png: sink = std::make_unique<PngSink>(name, false, alpha, options.pixelAspect); break;
    case OutputKind::PngSequence: sink = std::make_unique<PngSink>(name, true, alpha, options.pixelAspect); break;
    case OutputKind::Video: sink = std::make_unique<VideoSink>(name, codec, options, alpha); break;
    case OutputKind::Gif: sink = std::make_unique<GifSink>(name, options); break;
  }
  if (!sink) throw HostError("cannot write " + name);
  sink->warn_ = options.warn;
  sink->warning_ = holdsAlpha(codec) ? name + " is written without alpha: keys below 255 in the frames are written opaque"
                                     : name + " (" + codecName(codec) +
                                           ") cannot hold alpha: keys below 255 in the frames are written opaque";
  return sink;
}

}  // namespace ophost::media
