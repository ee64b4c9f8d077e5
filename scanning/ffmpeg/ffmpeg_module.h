// The FFmpeg decoder behind a narrow C interface. sigpat builds it as the module
// sigpat-ffmpeg.so and opens it (dlopen) on the first input libsndfile does not read or the
// first URL, so a process that reads only WAV, FLAC and the like never loads libavformat,
// libavcodec and their dozens of libraries. Programs that decode in their own process (the
// Python module, the evaluation) link the decoder instead; ffmpeg_source.h finds either.
//
// Nothing but plain C types crosses: no exception leaves the decoder (a failure is kept with the
// stream as "NAME: problem" text), and the caller's stop flag travels as an opaque pointer.
#ifndef SIGPAT_FFMPEG_MODULE_H
#define SIGPAT_FFMPEG_MODULE_H

#include <stddef.h>

#define SIGPAT_FFMPEG_API_VERSION 1
#define SIGPAT_FFMPEG_ENTRY "sigpat_ffmpeg_api"

extern "C" {

typedef struct SigpatFfmpegStream SigpatFfmpegStream;

struct SigpatFfmpegInfo {
  int rate;                 // the stream's first sample rate; frames are delivered at it
  int channels;             // and its first channel count
  long long frames;         // estimated from the container's duration; -1 when unknown
  const char* description;  // "mp3, 44100 Hz, 2 channels"; lives as long as the stream
};

struct SigpatFfmpegApi {
  int version;  // SIGPAT_FFMPEG_API_VERSION
  // Opens NAME (a path, or a URL when isUrl: a server that sends nothing for timeoutSeconds
  // fails). `stop` (a const std::atomic<bool>*, or null) interrupts opening and reading once
  // set; `verbose` lets FFmpeg's own warnings through to stderr. Null only when out of memory;
  // otherwise ask error() whether it opened, and close() it either way.
  SigpatFfmpegStream* (*open)(const char* name, int isUrl, double timeoutSeconds, const void* stop, int verbose);
  // "NAME: problem" when the last call on the stream failed; null when it did not.
  const char* (*error)(const SigpatFfmpegStream* stream);
  void (*info)(const SigpatFfmpegStream* stream, SigpatFfmpegInfo* out);
  // Up to n frames as interleaved doubles (full scale 1.0, info's channel count); the count, 0
  // at the end, -1 on a read error (see error()).
  long long (*read)(SigpatFfmpegStream* stream, double* interleaved, size_t n);
  // Frames the decoder refused and skipped so far.
  long long (*corruptFrames)(const SigpatFfmpegStream* stream);
  // The stream's own time of frame `frame` (counted from the first read), UTC seconds since
  // 1970; < 0 when it gives none. Asked in increasing order.
  double (*streamClock)(SigpatFfmpegStream* stream, double frame);
  void (*close)(SigpatFfmpegStream* stream);
};

// The decoder's entry points (the module's one exported symbol, SIGPAT_FFMPEG_ENTRY).
const SigpatFfmpegApi* sigpat_ffmpeg_api(void);

}  // extern "C"

#endif
