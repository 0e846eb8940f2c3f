#include "input_file.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
}

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "host_error.h"

namespace ophost::media {

namespace {

thread_local std::string* failureWords = nullptr;

extern "C" void keepFailureWords(void*, int level, const char* format, va_list arguments) {
  if (failureWords == nullptr || level > AV_LOG_ERROR) return;
  char line[512];
  vsnprintf(line, sizeof line, format, arguments);
  std::string text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == '.' || text.back() == ' ')) text.pop_back();
  if (!text.empty()) *failureWords = text;
}

// The demuxers an input may be read with: plain containers and still pictures, each reading the
// one file it was given. Playlists, manifests, concat lists and other files that name further
// files (hls, dash, concat ...) are never among them: a picture that is really a playlist would
// otherwise bring any clip on the disk into the render (and, through the preview server, to
// whoever uploaded it).
constexpr const char* kPlainFormats =
    "mov,mp4,m4a,3gp,3g2,mj2,matroska,webm,avi,mpegts,mpeg,mpegvideo,flv,ogg,nut,asf,mxf,dv,ivf,"
    "yuv4mpegpipe,h264,hevc,m4v,mjpeg,obu,gif,apng,image2,bmp_pipe,dpx_pipe,exr_pipe,gif_pipe,"
    "j2k_pipe,jpeg_pipe,jpegls_pipe,jpegxl_pipe,pam_pipe,pbm_pipe,pcx_pipe,pfm_pipe,pgm_pipe,"
    "pgmyuv_pipe,phm_pipe,png_pipe,ppm_pipe,psd_pipe,qoi_pipe,sgi_pipe,sunrast_pipe,tiff_pipe,"
    "webp_pipe,xbm_pipe,xpm_pipe,xwd_pipe";

// What kind of file `url` is by its content, as libavformat would guess it ("" when it cannot
// tell): named in the message that refuses a file outside kPlainFormats.
std::string probedFormat(const std::string& url, Deadline& deadline) {
  AVIOInterruptCB interrupt{&Deadline::check, &deadline};
  Dictionary settings;
  setEntry(settings, "protocol_whitelist", "file");
  AVIOContext* opened = nullptr;
  AVDictionary* entries = settings.release();
  const int status = avio_open2(&opened, url.c_str(), AVIO_FLAG_READ, &interrupt, &entries);
  settings.reset(entries);
  if (status < 0) return "";
  const Io io(opened);
  const AVInputFormat* format = nullptr;
  av_probe_input_buffer2(io.get(), &format, url.c_str(), nullptr, 0, 0);
  return format != nullptr ? format->name : "";
}

std::string formatDescription(const std::string& format) {
  if (format == "hls") return "an HLS playlist";
  if (format == "dash" || format == "webm_dash_manifest") return "a DASH manifest";
  if (format == "concat") return "a concat list";
  return "a file of the kind \"" + format + "\"";
}

}  // namespace

FailureWords::FailureWords() : previous_(failureWords) { failureWords = &words_; }
FailureWords::~FailureWords() { failureWords = previous_; }

std::string averror(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, text, sizeof text);
  return text;
}

void checkReadableFile(const std::string& name) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(name, error);
  if (error && error != std::errc::no_such_file_or_directory) {
    // A link that leads round in a loop, a directory that may not be searched, ...
    throw HostError(name + ": cannot be opened (" + error.message() + ")");
  }
  if (!std::filesystem::exists(status)) throw HostError(name + ": no such file");
  if (std::filesystem::is_directory(status)) throw HostError(name + ": is a directory, not a picture or video");
  if (!std::filesystem::is_regular_file(status)) {
    throw HostError(name + ": not a regular file (a pipe or a device is not read)");
  }
  if (access(name.c_str(), R_OK) != 0) throw HostError(name + ": cannot be read (permission denied)");
}

std::string plainUrl(const std::string& name) {
  if (!name.empty() && name[0] != '/' && name.find(':') != std::string::npos) return "./" + name;
  return name;
}

std::string failureReason(int status, const Deadline& deadline, const char* awaited) {
  if (deadline.cancelled()) return "interrupted";
  if (status == AVERROR_EXIT || deadline.passed()) {
    return std::string("no ") + awaited + " after " + std::to_string(kDecodeSeconds) + " seconds of reading";
  }
  return averror(status);
}

InputFormat openPlainInput(const std::string& name, bool sequence, Deadline& deadline, const char* awaited) {
  static std::once_flag quiet;
  std::call_once(quiet, [] { av_log_set_callback(keepFailureWords); });
  const std::string url = plainUrl(name);
  const AVInputFormat* forced = sequence ? av_find_input_format("image2") : nullptr;
  InputFormat format(avformat_alloc_context());
  if (!format) throw HostError(name + ": out of memory");
  format->interrupt_callback = {&Deadline::check, &deadline};
  Dictionary settings;
  // Guessed sizes and rates of raw streams need not be trusted: the decoder says what it finds.
  setEntry(settings, "probesize", int64_t{32} << 20);
  // Files on the disk only, through plain demuxers only; a numbered sequence only when the
  // name asked for one, and never a wildcard pattern.
  setEntry(settings, "protocol_whitelist", "file");
  setEntry(settings, "format_whitelist", sequence ? "image2" : kPlainFormats);
  setEntry(settings, "pattern_type", sequence ? "sequence" : "none");
  deadline.start();
  const FailureWords words;
  AVFormatContext* demuxer = format.release();  // freed by the open should it fail
  AVDictionary* entries = settings.release();
  const int status = avformat_open_input(&demuxer, url.c_str(), forced, &entries);
  settings.reset(entries);
  format.reset(demuxer);
  if (status < 0) {
    if (deadline.cancelled()) throw HostError(name + ": interrupted while it was being opened");
    const std::string kind = probedFormat(url, deadline);
    if (!kind.empty() && !av_match_list(kind.c_str(), kPlainFormats, ',')) {
      throw HostError(name + ": " + formatDescription(kind) +
                      ", which is not read: only plain picture and video files are, never files "
                      "that name other files to open");
    }
    throw HostError(name + ": not a picture or video that can be read (" +
                    (words.words().empty() ? failureReason(status, deadline, awaited) : words.words()) + ")");
  }
  return format;
}

}  // namespace ophost::media
