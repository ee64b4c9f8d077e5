// The decoder of ffmpeg_module.h: libavformat opens and demuxes, libavcodec decodes,
// libswresample converts every frame to interleaved doubles at the stream's first rate and
// channel count. A packet the decoder refuses (a corrupt frame) is skipped and counted.
#include "ffmpeg_module.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "hls_clock.h"
#include "messages.h"
#include "wall_clock.h"

namespace sigpat {

namespace {

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, text, sizeof(text));
  return text;
}

// FFmpeg writes its own warnings (a corrupt frame, a reconnect) on stderr unless told not to;
// sigpat counts and reports those itself, so only -v shows FFmpeg's lines.
void QuietLibraries(bool verbose) {
  static const bool once = [verbose] {
    av_log_set_level(verbose ? AV_LOG_WARNING : AV_LOG_QUIET);
    avformat_network_init();
    return true;
  }();
  (void)once;
}

int Interrupted(void* flag) {
  return flag != nullptr && static_cast<const std::atomic<bool>*>(flag)->load() ? 1 : 0;
}

class FfmpegSource {
 public:
  FfmpegSource(std::string name, bool isUrl) : name_(std::move(name)), isUrl_(isUrl) {}
  ~FfmpegSource() {
    swr_free(&swr_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&codec_);
    avformat_close_input(&format_);
  }

  void Open(double timeoutSeconds, const std::atomic<bool>* stop) {
    format_ = avformat_alloc_context();
    if (format_ == nullptr) throw Error(name_ + ": out of memory");
    format_->interrupt_callback.callback = &Interrupted;
    format_->interrupt_callback.opaque = const_cast<std::atomic<bool>*>(stop);
    AVDictionary* options = nullptr;
    if (isUrl_) {
      // A server that stops sending ends the read instead of hanging it.
      av_dict_set_int(&options, "rw_timeout", static_cast<std::int64_t>(timeoutSeconds * 1e6), 0);
      av_dict_set(&options, "user_agent", "sigpat", 0);
      // HLS: every playlist and segment through io_open, where the clock sees them.
      av_dict_set(&options, "http_persistent", "0", 0);
    }
    clock_.Watch(format_);
    int err = avformat_open_input(&format_, name_.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (err < 0) {
      format_ = nullptr;  // freed by avformat_open_input
      if (isUrl_ && err == AVERROR_INVALIDDATA)  // the server answered, with something else (a web page, ...)
        throw Error(name_ + ": what the server sent is not audio that can be read (" + AvError(err) + ")");
      throw Error(name_ + ": cannot be opened (" + AvError(err) + ")");
    }
    CheckIndexBeforeSamples();
    if ((err = avformat_find_stream_info(format_, nullptr)) < 0)
      throw Error(name_ + ": not an audio stream that can be read (" + AvError(err) + ")");
    const AVCodec* decoder = nullptr;
    stream_ = av_find_best_stream(format_, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (stream_ < 0 || decoder == nullptr)
      throw Error(name_ + (stream_ == AVERROR_DECODER_NOT_FOUND ? ": no decoder for its audio stream"
                                                                 : ": holds no audio stream"));
    AVStream* st = format_->streams[stream_];
    // The other streams are not read (an HLS master playlist's other variants are not fetched).
    for (unsigned i = 0; i < format_->nb_streams; ++i)
      if (static_cast<int>(i) != stream_) format_->streams[i]->discard = AVDISCARD_ALL;
    timeBase_ = av_q2d(st->time_base);
    codec_ = avcodec_alloc_context3(decoder);
    if (codec_ == nullptr || avcodec_parameters_to_context(codec_, st->codecpar) < 0)
      throw Error(name_ + ": cannot set up the " + decoder->name + " decoder");
    if ((err = avcodec_open2(codec_, decoder, nullptr)) < 0)
      throw Error(name_ + ": cannot open the " + std::string(decoder->name) + " decoder (" + AvError(err) + ")");
    rate_ = codec_->sample_rate;
    channels_ = codec_->ch_layout.nb_channels;
    if (rate_ < 1 || channels_ < 1) throw Error(name_ + ": its audio stream has no sample rate or channels");
    hasClock_ = std::strcmp(format_->iformat->name, "hls") == 0 && clock_.Select(format_, stream_);
    track_ = ClockTrack(rate_);
    if (format_->duration > 0 && !isUrl_)
      frames_ = av_rescale(format_->duration, rate_, AV_TIME_BASE);
    description_ = std::string(decoder->name) + ", " + std::to_string(rate_) + " Hz, " + std::to_string(channels_) +
                   (channels_ == 1 ? " channel" : " channels");
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (packet_ == nullptr || frame_ == nullptr) throw Error(name_ + ": out of memory");
  }

  // An MP4 whose index (moov) follows its samples is read by seeking back to them: where that is
  // not allowed (a server without Range requests) the demuxer gives no audio at all, so say why
  // before reading. Checked right after the header, before anything beyond the index is read.
  void CheckIndexBeforeSamples() const {
    if (format_->pb == nullptr || (format_->pb->seekable & AVIO_SEEKABLE_NORMAL) != 0 ||
        std::strstr(format_->iformat->name, "mp4") == nullptr)
      return;
    const std::int64_t at = avio_tell(format_->pb);
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
      AVStream* st = format_->streams[i];
      if (st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO || avformat_index_get_entries_count(st) == 0) continue;
      if (avformat_index_get_entry(st, 0)->pos < at)
        throw Error(name_ + ": cannot be read: the file's index (moov) lies at its end and " +
                    (isUrl_ ? "the server does not allow seeking (no Range requests); a \"faststart\" copy (ffmpeg -i IN "
                              "-c copy -movflags +faststart OUT), or a server that takes Range requests, can be read"
                            : "the input cannot seek; a \"faststart\" copy (ffmpeg -i IN -c copy -movflags +faststart "
                              "OUT) can be read as a stream"));
    }
  }

  // Up to n frames, interleaved.
  std::size_t Read(double* out, std::size_t n) {
    const std::size_t width = static_cast<std::size_t>(channels_);
    if (used_ > 0) {
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used_ * width));
      used_ = 0;
    }
    while (pending_.size() < n * width && !ended_) Decode();
    const std::size_t frames = std::min(n, pending_.size() / width);
    if (frames > 0) std::memcpy(out, pending_.data(), frames * width * sizeof(double));
    used_ = frames;
    return frames;
  }

  std::int64_t corruptFrames() const { return corrupt_; }

  double StreamClock(double frame) {
    track_.Forget(frame);  // asked in order: what lies before is done with
    return track_.At(frame);
  }

  int rate() const { return rate_; }
  int channels() const { return channels_; }
  std::int64_t frames() const { return frames_; }
  const std::string& description() const { return description_; }

 private:
  // Reads one packet and decodes what it gives; at the end drains the decoder.
  void Decode() {
    int err = draining_ ? AVERROR_EOF : av_read_frame(format_, packet_);
    if (err == AVERROR_EOF || (err < 0 && format_->pb != nullptr && avio_feof(format_->pb) && err != AVERROR_EXIT)) {
      if (!draining_) avcodec_send_packet(codec_, nullptr);
      draining_ = true;
    } else if (err == AVERROR_EXIT) {
      ended_ = true;  // interrupted: stop quietly, the caller knows why
      return;
    } else if (err < 0) {
      throw Error(name_ + ": read error (" + AvError(err) + ")");
    } else {
      const bool ours = packet_->stream_index == stream_;
      if (ours && avcodec_send_packet(codec_, packet_) < 0) ++corrupt_;
      av_packet_unref(packet_);
      if (!ours) return;
    }
    while (true) {
      err = avcodec_receive_frame(codec_, frame_);
      if (err == AVERROR(EAGAIN)) return;
      if (err == AVERROR_EOF) {
        ended_ = true;
        return;
      }
      if (err < 0) {
        ++corrupt_;
        if (draining_) {
          ended_ = true;
          return;
        }
        continue;
      }
      if (frame_->decode_error_flags != 0 || (frame_->flags & AV_FRAME_FLAG_CORRUPT) != 0) ++corrupt_;
      Convert();
      av_frame_unref(frame_);
    }
  }

  // The frame as interleaved doubles at the first rate and channel count.
  void Convert() {
    const bool changed = swr_ == nullptr || frame_->sample_rate != swrRate_ || frame_->format != swrFormat_ ||
                         av_channel_layout_compare(&frame_->ch_layout, &swrLayout_) != 0;
    if (changed) {
      swr_free(&swr_);
      av_channel_layout_uninit(&swrLayout_);
      if (av_channel_layout_copy(&swrLayout_, &frame_->ch_layout) < 0) throw Error(name_ + ": out of memory");
      AVChannelLayout outLayout;
      if (frame_->ch_layout.nb_channels == channels_) {
        av_channel_layout_copy(&outLayout, &frame_->ch_layout);
      } else {
        av_channel_layout_default(&outLayout, channels_);
      }
      int err = swr_alloc_set_opts2(&swr_, &outLayout, AV_SAMPLE_FMT_DBL, rate_, &frame_->ch_layout,
                                    static_cast<AVSampleFormat>(frame_->format), frame_->sample_rate, 0, nullptr);
      av_channel_layout_uninit(&outLayout);
      if (err < 0 || swr_init(swr_) < 0) throw Error(name_ + ": cannot convert its samples");
      swrRate_ = frame_->sample_rate;
      swrFormat_ = frame_->format;
    }
    const int room = swr_get_out_samples(swr_, frame_->nb_samples);
    if (room <= 0) return;
    interleaved_.resize(static_cast<std::size_t>(room) * channels_);
    std::uint8_t* outPlanes[1] = {reinterpret_cast<std::uint8_t*>(interleaved_.data())};
    const int got = swr_convert(swr_, outPlanes, room, const_cast<const std::uint8_t**>(frame_->extended_data),
                                frame_->nb_samples);
    if (got < 0) {
      ++corrupt_;
      return;
    }
    if (hasClock_) {
      const std::int64_t ts = frame_->best_effort_timestamp;
      track_.Note(produced_, ts == AV_NOPTS_VALUE ? -1.0 : clock_.WallAt(static_cast<double>(ts) * timeBase_));
    }
    produced_ += got;
    pending_.insert(pending_.end(), interleaved_.begin(), interleaved_.begin() + static_cast<std::ptrdiff_t>(got) * channels_);
  }

  std::string name_;
  bool isUrl_;
  HlsClock clock_;
  bool hasClock_ = false;
  double timeBase_ = 0.0;
  ClockTrack track_{1.0};     // the clock along the frames delivered (at rate_, once known)
  std::int64_t produced_ = 0;  // frames delivered or pending
  AVFormatContext* format_ = nullptr;
  AVCodecContext* codec_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  SwrContext* swr_ = nullptr;
  AVChannelLayout swrLayout_{};
  int swrRate_ = 0, swrFormat_ = -1;
  int stream_ = -1;
  int rate_ = 0, channels_ = 0;
  std::int64_t frames_ = -1;
  std::string description_;
  bool draining_ = false, ended_ = false;
  std::int64_t corrupt_ = 0;
  std::vector<double> interleaved_;
  std::vector<double> pending_;  // interleaved
  std::size_t used_ = 0;         // frames of pending_ delivered by the last Read
};

}  // namespace

}  // namespace sigpat

// ---- the C interface: exceptions stop here and become the stream's error text

struct SigpatFfmpegStream {
  explicit SigpatFfmpegStream(const char* name, bool isUrl) : source(name, isUrl) {}
  sigpat::FfmpegSource source;
  std::string error;
};

namespace {

template <typename Call>
auto Guarded(SigpatFfmpegStream* s, Call call, decltype(call()) failed) -> decltype(call()) {
  try {
    s->error.clear();
    return call();
  } catch (const std::exception& e) {
    s->error = e.what();
  } catch (...) {
    s->error = "unknown failure in the FFmpeg decoder";
  }
  return failed;
}

SigpatFfmpegStream* Open(const char* name, int isUrl, double timeoutSeconds, const void* stop, int verbose) {
  try {
    sigpat::QuietLibraries(verbose != 0);
    auto s = std::make_unique<SigpatFfmpegStream>(name, isUrl != 0);
    Guarded(s.get(), [&] {
      s->source.Open(timeoutSeconds, static_cast<const std::atomic<bool>*>(stop));
      return 0;
    }, 0);
    return s.release();
  } catch (...) {
    return nullptr;  // out of memory
  }
}

const char* ErrorOf(const SigpatFfmpegStream* s) { return s->error.empty() ? nullptr : s->error.c_str(); }

void InfoOf(const SigpatFfmpegStream* s, SigpatFfmpegInfo* out) {
  out->rate = s->source.rate();
  out->channels = s->source.channels();
  out->frames = s->source.frames();
  out->description = s->source.description().c_str();
}

long long Read(SigpatFfmpegStream* s, double* interleaved, size_t n) {
  return Guarded(s, [&] { return static_cast<long long>(s->source.Read(interleaved, n)); }, -1LL);
}

long long CorruptFrames(const SigpatFfmpegStream* s) { return s->source.corruptFrames(); }

double StreamClock(SigpatFfmpegStream* s, double frame) {
  return Guarded(s, [&] { return s->source.StreamClock(frame); }, -1.0);
}

void Close(SigpatFfmpegStream* s) { delete s; }

}  // namespace

extern "C" __attribute__((visibility("default"))) const SigpatFfmpegApi* sigpat_ffmpeg_api(void) {
  static const SigpatFfmpegApi api = {SIGPAT_FFMPEG_API_VERSION, &Open, &ErrorOf, &InfoOf, &Read,
                                      &CorruptFrames, &StreamClock, &Close};
  return &api;
}
