// Fuzz target: the pattern catalogue (store/catalogue.h), a CSV file scan --catalogue reads.
// Whatever the bytes, parsing returns entries or throws CatalogueError with one line naming the
// file; an accepted catalogue has a non-empty name without folders per entry, and no more
// entries than it has lines.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "catalogue.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const auto entries = sigpat::store::ParseCatalogue(text, "fuzz.csv");
    std::size_t lines = 1;
    for (char c : text) lines += c == '\n' || c == '\r';
    if (entries.size() > lines) std::abort();
    for (const auto& [file, entry] : entries)
      if (file.empty() || file.find('/') != std::string::npos) std::abort();
  } catch (const sigpat::store::CatalogueError& e) {
    const std::string message = e.what();
    if (message.rfind("fuzz.csv:", 0) != 0 || message.find('\n') != std::string::npos) std::abort();
  }
  return 0;
}
