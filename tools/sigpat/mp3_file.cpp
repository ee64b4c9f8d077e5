#include "mp3_file.h"

#include <lame/lame.h>

#include <cstring>
#include <memory>

#include "evidence_resampler.h"
#include "messages.h"

namespace sigpat {

namespace {

struct LameFree {
  void operator()(lame_global_flags* g) const { lame_close(g); }
};

}  // namespace

std::vector<unsigned char> EncodeMp3(const std::vector<std::int16_t>& samples, int rate, const Mp3Settings& settings,
                                     const std::string& what) {
  if (samples.empty()) throw Error(what + ": no samples to encode as MP3");
  std::unique_ptr<lame_global_flags, LameFree> lame(lame_init());
  if (!lame) throw Error(what + ": the MP3 encoder refused (out of memory)");
  lame_global_flags* g = lame.get();
  lame_set_num_channels(g, 1);
  lame_set_mode(g, MONO);
  lame_set_in_samplerate(g, settings.rate);
  lame_set_out_samplerate(g, settings.rate);
  lame_set_VBR(g, vbr_default);
  lame_set_VBR_quality(g, static_cast<float>(settings.vbrQuality));
  lame_set_quality(g, settings.effort);
  lame_set_bWriteVbrTag(g, 1);            // a placeholder frame first, filled in at the end
  lame_set_write_id3tag_automatic(g, 0);  // no tags: the file's name says what it holds
  if (lame_init_params(g) < 0) throw Error(what + ": the MP3 encoder refused its settings");

  std::vector<unsigned char> out;
  bool failed = false;
  auto encode = [&](const std::int16_t* pcm, std::size_t n) {
    if (failed || n == 0) return;
    // LAME's bound for a call's output: 1.25 times the samples and 7200 bytes.
    const std::size_t at = out.size(), room = n + n / 4 + 7200;
    out.resize(at + room);
    const int made = lame_encode_buffer(g, pcm, pcm, static_cast<int>(n), out.data() + at, static_cast<int>(room));
    failed = made < 0;
    out.resize(at + static_cast<std::size_t>(failed ? 0 : made));
  };
  if (rate == settings.rate) encode(samples.data(), samples.size());
  else EvidenceResampler(rate, settings.rate).Stream(samples, encode);
  if (failed) throw Error(what + ": the MP3 encoder failed");
  const std::size_t at = out.size();
  out.resize(at + 7200);
  const int last = lame_encode_flush(g, out.data() + at, 7200);
  if (last < 0) throw Error(what + ": the MP3 encoder failed at the end");
  out.resize(at + static_cast<std::size_t>(last));
  // The tag frame (length, delay and padding) over the placeholder that starts the file.
  unsigned char tag[2880];
  const std::size_t size = lame_get_lametag_frame(g, tag, sizeof tag);
  if (size > 0 && size <= out.size()) std::memcpy(out.data(), tag, size);
  return out;
}

}  // namespace sigpat
