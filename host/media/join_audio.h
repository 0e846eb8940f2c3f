// The sound of a join: clips played one after another, each cut between two of them an overlap of
// the tail of the clip before with the head of the clip after. Each clip's audio is taken from its
// start and fitted to the frames it spans, the cuts are cross-faded, and the result is muxed with
// the join's finished video.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "frame_rate.h"
#include "output_codec.h"

namespace ophost::media {

// One clip of a join as its sound is concerned: the input to take the sound from (silence for an
// empty name, a card, a numbered picture sequence or a file without an audio stream), and how many
// output frames the clip spans in the join.
struct JoinAudioClip {
  std::string input;
  int64_t frames = 0;
};

// One cut: the frames it overlaps (the tail of the clip before with the head of the clip after;
// 0 for a hard cut) and the cross-fade curve, one of crossfadeCurves().
struct JoinAudioCut {
  int64_t frames = 0;
  std::string curve = "tri";
};

// The names of the cross-fade curves (as the audio filters name them: "tri", "qsin", "exp" ...),
// for checking a user's choice and for the usage text.
const std::vector<std::string>& crossfadeCurves();

// True when some clip has an audio stream. Throws HostError for a clip that cannot be opened.
bool anyClipHasSound(const std::vector<JoinAudioClip>& clips);

// Writes `output`: the video stream of the finished video-only file `videoFile`, its packets copied
// as they are, with the join's sound. Clip k starts at output frame S_k = the frames of the clips
// before it less the frames of the cuts before it; cut k overlaps the last frames of clip k with
// the first of clip k+1. Each clip's audio is taken from the clip's time 0 (where its video
// starts), cut or padded with silence to its span and resampled to one rate and layout: the first
// clip with sound's own rate when the output's audio encoder takes it (else 48 kHz), in mono when
// that clip is mono, else in stereo. The sound lasts exactly as long as the video, to the sample;
// every boundary falls on the sample nearest its frame's start.
//
// The audio codec is the container's usual one: AAC in MP4, M4V and MOV, Opus in MKV and WebM,
// 16-bit PCM in MOV when the video is ProRes. The file is written under a temporary name beside
// `output` and renamed into place only when complete; on any failure nothing is left of it.
// `stop` is asked between packets: when it answers true, what was written is removed and
// OutputStopped thrown. Throws HostError with one clear line for bad clips or cuts, a clip whose
// sound cannot be read, or an output that cannot be written.
void muxJoinAudio(const std::string& videoFile, const std::vector<JoinAudioClip>& clips,
                  const std::vector<JoinAudioCut>& cuts, FrameRate rate, const std::string& output,
                  const std::function<bool()>& stop = {});

// The same sound written alone into `output` (its only stream), as muxJoinAudio writes it beside
// a video of codec `video`: the same codec, rate, curves and length (that of the join's frames).
// For a join rendered in segments, whose sound `ophost concat --audio` adds to the joined video.
void writeJoinSound(const std::vector<JoinAudioClip>& clips, const std::vector<JoinAudioCut>& cuts, FrameRate rate,
                    Codec video, const std::string& output, const std::function<bool()>& stop = {});

}  // namespace ophost::media
