#include "ogg_opus.h"

#include <ogg/ogg.h>
#include <opus.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "evidence_resampler.h"
#include "messages.h"

namespace sigpat {

namespace {

constexpr std::int64_t kGranuleRate = 48000;  // Ogg Opus counts every position at 48 kHz
// Names the stream in each page; a file holds one stream, so any number serves, and a fixed one
// keeps the files the same for the same samples.
constexpr std::uint32_t kSerial = 0x53504556;

struct EncoderFree {
  void operator()(OpusEncoder* e) const { opus_encoder_destroy(e); }
};

// One logical Ogg stream (libogg) whose pages are appended to `out`; pages are written only when
// Flush is called, so the file's page layout is ours to choose.
class OggStream {
 public:
  OggStream(std::vector<unsigned char>& out, const std::string& what) : out_(out), what_(what) {
    if (ogg_stream_init(&os_, static_cast<int>(kSerial)) != 0) throw Error(what_ + ": cannot start an Ogg stream");
  }
  ~OggStream() { ogg_stream_clear(&os_); }
  OggStream(const OggStream&) = delete;
  OggStream& operator=(const OggStream&) = delete;

  // `granule`: the stream's position at the packet's end (for the last packet, where the
  // decoder's output ends, which may be before the packet does: the rest is dropped).
  void Add(std::vector<unsigned char>& data, std::size_t n, std::int64_t granule, bool last = false) {
    ogg_packet p{};
    p.packet = data.data();
    p.bytes = static_cast<long>(n);
    p.b_o_s = packets_ == 0;
    p.e_o_s = last;
    p.granulepos = granule;
    p.packetno = packets_++;
    if (ogg_stream_packetin(&os_, &p) != 0) throw Error(what_ + ": the Ogg stream refused a packet");
  }
  void Flush() {
    ogg_page page;
    while (ogg_stream_flush(&os_, &page) != 0) {
      out_.insert(out_.end(), page.header, page.header + page.header_len);
      out_.insert(out_.end(), page.body, page.body + page.body_len);
    }
  }

 private:
  ogg_stream_state os_{};
  std::vector<unsigned char>& out_;
  const std::string& what_;
  std::int64_t packets_ = 0;
};

void PutLe(std::vector<unsigned char>& out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void PutText(std::vector<unsigned char>& out, const char* text) { out.insert(out.end(), text, text + std::strlen(text)); }

}  // namespace

std::vector<unsigned char> EncodeOggOpus(const std::vector<std::int16_t>& samples, int rate,
                                         const OggOpusSettings& settings, const std::string& what) {
  if (samples.empty()) throw Error(what + ": no samples to encode as Opus");
  const int encodeRate = settings.encodeRate;
  const int opusRate = encodeRate == 8000 || encodeRate == 12000 || encodeRate == 16000 || encodeRate == 24000
                           ? encodeRate
                           : 48000;
  auto check = [&](int code, const char* step) {
    if (code < 0) throw Error(what + ": the Opus encoder failed " + step + " (" + opus_strerror(code) + ")");
  };
  int err = OPUS_OK;
  const std::unique_ptr<OpusEncoder, EncoderFree> enc(opus_encoder_create(opusRate, 1, OPUS_APPLICATION_AUDIO, &err));
  if (!enc) check(err == OPUS_OK ? OPUS_ALLOC_FAIL : err, "to start");
  check(opus_encoder_ctl(enc.get(), OPUS_SET_BITRATE(settings.bitrate)), "to take the bitrate");
  check(opus_encoder_ctl(enc.get(), OPUS_SET_COMPLEXITY(settings.complexity)), "to take the complexity");
  opus_int32 lookahead = 0;  // the encoder's delay, samples at opusRate
  check(opus_encoder_ctl(enc.get(), OPUS_GET_LOOKAHEAD(&lookahead)), "to tell its delay");
  const int ms = settings.frameMs;
  const int frameMs = ms == 40 || ms == 60 || ms == 80 || ms == 100 || ms == 120 ? ms : 20;
  const std::size_t frame = static_cast<std::size_t>(opusRate / 1000 * frameMs);
  const std::int64_t scale = kGranuleRate / opusRate;  // 48 kHz samples per encoded sample

  std::vector<unsigned char> out;
  OggStream pages(out, what);
  // Identification header: version 1, one channel, the samples a decoder drops first (the
  // encoder's delay, at 48 kHz), the rate encoded, no gain, channel mapping family 0.
  std::vector<unsigned char> packet;
  PutText(packet, "OpusHead");
  packet.push_back(1);
  packet.push_back(1);
  PutLe(packet, static_cast<std::uint64_t>(lookahead * scale), 2);
  PutLe(packet, static_cast<std::uint64_t>(opusRate), 4);
  PutLe(packet, 0, 2);
  packet.push_back(0);
  pages.Add(packet, packet.size(), 0);
  pages.Flush();
  // Comment header: the encoder's name, no comments. The audio starts on a page of its own.
  packet.clear();
  PutText(packet, "OpusTags");
  const char* vendor = opus_get_version_string();
  PutLe(packet, std::strlen(vendor), 4);
  PutText(packet, vendor);
  PutLe(packet, 0, 4);
  pages.Add(packet, packet.size(), 0);
  pages.Flush();

  // Packets of `frame` samples; the encoder's delay and the rest of the last packet are silence.
  // As floats (1.0 for 32768): the encoder works on floats, and the resampler's need no rounding.
  std::vector<float> pcm;
  pcm.reserve(frame);
  // Each packet is held back until the next one is coded: the last one carries where the
  // decoder's output ends, known only once every sample is in.
  std::vector<unsigned char> coded(7680), held(7680);  // six 20 ms frames at the largest 1275 bytes, and more
  std::size_t heldBytes = 0;
  std::int64_t granule = 0, pageStart = 0, written = 0;
  auto encode = [&]() {
    pcm.resize(frame, 0.0f);
    const opus_int32 n = opus_encode_float(enc.get(), pcm.data(), static_cast<int>(frame), coded.data(),
                                           static_cast<opus_int32>(coded.size()));
    check(n, "on the samples");
    pcm.clear();
    if (heldBytes > 0) {
      pages.Add(held, heldBytes, granule);
      // Pages of about a second: a small file needs few of them, and nothing is streamed.
      if (granule - pageStart >= kGranuleRate) pages.Flush(), pageStart = granule;
    }
    std::swap(held, coded);
    heldBytes = static_cast<std::size_t>(n);
    granule += static_cast<std::int64_t>(frame) * scale;
  };
  auto write = [&](const float* in, std::size_t n) {
    written += static_cast<std::int64_t>(n);
    while (n > 0) {
      const std::size_t take = std::min(n, frame - pcm.size());
      pcm.insert(pcm.end(), in, in + take);
      in += take, n -= take;
      if (pcm.size() == frame) encode();
    }
  };
  if (rate == opusRate) {
    std::vector<float> block;
    for (std::size_t at = 0; at < samples.size(); at += EvidenceResampler::kBlock) {
      const std::size_t n = std::min(EvidenceResampler::kBlock, samples.size() - at);
      block.resize(n);
      for (std::size_t i = 0; i < n; ++i) block[i] = static_cast<float>(samples[at + i]) * (1.0f / 32768.0f);
      write(block.data(), n);
    }
  } else {
    EvidenceResampler(rate, opusRate).StreamFloats(samples, write);
  }
  // The encoder's delay: its last samples come out that much later.
  const std::int64_t end = (written + lookahead) * scale;
  while (granule < end) encode();
  pages.Add(held, heldBytes, end, true);
  pages.Flush();
  return out;
}

}  // namespace sigpat
