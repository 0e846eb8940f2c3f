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
#include <libswscale/swscale.h>
}

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <regex>
#include <system_error>

#include "host_error.h"

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

void renameInto(const std::filesystem::path& temporary, const std::string& name) {
  std::error_code error;
  std::filesystem::rename(temporary, name, error);
  if (error) {
    std::error_code ignored;  // the rename's error is the one to tell
    std::filesystem::remove(temporary, ignored);
    throw HostError("cannot write " + name + ": " + error.message());
  }
}

// One frame as an AVFrame of `format` at width x height, converted from RGB (BT.601 studio range
// for YUV formats).
AVFrame* convertedFrame(const RgbImage& rgb, AVPixelFormat format, int width, int height) {
  AVFrame* frame = av_frame_alloc();
  frame->format = format;
  frame->width = width;
  frame->height = height;
  if (av_frame_get_buffer(frame, 0) < 0) {
    av_frame_free(&frame);
    throw HostError("out of memory for a frame");
  }
  SwsContext* context = sws_getContext(rgb.width, rgb.height, AV_PIX_FMT_RGB24, width, height, format,
                                       SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP,
                                       nullptr, nullptr, nullptr);
  if (context == nullptr) {
    av_frame_free(&frame);
    throw HostError("cannot convert a frame for output");
  }
  const int* bt601 = sws_getCoefficients(SWS_CS_ITU601);
  sws_setColorspaceDetails(context, bt601, 1, bt601, format == AV_PIX_FMT_RGB24 ? 1 : 0, 0, 1 << 16,
                           1 << 16);
  std::vector<uint8_t> spare;
  const uint8_t* source[4] = {rgb.scalerInput(spare), nullptr, nullptr, nullptr};
  const int sourceStride[4] = {rgb.width * 3, 0, 0, 0};
  sws_scale(context, source, sourceStride, 0, rgb.height, frame->data, frame->linesize);
  sws_freeContext(context);
  return frame;
}

std::vector<uint8_t> encodePng(const RgbImage& rgb) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (codec == nullptr) throw HostError("no PNG encoder is available");
  AVCodecContext* encoder = avcodec_alloc_context3(codec);
  encoder->width = rgb.width;
  encoder->height = rgb.height;
  encoder->pix_fmt = AV_PIX_FMT_RGB24;
  encoder->time_base = {1, 25};
  std::vector<uint8_t> bytes;
  int status = avcodec_open2(encoder, codec, nullptr);
  AVFrame* frame = av_frame_alloc();
  AVPacket* packet = av_packet_alloc();
  if (status >= 0) {
    frame->format = AV_PIX_FMT_RGB24;
    frame->width = rgb.width;
    frame->height = rgb.height;
    status = av_frame_get_buffer(frame, 0);
  }
  if (status >= 0) {
    for (int32_t j = 0; j < rgb.height; ++j) {
      std::copy_n(rgb.at(0, j), rgb.width * 3, frame->data[0] + static_cast<ptrdiff_t>(j) * frame->linesize[0]);
    }
    status = avcodec_send_frame(encoder, frame);
  }
  if (status >= 0) status = avcodec_receive_packet(encoder, packet);
  if (status >= 0) bytes.assign(packet->data, packet->data + packet->size);
  av_packet_free(&packet);
  av_frame_free(&frame);
  avcodec_free_context(&encoder);
  if (status < 0) throw HostError("cannot encode a PNG (" + averror(status) + ")");
  return bytes;
}

// Writes `bytes` to the new file `file`; on failure removes it and throws, telling `name` and why.
void writeBytes(const std::filesystem::path& file, const std::vector<uint8_t>& bytes,
                const std::string& name) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) throw HostError("cannot write " + name + ": " + std::strerror(errno));
  size_t done = 0;
  int failure = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
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

// Temporaries that are removed unless they were renamed into place.
class Temporaries {
 public:
  ~Temporaries() {
    std::error_code ignored;
    for (const auto& file : files_) std::filesystem::remove(file.first, ignored);
  }
  void add(std::filesystem::path temporary, std::string final) {
    files_.emplace_back(std::move(temporary), std::move(final));
  }
  std::vector<std::string> commit() {
    std::vector<std::string> names;
    for (const auto& file : files_) {
      renameInto(file.first, file.second);
      names.push_back(file.second);
    }
    files_.clear();
    return names;
  }
  const std::filesystem::path& first() const { return files_.front().first; }

 private:
  std::vector<std::pair<std::filesystem::path, std::string>> files_;
};

class PngSink final : public FrameSink {
 public:
  PngSink(std::string name, bool sequence) : name_(std::move(name)), sequence_(sequence) {}
  void add(const RgbImage& frame, int64_t number) override {
    if (!sequence_ && frames_ > 0) {
      throw HostError(name_ + " holds one frame: write a range to name%04d.png, .mp4 or .gif");
    }
    const std::string final = sequence_ ? sequenceFileName(name_, number) : name_;
    if (final == last_) throw HostError("cannot write " + name_ + ": two frames would both be " + final);
    checkOutputFile(final, sequence_ ? final : name_);
    last_ = final;
    const std::filesystem::path temporary = temporaryNameFor(final);
    temporaries_.add(temporary, final);
    writeBytes(temporary, encodePng(frame), final);
    ++frames_;
  }
  std::vector<std::string> finish() override { return temporaries_.commit(); }

 private:
  std::string name_;
  bool sequence_;
  int64_t frames_ = 0;
  std::string last_;  // the file name of the frame before
  Temporaries temporaries_;
};

// An encoder and muxer writing to a temporary file.
class EncodedFile {
 public:
  EncodedFile(const std::string& name, const char* format, AVCodecID codecId, const char* codecName,
              AVPixelFormat pixels, int width, int height, int fps, AVDictionary** options)
      : name_(name), temporary_(temporaryNameFor(name)) {
    const AVOutputFormat* output = av_guess_format(format, name.c_str(), nullptr);
    if (output == nullptr || avformat_alloc_output_context2(&format_, output, nullptr,
                                                            temporary_.c_str()) < 0) {
      throw HostError("cannot write " + name + ": the container cannot be written here");
    }
    const AVCodec* codec = codecName ? avcodec_find_encoder_by_name(codecName) : nullptr;
    if (codec == nullptr) codec = avcodec_find_encoder(codecId);
    if (codec == nullptr) throw HostError("cannot write " + name + ": no encoder is installed for it");
    stream_ = avformat_new_stream(format_, nullptr);
    encoder_ = avcodec_alloc_context3(codec);
    encoder_->width = width;
    encoder_->height = height;
    encoder_->pix_fmt = pixels;
    encoder_->time_base = {1, fps};
    encoder_->framerate = {fps, 1};
    encoder_->sample_aspect_ratio = {1, 1};
    if (pixels == AV_PIX_FMT_YUV420P) {
      encoder_->gop_size = fps * 2;
      encoder_->color_range = AVCOL_RANGE_MPEG;
      encoder_->colorspace = AVCOL_SPC_SMPTE170M;
      encoder_->color_primaries = AVCOL_PRI_SMPTE170M;
      encoder_->color_trc = AVCOL_TRC_SMPTE170M;
    }
    if (format_->oformat->flags & AVFMT_GLOBALHEADER) encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int status = avcodec_open2(encoder_, codec, options);
    if (status < 0) throw HostError("cannot write " + name + ": the encoder refused (" + averror(status) + ")");
    avcodec_parameters_from_context(stream_->codecpar, encoder_);
    stream_->time_base = encoder_->time_base;
    stream_->avg_frame_rate = {fps, 1};
    stream_->sample_aspect_ratio = encoder_->sample_aspect_ratio;
    status = avio_open(&format_->pb, temporary_.c_str(), AVIO_FLAG_WRITE);
    if (status < 0) throw HostError("cannot write " + name + " (" + averror(status) + ")");
    opened_ = true;
    status = avformat_write_header(format_, nullptr);
    if (status < 0) throw HostError("cannot write " + name + " (" + averror(status) + ")");
    headerWritten_ = true;
    packet_ = av_packet_alloc();
  }
  ~EncodedFile() {
    // A muxer keeps state until its trailer is written (the GIF muxer a packet): an abandoned file
    // gets its trailer too, into the temporary file that is removed below.
    if (headerWritten_ && !trailerWritten_) av_write_trailer(format_);
    av_packet_free(&packet_);
    avcodec_free_context(&encoder_);
    if (opened_) avio_closep(&format_->pb);
    avformat_free_context(format_);
    std::error_code ignored;
    if (!done_) std::filesystem::remove(temporary_, ignored);
  }
  // Encodes `frame` (null to drain) and writes what the encoder gives back; `between` is called
  // before each packet (it may throw to stop).
  void encode(AVFrame* frame, const std::function<void()>& between = {}) {
    int status = avcodec_send_frame(encoder_, frame);
    if (status < 0) throw HostError("cannot write " + name_ + ": encoding failed (" + averror(status) + ")");
    for (;;) {
      if (between) between();
      status = avcodec_receive_packet(encoder_, packet_);
      if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return;
      if (status < 0) throw HostError("cannot write " + name_ + ": encoding failed (" + averror(status) + ")");
      if (packet_->duration <= 0) packet_->duration = 1;  // one frame, in the encoder's time base
      av_packet_rescale_ts(packet_, encoder_->time_base, stream_->time_base);
      packet_->stream_index = stream_->index;
      status = av_interleaved_write_frame(format_, packet_);
      if (status < 0) throw HostError("cannot write " + name_ + " (" + averror(status) + ")");
    }
  }
  // Drains the encoder (calling `between` before each packet), writes the trailer and renames
  // the file into place.
  std::vector<std::string> finish(const std::function<void()>& between = {}) {
    encode(nullptr, between);
    trailerWritten_ = true;
    int status = av_write_trailer(format_);
    if (status < 0) throw HostError("cannot write " + name_ + " (" + averror(status) + ")");
    avio_closep(&format_->pb);
    opened_ = false;
    renameInto(temporary_, name_);
    done_ = true;
    return {name_};
  }

 private:
  std::string name_;
  std::filesystem::path temporary_;
  AVFormatContext* format_ = nullptr;
  AVCodecContext* encoder_ = nullptr;
  AVStream* stream_ = nullptr;
  AVPacket* packet_ = nullptr;
  bool opened_ = false;
  bool headerWritten_ = false, trailerWritten_ = false;
  bool done_ = false;
};

class VideoSink final : public FrameSink {
 public:
  VideoSink(const std::string& name, const OutputOptions& options)
      : name_(name), width_((options.width + 1) & ~1), height_((options.height + 1) & ~1) {
    AVDictionary* settings = nullptr;
    av_dict_set(&settings, "crf", std::to_string(options.quality).c_str(), 0);
    av_dict_set(&settings, "preset", "medium", 0);
    try {
      file_ = std::make_unique<EncodedFile>(name, nullptr, AV_CODEC_ID_H264, "libx264",
                                            AV_PIX_FMT_YUV420P, width_, height_, options.fps,
                                            &settings);
    } catch (...) {
      av_dict_free(&settings);
      throw;
    }
    av_dict_free(&settings);
  }
  void add(const RgbImage& rgb, int64_t) override {
    AVFrame* frame = convertedFrame(rgb, AV_PIX_FMT_YUV420P, width_, height_);
    frame->pts = count_++;
    frame->color_range = AVCOL_RANGE_MPEG;
    try {
      file_->encode(frame);
    } catch (...) {
      av_frame_free(&frame);
      throw;
    }
    av_frame_free(&frame);
  }
  std::vector<std::string> finish() override {
    return file_->finish([this] { checkStop(name_); });
  }

 private:
  std::string name_;
  int width_, height_;
  int64_t count_ = 0;
  std::unique_ptr<EncodedFile> file_;
};

// A filter graph fed through named buffer sources and read from one buffer sink.
class FilterGraph {
 public:
  // `sources` pairs each source's label in `description` with its buffer arguments.
  FilterGraph(const std::string& description, const std::vector<std::pair<std::string, std::string>>& sources,
              const std::string& name)
      : name_(name), graph_(avfilter_graph_alloc()) {
    bool ready = graph_ != nullptr && avfilter_graph_create_filter(&sink_, avfilter_get_by_name("buffersink"), "out",
                                                                   nullptr, nullptr, graph_) >= 0;
    AVFilterInOut* outputs = nullptr;
    for (size_t n = sources.size(); ready && n-- > 0;) {
      AVFilterContext* source = nullptr;
      ready = avfilter_graph_create_filter(&source, avfilter_get_by_name("buffer"), sources[n].first.c_str(),
                                           sources[n].second.c_str(), nullptr, graph_) >= 0;
      if (!ready) break;
      sources_.insert(sources_.begin(), source);
      AVFilterInOut* output = avfilter_inout_alloc();
      output->name = av_strdup(sources[n].first.c_str());
      output->filter_ctx = source;
      output->next = outputs;
      outputs = output;
    }
    AVFilterInOut* inputs = avfilter_inout_alloc();
    if (ready) {
      inputs->name = av_strdup("out");
      inputs->filter_ctx = sink_;
      ready = avfilter_graph_parse_ptr(graph_, description.c_str(), &inputs, &outputs, nullptr) >= 0 &&
              avfilter_graph_config(graph_, nullptr) >= 0;
    }
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    if (!ready) {
      avfilter_graph_free(&graph_);
      throw HostError("cannot write " + name + ": the palette filters are not available");
    }
  }
  ~FilterGraph() { avfilter_graph_free(&graph_); }
  FilterGraph(const FilterGraph&) = delete;
  FilterGraph& operator=(const FilterGraph&) = delete;

  // Hands `frame` (its references are taken; null ends the source) to source `index` and runs
  // the graph as far as it goes.
  void add(size_t index, AVFrame* frame) {
    const int status = av_buffersrc_add_frame_flags(sources_.at(index), frame, AV_BUFFERSRC_FLAG_PUSH);
    if (status < 0) throw HostError("cannot write " + name_ + " (" + averror(status) + ")");
  }
  // The next frame out, into `frame`; false when there is none yet, or no more.
  bool take(AVFrame* frame) {
    const int status = av_buffersink_get_frame(sink_, frame);
    if (status == AVERROR_EOF || status == AVERROR(EAGAIN)) return false;
    if (status < 0) throw HostError("cannot write " + name_ + " (" + averror(status) + ")");
    return true;
  }
  AVRational timeBase() const { return av_buffersink_get_time_base(sink_); }

 private:
  std::string name_;
  AVFilterGraph* graph_ = nullptr;
  std::vector<AVFilterContext*> sources_;
  AVFilterContext* sink_ = nullptr;
};

// An AVFrame freed when it goes out of scope.
struct OwnedFrame {
  OwnedFrame() : frame(av_frame_alloc()) {
    if (frame == nullptr) throw HostError("out of memory for a frame");
  }
  explicit OwnedFrame(AVFrame* given) : frame(given) {}
  ~OwnedFrame() { av_frame_free(&frame); }
  OwnedFrame(const OwnedFrame&) = delete;
  OwnedFrame& operator=(const OwnedFrame&) = delete;
  AVFrame* frame;
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
                                          options.width, options.height, options.fps, nullptr);
    statistics_ = std::make_unique<FilterGraph>("[in]palettegen=stats_mode=full[out]",
                                                std::vector<std::pair<std::string, std::string>>{{"in", frameArguments()}},
                                                name);
    frames_ = ::open(framesFile_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (frames_ < 0) throw HostError("cannot write " + name + ": " + std::strerror(errno));
  }
  ~GifSink() override {
    if (frames_ >= 0) ::close(frames_);
    std::error_code ignored;
    std::filesystem::remove(framesFile_, ignored);
  }

  void add(const RgbImage& rgb, int64_t) override {
    OwnedFrame frame(convertedFrame(rgb, AV_PIX_FMT_RGB24, options_.width, options_.height));
    frame.frame->pts = count_++;
    keep(frame.frame);
    statistics_->add(0, frame.frame);
    OwnedFrame nothing;
    while (statistics_->take(nothing.frame)) av_frame_unref(nothing.frame);  // the palette comes at the end
  }

  std::vector<std::string> finish() override {
    if (count_ > 0) {
      statistics_->add(0, nullptr);
      OwnedFrame palette;
      if (!statistics_->take(palette.frame)) throw HostError("cannot write " + name_ + ": no palette was made");
      FilterGraph mapping("[in][palette]paletteuse=dither=sierra2_4a[out]",
                          {{"in", frameArguments()},
                           {"palette", bufferArguments(palette.frame->width, palette.frame->height,
                                                       palette.frame->format, statistics_->timeBase())}},
                          name_);
      mapping.add(1, palette.frame);
      mapping.add(1, nullptr);
      if (::lseek(frames_, 0, SEEK_SET) != 0) throw HostError("cannot write " + name_ + ": " + std::strerror(errno));
      OwnedFrame mapped;
      for (int64_t n = 0; n < count_; ++n) {
        checkStop(name_);
        OwnedFrame frame;
        frame.frame->format = AV_PIX_FMT_RGB24;
        frame.frame->width = options_.width;
        frame.frame->height = options_.height;
        if (av_frame_get_buffer(frame.frame, 0) < 0) throw HostError("out of memory for a frame");
        readBack(frame.frame);
        frame.frame->pts = n;
        mapping.add(0, frame.frame);
        while (mapping.take(mapped.frame)) encode(mapped.frame);
      }
      mapping.add(0, nullptr);
      while (mapping.take(mapped.frame)) encode(mapped.frame);
    }
    ::close(frames_);
    frames_ = -1;
    std::error_code ignored;
    std::filesystem::remove(framesFile_, ignored);
    return file_->finish([this] { checkStop(name_); });
  }

 private:
  std::string frameArguments() const {
    return bufferArguments(options_.width, options_.height, AV_PIX_FMT_RGB24, AVRational{1, options_.fps});
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
  std::filesystem::path framesFile_;
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
  if (extension == ".mp4" || extension == ".mov" || extension == ".mkv" || extension == ".m4v") {
    return OutputKind::Video;
  }
  if (extension == ".gif") return OutputKind::Gif;
  throw HostError("cannot write " + name + ": unknown output format \"" + extension +
                  "\" (write .png, name%04d.png, .mp4, .mov, .mkv or .gif)");
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

std::unique_ptr<FrameSink> createSink(const std::string& name, const OutputOptions& options) {
  const OutputKind kind = outputKindFor(name);
  checkDirectory(name);
  checkOutputFile(kind == OutputKind::PngSequence ? sequenceFileName(name, 0) : name, name);
  if (options.width <= 0 || options.height <= 0) throw HostError("cannot write " + name + ": empty frames");
  av_log_set_level(AV_LOG_QUIET);
  switch (kind) {
    case OutputKind::Png: return std::make_unique<PngSink>(name, false);
    case OutputKind::PngSequence: return std::make_unique<PngSink>(name, true);
    case OutputKind::Video: return std::make_unique<VideoSink>(name, options);
    case OutputKind::Gif: return std::make_unique<GifSink>(name, options);
  }
  throw HostError("cannot write " + name);
}

}  // namespace ophost::media
