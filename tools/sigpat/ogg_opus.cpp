#include "ogg_opus.h"

#include <opusenc.h>

#include <algorithm>
#include <memory>

#include "evidence_resampler.h"
#include "messages.h"

namespace sigpat {

namespace {

constexpr int kOpusRate = 48000;  // the rate Opus encodes at

int Append(void* user, const unsigned char* data, opus_int32 n) {
  auto* out = static_cast<std::vector<unsigned char>*>(user);
  out->insert(out->end(), data, data + n);
  return 0;
}
int Close(void*) { return 0; }

struct EncoderFree {
  void operator()(OggOpusEnc* e) const { ope_encoder_destroy(e); }
};
struct CommentsFree {
  void operator()(OggOpusComments* c) const { ope_comments_destroy(c); }
};

}  // namespace

std::vector<unsigned char> EncodeOggOpus(const std::vector<std::int16_t>& samples, int rate,
                                         const OggOpusSettings& settings, const std::string& what) {
  // libopusenc cannot end a stream it was given nothing for (it stops on an assertion).
  if (samples.empty()) throw Error(what + ": no samples to encode as Opus");
  // libopusenc resamples any other rate to the encoder's 48 kHz itself, with speex at quality 5:
  // 39 % of the encoder's instructions at 44.1 kHz. A short filter of our own does it for a third
  // of that, and the decoded evidence finds its spots as well (docs/evidence.md).
  std::vector<unsigned char> out;
  const std::unique_ptr<OggOpusComments, CommentsFree> comments(ope_comments_create());
  if (!comments) throw Error(what + ": the Opus encoder refused (out of memory)");
  int err = OPE_OK;
  const OpusEncCallbacks callbacks{Append, Close};
  const std::unique_ptr<OggOpusEnc, EncoderFree> enc(
      ope_encoder_create_callbacks(&callbacks, &out, comments.get(), kOpusRate, 1, 0, &err));
  auto check = [&](int code, const char* step) {
    if (code != OPE_OK) throw Error(what + ": the Opus encoder failed " + step + " (" + ope_strerror(code) + ")");
  };
  if (!enc) check(err == OPE_OK ? OPE_ALLOC_FAIL : err, "to start");
  check(ope_encoder_ctl(enc.get(), OPUS_SET_BITRATE(settings.bitrate)), "to take the bitrate");
  check(ope_encoder_ctl(enc.get(), OPUS_SET_COMPLEXITY(settings.complexity)), "to take the complexity");
  const int frameMs = settings.frameMs;
  const int frame = frameMs == 40    ? OPUS_FRAMESIZE_40_MS
                    : frameMs == 60  ? OPUS_FRAMESIZE_60_MS
                    : frameMs == 80  ? OPUS_FRAMESIZE_80_MS
                    : frameMs == 100 ? OPUS_FRAMESIZE_100_MS
                    : frameMs == 120 ? OPUS_FRAMESIZE_120_MS
                                     : OPUS_FRAMESIZE_20_MS;
  check(ope_encoder_ctl(enc.get(), OPUS_SET_EXPERT_FRAME_DURATION(frame)), "to take the packet length");
  // Pages of up to a second: a small file needs few of them, and nothing is streamed.
  check(ope_encoder_ctl(enc.get(), OPE_SET_MUXING_DELAY(48000)), "to take the page length");
  auto write = [&](const std::int16_t* pcm, std::size_t n) {
    constexpr std::size_t kPiece = 1 << 16;
    for (std::size_t at = 0; at < n; at += kPiece)
      check(ope_encoder_write(enc.get(), pcm + at, static_cast<int>(std::min(kPiece, n - at))), "on the samples");
  };
  if (rate == kOpusRate) write(samples.data(), samples.size());
  else EvidenceResampler(rate, kOpusRate).Stream(samples, write);
  check(ope_encoder_drain(enc.get()), "at the end");
  return out;
}

}  // namespace sigpat
