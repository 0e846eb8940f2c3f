#include "muxed_file.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include "host_error.h"
#include "input_file.h"

namespace ophost::media {

MuxedFile::MuxedFile(const std::string& output, const std::filesystem::path& temporary, const char* container)
    : output_(output), temporary_(temporary) {
  const AVOutputFormat* format = av_guess_format(container, output.c_str(), nullptr);
  AVFormatContext* muxer = nullptr;  // left null by a failed allocation
  if (format == nullptr || avformat_alloc_output_context2(&muxer, format, nullptr, temporary.c_str()) < 0) {
    throw HostError("cannot write " + output + ": the container cannot be written here");
  }
  format_.reset(muxer);
}

MuxedFile::~MuxedFile() {
  if (begun_ && !finished_) av_write_trailer(format_.get());
}

AVStream* MuxedFile::addCopiedStream(const AVCodecParameters& parameters, AVRational timeBase) {
  AVStream* out = avformat_new_stream(format_.get(), nullptr);
  if (out == nullptr || avcodec_parameters_copy(out->codecpar, &parameters) < 0) {
    throw HostError("cannot write " + output_ + ": out of memory");
  }
  const AVOutputFormat* container = format_->oformat;
  if (container->codec_tag == nullptr ||
      av_codec_get_id(container->codec_tag, parameters.codec_tag) != parameters.codec_id) {
    out->codecpar->codec_tag = 0;
  }
  out->time_base = timeBase;
  return out;
}

int64_t MuxedFile::soundPrimingShift(const AVCodecParameters& parameters, AVRational timeBase) const {
  const std::string container = format_->oformat->name;
  if ((container != "matroska" && container != "webm") || parameters.sample_rate <= 0) return 0;
  return av_rescale_q(parameters.initial_padding, AVRational{1, parameters.sample_rate}, timeBase);
}

void MuxedFile::begin(const std::string& refusal) {
  AVIOContext* io = nullptr;
  int status = avio_open(&io, temporary_.c_str(), AVIO_FLAG_WRITE);
  if (status < 0) throw HostError("cannot write " + output_ + " (" + averror(status) + ")");
  io_.reset(io);
  format_->pb = io;
  status = avformat_write_header(format_.get(), nullptr);
  if (status < 0) {
    throw HostError("cannot write " + output_ + (refusal.empty() ? "" : ": " + refusal) + " (" + averror(status) + ")");
  }
  begun_ = true;
}

void MuxedFile::write(AVPacket* packet) {
  const int status = av_interleaved_write_frame(format_.get(), packet);
  if (status < 0) throw HostError("cannot write " + output_ + " (" + averror(status) + ")");
}

void MuxedFile::finish() {
  finished_ = true;
  int status = av_write_trailer(format_.get());
  if (status >= 0) {
    avio_flush(format_->pb);
    status = format_->pb->error;
  }
  if (status < 0) throw HostError("cannot write " + output_ + " (" + averror(status) + ")");
  format_->pb = nullptr;
  AVIOContext* io = io_.release();
  status = avio_closep(&io);  // what is still buffered is written now, and may fail
  if (status < 0) throw HostError("cannot write " + output_ + " (" + averror(status) + ")");
}

}  // namespace ophost::media
