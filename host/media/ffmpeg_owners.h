// Owners of FFmpeg's objects: each is a std::unique_ptr whose deleter calls the library's own
// free function, so that every path out of the code holding one, a throw included, frees it.
// An FFmpeg call that takes a T** (and may free or replace what it is given) is handed the
// object with release() and it is taken back with reset() straight after.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <cstdint>
#include <memory>

namespace ophost::media {

// A demuxer opened by avformat_open_input (or only allocated for it).
struct InputFormatFree {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
using InputFormat = std::unique_ptr<AVFormatContext, InputFormatFree>;

// A muxer. Its pb is not its own: the AVIOContext has an owner of its own, which must outlive it.
struct OutputFormatFree {
  void operator()(AVFormatContext* context) const { avformat_free_context(context); }
};
using OutputFormat = std::unique_ptr<AVFormatContext, OutputFormatFree>;

struct IoFree {
  void operator()(AVIOContext* io) const { avio_closep(&io); }
};
using Io = std::unique_ptr<AVIOContext, IoFree>;

struct CodecContextFree {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextFree>;

struct FrameFree {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using Frame = std::unique_ptr<AVFrame, FrameFree>;

struct PacketFree {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using Packet = std::unique_ptr<AVPacket, PacketFree>;

// A stream's codec parameters, kept apart from the stream they were copied from.
struct CodecParametersFree {
  void operator()(AVCodecParameters* parameters) const { avcodec_parameters_free(&parameters); }
};
using CodecParameters = std::unique_ptr<AVCodecParameters, CodecParametersFree>;

struct ScalerFree {
  void operator()(SwsContext* context) const { sws_freeContext(context); }
};
using Scaler = std::unique_ptr<SwsContext, ScalerFree>;

struct FilterGraphFree {
  void operator()(AVFilterGraph* graph) const { avfilter_graph_free(&graph); }
};
using FilterGraphOwner = std::unique_ptr<AVFilterGraph, FilterGraphFree>;

// A list of a filter graph's open ends, as avfilter_graph_parse_ptr takes them.
struct FilterEndsFree {
  void operator()(AVFilterInOut* ends) const { avfilter_inout_free(&ends); }
};
using FilterEnds = std::unique_ptr<AVFilterInOut, FilterEndsFree>;

struct DictionaryFree {
  void operator()(AVDictionary* dictionary) const { av_dict_free(&dictionary); }
};
using Dictionary = std::unique_ptr<AVDictionary, DictionaryFree>;

// Sets `key` in `dictionary` (which av_dict_set may create or move).
inline void setEntry(Dictionary& dictionary, const char* key, const char* value) {
  AVDictionary* entries = dictionary.release();
  av_dict_set(&entries, key, value, 0);
  dictionary.reset(entries);
}
inline void setEntry(Dictionary& dictionary, const char* key, int64_t value) {
  AVDictionary* entries = dictionary.release();
  av_dict_set_int(&entries, key, value, 0);
  dictionary.reset(entries);
}

}  // namespace ophost::media
