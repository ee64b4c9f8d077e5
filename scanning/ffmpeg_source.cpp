#include "ffmpeg_source.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <vector>

#include "ffmpeg_module.h"
#include "messages.h"

#ifdef SIGPAT_FFMPEG_MODULE
#include <dlfcn.h>
#include <unistd.h>

#include "../common/own_directory.h"
#endif

// Defined when the decoder is linked into the program (ffmpeg_module.h); the module otherwise.
extern "C" const SigpatFfmpegApi* sigpat_ffmpeg_api(void) __attribute__((weak));

namespace sigpat {

namespace {

#ifdef SIGPAT_FFMPEG_MODULE
// Beside the program (the build tree), else where the install puts it relative to the program.
const SigpatFfmpegApi* LoadModule(std::string& problem) {
  const std::string dir = OwnDirectory();
  const std::string candidates[] = {dir + "/" SIGPAT_FFMPEG_MODULE_NAME,
                                    dir + "/" SIGPAT_FFMPEG_MODULE_RELDIR "/" SIGPAT_FFMPEG_MODULE_NAME};
  for (const std::string& path : candidates) {
    if (::access(path.c_str(), F_OK) != 0) continue;
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = ::dlerror();
      problem = why != nullptr ? why : path + ": cannot be loaded";
      return nullptr;
    }
    auto entry = reinterpret_cast<const SigpatFfmpegApi* (*)()>(::dlsym(handle, SIGPAT_FFMPEG_ENTRY));
    const SigpatFfmpegApi* api = entry != nullptr ? entry() : nullptr;
    if (api == nullptr || api->version != SIGPAT_FFMPEG_API_VERSION) {
      problem = path + " is not the module of this sigpat";
      return nullptr;
    }
    return api;  // stays loaded for the rest of the process
  }
  problem = candidates[0] + " not found";
  return nullptr;
}
#endif

// The decoder: linked in, or the module, loaded on first use.
const SigpatFfmpegApi* Decoder(const std::string& name) {
  if (sigpat_ffmpeg_api != nullptr) return sigpat_ffmpeg_api();
#ifdef SIGPAT_FFMPEG_MODULE
  static std::mutex mutex;
  static const SigpatFfmpegApi* api = nullptr;
  static std::string problem;
  std::lock_guard<std::mutex> lock(mutex);
  if (api == nullptr && problem.empty()) api = LoadModule(problem);
  if (api != nullptr) return api;
  throw FfmpegUnavailable(name + ": needs the FFmpeg decoder, which is not available (" + problem + ")");
#else
  throw FfmpegUnavailable(name + ": needs the FFmpeg decoder, which this sigpat was built without");
#endif
}

// A stream of the decoder, mixed or picked to one value per frame.
class DecoderSource : public FrameSource {
 public:
  DecoderSource(const SigpatFfmpegApi* api, SigpatFfmpegStream* stream, int channels, int channel)
      : api_(api), stream_(stream), channels_(channels), channel_(channel) {}
  ~DecoderSource() override { api_->close(stream_); }
  DecoderSource(const DecoderSource&) = delete;
  DecoderSource& operator=(const DecoderSource&) = delete;

  std::size_t Read(double* out, std::size_t n) override {
    interleaved_.resize(n * static_cast<std::size_t>(channels_));
    const long long got = api_->read(stream_, interleaved_.data(), n);
    if (got < 0) throw Error(api_->error(stream_));
    MixToMono(interleaved_.data(), static_cast<std::size_t>(got), channels_, channel_, out);
    return static_cast<std::size_t>(got);
  }
  std::int64_t corruptFrames() const override { return api_->corruptFrames(stream_); }
  double StreamClock(double frame) override { return api_->streamClock(stream_, frame); }

 private:
  const SigpatFfmpegApi* api_;
  SigpatFfmpegStream* stream_;
  int channels_, channel_;
  std::vector<double> interleaved_;
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
  const SigpatFfmpegApi* api = Decoder(name);
  SigpatFfmpegStream* stream = api->open(name.c_str(), IsUrl(name) ? 1 : 0, timeoutSeconds, stop,
                                         GetVerbosity().verbose ? 1 : 0);
  if (stream == nullptr) throw Error(name + ": out of memory");
  if (const char* error = api->error(stream)) {
    const std::string text = error;
    api->close(stream);
    throw Error(text);
  }
  SigpatFfmpegInfo info{};
  api->info(stream, &info);
  FfmpegStream s;
  s.rate = info.rate;
  s.channels = info.channels;
  s.frames = info.frames;
  s.description = info.description;
  s.source = std::make_unique<DecoderSource>(api, stream, info.channels, channel);
  if (channel > s.channels)
    throw Error(name + ": channel " + std::to_string(channel) + " does not exist (the stream has " +
                std::to_string(s.channels) + ")");
  return s;
}

}  // namespace sigpat
