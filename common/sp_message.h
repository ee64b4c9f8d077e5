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

// Windows-1251 byte for a Unicode code point; '?' when the code page has none.
constexpr unsigned char Cp1251FromCodePoint(unsigned cp) {
  if (cp < 0x80) return static_cast<unsigned char>(cp);
  if (cp >= 0x410 && cp <= 0x44F) return static_cast<unsigned char>(cp - 0x410 + 0xC0);
  switch (cp) {
    case 0x401: return 0xA8;  // Ё
    case 0x451: return 0xB8;  // ё
    case 0x2116: return 0xB9; // №
    case 0xAB: return 0xAB;
    case 0xBB: return 0xBB;
    case 0xB0: return 0xB0;
    case 0xA0: return 0xA0;
    case 0x2013: return 0x96;
    case 0x2014: return 0x97;
    case 0x2026: return 0x85;
    default: return '?';
  }
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
