#include "pattern_png.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include "atomic_file.h"
#include "audio_input.h"
#include "messages.h"

namespace sigpat {

namespace {

constexpr double kBandSpacingHz = 689.0625;  // 11025 Hz / 16
// The colour scale of the pictures (dB of the band powers): silence is at the bottom.
constexpr double kPngTopDb = 0.0;
constexpr double kPngBottomDb = -80.0;

// ---- a small bitmap font (5 x 7) for the labels of the picture

struct Glyph {
  char c;
  unsigned char rows[7];
};

constexpr Glyph kFont[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'.', {0, 0, 0, 0, 0, 0x0C, 0x0C}},                {'-', {0, 0, 0, 0x1F, 0, 0, 0}},
    {'(', {0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02}}, {')', {0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08}},
    {':', {0, 0x0C, 0x0C, 0, 0x0C, 0x0C, 0}},          {'/', {0, 0x01, 0x02, 0x04, 0x08, 0x10, 0}},
    {'_', {0, 0, 0, 0, 0, 0, 0x1F}},                   {',', {0, 0, 0, 0, 0x0C, 0x04, 0x08}},
    {'%', {0x18, 0x19, 0x02, 0x04, 0x08, 0x13, 0x03}}, {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}}, {'a', {0, 0, 0x0E, 0x01, 0x0F, 0x11, 0x0F}},
    {'b', {0x10, 0x10, 0x16, 0x19, 0x11, 0x11, 0x1E}}, {'c', {0, 0, 0x0E, 0x10, 0x10, 0x11, 0x0E}},
    {'d', {0x01, 0x01, 0x0D, 0x13, 0x11, 0x11, 0x0F}}, {'e', {0, 0, 0x0E, 0x11, 0x1F, 0x10, 0x0E}},
    {'f', {0x06, 0x09, 0x08, 0x1C, 0x08, 0x08, 0x08}}, {'g', {0, 0x0F, 0x11, 0x11, 0x0F, 0x01, 0x0E}},
    {'h', {0x10, 0x10, 0x16, 0x19, 0x11, 0x11, 0x11}}, {'i', {0x04, 0, 0x0C, 0x04, 0x04, 0x04, 0x0E}},
    {'j', {0x02, 0, 0x06, 0x02, 0x02, 0x12, 0x0C}},    {'k', {0x10, 0x10, 0x12, 0x14, 0x18, 0x14, 0x12}},
    {'l', {0x0C, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}}, {'m', {0, 0, 0x1A, 0x15, 0x15, 0x11, 0x11}},
    {'n', {0, 0, 0x16, 0x19, 0x11, 0x11, 0x11}},       {'o', {0, 0, 0x0E, 0x11, 0x11, 0x11, 0x0E}},
    {'p', {0, 0, 0x1E, 0x11, 0x1E, 0x10, 0x10}},       {'q', {0, 0, 0x0D, 0x13, 0x0F, 0x01, 0x01}},
    {'r', {0, 0, 0x16, 0x19, 0x10, 0x10, 0x10}},       {'s', {0, 0, 0x0E, 0x10, 0x0E, 0x01, 0x1E}},
    {'t', {0x08, 0x08, 0x1C, 0x08, 0x08, 0x09, 0x06}}, {'u', {0, 0, 0x11, 0x11, 0x11, 0x13, 0x0D}},
    {'v', {0, 0, 0x11, 0x11, 0x11, 0x0A, 0x04}},       {'w', {0, 0, 0x11, 0x11, 0x15, 0x15, 0x0A}},
    {'x', {0, 0, 0x11, 0x0A, 0x04, 0x0A, 0x11}},       {'y', {0, 0, 0x11, 0x11, 0x0F, 0x01, 0x0E}},
    {'z', {0, 0, 0x1F, 0x02, 0x04, 0x08, 0x1F}},       {'?', {0x0E, 0x11, 0x01, 0x02, 0x04, 0, 0x04}},
};

const Glyph* FindGlyph(char c) {
  for (const auto& g : kFont)
    if (g.c == c) return &g;
  if (c >= 'A' && c <= 'Z') return FindGlyph(static_cast<char>(c - 'A' + 'a'));
  if (c == ' ') return nullptr;
  return FindGlyph('?');
}

struct Rgb {
  unsigned char r, g, b;
};

class Image {
 public:
  Image(int w, int h) : w_(w), h_(h), px_(static_cast<std::size_t>(w) * h, Rgb{255, 255, 255}) {}
  int width() const { return w_; }
  int height() const { return h_; }
  void Set(int x, int y, Rgb c) {
    if (x >= 0 && y >= 0 && x < w_ && y < h_) px_[static_cast<std::size_t>(y) * w_ + x] = c;
  }
  void Fill(int x0, int y0, int w, int h, Rgb c) {
    for (int y = y0; y < y0 + h; ++y)
      for (int x = x0; x < x0 + w; ++x) Set(x, y, c);
  }
  static constexpr int kScale = 2;
  static constexpr int kAdvance = 6 * kScale;
  static constexpr int kHeight = 7 * kScale;
  static int TextWidth(const std::string& s) { return static_cast<int>(s.size()) * kAdvance - kScale; }
  // Text with its top-left corner at (x, y).
  void Text(int x, int y, const std::string& s, Rgb c) {
    for (char ch : s) {
      if (const Glyph* g = FindGlyph(ch))
        for (int row = 0; row < 7; ++row)
          for (int col = 0; col < 5; ++col)
            if (g->rows[row] & (0x10 >> col)) Fill(x + col * kScale, y + row * kScale, kScale, kScale, c);
      x += kAdvance;
    }
  }
  const Rgb* Row(int y) const { return &px_[static_cast<std::size_t>(y) * w_]; }

 private:
  int w_, h_;
  std::vector<Rgb> px_;
};

// A perceptually ordered colour scale from dark blue-violet (low) to yellow (high).
Rgb Colour(double t) {
  static const double stops[][3] = {{68, 1, 84}, {59, 82, 139}, {33, 145, 140}, {94, 201, 98}, {253, 231, 37}};
  t = (t >= 0.0 ? std::min(t, 1.0) : 0.0) * 4.0;  // NaN counts as the bottom
  int i = std::min(3, static_cast<int>(t));
  double f = t - i;
  auto mix = [&](int k) { return static_cast<unsigned char>(std::lround(stops[i][k] + (stops[i + 1][k] - stops[i][k]) * f)); };
  return Rgb{mix(0), mix(1), mix(2)};
}

double NiceStep(double range, int ticks) {
  double raw = range / ticks;
  double mag = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (m * mag >= raw) return m * mag;
  return 10.0 * mag;
}

std::string Number(double v, double step) {
  char buf[32];
  int decimals = step >= 1.0 ? 0 : step >= 0.1 ? 1 : step >= 0.01 ? 2 : 3;
  std::snprintf(buf, sizeof(buf), "%.*f", decimals, v);
  return buf;
}

void SavePng(const Image& img, const std::string& path) {
  AtomicFile file(path, ".png");
  std::FILE* f = file.stream();
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (png == nullptr || info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    throw Error("cannot write " + path + ": libpng could not start");
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    throw Error("cannot write " + path + ": " + std::strerror(errno != 0 ? errno : EIO));
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, static_cast<png_uint_32>(img.width()), static_cast<png_uint_32>(img.height()), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < img.height(); ++y)
    png_write_row(png, reinterpret_cast<png_const_bytep>(img.Row(y)));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  file.Commit();  // checks every write of the stream, syncs and moves the picture into place
}

}  // namespace

void WritePatternPng(const SignalTVSEx& p, const std::string& title, const std::string& path) {
  const int nband = p.Nband, nblock = p.Nblock;
  // Each time block gets 1 to 8 pixels; very long patterns show the loudest block per column.
  const int pxPerBlock = std::clamp(800 / std::max(nblock, 1), 1, 8);
  const int plotW = std::min(nblock * pxPerBlock, 1600);
  const int bandH = 32, plotH = nband * bandH;
  const int left = 100, right = 130, top = 54, bottom = 60;
  Image img(left + plotW + right, top + plotH + bottom);
  const Rgb ink{0, 0, 0};

  // dB values, oldest block first, on one fixed scale for every picture (so that pictures can be
  // compared); values off the scale, infinite or not a number are clamped to it.
  std::vector<float> db(static_cast<std::size_t>(nblock) * nband);
  const double hi = kPngTopDb, lo = kPngBottomDb;
  for (int t = 0; t < nblock; ++t)
    for (int b = 0; b < nband; ++b) {
      const float v = PowToDB(p.Spectrum[static_cast<std::size_t>(nblock - 1 - t) * nband + b]);
      db[static_cast<std::size_t>(t) * nband + b] =
          v >= static_cast<float>(lo) ? std::min(v, static_cast<float>(hi)) : static_cast<float>(lo);
    }

  for (int x = 0; x < plotW; ++x) {
    int t0 = static_cast<int>(static_cast<long long>(x) * nblock / plotW);
    int t1 = std::max(t0 + 1, static_cast<int>(static_cast<long long>(x + 1) * nblock / plotW));
    for (int b = 0; b < nband; ++b) {
      float v = static_cast<float>(lo);
      for (int t = t0; t < t1 && t < nblock; ++t) v = std::max(v, db[static_cast<std::size_t>(t) * nband + b]);
      img.Fill(left + x, top + plotH - (b + 1) * bandH, 1, bandH, Colour((v - lo) / (hi - lo)));
    }
  }
  // Frame.
  img.Fill(left - 1, top - 1, plotW + 2, 1, ink);
  img.Fill(left - 1, top + plotH, plotW + 2, 1, ink);
  img.Fill(left - 1, top - 1, 1, plotH + 2, ink);
  img.Fill(left + plotW, top - 1, 1, plotH + 2, ink);

  // Band axis: the centre frequency of every band.
  for (int b = 0; b < nband; ++b) {
    std::string label = std::to_string(static_cast<int>(std::lround(b * kBandSpacingHz)));
    int y = top + plotH - b * bandH - bandH / 2;
    img.Fill(left - 6, y, 5, 1, ink);
    img.Text(left - 10 - Image::TextWidth(label), y - Image::kHeight / 2, label, ink);
  }
  img.Text(left - 10 - Image::TextWidth("band Hz"), top - Image::kHeight - 6, "band Hz", ink);

  // Time axis in seconds.
  const double duration = static_cast<double>(nblock) * kSamplesPerBlock / kLibraryRate;
  const double step = NiceStep(duration, 6);
  for (double s = 0.0; s <= duration + 1e-9; s += step) {
    int x = left + static_cast<int>(std::lround(s / duration * plotW));
    img.Fill(x, top + plotH + 1, 1, 5, ink);
    std::string label = Number(s, step);
    img.Text(x - Image::TextWidth(label) / 2, top + plotH + 10, label, ink);
  }
  img.Text(left + plotW / 2 - Image::TextWidth("time (s)") / 2, top + plotH + 34, "time (s)", ink);

  // Title.
  img.Text(left + (plotW - Image::TextWidth(title)) / 2, 8, title, ink);

  // Colour bar with its dB labels.
  const int barX = left + plotW + 20, barW = 18;
  for (int y = 0; y < plotH; ++y) img.Fill(barX, top + y, barW, 1, Colour(1.0 - static_cast<double>(y) / (plotH - 1)));
  for (double v = lo; v <= hi + 1e-9; v += 10.0) {
    int y = top + static_cast<int>(std::lround((hi - v) / (hi - lo) * (plotH - 1)));
    img.Fill(barX + barW, y, 4, 1, ink);
    img.Text(barX + barW + 8, y - Image::kHeight / 2, Number(v, 10.0) + " dB", ink);
  }
  SavePng(img, path);
}

}  // namespace sigpat
