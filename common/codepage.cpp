#include <string>

#include "sp_log.h"
#include "sp_message.h"

namespace {

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
  unsigned cp = sp::kCp1251HighHalf[c - 0x80];
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
    out.push_back(static_cast<char>(sp::Cp1251FromCodePoint(cp)));
    p += len;
  }
  return out;
}
