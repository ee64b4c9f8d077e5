// Ogg Opus files encoded in memory with libopusenc (the reference encoder's own Ogg layer:
// headers, granule positions, pre-skip and the end trim a decoder needs to give back exactly the
// samples written).
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
  // of the encoder's cost goes per packet (libopusenc asks the encoder for its state on every
  // packet, and libopus then probes the processor's features, a trap into the host on virtual
  // machines), so longer packets cost less; CELT codes 20 ms frames either way, a packet only
  // holds several of them.
  int frameMs = 20;
};

// The whole file of mono 16-bit samples at `rate` Hz (any rate: resampled to 48 kHz first).
// Throws Error naming `what` when the encoder refuses, and for no samples at all.
std::vector<unsigned char> EncodeOggOpus(const std::vector<std::int16_t>& samples, int rate,
                                         const OggOpusSettings& settings, const std::string& what);

}  // namespace sigpat

#endif
