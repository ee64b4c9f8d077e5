// Audio in a numpy array, read in place: 1-D (mono) or (frames, channels), any integer or float
// dtype, any strides. Integers are taken at their full scale (int16 -32768 .. 32767 is -1 .. 1,
// unsigned types centred on half their range, as in WAV files); floats are full scale 1.0.
#ifndef SIGNALPATTERN_PY_ARRAY_AUDIO_H
#define SIGNALPATTERN_PY_ARRAY_AUDIO_H

#include <pybind11/numpy.h>

#include <cstddef>
#include <cstdint>

#include "audio_input.h"

namespace sppy {

class ArrayAudio {
 public:
  // Throws pybind11::type_error for a dtype that is not integer or float, value_error for a
  // shape that is not (frames,) or (frames, channels) or a channel that does not exist. The
  // array must stay alive while this is used; reading needs no GIL.
  ArrayAudio(const pybind11::array& samples, int channel);

  std::int64_t frames() const { return frames_; }
  int channels() const { return channels_; }
  // Values of frames first .. first + n - 1, mixed (their mean) or picked to one channel.
  void Mono(std::int64_t first, std::size_t n, double* out) const;
  // The samples themselves when they are already what the library takes (contiguous 16-bit
  // mono), null otherwise: then nothing needs converting or copying.
  const std::int16_t* DirectS16() const;

 private:
  template <typename T>
  void MonoOf(std::int64_t first, std::size_t n, double* out) const;

  const char* data_;
  std::int64_t frames_;
  int channels_;
  std::ptrdiff_t frameStride_, channelStride_;  // bytes
  char kind_;
  int itemSize_;
  int channel_;  // 0: mean of all channels; K >= 1: channel K
};

// An ArrayAudio as the frame source of an AudioInput (resampling and 16-bit conversion as for
// files).
class ArrayFrameSource : public sigpat::FrameSource {
 public:
  explicit ArrayFrameSource(const ArrayAudio& audio) : audio_(audio) {}
  std::size_t Read(double* out, std::size_t n) override;

 private:
  const ArrayAudio& audio_;
  std::int64_t next_ = 0;
};

}  // namespace sppy

#endif
