// Internal: how the library writes its diagnostic lines.
//
// Message texts are written in the source as readable UTF-8 literals inside CP1251("...").
// The macro converts them to Windows-1251 at compile time, so the library stores and emits
// Windows-1251 text only. Lines with placeholders are formatted into the shared 512-byte
// message buffer (one per thread, so independent recognizer objects in different threads do
// not share it); a line that would not fit is cut at 511 bytes.
#ifndef SP_MESSAGE_H
#define SP_MESSAGE_H

#include <cstddef>
#include "sp_log.h"

namespace sp {

// UTF-8 literal wrapper usable as a template argument.
template <std::size_t N>
struct Utf8Literal {
  char text[N];
  constexpr Utf8Literal(const char (&s)[N]) {
    for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
  }
};

// Unicode code points of the Windows-1251 bytes 0x80..0xBF (0: the one byte the code page leaves
// undefined); the bytes 0xC0..0xFF are U+0410..U+044F. The one table of the code page: the
// compile-time conversion of message literals and the run-time conversions (codepage.cpp) both
// read it.
inline constexpr unsigned short kCp1251HighHalf[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457};

// Windows-1251 byte for a Unicode code point; '?' when the code page has none.
constexpr unsigned char Cp1251FromCodePoint(unsigned cp) {
  if (cp < 0x80) return static_cast<unsigned char>(cp);
  if (cp >= 0x410 && cp <= 0x44F) return static_cast<unsigned char>(cp - 0x410 + 0xC0);
  for (unsigned i = 0; i < 64; ++i)
    if (kCp1251HighHalf[i] == cp) return static_cast<unsigned char>(0x80 + i);
  return '?';
}

template <std::size_t N>
struct Cp1251Text {
  char text[N] = {};
};

template <std::size_t N>
constexpr Cp1251Text<N> ConvertUtf8ToCp1251(const char (&s)[N]) {
  Cp1251Text<N> out;
  std::size_t o = 0;
  for (std::size_t i = 0; i < N && s[i] != 0;) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    unsigned cp = 0;
    std::size_t len = 1;
    if (c < 0x80) { cp = c; }
    else if ((c & 0xE0) == 0xC0 && i + 1 < N) { cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu); len = 2; }
    else if ((c & 0xF0) == 0xE0 && i + 2 < N) {
      cp = ((c & 0x0Fu) << 12) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6) |
           (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
      len = 3;
    } else { cp = '?'; len = ((c & 0xF8) == 0xF0) ? 4 : 1; }
    out.text[o++] = static_cast<char>(Cp1251FromCodePoint(cp));
    i += len;
  }
  out.text[o] = 0;
  return out;
}

template <Utf8Literal S>
struct Cp1251Holder {
  static constexpr Cp1251Text<sizeof(S.text)> value = ConvertUtf8ToCp1251(S.text);
};

// Size of the shared message buffer.
constexpr std::size_t kMessageBufferSize = 512;

// The calling thread's message buffer (kMessageBufferSize bytes).
char* MessageBuffer();

// Sends a line without placeholders.
void LogLine(unsigned int channel, const char* text);

// Formats a line into the message buffer (cut to fit) and sends it.
void LogFormat(unsigned int channel, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace sp

// A Windows-1251 message text written as a UTF-8 literal.
#define CP1251(literal) (::sp::Cp1251Holder<::sp::Utf8Literal(literal)>::value.text)

#endif
