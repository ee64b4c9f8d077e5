#include "audio_input.h"

#include <sndfile.h>
#include <soxr.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <exception>

#include "messages.h"
#ifdef SIGPAT_WITH_FFMPEG
#include "ffmpeg_source.h"
#endif
#include "pipe_stream.h"

namespace sigpat {

namespace {

constexpr std::size_t kChunkFrames = 4096;

}  // namespace

void MixToMono(const double* interleaved, std::size_t frames, int channels, int channel, double* out) {
  if (frames == 0) return;
  if (channel >= 1) {
    for (std::size_t f = 0; f < frames; ++f) out[f] = interleaved[f * channels + (channel - 1)];
    return;
  }
  if (channels == 1) {
    std::memcpy(out, interleaved, frames * sizeof(double));
    return;
  }
  for (std::size_t f = 0; f < frames; ++f) {
    double sum = 0.0;
    for (int c = 0; c < channels; ++c) sum += interleaved[f * channels + c];
    out[f] = sum / channels;
  }
}

void MixToMono16(const std::int16_t* interleaved, std::size_t frames, int channels, int channel, std::int16_t* out) {
  if (channel >= 1 || channels == 1) {
    const int c = channel >= 1 ? channel - 1 : 0;
    for (std::size_t f = 0; f < frames; ++f) out[f] = interleaved[f * channels + c];
    return;
  }
  // Two channels: (a + b) / 2 rounded, halves away from zero (never outside 16 bits).
  for (std::size_t f = 0; f < frames; ++f) {
    const int s = interleaved[2 * f] + interleaved[2 * f + 1];
    out[f] = static_cast<std::int16_t>(s >= 0 ? (s + 1) >> 1 : -((1 - s) >> 1));
  }
}

namespace {

// A file read through libsndfile; values normalised to full scale 1.0. 16-bit PCM with one or
// two channels is also read as it is stored (Read16): the same samples without the round trip
// through doubles, which was a noticeable part of a scan.
class SndfileSource : public FrameSource {
 public:
  // promised: the frames the header gives (-1: a stream), cut: those it gives beyond the file's
  // end as libsndfile found at opening (it then reads the frames that are there).
  SndfileSource(SNDFILE* file, int channels, int channel, std::string name, std::unique_ptr<PipeStream> stream,
                std::int64_t promised = -1, std::int64_t cut = 0)
      : stream_(std::move(stream)), file_(file), channels_(channels), channel_(channel), name_(std::move(name)),
        promised_(promised), cut_(cut) {
    SF_INFO info;
    std::memset(&info, 0, sizeof(info));
    sf_command(file_, SFC_GET_CURRENT_SF_INFO, &info, sizeof(info));
    reads16_ = (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 && (channels_ <= 2 || channel_ >= 1);
  }
  ~SndfileSource() override { sf_close(file_); }

  bool Reads16() const override { return reads16_; }
  std::size_t Read16(std::int16_t* out, std::size_t n) override {
    if (channels_ == 1) return Counted(sf_readf_short(file_, out, static_cast<sf_count_t>(n)));
    buf16_.resize(n * channels_);
    const std::size_t got = Counted(sf_readf_short(file_, buf16_.data(), static_cast<sf_count_t>(n)));
    MixToMono16(buf16_.data(), got, channels_, channel_, out);
    return got;
  }

  std::size_t Read(double* out, std::size_t n) override {
    buf_.resize(n * channels_);
    const std::size_t got = Counted(sf_readf_double(file_, buf_.data(), static_cast<sf_count_t>(n)));
    MixToMono(buf_.data(), got, channels_, channel_, out);
    return got;
  }
  std::int64_t missingFrames() const override {
    if (!ended_) return 0;
    return cut_ + (promised_ > read_ ? promised_ - read_ : 0);
  }

 private:
  // Checks and counts what a read gave.
  std::size_t Counted(sf_count_t got) {
    if (got < 0 || (got == 0 && sf_error(file_) != SF_ERR_NO_ERROR))
      throw Error(name_ + ": read error (" + sf_strerror(file_) + ")");
    read_ += got;
    if (got == 0) ended_ = true;
    return static_cast<std::size_t>(got);
  }

  std::unique_ptr<PipeStream> stream_;  // what a stream is decoded from (outlives file_)
  SNDFILE* file_;
  int channels_;
  int channel_;
  std::string name_;
  std::vector<double> buf_;
  std::vector<std::int16_t> buf16_;
  bool reads16_ = false;
  std::int64_t promised_, cut_;
  std::int64_t read_ = 0;
  bool ended_ = false;
};

// Frames a WAV-like file's header gives beyond its end: libsndfile notes "data : 288000 (should
// be 99922)" (bytes) in its log when a data chunk runs past the file and reads what is there.
std::int64_t FramesCutOff(SNDFILE* file, std::int64_t frames) {
  std::vector<char> log(16384, 0);
  sf_command(file, SFC_GET_LOG_INFO, log.data(), static_cast<int>(log.size()) - 1);
  const char* at = std::strstr(log.data(), "\ndata : ");
  long long given = 0, present = 0;
  if (at == nullptr || std::sscanf(at, "\ndata : %lld (should be %lld)", &given, &present) != 2) return 0;
  if (given <= present || present <= 0) return 0;
  return static_cast<std::int64_t>(static_cast<double>(given - present) * static_cast<double>(frames) /
                                   static_cast<double>(present));
}

// Raw interleaved PCM from standard input.
class RawStdinSource : public FrameSource {
 public:
  RawStdinSource(std::unique_ptr<PipeStream> stream, std::string format, int channels, int channel)
      : stream_(std::move(stream)), format_(std::move(format)), channels_(channels), channel_(channel) {
    bytesPerValue_ = format_ == "s16le" || format_ == "s16be" ? 2 : format_ == "s24le" ? 3 : 4;
  }

  std::size_t Read(double* out, std::size_t n) override {
    const std::size_t frameBytes = static_cast<std::size_t>(bytesPerValue_) * channels_;
    bytes_.resize(n * frameBytes);
    // Keep the bytes of a frame cut by the previous read.
    std::size_t have = pending_.size();
    if (have > 0) std::memcpy(bytes_.data(), pending_.data(), have);
    pending_.clear();
    while (have < frameBytes * n) {
      const std::size_t got = stream_->Read(bytes_.data() + have, bytes_.size() - have);
      have += got;
      if (got == 0) break;
      if (have >= frameBytes) break;  // deliver what arrived: a live feed must not wait for a full buffer
    }
    const std::size_t frames = have / frameBytes;
    pending_.assign(bytes_.begin() + static_cast<std::ptrdiff_t>(frames * frameBytes),
                    bytes_.begin() + static_cast<std::ptrdiff_t>(have));
    values_.resize(frames * channels_);
    const unsigned char* p = bytes_.data();
    for (std::size_t i = 0; i < frames * channels_; ++i, p += bytesPerValue_) values_[i] = Decode(p);
    MixToMono(values_.data(), frames, channels_, channel_, out);
    return frames;
  }

 private:
  double Decode(const unsigned char* p) const {
    if (format_ == "s16le") return static_cast<std::int16_t>(p[0] | (p[1] << 8)) / 32768.0;
    if (format_ == "s16be") return static_cast<std::int16_t>((p[0] << 8) | p[1]) / 32768.0;
    if (format_ == "s24le") {
      std::int32_t v = p[0] | (p[1] << 8) | (p[2] << 16);
      if (v & 0x800000) v -= 0x1000000;
      return v / 8388608.0;
    }
    std::uint32_t u = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                      (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    if (format_ == "s32le") return static_cast<std::int32_t>(u) / 2147483648.0;
    float f;
    std::memcpy(&f, &u, sizeof(f));
    return f;  // f32le
  }

  std::unique_ptr<PipeStream> stream_;
  std::string format_;
  int channels_;
  int channel_;
  int bytesPerValue_;
  std::vector<unsigned char> bytes_;
  std::vector<unsigned char> pending_;
  std::vector<double> values_;
};

// Describes a libsndfile format word briefly ("WAV, PCM 24-bit").
std::string DescribeFormat(int format) {
  SF_FORMAT_INFO info;
  std::string text;
  info.format = format & SF_FORMAT_TYPEMASK;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof(info)) == 0 && info.name != nullptr) text = info.name;
  info.format = format & SF_FORMAT_SUBMASK;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof(info)) == 0 && info.name != nullptr)
    text += (text.empty() ? "" : ", ") + std::string(info.name);
  return text;
}

// The input function of the resampler: pulls frames from the source.
struct ResamplerFeed {
  FrameSource* source;
  std::vector<double>* buffer;
  std::exception_ptr failure;
};

size_t FeedResampler(void* state, soxr_in_t* data, size_t requested) {
  auto* feed = static_cast<ResamplerFeed*>(state);
  try {
    if (requested > kChunkFrames) requested = kChunkFrames;
    feed->buffer->resize(requested);
    std::size_t got = feed->source->Read(feed->buffer->data(), requested);
    *data = feed->buffer->data();
    return got;  // 0 with data set: end of input
  } catch (...) {
    feed->failure = std::current_exception();
    *data = nullptr;
    return 0;
  }
}

}  // namespace

#ifdef SIGPAT_WITH_FFMPEG
// The first bytes of the containers libsndfile reads itself.
static bool HasSndfileSignature(const char* head) {
  static const char* const signatures[] = {"RIFF", "RIFX", "RF64", "riff", "FORM", "fLaC", "OggS", "caff",
                                           ".snd", "dns.", "wvpk", "NIST", "Crea"};
  for (const char* s : signatures)
    if (std::memcmp(head, s, 4) == 0) return true;
  return false;
}
#endif

const std::vector<std::string>& RawFormats() {
  static const std::vector<std::string> formats = {"s16le", "s16be", "s24le", "s32le", "f32le"};
  return formats;
}

std::unique_ptr<AudioInput> AudioInput::Open(const std::string& name, const AudioOptions& options,
                                             const std::atomic<bool>* stop) {
  std::unique_ptr<AudioInput> in(new AudioInput());
  in->name_ = name;
#ifdef SIGPAT_WITH_FFMPEG
  // Decoding through FFmpeg: URLs, and files that libsndfile does not read.
  auto openFfmpeg = [&](const std::string& sndfileProblem) {
    if (options.startFrame != 0)
      throw Error(name + ": cannot start reading at frame " + std::to_string(options.startFrame) +
                  " (only files that libsndfile reads can be read from a given frame)");
    FfmpegStream s;
    try {
      s = OpenFfmpegStream(name, options.channel, options.networkTimeout, stop);
    } catch (const FfmpegUnavailable&) {
      throw;
    } catch (const Error& e) {
      // A file neither library reads: say so, with what each said.
      // The decoder's errors start with the name; a few of its fallbacks do not.
      const std::string what = e.what();
      std::string problem = what.rfind(name + ": ", 0) == 0 ? what.substr(name.size() + 2) : what;
      if (IsUrl(name) || problem.rfind("channel ", 0) == 0) throw;
      // "cannot be opened (REASON)": the reason alone reads better inside the parentheses.
      const std::string opened = "cannot be opened (";
      if (problem.rfind(opened, 0) == 0 && problem.back() == ')')
        problem = problem.substr(opened.size(), problem.size() - opened.size() - 1);
      throw Error(name + ": not an audio file that can be read (" +
                  (sndfileProblem.empty() ? "" : sndfileProblem + "; ") + "FFmpeg: " + problem + ")");
    }
    in->isFile_ = !IsUrl(name);
    in->sourceRate_ = s.rate;
    in->sourceChannels_ = s.channels;
    in->expectedSamples_ = s.frames < 0 ? -1 : static_cast<std::int64_t>(std::llround(
                                                   static_cast<double>(s.frames) * kLibraryRate / s.rate));
    in->description_ = s.description;
    in->source_ = std::move(s.source);
    return WithResampler(std::move(in));
  };
#else
  (void)stop;
#endif
  // Standard input, FIFOs, /dev/stdin and <(command) are streams, read as they come.
  std::unique_ptr<PipeStream> stream;
  if (name == "-") {
    stream = std::make_unique<PipeStream>(STDIN_FILENO, name, false);
    if (stream->Container() == nullptr) {
      in->isFile_ = false;
      in->sourceRate_ = options.rawRate;
      in->sourceChannels_ = options.rawChannels;
      if (options.channel > options.rawChannels)
        throw Error("-: channel " + std::to_string(options.channel) + " does not exist (the input has " +
                    std::to_string(options.rawChannels) + ")");
      in->source_ =
          std::make_unique<RawStdinSource>(std::move(stream), options.rawFormat, options.rawChannels, options.channel);
      in->description_ = "raw " + options.rawFormat + ", " + std::to_string(options.rawRate) + " Hz, " +
                         std::to_string(options.rawChannels) + (options.rawChannels == 1 ? " channel" : " channels");
      return WithResampler(std::move(in));
    }
#ifdef SIGPAT_WITH_FFMPEG
  } else if (IsUrl(name)) {
    return openFfmpeg("");
#endif
  } else {
    struct stat st;
    if (::stat(name.c_str(), &st) != 0) throw Error(name + ": " + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) throw Error(name + ": is a directory, not an audio file");
    if (S_ISREG(st.st_mode) && st.st_size == 0) throw Error(name + ": is empty (0 bytes), not an audio file");
    if (::access(name.c_str(), R_OK) != 0) throw Error(name + ": cannot be read (" + std::strerror(errno) + ")");
    if (!S_ISREG(st.st_mode)) {
      const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) throw Error(name + ": cannot be read (" + std::strerror(errno) + ")");
      stream = std::make_unique<PipeStream>(fd, name, true);
    } else {
#ifdef SIGPAT_WITH_FFMPEG
      // libsndfile reads its own containers; everything else (MP3, AAC, MP4, video, ...) goes to
      // FFmpeg, which counts corrupt frames and stays quiet about them.
      char head[4] = {0, 0, 0, 0};
      if (std::FILE* probe = std::fopen(name.c_str(), "rb")) {
        if (std::fread(head, 1, sizeof(head), probe) != sizeof(head)) head[0] = 0;
        std::fclose(probe);
      }
      if (!HasSndfileSignature(head)) return openFfmpeg("");
#endif
    }
  }

  SF_INFO info;
  std::memset(&info, 0, sizeof(info));
  SNDFILE* file = stream ? sf_open_virtual(PipeStream::VirtualIo(), SFM_READ, &info, stream.get())
                         : sf_open(name.c_str(), SFM_READ, &info);
  if (file == nullptr) {
#ifdef SIGPAT_WITH_FFMPEG
    if (!stream) return openFfmpeg(std::string("libsndfile: ") + sf_strerror(nullptr));
#endif
    unsigned char byte;
    if (stream && stream->Seek(0) && stream->Read(&byte, 1) == 0)
      throw Error(name + ": the stream ended before any audio arrived");
    throw Error(name + ": not an audio file that can be read (" + sf_strerror(nullptr) + ")");
  }
  if ((!stream && info.frames <= 0) || info.channels < 1 || info.samplerate < 1) {
    sf_close(file);
    throw Error(name + ": holds no audio samples");
  }
  if (options.channel > info.channels) {
    sf_close(file);
    throw Error(name + ": channel " + std::to_string(options.channel) + " does not exist (the file has " +
                std::to_string(info.channels) + ")");
  }
  if (options.startFrame != 0) {
    if (stream || options.startFrame < 0 || options.startFrame >= info.frames ||
        sf_seek(file, options.startFrame, SEEK_SET) != options.startFrame) {
      const std::string reason = stream ? "a stream cannot be sought" : sf_strerror(file);
      sf_close(file);
      throw Error(name + ": cannot start reading at frame " + std::to_string(options.startFrame) + " of " +
                  std::to_string(info.frames) + " (" + reason + ")");
    }
    info.frames -= options.startFrame;
  }
  in->isFile_ = name != "-";
  in->exactLength_ = !stream;
  in->sourceRate_ = info.samplerate;
  in->sourceChannels_ = info.channels;
  in->expectedSamples_ = stream ? -1 : static_cast<std::int64_t>(std::llround(
      static_cast<double>(info.frames) * kLibraryRate / static_cast<double>(info.samplerate)));
  in->description_ = DescribeFormat(info.format) + ", " + std::to_string(info.samplerate) + " Hz, " +
                     std::to_string(info.channels) + (info.channels == 1 ? " channel" : " channels");
  const std::int64_t cut = stream ? 0 : FramesCutOff(file, info.frames + options.startFrame);
  in->source_ = std::make_unique<SndfileSource>(file, info.channels, options.channel, name, std::move(stream),
                                                stream ? -1 : info.frames, cut);
  return WithResampler(std::move(in));
}

std::unique_ptr<AudioInput> AudioInput::WithResampler(std::unique_ptr<AudioInput> in) {
  const std::string& name = in->name_;
  if (in->sourceRate_ != kLibraryRate) {
    soxr_error_t err = nullptr;
    soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_t s = soxr_create(in->sourceRate_, kLibraryRate, 1, &err, &io, &quality, nullptr);
    if (s == nullptr || err != nullptr)
      throw Error(name + ": cannot resample from " + std::to_string(in->sourceRate_) + " Hz (" +
                  (err != nullptr ? err : "soxr") + ")");
    in->resampler_ = s;
  }
  return in;
}

std::unique_ptr<AudioInput> AudioInput::FromSource(const std::string& name, std::unique_ptr<FrameSource> source,
                                                   int sourceRate, int sourceChannels, std::int64_t frames) {
  if (sourceRate < 1) throw Error(name + ": the sample rate " + std::to_string(sourceRate) + " Hz is not positive");
  std::unique_ptr<AudioInput> in(new AudioInput());
  in->name_ = name;
  in->sourceRate_ = sourceRate;
  in->sourceChannels_ = sourceChannels;
  if (frames >= 0)
    in->expectedSamples_ = static_cast<std::int64_t>(
        std::llround(static_cast<double>(frames) * kLibraryRate / static_cast<double>(sourceRate)));
  in->description_ = std::to_string(sourceRate) + " Hz, " + std::to_string(sourceChannels) +
                     (sourceChannels == 1 ? " channel" : " channels");
  in->source_ = std::move(source);
  return WithResampler(std::move(in));
}

std::int64_t AudioInput::ProbeExpectedSamples(const std::string& name) {
  if (name == "-") return -1;
#ifdef SIGPAT_WITH_FFMPEG
  if (IsUrl(name)) return -1;
#endif
  struct stat st;
  if (::stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
#ifdef SIGPAT_WITH_FFMPEG
  char head[4] = {0, 0, 0, 0};
  if (std::FILE* probe = std::fopen(name.c_str(), "rb")) {
    if (std::fread(head, 1, sizeof(head), probe) != sizeof(head)) head[0] = 0;
    std::fclose(probe);
  }
  if (!HasSndfileSignature(head)) {
    try {
      const FfmpegStream s = OpenFfmpegStream(name, 0);
      return s.frames < 0 ? -1 : static_cast<std::int64_t>(std::llround(static_cast<double>(s.frames) * kLibraryRate / s.rate));
    } catch (const Error&) {
      return -1;
    }
  }
#endif
  SF_INFO info;
  std::memset(&info, 0, sizeof(info));
  SNDFILE* file = sf_open(name.c_str(), SFM_READ, &info);
  if (file == nullptr) return -1;
  sf_close(file);
  if (info.frames <= 0 || info.samplerate < 1) return -1;
  return static_cast<std::int64_t>(
      std::llround(static_cast<double>(info.frames) * kLibraryRate / static_cast<double>(info.samplerate)));
}

AudioInput::~AudioInput() {
  if (resampler_ != nullptr) soxr_delete(static_cast<soxr_t>(resampler_));
}

std::size_t AudioInput::ReadSource(double* out, std::size_t n) {
  if (resampler_ == nullptr) {
    if (sourceEnded_) return 0;
    std::size_t got = source_->Read(out, n);
    if (got == 0) sourceEnded_ = true;
    return got;
  }
  if (resamplerDrained_) return 0;
  soxr_t s = static_cast<soxr_t>(resampler_);
  ResamplerFeed feed{source_.get(), &sourceBuf_, nullptr};
  soxr_error_t err = soxr_set_input_fn(s, &FeedResampler, &feed, kChunkFrames);
  if (err != nullptr) throw Error(name_ + ": resampler error (" + err + ")");
  std::size_t got = soxr_output(s, out, n);
  if (feed.failure) std::rethrow_exception(feed.failure);
  if (soxr_error(s) != nullptr) throw Error(name_ + ": resampler error (" + soxr_error(s) + ")");
  if (got == 0) resamplerDrained_ = true;
  return got;
}

std::size_t AudioInput::Read(std::int16_t* out, std::size_t n) {
  if (resampler_ == nullptr && source_->Reads16()) {
    if (sourceEnded_) return 0;
    const std::size_t got = source_->Read16(out, n);
    if (got == 0) sourceEnded_ = true;
    return got;
  }
  monoBuf_.resize(n);
  std::size_t got = ReadSource(monoBuf_.data(), n);
  for (std::size_t i = 0; i < got; ++i) out[i] = ToSample16(monoBuf_[i]);
  return got;
}

}  // namespace sigpat
