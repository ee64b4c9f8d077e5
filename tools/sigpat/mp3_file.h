// MP3 files encoded in memory with LAME (libmp3lame): variable bitrate, mono, with the LAME tag
// frame at the start, which gives players the length of a variable-bitrate file and decoders the
// encoder's delay and padding to trim (the samples written come back without the silence LAME
// adds around them).
#ifndef SIGPAT_MP3_FILE_H
#define SIGPAT_MP3_FILE_H

#include <cstdint>
#include <string>
#include <vector>

namespace sigpat {

struct Mp3Settings {
  int rate = 16000;     // Hz the file is encoded at (MPEG-1, -2 or -2.5 layer III rates)
  int vbrQuality = 4;   // the variable bitrate's target, 0 (largest) - 9 (smallest)
  // LAME's effort, 0 (slowest) - 9: at 7 and above it skips the psychoacoustic search of the
  // quantization (noise shaping), which is most of its instructions, for about a quarter more
  // bytes at the same variable-bitrate target.
  int effort = 7;
};

// The whole file of mono 16-bit samples at `rate` Hz (resampled to settings.rate first when they
// differ). Throws Error naming `what` when the encoder refuses or fails, and for no samples.
std::vector<unsigned char> EncodeMp3(const std::vector<std::int16_t>& samples, int rate, const Mp3Settings& settings,
                                     const std::string& what);

}  // namespace sigpat

#endif
