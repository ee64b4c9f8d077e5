#include "array_audio.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <string>

namespace py = pybind11;

namespace sppy {

ArrayAudio::ArrayAudio(const py::array& samples, int channel) : channel_(channel) {
  const py::dtype dtype = samples.dtype();
  kind_ = dtype.kind();
  itemSize_ = static_cast<int>(dtype.itemsize());
  const bool integer = (kind_ == 'i' || kind_ == 'u') &&
                       (itemSize_ == 1 || itemSize_ == 2 || itemSize_ == 4 || itemSize_ == 8);
  const bool real = kind_ == 'f' && (itemSize_ == 4 || itemSize_ == 8);
  if (!integer && !real)
    throw py::type_error("samples must be an array of integers or floats, not " + py::str(static_cast<const py::handle&>(dtype)).cast<std::string>());
  if (samples.ndim() == 1) {
    frames_ = samples.shape(0);
    channels_ = 1;
    frameStride_ = samples.strides(0);
    channelStride_ = 0;
  } else if (samples.ndim() == 2) {
    frames_ = samples.shape(0);
    channels_ = static_cast<int>(samples.shape(1));
    frameStride_ = samples.strides(0);
    channelStride_ = samples.strides(1);
    if (channels_ < 1) throw py::value_error("samples of shape (frames, 0) have no channel");
  } else {
    throw py::value_error("samples must have the shape (frames,) or (frames, channels), not " +
                          std::to_string(samples.ndim()) + " dimensions");
  }
  if (channel < 0 || channel > channels_)
    throw py::value_error("channel " + std::to_string(channel) + " does not exist (the samples have " +
                          std::to_string(channels_) + (channels_ == 1 ? " channel)" : " channels)"));
  data_ = static_cast<const char*>(samples.data());
}

template <typename T>
void ArrayAudio::MonoOf(std::int64_t first, std::size_t n, double* out) const {
  // Full scale: integers by their range (unsigned ones centred), floats as they are.
  double scale = 1.0, centre = 0.0;
  if constexpr (std::is_integral_v<T>) {
    scale = 1.0 / static_cast<double>(std::uint64_t{1} << (8 * sizeof(T) - 1));
    if constexpr (std::is_unsigned_v<T>) centre = static_cast<double>(std::uint64_t{1} << (8 * sizeof(T) - 1));
  }
  auto at = [&](std::int64_t f, int c) {
    T v;
    std::memcpy(&v, data_ + f * frameStride_ + c * channelStride_, sizeof(T));  // any alignment
    return (static_cast<double>(v) - centre) * scale;
  };
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t f = first + static_cast<std::int64_t>(i);
    if (channel_ >= 1) {
      out[i] = at(f, channel_ - 1);
    } else if (channels_ == 1) {
      out[i] = at(f, 0);
    } else {
      double sum = 0.0;
      for (int c = 0; c < channels_; ++c) sum += at(f, c);
      out[i] = sum / channels_;
    }
  }
}

void ArrayAudio::Mono(std::int64_t first, std::size_t n, double* out) const {
  switch (kind_ == 'f' ? -itemSize_ : kind_ == 'u' ? 10 + itemSize_ : itemSize_) {
    case -4: return MonoOf<float>(first, n, out);
    case -8: return MonoOf<double>(first, n, out);
    case 1: return MonoOf<std::int8_t>(first, n, out);
    case 2: return MonoOf<std::int16_t>(first, n, out);
    case 4: return MonoOf<std::int32_t>(first, n, out);
    case 8: return MonoOf<std::int64_t>(first, n, out);
    case 11: return MonoOf<std::uint8_t>(first, n, out);
    case 12: return MonoOf<std::uint16_t>(first, n, out);
    case 14: return MonoOf<std::uint32_t>(first, n, out);
    default: return MonoOf<std::uint64_t>(first, n, out);
  }
}

const std::int16_t* ArrayAudio::DirectS16() const {
  if (kind_ != 'i' || itemSize_ != 2 || channels_ != 1 || frameStride_ != 2 ||
      reinterpret_cast<std::uintptr_t>(data_) % alignof(std::int16_t) != 0)
    return nullptr;
  return reinterpret_cast<const std::int16_t*>(data_);
}

std::size_t ArrayFrameSource::Read(double* out, std::size_t n) {
  const std::size_t take = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(n), audio_.frames() - next_));
  audio_.Mono(next_, take, out);
  next_ += static_cast<std::int64_t>(take);
  return take;
}

}  // namespace sppy
