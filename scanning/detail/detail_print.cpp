#include "detail_print.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

namespace spdetail {

namespace {

constexpr char kMagic[8] = {'S', 'P', 'D', 'E', 'T', 'A', 'I', 'L'};
constexpr std::uint32_t kVersion = 1;
constexpr double kRate = 44100.0;
constexpr double kLowHz = 150.0;
constexpr double kHighHz = 5500.0;
constexpr float kLevelStep = 0.01f;  // stored in hundredths of a dB

double Mel(double hz) { return 2595.0 * std::log10(1.0 + hz / 700.0); }
double Hz(double mel) { return 700.0 * (std::pow(10.0, mel / 2595.0) - 1.0); }

// Little-endian fields, whatever the host.
void PutU32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void PutU64(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
std::uint64_t GetLe(const unsigned char* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// FFTW's planner is not thread-safe (scans of several stations make analysers in parallel);
// executing a plan is.
std::mutex& PlannerLock() {
  static std::mutex m;
  return m;
}

}  // namespace

struct DetailAnalyser::Impl {
  fftwf_plan fft = nullptr;
  std::vector<float> window;
  // Triangular mel filters: for band b, bins [first[b], first[b] + weights[b].size()).
  std::vector<int> first;
  std::vector<std::vector<float>> weights;
  float* frame = nullptr;            // kFftSize samples (FFTW's aligned memory)
  fftwf_complex* spectrum = nullptr;  // kFftSize / 2 + 1 bins
};

DetailAnalyser::DetailAnalyser() : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  {
    std::lock_guard<std::mutex> lock(PlannerLock());
    m.frame = fftwf_alloc_real(kFftSize);
    m.spectrum = fftwf_alloc_complex(kFftSize / 2 + 1);
    // FFTW_ESTIMATE: the same plan on every run (measured plans may differ from run to run).
    if (m.frame != nullptr && m.spectrum != nullptr)
      m.fft = fftwf_plan_dft_r2c_1d(kFftSize, m.frame, m.spectrum, FFTW_ESTIMATE);
  }
  m.window.resize(kFftSize);
  for (int i = 0; i < kFftSize; ++i)
    m.window[i] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * M_PI * i / (kFftSize - 1)));
  double edges[kBands + 2];
  for (int i = 0; i < kBands + 2; ++i) edges[i] = Hz(Mel(kLowHz) + (Mel(kHighHz) - Mel(kLowHz)) * i / (kBands + 1));
  const int bins = kFftSize / 2 + 1;
  for (int b = 0; b < kBands; ++b) {
    std::vector<float> w;
    int first = -1;
    for (int k = 0; k < bins; ++k) {
      const double f = k * kRate / kFftSize;
      const double v = std::min((f - edges[b]) / (edges[b + 1] - edges[b]), (edges[b + 2] - f) / (edges[b + 2] - edges[b + 1]));
      if (v <= 0.0) {
        if (first >= 0) break;
        continue;
      }
      if (first < 0) first = k;
      w.push_back(static_cast<float>(v));
    }
    m.first.push_back(first < 0 ? 0 : first);
    m.weights.push_back(std::move(w));
  }
}

DetailAnalyser::~DetailAnalyser() {
  std::lock_guard<std::mutex> lock(PlannerLock());
  if (impl_->fft != nullptr) fftwf_destroy_plan(impl_->fft);
  fftwf_free(impl_->frame);
  fftwf_free(impl_->spectrum);
}

DetailPrint DetailAnalyser::Analyse(const std::int16_t* samples, std::size_t n) {
  DetailPrint print;
  if (n < static_cast<std::size_t>(kFftSize) || impl_->fft == nullptr) return print;
  print.frames = static_cast<int>(1 + (n - kFftSize) / kHop);
  print.levels.resize(static_cast<std::size_t>(print.frames) * kBands);
  for (int f = 0; f < print.frames; ++f)
    AnalyseFrame(samples + static_cast<std::size_t>(f) * kHop, print.levels.data() + static_cast<std::size_t>(f) * kBands);
  return print;
}

void DetailAnalyser::AnalyseFrame(const std::int16_t* x, float* out) {
  Impl& m = *impl_;
  if (m.fft == nullptr) {
    std::fill(out, out + kBands, 0.0f);
    return;
  }
  for (int i = 0; i < kFftSize; ++i) m.frame[i] = static_cast<float>(x[i]) * m.window[i];
  fftwf_execute(m.fft);
  for (int b = 0; b < kBands; ++b) {
    double e = 0.0;
    const std::vector<float>& w = m.weights[b];
    for (std::size_t k = 0; k < w.size(); ++k) {
      const fftwf_complex& c = m.spectrum[m.first[b] + k];
      e += w[k] * (static_cast<double>(c[0]) * c[0] + static_cast<double>(c[1]) * c[1]);
    }
    out[b] = static_cast<float>(10.0 * std::log10(e + 1e-3));
  }
}

// 64-bit FNV-1a of the pattern file's bytes, the hash the decision layer ties its sidecars to.
std::uint64_t ContentHash(const std::string& bytes) {
  std::uint64_t h = 1469598103934665603ull;
  for (const char c : bytes) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return h;
}

std::string DetailFileName(const std::string& patternFile) { return patternFile + ".detail"; }

std::string EncodeDetailPrint(const DetailPrint& print, std::uint64_t patternHash) {
  std::string out(kMagic, sizeof kMagic);
  PutU32(out, kVersion);
  PutU32(out, kBands);
  PutU32(out, static_cast<std::uint32_t>(print.frames));
  PutU64(out, patternHash);
  for (float v : print.levels) {
    const long q = std::lround(std::max(-32768.0f, std::min(32767.0f, v / kLevelStep)));
    out.push_back(static_cast<char>(q & 0xFF));
    out.push_back(static_cast<char>((q >> 8) & 0xFF));
  }
  return out;
}

bool CheckDetailHeader(const unsigned char* p, std::size_t have, std::uint64_t fileSize, std::uint64_t patternHash,
                       int& frames, std::string& problem) {
  problem.clear();
  static_assert(kDetailHeaderBytes == sizeof kMagic + 4 + 4 + 4 + 8, "the header's fields");
  if (have < kDetailHeaderBytes || fileSize < kDetailHeaderBytes || std::memcmp(p, kMagic, sizeof kMagic) != 0) {
    problem = "not a detail print";
    return false;
  }
  const std::uint64_t version = GetLe(p + 8, 4), bands = GetLe(p + 12, 4), count = GetLe(p + 16, 4);
  if (version != kVersion || bands != kBands) {
    problem = "a detail print of another version";
    return false;
  }
  if (count > (1u << 20) || fileSize != kDetailHeaderBytes + count * kBands * 2) {
    problem = "a truncated or damaged detail print";
    return false;
  }
  if (GetLe(p + 20, 8) != patternHash) {
    problem = "made for another pattern file";
    return false;
  }
  frames = static_cast<int>(count);
  return true;
}

bool DecodeDetailPrint(const std::string& bytes, std::uint64_t patternHash, DetailPrint& print, std::string& problem) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  int frames = 0;
  if (!CheckDetailHeader(p, bytes.size(), bytes.size(), patternHash, frames, problem)) return false;
  print.frames = frames;
  print.levels.resize(static_cast<std::size_t>(frames) * kBands);
  for (std::size_t i = 0; i < print.levels.size(); ++i) {
    const auto q = static_cast<std::int16_t>(GetLe(p + kDetailHeaderBytes + 2 * i, 2));
    print.levels[i] = q * kLevelStep;
  }
  return true;
}

}  // namespace spdetail
