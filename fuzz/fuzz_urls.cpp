// Fuzz target: how sigpat tells URLs from paths (IsUrl: a URL goes to FFmpeg's network input
// and is reconnected when it drops, a path is a file) and resolves the URIs of a playlist
// against the playlist's URL (ResolveHlsUri), as the clock of an HLS stream must to recognise
// the segments the demuxer opens. The input is a name, then after a zero byte a URI.
// Contract:
//  - a name with a '/' before its first "://", or without one, is a path, never a URL; one
//    that is a URL stays one whatever follows its "://";
//  - a URI with "://" stays as written; against a URL, a URI that does not start with "//"
//    keeps the URL's scheme and host and gets a path from the root without "." or ".." steps;
//    a URI and a base without such steps give the base's directory followed by the URI.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ffmpeg_source.h"
#include "hls_playlist.h"

namespace {

// True when the path part (before '?' or '#') has a "." or ".." step.
bool HasDotStep(const std::string& path) {
  const std::string p = "/" + path.substr(0, path.find_first_of("?#")) + "/";
  return p.find("/./") != std::string::npos || p.find("/../") != std::string::npos;
}

void Classify(const std::string& name) {
  const std::size_t scheme = name.find("://");
  const bool url = sigpat::IsUrl(name);
  if (url && (scheme == std::string::npos || scheme == 0 || name.find('/') < scheme)) std::abort();
  if (url && !sigpat::IsUrl(name.substr(0, scheme + 3) + "x/y?z")) std::abort();
  if (name == "-" && url) std::abort();
}

void Resolve(const std::string& base, const std::string& uri) {
  if (uri.empty()) return;
  const std::string out = sigpat::ResolveHlsUri(base, uri);
  if (uri.find("://") != std::string::npos) {
    if (out != uri) std::abort();
    return;
  }
  const std::size_t scheme = base.find("://");
  std::size_t origin = 0;
  if (scheme != std::string::npos) {
    if (uri.rfind("//", 0) == 0) return;  // another host, the base's scheme
    origin = base.find_first_of("/?#", scheme + 3);
    if (origin == std::string::npos) origin = base.size();
    if (out.compare(0, origin, base, 0, origin) != 0 || out.size() <= origin || out[origin] != '/') std::abort();
    if (HasDotStep(out.substr(origin))) std::abort();
  }
  // Without dot steps, a relative URI lands in the base's directory.
  if (uri[0] != '/' && !HasDotStep(uri) && !HasDotStep(base.substr(origin))) {
    const std::string path = base.substr(origin, base.find_first_of("?#", origin) - origin);
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash != std::string::npos ? path.substr(0, slash + 1) : origin > 0 ? "/" : "";
    if (out != base.substr(0, origin) + dir + uri) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = text.find('\0');
  const std::string name = text.substr(0, cut);
  const std::string uri = cut == std::string::npos ? std::string() : text.substr(cut + 1);
  Classify(name);
  Classify(uri);
  Resolve(name, uri);
  (void)sigpat::LooksLikeHlsPlaylist(name);
  return 0;
}
