// Ogg Opus files encoded in memory: libopus's encoder, libogg's pages (headers, granule
// positions, pre-skip and the end trim a decoder needs to give back exactly the samples written).
#ifndef SIGPAT_OGG_OPUS_H
#define SIGPAT_OGG_OPUS_H

#include <cstdint>
#include <string>
#include <vector>

namespace sigpat {

struct OggOpusSettings {
  int bitrate = 32000;  // bits per second
  int complexity = 3;   // the encoder's effort, 0-10
  // Milliseconds of audio per packet: 20, 40, 60, 80, 100 or 120 (others are taken as 20). Part
  // of the encoder's cost goes per packet, so longer packets cost less; CELT codes 20 ms frames
  // either way, a packet only holds several of them.
  int frameMs = 20;
  // The rate the encoder is given, one Opus takes as it is: 8000, 12000, 16000, 24000 or 48000
  // (others are taken as 48000). It bounds the sound kept to half of it (Opus codes up to 20 kHz):
  // a lower rate costs the encoder less, and resampling to it no more.
  int encodeRate = 48000;
};

// The whole file of mono 16-bit samples at `rate` Hz (any rate: resampled to the encoder's rate
// first). A decoder gives back 48 kHz, as many samples as were written at that rate. Throws
// Error naming `what` when the encoder refuses, and for no samples at all.
std::vector<unsigned char> EncodeOggOpus(const std::vector<std::int16_t>& samples, int rate,
                                         const OggOpusSettings& settings, const std::string& what);

}  // namespace sigpat

#endif
