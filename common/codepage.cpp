#include <string>

#include "sp_log.h"
#include "sp_message.h"

namespace {

// Unicode code points of the Windows-1251 bytes 0x80..0xBF (0 = undefined byte).
const unsigned short kHighHalf[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457};

void AppendUtf8(std::string& out, unsigned cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

unsigned CodePointOf(unsigned char c) {
  if (c < 0x80) return c;
  if (c >= 0xC0) return 0x410u + (c - 0xC0u);
  unsigned cp = kHighHalf[c - 0x80];
  return cp != 0 ? cp : 0xFFFDu;
}

}  // namespace

std::string Cp1251ToUtf8(const char* text) {
  std::string out;
  if (text == nullptr) return out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p)
    AppendUtf8(out, CodePointOf(*p));
  return out;
}

std::string Utf8ToCp1251(const char* text) {
  std::string out;
  if (text == nullptr) return out;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    unsigned cp;
    int len;
    if (*p < 0x80) { cp = *p; len = 1; }
    else if ((*p & 0xE0) == 0xC0 && p[1] != 0) { cp = ((*p & 0x1Fu) << 6) | (p[1] & 0x3Fu); len = 2; }
    else if ((*p & 0xF0) == 0xE0 && p[1] != 0 && p[2] != 0) {
      cp = ((*p & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
      len = 3;
    } else { cp = '?'; len = 1; while (p[len] != 0 && (p[len] & 0xC0) == 0x80) ++len; }
    char c = '?';
    if (cp < 0x80) c = static_cast<char>(cp);
    else if (cp >= 0x410 && cp <= 0x44F) c = static_cast<char>(0xC0 + (cp - 0x410));
    else
      for (int i = 0; i < 64; ++i)
        if (kHighHalf[i] == cp) { c = static_cast<char>(0x80 + i); break; }
    out.push_back(c);
    p += len;
  }
  return out;
}
