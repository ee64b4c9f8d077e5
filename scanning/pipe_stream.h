// Audio that arrives as a stream (standard input, a FIFO, /dev/stdin, <(command)): read as it
// comes, with the bytes of the recent past kept so that a decoder can look at a header and go
// back over it. The first bytes tell a container (WAV, FLAC, Ogg, MP3, AIFF) from raw PCM, and
// libsndfile decodes a container through its virtual I/O on the stream. A stop signal ends the
// stream: reads wait for data in short steps and see it.
#ifndef SIGPAT_PIPE_STREAM_H
#define SIGPAT_PIPE_STREAM_H

#include <sndfile.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sigpat {

class PipeStream {
 public:
  // Reads fd (closed with the object when owned); name is used in error messages.
  PipeStream(int fd, std::string name, bool ownsFd);
  ~PipeStream();
  PipeStream(const PipeStream&) = delete;
  PipeStream& operator=(const PipeStream&) = delete;

  // Reads up to n bytes at the current position; 0 at the end of the stream or after a stop
  // signal. Throws Error on a read failure.
  std::size_t Read(void* out, std::size_t n);
  // Moves within the kept bytes or forward; false for a position that is no longer kept.
  bool Seek(std::int64_t position);
  std::int64_t Tell() const { return pos_; }
  // "a WAV file" and the like when the stream starts with a container header, else null.
  // Looks at the first bytes without consuming them.
  const char* Container();

  // libsndfile's virtual I/O over a PipeStream (the user data).
  static SF_VIRTUAL_IO* VirtualIo();

 private:
  bool Fill(std::int64_t upTo);  // reads until upTo bytes of the stream have arrived, or the end
  int fd_;
  bool ownsFd_;
  std::string name_;
  std::vector<unsigned char> kept_;
  std::int64_t keptBase_ = 0;  // stream position of kept_[0]
  std::int64_t pos_ = 0;
  bool ended_ = false;
};

}  // namespace sigpat

#endif
