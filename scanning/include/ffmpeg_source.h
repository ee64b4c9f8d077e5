// Audio through the FFmpeg libraries: every file format and URL that libavformat opens (MP3,
// AAC in ADTS or MP4/M4A, Opus, WMA, the first audio stream of a video file, http(s)://,
// Icecast/SHOUTcast, HLS .m3u8).
//
// Frames are delivered at the stream's first sample rate with its first channel count (a
// stream that changes either later, as HLS and radio streams may, is converted back to them by
// libswresample), mixed or picked to one value per frame like every other source of sigpat.
// A packet the decoder refuses (a corrupt frame) is skipped and counted; the stream goes on.
//
// The decoder itself (ffmpeg_module.h) is linked into the program or, for sigpat, a module that
// is loaded on the first call of OpenFfmpegStream: until then no FFmpeg library is loaded.
#ifndef SIGPAT_FFMPEG_SOURCE_H
#define SIGPAT_FFMPEG_SOURCE_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "audio_input.h"
#include "messages.h"

namespace sigpat {

struct FfmpegStream {
  std::unique_ptr<FrameSource> source;
  int rate = 0;
  int channels = 0;
  std::int64_t frames = -1;  // estimated from the container's duration; -1 when unknown
  std::string description;   // "mp3, 44100 Hz, 2 channels"
};

// The decoder is neither linked in nor loadable (its module is missing or broken).
class FfmpegUnavailable : public Error {
 public:
  using Error::Error;
};

// Opens NAME (a path or a URL). Throws Error ("NAME: problem") when it cannot be opened, holds
// no audio stream, or the channel does not exist; FfmpegUnavailable when there is no decoder.
// A URL that delivers nothing for `timeoutSeconds` fails; `stop`, when given, interrupts
// opening and reading once it is set.
FfmpegStream OpenFfmpegStream(const std::string& name, int channel, double timeoutSeconds = 15.0,
                              const std::atomic<bool>* stop = nullptr);

// True for names that only FFmpeg reads: "scheme://...".
bool IsUrl(const std::string& name);

}  // namespace sigpat

#endif
