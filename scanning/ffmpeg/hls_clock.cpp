#include "hls_clock.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstring>
#include <vector>

namespace sigpat {

namespace {

// Playlists are small; anything beyond this is not one.
constexpr std::size_t kMaxPlaylistBytes = 4u << 20;

}  // namespace

void HlsClock::Watch(AVFormatContext* format) {
  open_ = format->io_open;
  format->opaque = this;
  format->io_open = &HlsClock::Open;
}

int HlsClock::Open(AVFormatContext* s, AVIOContext** pb, const char* url, int flags, AVDictionary** options) {
  auto* self = static_cast<HlsClock*>(s->opaque);
  const int err = self->open_(s, pb, url, flags, options);
  // The demuxer's own opening of playlists, segments and keys; the opening of the URL itself
  // comes before the format is known.
  if (err >= 0 && url != nullptr && s->iformat != nullptr && std::strcmp(s->iformat->name, "hls") == 0)
    self->Opened(s, url);
  return err;
}

void HlsClock::Opened(AVFormatContext* s, const std::string& url) {
  if (LooksLikeHlsPlaylist(url)) {
    Fetch(s, url);
    return;
  }
  if (others_.count(url) != 0 || timeline_.NoteSegment(url)) return;
  // A segment not listed yet: the playlists again (the top one too: its URL may not look like one).
  if (timeline_.PlaylistUrls().empty() && s->url != nullptr) Fetch(s, s->url);
  for (const auto& u : timeline_.PlaylistUrls()) Fetch(s, u);
  if (timeline_.NoteSegment(url)) return;
  if (others_.size() >= 256) others_.clear();  // a stream whose segments never match stays bounded
  others_.insert(url);
}

void HlsClock::Fetch(AVFormatContext* s, const std::string& url) {
  AVIOContext* pb = nullptr;
  AVDictionary* options = nullptr;
  av_dict_set_int(&options, "rw_timeout", 15000000, 0);
  const int err = avio_open2(&pb, url.c_str(), AVIO_FLAG_READ, &s->interrupt_callback, &options);
  av_dict_free(&options);
  if (err < 0) return;  // the demuxer reports what it cannot read; the clock does without
  std::string text;
  unsigned char buffer[4096];
  for (int n; text.size() < kMaxPlaylistBytes && (n = avio_read(pb, buffer, sizeof(buffer))) > 0;)
    text.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
  avio_closep(&pb);
  timeline_.Learn(text, url);
}

bool HlsClock::Select(AVFormatContext* format, int stream) {
  std::string url;
  const std::vector<std::string>& variants = timeline_.variants();
  if (!variants.empty()) {
    // The demuxer makes a program per variant, numbered in the master playlist's order.
    for (unsigned i = 0; i < format->nb_programs && url.empty(); ++i) {
      const AVProgram* program = format->programs[i];
      for (unsigned k = 0; k < program->nb_stream_indexes; ++k)
        if (static_cast<int>(program->stream_index[k]) == stream && program->id >= 0 &&
            program->id < static_cast<int>(variants.size()))
          url = variants[static_cast<std::size_t>(program->id)];
    }
  }
  return timeline_.Select(url);
}

}  // namespace sigpat
