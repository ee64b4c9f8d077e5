// Text from a file (a name, a field) made fit for a one-line message: control characters (C0 and
// DEL, a line break in a label among them) become \xHH. Shared by the readers of the store's
// files (catalogue, schedules) and the reports over it.
#ifndef SIGPAT_STORE_ESCAPE_H
#define SIGPAT_STORE_ESCAPE_H

#include <cstdio>
#include <string>
#include <string_view>

namespace sigpat::store {

inline std::string EscapeControls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += ch;
    }
  }
  return out;
}

}  // namespace sigpat::store

#endif
