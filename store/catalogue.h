// The pattern catalogue: a CSV file with a header naming its columns, of which `file` (the
// pattern file's name, without folders) is required and spot_id, advertiser, campaign, version
// and title are taken when present; a row per pattern. It fills the patterns' metadata in the
// store. Quoted fields may hold commas, quotes ("") and newlines; a UTF-8 BOM and CRLF line ends
// are accepted.
#ifndef SIGPAT_STORE_CATALOGUE_H
#define SIGPAT_STORE_CATALOGUE_H

#include <map>
#include <stdexcept>
#include <string>

namespace sigpat::store {

struct CatalogueEntry {
  std::string spotId, advertiser, campaign, version, title;
};

// A catalogue that cannot be read: "FILE:LINE: problem" (or "FILE: problem").
class CatalogueError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// By pattern file name. `name` names the text in messages. Throws CatalogueError on the first
// problem: a missing or unknown column, a row with another number of fields than the header,
// an empty or repeated file name, a broken quote.
std::map<std::string, CatalogueEntry> ParseCatalogue(const std::string& text, const std::string& name);
std::map<std::string, CatalogueEntry> ReadCatalogue(const std::string& path);

}  // namespace sigpat::store

#endif
