#include "ffmpeg_source.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cctype>
#include <cstring>
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
void QuietLibraries() {
  static const bool once = [] {
    av_log_set_level(GetVerbosity().verbose ? AV_LOG_WARNING : AV_LOG_QUIET);
    avformat_network_init();
    return true;
  }();
  (void)once;
}

int Interrupted(void* flag) {
  return flag != nullptr && static_cast<const std::atomic<bool>*>(flag)->load() ? 1 : 0;
}

class FfmpegSource : public FrameSource {
 public:
  FfmpegSource(std::string name, int channel) : name_(std::move(name)), channel_(channel) {}
  ~FfmpegSource() override {
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
    if (IsUrl(name_)) {
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
      throw Error(name_ + ": cannot be opened (" + AvError(err) + ")");
    }
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
    if (channel_ > channels_)
      throw Error(name_ + ": channel " + std::to_string(channel_) + " does not exist (the stream has " +
                  std::to_string(channels_) + ")");
    if (format_->duration > 0 && !IsUrl(name_))
      frames_ = av_rescale(format_->duration, rate_, AV_TIME_BASE);
    codecName_ = decoder->name;
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (packet_ == nullptr || frame_ == nullptr) throw Error(name_ + ": out of memory");
  }

  std::size_t Read(double* out, std::size_t n) override {
    if (used_ > 0) {
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used_));
      used_ = 0;
    }
    while (pending_.size() < n && !ended_) Decode();
    const std::size_t frames = std::min(n, pending_.size());
    if (frames > 0) std::memcpy(out, pending_.data(), frames * sizeof(double));
    used_ = frames;
    return frames;
  }

  std::int64_t corruptFrames() const override { return corrupt_; }

  double StreamClock(double frame) override {
    track_.Forget(frame);  // asked in order: what lies before is done with
    return track_.At(frame);
  }

  int rate() const { return rate_; }
  int channels() const { return channels_; }
  std::int64_t frames() const { return frames_; }
  std::string description() const {
    return codecName_ + ", " + std::to_string(rate_) + " Hz, " + std::to_string(channels_) +
           (channels_ == 1 ? " channel" : " channels");
  }

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

  // The frame as interleaved doubles at the first rate and channel count, then one value per
  // frame.
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
    const std::size_t at = pending_.size();
    pending_.resize(at + static_cast<std::size_t>(got));
    MixToMono(interleaved_.data(), static_cast<std::size_t>(got), channels_, channel_, pending_.data() + at);
  }

  std::string name_;
  int channel_;
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
  std::string codecName_;
  bool draining_ = false, ended_ = false;
  std::int64_t corrupt_ = 0;
  std::vector<double> interleaved_;
  std::vector<double> pending_;
  std::size_t used_ = 0;
};

}  // namespace

bool IsUrl(const std::string& name) {
  const std::size_t colon = name.find("://");
  if (colon == std::string::npos || colon == 0) return false;
  return std::all_of(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(colon), [](unsigned char c) {
    return std::isalnum(c) != 0 || c == '+' || c == '-' || c == '.';
  });
}

FfmpegStream OpenFfmpegStream(const std::string& name, int channel, double timeoutSeconds,
                              const std::atomic<bool>* stop) {
  QuietLibraries();
  auto source = std::make_unique<FfmpegSource>(name, channel);
  source->Open(timeoutSeconds, stop);
  FfmpegStream s;
  s.rate = source->rate();
  s.channels = source->channels();
  s.frames = source->frames();
  s.description = source->description();
  s.source = std::move(source);
  return s;
}

}  // namespace sigpat
