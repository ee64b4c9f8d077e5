// Audio input of sigpat: any file libsndfile reads, anything else the FFmpeg libraries read
// (compressed formats, video files, URLs and live streams), or raw PCM from standard input,
// delivered as the library wants it: 16-bit mono samples at 44100 Hz. libsndfile keeps what it
// reads (WAV, FLAC, ...), so those bytes reach the library exactly as before.
//
// Several channels are mixed to mono (their mean) unless one channel is picked; other sample
// rates are resampled to 44100 Hz with libsoxr; samples are carried in double precision and
// converted to 16 bits at the end with rounding to nearest and clipping, so 16-bit mono input
// at 44100 Hz passes through unchanged and float or 24-bit input loses only what 16 bits cannot
// hold.
#ifndef SIGPAT_AUDIO_INPUT_H
#define SIGPAT_AUDIO_INPUT_H

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sigpat {

constexpr int kLibraryRate = 44100;
constexpr int kSamplesPerBlock = 576;  // a time block of the library's standard set-up

struct AudioOptions {
  int channel = 0;                  // 0: mix all channels; K >= 1: channel K only
  std::string rawFormat = "s16le";  // raw PCM on standard input: s16le, s16be, s24le, s32le, f32le
  int rawRate = kLibraryRate;
  int rawChannels = 1;
  std::int64_t startFrame = 0;      // files read by libsndfile: start at this frame (of the file's own rate)
  double networkTimeout = 15.0;     // a URL that sends nothing this long fails (seconds)
};

// The raw sample formats accepted on standard input.
const std::vector<std::string>& RawFormats();

// Frames of one source, in double precision at the source rate; implemented per source kind.
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // Reads up to n frames, each mixed or picked to one value in [-1, 1] (full scale); returns
  // the count, 0 at the end. Throws Error on a read failure.
  virtual std::size_t Read(double* out, std::size_t n) = 0;
  // True when Read16 gives the 16-bit samples themselves (a 16-bit source read as it is stored).
  virtual bool Reads16() const { return false; }
  // Reads up to n frames as 16-bit samples, each exactly what ToSample16 makes of what Read
  // would have given; only called when Reads16(). Returns the count, 0 at the end.
  virtual std::size_t Read16(std::int16_t* out, std::size_t n) {
    (void)out;
    (void)n;
    return 0;
  }
  // Frames the decoder refused and skipped so far (compressed formats only).
  virtual std::int64_t corruptFrames() const { return 0; }
  // Frames the file's header gives beyond those it holds (a file cut short), once read to its
  // end; 0 when it is whole or its length is not known.
  virtual std::int64_t missingFrames() const { return 0; }
  // The time the stream itself gives its frame `frame` (counted from the first read; a
  // fraction lies between frames): UTC seconds since 1970, < 0 when it gives none. Asked for
  // frames in increasing order, among those read.
  virtual double StreamClock(double frame) {
    (void)frame;
    return -1.0;
  }
};

// Mixes (channel 0) or picks (channel K >= 1) one value per frame of interleaved data.
void MixToMono(const double* interleaved, std::size_t frames, int channels, int channel, double* out);
// The same for 16-bit samples, with ToSample16's rounding of the mean (halves away from zero);
// mixing more than two channels is left to the double version (their mean is not exact).
void MixToMono16(const std::int16_t* interleaved, std::size_t frames, int channels, int channel, std::int16_t* out);

class AudioInput {
 public:
  // Opens NAME ("-": standard input, raw PCM unless it starts with the header of an audio file,
  // which is then decoded; FIFOs and other non-regular files are decoded as streams;
  // "scheme://...": a URL, through FFmpeg). Throws Error ("NAME: problem") when the file is
  // missing, unreadable, not audio or holds no samples, or the channel does not exist. `stop`,
  // when given, interrupts a network read once set.
  static std::unique_ptr<AudioInput> Open(const std::string& name, const AudioOptions& options,
                                          const std::atomic<bool>* stop = nullptr);
  // Frames of the caller's own source (samples in memory, say) named name, at sourceRate with
  // sourceChannels channels (before mixing) and frames frames in all (-1: unknown).
  static std::unique_ptr<AudioInput> FromSource(const std::string& name, std::unique_ptr<FrameSource> source,
                                                int sourceRate, int sourceChannels, std::int64_t frames);
  // Expected samples at 44100 Hz of a file without opening it for reading; -1 when unknown.
  static std::int64_t ProbeExpectedSamples(const std::string& name);
  ~AudioInput();

  // Fills out with up to n samples (44100 Hz, mono, 16-bit); returns the count, 0 at the end.
  std::size_t Read(std::int16_t* out, std::size_t n);
  // The same samples before their conversion to 16 bits (full scale 1.0), for clips that are
  // processed further (the evaluation's corpus).
  std::size_t ReadFullScale(double* out, std::size_t n) { return ReadSource(out, n); }

  const std::string& name() const { return name_; }
  bool isFile() const { return isFile_; }
  int sourceRate() const { return sourceRate_; }
  int sourceChannels() const { return sourceChannels_; }
  // Expected number of samples at 44100 Hz; -1 when unknown (standard input).
  std::int64_t expectedSamples() const { return expectedSamples_; }
  // True when expectedSamples() is exact (libsndfile); compressed formats give an estimate.
  bool exactLength() const { return exactLength_; }
  // "FLAC, 48000 Hz, 2 channels" and the like.
  const std::string& description() const { return description_; }
  // Frames of a compressed stream that could not be decoded and were skipped.
  std::int64_t corruptFrames() const { return source_ ? source_->corruptFrames() : 0; }
  // Seconds of audio the file's header gives beyond its end (a file cut short), once read to it.
  double missingSeconds() const {
    return source_ ? static_cast<double>(source_->missingFrames()) / sourceRate_ : 0.0;
  }
  // The stream's own time of its sample `sample` (counted from the first read), UTC seconds
  // since 1970: an HLS stream's program date and time; < 0 for streams without a clock.
  double StreamClock(std::int64_t sample) {
    return source_ ? source_->StreamClock(static_cast<double>(sample) * sourceRate_ / kLibraryRate) : -1.0;
  }

 private:
  AudioInput() = default;
  // Adds the resampler to 44100 Hz when the source has another rate.
  static std::unique_ptr<AudioInput> WithResampler(std::unique_ptr<AudioInput> in);
  std::size_t ReadSource(double* out, std::size_t n);  // at 44100 Hz, resampled when needed

  std::string name_;
  bool isFile_ = false;
  int sourceRate_ = kLibraryRate;
  int sourceChannels_ = 1;
  std::int64_t expectedSamples_ = -1;
  bool exactLength_ = false;
  std::string description_;
  std::unique_ptr<FrameSource> source_;
  void* resampler_ = nullptr;  // soxr_t when the source rate is not 44100 Hz
  bool sourceEnded_ = false;
  bool resamplerDrained_ = false;
  std::vector<double> sourceBuf_;
  std::vector<double> monoBuf_;
};

// Converts a full-scale value to a 16-bit sample: x * 32768 rounded to nearest (halves away
// from zero) and clipped to -32768 .. 32767. Non-finite values give 0. Inline: every sample
// of every input passes here; whole values (all a 16-bit source gives) skip the rounding.
inline std::int16_t ToSample16(double x) {
  if (!std::isfinite(x)) return 0;
  const double v = x * 32768.0;
  if (v >= 32767.0) return 32767;
  if (v <= -32768.0) return -32768;
  const auto whole = static_cast<std::int32_t>(v);  // towards zero
  if (static_cast<double>(whole) == v) return static_cast<std::int16_t>(whole);
  return static_cast<std::int16_t>(std::round(v));
}

}  // namespace sigpat

#endif
