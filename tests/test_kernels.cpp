// Every vector kernel (kernels/) gives its scalar twin's bits, on awkward sizes (0, 1, odd,
// not a whole vector), unaligned inputs and values of mixed magnitudes, where a changed order
// of additions would show. The golden tests pin the scalar results themselves through the
// engine.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <algorithm>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "../kernels/filter_bank.h"
#include "../kernels/level_cells.h"
#include "../kernels/match_lanes.h"
#include "../kernels/preselect_lanes.h"
#include "../kernels/ring_mean.h"
#include "../kernels/shape_window.h"
#include "../kernels/speed_sums.h"

namespace {

namespace k = sp::kernels;

// Floats of magnitudes from 1e-3 to 1e3 and both signs (positive only for powers), in a
// buffer 32-byte aligned at `offset` floats: offset 1 and 3 leave every load unaligned.
class Buffer {
 public:
  Buffer(std::mt19937& rng, std::size_t n, int offset, bool positive = false) : data_(n + 16) {
    std::uniform_real_distribution<float> exponent(-3.0f, 3.0f), sign(0.0f, 1.0f);
    const auto base = reinterpret_cast<std::uintptr_t>(data_.data());
    start_ = data_.data() + ((32 - base % 32) % 32) / sizeof(float) + offset;
    for (std::size_t i = 0; i < n; ++i)
      start_[i] = std::pow(10.0f, exponent(rng)) * (positive || sign(rng) < 0.5f ? 1.0f : -1.0f);
  }
  float* get() { return start_; }
  float& operator[](std::size_t i) { return start_[i]; }

 private:
  std::vector<float> data_;
  float* start_;
};

bool SameBits(const float* a, const float* b, int n) { return n <= 0 || std::memcmp(a, b, sizeof(float) * n) == 0; }

// One vector kernel against its scalar twin: runs both on the inputs of a case and reports
// the first differing case.
struct KernelCase {
  std::string name;
  bool available;
  std::function<void(std::mt19937& rng, int size, int offset)> check;
};

void PrintTo(const KernelCase& c, std::ostream* os) { *os << c.name; }

const int kSizes[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 16, 17};
const int kOffsets[] = {0, 1, 3};

void CheckFold(decltype(&k::FoldScalar) kernel, std::mt19937& rng, int N, int offset) {
  for (int nseg : {0, 1, 3, 8}) {
    Buffer base(rng, static_cast<std::size_t>(N) * nseg, offset), win(rng, static_cast<std::size_t>(N) * nseg, offset);
    Buffer got(rng, N, 0), want(rng, N, 0);
    kernel(base.get(), win.get(), N, nseg, got.get());
    k::FoldScalar(base.get(), win.get(), N, nseg, want.get());
    EXPECT_TRUE(SameBits(got.get(), want.get(), N)) << "N " << N << " segments " << nseg;
  }
}

void CheckDft(decltype(&k::DftScalar) kernel, std::mt19937& rng, int N, int nBands) {
  const int stride = (nBands + 3) / 4 * 4;
  Buffer fold(rng, N, 0), cosT(rng, static_cast<std::size_t>(N) * stride, 0),
      sinT(rng, static_cast<std::size_t>(N) * stride, 0);
  for (int q = 0; q < N; ++q)
    for (int j = nBands; j < stride; ++j) cosT[q * stride + j] = sinT[q * stride + j] = 0.0f;
  for (bool power : {false, true}) {
    Buffer got(rng, stride, 0), want(rng, stride, 0);
    kernel(fold.get(), N, cosT.get(), sinT.get(), stride, nBands, power, got.get());
    k::DftScalar(fold.get(), N, cosT.get(), sinT.get(), stride, nBands, power, want.get());
    EXPECT_TRUE(SameBits(got.get(), want.get(), nBands)) << "N " << N << " bands " << nBands << " power " << power;
  }
}

// The engine's geometry: `nseg` segments of 16 taps; frame i reads from base - i.
struct Frames {
  Frames(std::mt19937& rng, int nseg, int offset)
      : input(rng, 16 * static_cast<std::size_t>(nseg) + 16, offset),
        win(rng, 16 * static_cast<std::size_t>(nseg), offset),
        cosT(rng, 128, 0),
        sinT(rng, 128, 0),
        got(rng, 32, offset),
        want(rng, 32, offset) {}
  const float* base() { return input.get() + 4; }
  Buffer input, win, cosT, sinT, got, want;
  alignas(16) float gotFold[2][16];
  alignas(16) float wantFold[2][16];
};

void CheckFramePair(decltype(&k::FramePairScalar) kernel, std::mt19937& rng, int nseg, int offset) {
  Frames f(rng, nseg, offset);
  kernel(f.base(), f.win.get(), nseg, f.cosT.get(), f.sinT.get(), f.gotFold[0], f.gotFold[1], f.got.get(),
         f.got.get() + 8);
  k::FramePairScalar(f.base(), f.win.get(), nseg, f.cosT.get(), f.sinT.get(), f.wantFold[0], f.wantFold[1],
                     f.want.get(), f.want.get() + 8);
  EXPECT_TRUE(SameBits(f.got.get(), f.want.get(), 16) && SameBits(f.gotFold[0], f.wantFold[0], 32))
      << "segments " << nseg;
}

[[maybe_unused]] void CheckFrameQuad(decltype(&k::FrameQuadScalar) kernel, std::mt19937& rng, int nseg, int offset) {
  Frames f(rng, nseg, offset);
  float* const got[4] = {f.got.get(), f.got.get() + 8, f.got.get() + 16, f.got.get() + 24};
  float* const want[4] = {f.want.get(), f.want.get() + 8, f.want.get() + 16, f.want.get() + 24};
  kernel(f.base(), f.win.get(), nseg, f.cosT.get(), f.sinT.get(), got, f.gotFold[0]);
  k::FrameQuadScalar(f.base(), f.win.get(), nseg, f.cosT.get(), f.sinT.get(), want, f.wantFold[0]);
  EXPECT_TRUE(SameBits(f.got.get(), f.want.get(), 32) && SameBits(f.gotFold[0], f.wantFold[0], 16))
      << "segments " << nseg;
}

void CheckRingMean(decltype(&k::RingMeanScalar) kernel, std::mt19937& rng, int nband, int offset) {
  for (int rows : {1, 2, 5}) {
    Buffer ring(rng, static_cast<std::size_t>(rows) * nband, offset, true);
    for (int pos : {0, rows / 2, rows - 1}) {
      Buffer got(rng, nband, offset), want(rng, nband, offset);
      kernel(ring.get(), rows, pos, nband, 0.25f, got.get());
      k::RingMeanScalar(ring.get(), rows, pos, nband, 0.25f, want.get());
      EXPECT_TRUE(SameBits(got.get(), want.get(), nband)) << "bands " << nband << " rows " << rows << " pos " << pos;
    }
  }
}

// The pre-selection's kernels: the peak over n rows taken `step` apart through a wrapping ring,
// each row in 16-bit steps at the scale its peak gives (halves and values at the limit
// included), and the code products over 0 to 31 chunks, both ends of the value ranges included.
void CheckPreselect(decltype(&k::ChunkPeakScalar) peak, decltype(&k::StepRowScalar) stepRow,
                    decltype(&k::CodeDotScalar) dot, std::mt19937& rng, int n, int offset) {
  const int capacity = n + 3;
  Buffer rows(rng, static_cast<std::size_t>(capacity) * k::kSketchWidth, offset);
  for (int step : {1, 2, 5})
    for (int at : {0, capacity / 2, capacity - 1}) {
      const float got = peak(rows.get(), std::min(n, 16), at, step, capacity);
      const float want = k::ChunkPeakScalar(rows.get(), std::min(n, 16), at, step, capacity);
      EXPECT_TRUE(SameBits(&got, &want, 1)) << "peak of " << n << " rows, step " << step << " from " << at;
    }
  for (int r = 0; r < capacity; ++r) {
    float* row = rows.get() + static_cast<std::size_t>(r) * k::kSketchWidth;
    if (r % 4 == 1) row[r % k::kSketchWidth] = 0.5f;  // a tie at scale 1 (to even: 0)
    const float top = k::ChunkPeakScalar(row, 1, 0, 1, 1);
    const float scale = r % 4 == 1 ? 1.0f : 1.0f / (top / 32767.0f);
    std::int16_t got[k::kSketchWidth], want[k::kSketchWidth];
    stepRow(row, scale, got);
    k::StepRowScalar(row, scale, want);
    EXPECT_EQ(std::memcmp(got, want, sizeof got), 0) << "row " << r << " of " << capacity;
  }
  std::uniform_int_distribution<int> code(-127, 127), level(-32767, 32767);
  std::vector<std::int8_t> codes(32 * k::kSketchWidth + offset);
  std::vector<std::int16_t> steps(32 * k::kSketchWidth + offset);
  for (std::size_t i = 0; i < codes.size(); ++i) {
    codes[i] = static_cast<std::int8_t>(i % 7 == 0 ? -127 : code(rng));
    steps[i] = static_cast<std::int16_t>(i % 5 == 0 ? 32767 : level(rng));
  }
  for (int chunks = 0; chunks < 32; chunks += 1 + chunks / 4)
    EXPECT_EQ(dot(codes.data() + offset, steps.data() + offset, chunks),
              k::CodeDotScalar(codes.data() + offset, steps.data() + offset, chunks))
        << chunks << " chunks";
}

// The level distance's sums over `n` blocks of nband cells: every step of the passes, both
// comparisons (with and without cells under the background), the gain passes, for eight bands
// (the vector lanes) and other counts (left to the scalar code). Ties between input, pattern,
// floor and background, and zeros, are planted where a changed comparison would show.
using LevelSums = void (*)(const k::LevelCells&, int, int, int, bool, float*);
using LevelFirst = void (*)(const k::LevelCells&, const float*, int, int, float*);
using LevelSecond = void (*)(const k::LevelCells&, const float*, int, float, float*);

void CheckLevel(LevelSums sums, LevelFirst first, LevelSecond second, std::mt19937& rng, int n, int offset) {
  for (int nband : {1, 5, 8, 9}) {
    const std::size_t cells = static_cast<std::size_t>(n) * nband;
    Buffer input(rng, cells + 1, offset), spectrum(rng, cells + 1, offset), weight(rng, cells + 1, offset, true),
        salient(rng, cells + 1, offset, true), hide(rng, nband, offset), above(rng, nband, offset);
    for (std::size_t i = 0; i < cells; i += 7) input[i] = spectrum[i];
    for (std::size_t i = 3; i < cells; i += 11) input[i] = salient[i] = 0.0f;
    for (int b = 0; b < nband && b < n; b += 2) hide[b] = spectrum[b], above[b] = input[b];
    std::vector<const float*> blocks;
    for (int j = 0; j < n; ++j) blocks.push_back(input.get() + static_cast<std::size_t>(j) * nband);
    const k::LevelCells in{nband, spectrum[0], 3.0f, 0.5f, hide.get(), blocks.data(), spectrum.get(), weight.get(),
                           salient.get()};
    for (int step : {1, 2, 4, 8})
      for (bool hidden : {false, true})
        for (int from : {0, n / 3}) {
          float got[3], want[3];
          sums(in, from, n, step, hidden, got);
          k::LevelCellSumsScalar(in, from, n, step, hidden, want);
          EXPECT_TRUE(SameBits(got, want, 3))
              << nband << " bands, blocks " << from << " to " << n << " step " << step << " hidden " << hidden;
        }
    for (int step : {1, 2, 8}) {
      float got[2], want[2];
      first(in, above.get(), n, step, got);
      k::LevelGainFirstScalar(in, above.get(), n, step, want);
      EXPECT_TRUE(SameBits(got, want, 2)) << "first gain pass, " << nband << " bands, step " << step;
    }
    for (float g0 : {-0.25f, 0.0f, 4.0f}) {
      float got[2] = {}, want[2] = {};
      second(in, above.get(), n, g0, got);
      k::LevelGainSecondScalar(in, above.get(), n, g0, want);
      EXPECT_TRUE(SameBits(got, want, 1)) << "second gain pass, " << nband << " bands, cap " << g0;
    }
  }
}

// The shape comparison's eight-band sums over `rows` rows of a wrapping ring (rows 8 or 9
// floats apart, taken 1, 2 or 5 apart), with zeros, ties at the peak and values under the
// floor planted; a window under minLevel gives its peak alone.
using ShapeWindowKernel = k::ShapeWindow (*)(int, int, float, float, const k::ShapeRows&);
using ShapeDotKernel = float (*)(const float*, int, int, float, float, const k::ShapeRows&);

void CheckShape(ShapeWindowKernel window, ShapeDotKernel dot, std::mt19937& rng, int size, int offset) {
  const int rows = std::max(size, 1), capacity = rows * 5 + 1;
  for (int width : {8, 9}) {
    Buffer ring(rng, static_cast<std::size_t>(capacity) * width, offset), centred(rng, 8 * rows, offset);
    for (int i = 0; i < capacity * width; i += 6) ring[i] = 0.0f;
    for (int i = 4; i < capacity * width; i += 13) ring[i] = 1000.0f;
    for (int i = 2; i < capacity * width; i += 9) ring[i] = -2000.0f;
    for (int step : {1, 2, 5})
      for (int newest : {0, capacity / 2, capacity - 1})
        for (float minLevel : {-1.0e30f, 2000.0f}) {
          const k::ShapeRows in{ring.get(), newest, capacity, width};
          const k::ShapeWindow got = window(rows, step, 60.0f, minLevel, in);
          const k::ShapeWindow want = k::WindowShape8Scalar(rows, step, 60.0f, minLevel, in);
          const float a[2] = {got.peak, got.norm}, b[2] = {want.peak, want.norm};
          EXPECT_TRUE(SameBits(a, b, 2) && got.live == want.live)
              << rows << " rows " << width << " apart, step " << step << " from " << newest << " min " << minLevel;
          const float d = dot(centred.get(), rows, step, 60.0f, got.peak, in);
          const float e = k::DotShape8Scalar(centred.get(), rows, step, 60.0f, want.peak, in);
          EXPECT_TRUE(SameBits(&d, &e, 1)) << "dot of " << rows << " rows, step " << step << " from " << newest;
        }
  }
}

// Up to four lane sets of the given width, as the matcher fills them: lengths up to `size`
// (0 for empty lanes), bands (one band for four-lane sets), level gains, then gains between
// the two sums. Pattern values are NaN now and then (a value that does not count), range
// codes 3 now and then (a front).
using SumsKernel = std::function<void(const float*, k::MatchLanes* const*, int)>;

void CheckMatch(bool groups, int width, const SumsKernel& sums, const SumsKernel& deviations, std::mt19937& rng,
                int size, int offset) {
  std::uniform_int_distribution<int> length(0, size), band(0, 7), code(0, 3);
  Buffer rows(rng, 8 * static_cast<std::size_t>(size) + 8, offset, true);
  for (int count = 1; count <= k::kMatchMaxSets; ++count) {
    std::vector<k::MatchLanes> got(count), want(count);
    std::vector<Buffer> pattern;
    std::vector<std::vector<unsigned char>> range(count, std::vector<unsigned char>(8 * (size + 1)));
    for (int i = 0; i < count; ++i) {
      pattern.emplace_back(rng, 8 * static_cast<std::size_t>(size) + 8, offset, true);
      for (int j = 0; j < 8 * size; j += 5) pattern[i][j] = std::numeric_limits<float>::quiet_NaN();
      for (auto& c : range[i]) c = static_cast<unsigned char>(code(rng));
      k::MatchLanes& s = got[i];
      s.pattern = pattern[i].get();
      s.range = range[i].data();
      const int shared = band(rng);
      for (int l = 0; l < k::kMatchMaxLanes; ++l) {
        s.band[l] = width == 4 ? shared : band(rng);
        s.n[l] = groups ? length(rng) : size;
        s.lg[l] = groups || l == 0 ? 0.5f + static_cast<float>(l) * 0.1f : s.lg[0];
      }
      want[i] = s;
    }
    std::vector<k::MatchLanes*> gotSets, wantSets;
    for (int i = 0; i < count; ++i) gotSets.push_back(&got[i]), wantSets.push_back(&want[i]);
    sums(rows.get(), gotSets.data(), count);
    if (groups) k::GroupSumsScalar(rows.get(), wantSets.data(), count, width);
    else k::PatternSumsScalar(rows.get(), size, wantSets.data(), count);
    for (int i = 0; i < count; ++i)
      for (int l = 0; l < k::kMatchMaxLanes; ++l) got[i].gain[l] = want[i].gain[l] = 0.75f + static_cast<float>(l);
    deviations(rows.get(), gotSets.data(), count);
    if (groups) k::GroupDeviationsScalar(rows.get(), wantSets.data(), count, width);
    else k::PatternDeviationsScalar(rows.get(), size, wantSets.data(), count);
    const int lanes = groups ? width : 8;
    for (int i = 0; i < count; ++i)
      EXPECT_TRUE(SameBits(got[i].sum, want[i].sum, lanes) && SameBits(got[i].acc, want[i].acc, lanes))
          << (groups ? "groups" : "patterns") << " of length up to " << size << ", set " << i << " of " << count;
  }
}

// The coarse pass's sums over speeds: rings of `size` slots (pieces 1 to 9), shifts reaching
// both ways past the ring's ends, every slot.
void CheckSpeedSums(k::SpeedSumsKernel kernel, std::mt19937& rng, int size, int offset) {
  const int span = size | 1, padded = (span + k::kSpeedGroup - 1) / k::kSpeedGroup * k::kSpeedGroup;
  for (int pieces : {1, 4, 9}) {
    Buffer values(rng, 2 * static_cast<std::size_t>(pieces) * span, offset);
    std::vector<int> shifts(static_cast<std::size_t>(pieces) * padded, 0);
    std::uniform_int_distribution<int> shift(-span / 2, span / 2);
    for (int j = 0; j < pieces; ++j)
      for (int s = 0; s < span; ++s) shifts[static_cast<std::size_t>(j) * padded + s] = shift(rng);
    std::vector<float> num(padded), norm(padded), wantNum(padded), wantNorm(padded);
    for (int slot = 0; slot < span; ++slot) {
      kernel(values.get(), shifts.data(), pieces, span, padded, slot, num.data(), norm.data());
      k::SpeedSumsScalar(values.get(), shifts.data(), pieces, span, padded, slot, wantNum.data(), wantNorm.data());
      EXPECT_TRUE(SameBits(num.data(), wantNum.data(), padded) && SameBits(norm.data(), wantNorm.data(), padded))
          << pieces << " pieces, ring of " << span << ", slot " << slot;
    }
  }
}

template <typename Kernel>
SumsKernel ByPattern(Kernel kernel, int size) {
  return [kernel, size](const float* rows, k::MatchLanes* const* sets, int count) { kernel(rows, size, sets, count); };
}

std::vector<KernelCase> Cases() {
  std::vector<KernelCase> cases;
#if defined(SP_KERNELS_SSE2)
  cases.push_back(
      {"FoldSse2", true, [](std::mt19937& rng, int n, int offset) { CheckFold(k::FoldSse2, rng, n, offset); }});
  cases.push_back({"DftSse2", true, [](std::mt19937& rng, int n, int) {
                     for (int bands : {0, 1, 3, 4, 5, 8, 9}) CheckDft(k::DftSse2, rng, n, bands);
                   }});
  cases.push_back({"FramePairSse2", true,
                   [](std::mt19937& rng, int n, int offset) { CheckFramePair(k::FramePairSse2, rng, n, offset); }});
  cases.push_back({"PreselectSse2", true, [](std::mt19937& rng, int n, int offset) {
                     CheckPreselect(k::ChunkPeakSse2, k::StepRowSse2, k::CodeDotSse2, rng, n, offset);
                   }});
  cases.push_back({"RingMeanSse2", true,
                   [](std::mt19937& rng, int n, int offset) { CheckRingMean(k::RingMeanSse2, rng, n, offset); }});
  cases.push_back({"LevelSse2", true, [](std::mt19937& rng, int n, int offset) {
                     CheckLevel(k::LevelCellSumsSse2, k::LevelGainFirstSse2, k::LevelGainSecondSse2, rng, n, offset);
                   }});
  cases.push_back({"ShapeSse2", true, [](std::mt19937& rng, int n, int offset) {
                     CheckShape(k::WindowShape8Sse2, k::DotShape8Sse2, rng, n, offset);
                   }});
  cases.push_back({"GroupsSse2", true, [](std::mt19937& rng, int n, int offset) {
                     CheckMatch(true, 4, k::GroupSumsSse2, k::GroupDeviationsSse2, rng, n, offset);
                   }});
  cases.push_back({"PatternsSse2", true, [](std::mt19937& rng, int n, int offset) {
                     CheckMatch(false, 8, ByPattern(k::PatternSumsSse2, n), ByPattern(k::PatternDeviationsSse2, n), rng,
                                n, offset);
                   }});
#endif
#if defined(SP_KERNELS_AVX2)
  const bool avx2 = k::HasAvx2();
  cases.push_back({"FramePairAvx2", avx2,
                   [](std::mt19937& rng, int n, int offset) { CheckFramePair(k::FramePairAvx2, rng, n, offset); }});
  cases.push_back({"SpeedSumsAvx2", avx2,
                   [](std::mt19937& rng, int n, int offset) { CheckSpeedSums(k::SpeedSumsAvx2, rng, n, offset); }});
  cases.push_back({"FrameQuadAvx2", avx2,
                   [](std::mt19937& rng, int n, int offset) { CheckFrameQuad(k::FrameQuadAvx2, rng, n, offset); }});
  cases.push_back({"LevelAvx2", avx2, [](std::mt19937& rng, int n, int offset) {
                     CheckLevel(k::LevelCellSumsAvx2, k::LevelGainFirstAvx2, k::LevelGainSecondAvx2, rng, n, offset);
                   }});
  cases.push_back({"GroupsAvx2", avx2, [](std::mt19937& rng, int n, int offset) {
                     CheckMatch(true, 8, k::GroupSumsAvx2, k::GroupDeviationsAvx2, rng, n, offset);
                   }});
  cases.push_back({"PatternsAvx2", avx2, [](std::mt19937& rng, int n, int offset) {
                     CheckMatch(false, 8, ByPattern(k::PatternSumsAvx2, n), ByPattern(k::PatternDeviationsAvx2, n), rng,
                                n, offset);
                   }});
#endif
  return cases;
}

class SimdKernel : public ::testing::TestWithParam<KernelCase> {};

TEST_P(SimdKernel, GivesItsScalarTwinsBits) {
  if (!GetParam().available) GTEST_SKIP() << "the processor lacks the kernel's instructions";
  std::mt19937 rng(18);
  for (int size : kSizes)
    for (int offset : kOffsets) GetParam().check(rng, size, offset);
}

INSTANTIATE_TEST_SUITE_P(Kernels, SimdKernel, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<KernelCase>& info) { return info.param.name; });

}  // namespace
