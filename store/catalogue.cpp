#include "catalogue.h"
#include "escape.h"

#include <csv.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace sigpat::store {

namespace {

// Collects libcsv's fields into records, with the line each record starts on.
struct Records {
  std::vector<std::string> fields;
  int newlinesInFields = 0;
  int line = 1;  // the physical line being fed
  std::vector<std::pair<int, std::vector<std::string>>> rows;

  static void Field(void* data, std::size_t size, void* self) {
    auto* r = static_cast<Records*>(self);
    std::string f = size > 0 ? std::string(static_cast<const char*>(data), size) : std::string();
    for (char c : f) r->newlinesInFields += c == '\n';
    r->fields.push_back(std::move(f));
  }
  static void End(int, void* self) {
    auto* r = static_cast<Records*>(self);
    r->rows.emplace_back(r->line - r->newlinesInFields, std::move(r->fields));
    r->fields.clear();
    r->newlinesInFields = 0;
  }
};

// A name from the file in a message: control characters as \xHH, so a message stays one line.
std::string Quoted(const std::string& text) { return "\"" + EscapeControls(text) + "\""; }

const char* const kColumns[] = {"file", "spot_id", "advertiser", "campaign", "version", "title"};

}  // namespace

std::map<std::string, CatalogueEntry> ParseCatalogue(const std::string& input, const std::string& name) {
  std::string text = input;
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  if (text.find('\0') != std::string::npos) throw CatalogueError(name + ": is not a CSV catalogue but binary data");
  csv_parser parser;
  if (csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI) != 0) throw CatalogueError(name + ": out of memory");
  Records records;
  // Fed a line at a time, so that a broken quote is told with its line.
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    const std::size_t size = end - at;
    if (csv_parse(&parser, text.data() + at, size, Records::Field, Records::End, &records) != size) {
      const std::string why = csv_strerror(csv_error(&parser));
      csv_free(&parser);
      throw CatalogueError(name + ":" + std::to_string(records.line) + ": " + why);
    }
    at = end;
    if (text[end - 1] == '\n') ++records.line;
  }
  if (csv_fini(&parser, Records::Field, Records::End, &records) != 0) {
    const std::string why = csv_strerror(csv_error(&parser));
    csv_free(&parser);
    throw CatalogueError(name + ":" + std::to_string(records.line) + ": " + why + " (a quote is not closed)");
  }
  csv_free(&parser);

  if (records.rows.empty()) throw CatalogueError(name + ": the catalogue is empty (it needs a header: file,spot_id,advertiser,campaign,version,title)");
  const auto& [headerLine, header] = records.rows.front();
  std::vector<int> column(header.size(), -1);  // index into kColumns
  int fileColumn = -1;
  for (std::size_t i = 0; i < header.size(); ++i) {
    for (int k = 0; k < 6; ++k)
      if (header[i] == kColumns[k]) column[i] = k;
    const std::string where = name + ":" + std::to_string(headerLine) + ": ";
    if (column[i] < 0)
      throw CatalogueError(where + "unknown column " + Quoted(header[i]) + " (columns: file,spot_id,advertiser,campaign,version,title)");
    for (std::size_t j = 0; j < i; ++j)
      if (column[j] == column[i]) throw CatalogueError(where + "the column " + Quoted(header[i]) + " is named twice");
    if (column[i] == 0) fileColumn = static_cast<int>(i);
  }
  if (fileColumn < 0) throw CatalogueError(name + ":" + std::to_string(headerLine) + ": the header has no column \"file\"");

  std::map<std::string, CatalogueEntry> entries;
  std::map<std::string, int> firstLine;
  for (std::size_t r = 1; r < records.rows.size(); ++r) {
    const auto& [line, fields] = records.rows[r];
    const std::string where = name + ":" + std::to_string(line) + ": ";
    if (fields.size() != header.size())
      throw CatalogueError(where + "the row has " + std::to_string(fields.size()) + " fields, the header " +
                           std::to_string(header.size()));
    const std::string& file = fields[static_cast<std::size_t>(fileColumn)];
    if (file.empty()) throw CatalogueError(where + "the file name is empty");
    if (file.find('/') != std::string::npos)
      throw CatalogueError(where + Quoted(file) + ": give the pattern file's name without folders");
    if (auto seen = firstLine.find(file); seen != firstLine.end())
      throw CatalogueError(where + Quoted(file) + " is listed again (first on line " + std::to_string(seen->second) + ")");
    firstLine[file] = line;
    CatalogueEntry e;
    std::string* slots[] = {nullptr, &e.spotId, &e.advertiser, &e.campaign, &e.version, &e.title};
    for (std::size_t i = 0; i < fields.size(); ++i)
      if (column[i] > 0) *slots[column[i]] = fields[i];
    entries.emplace(file, std::move(e));
  }
  return entries;
}

std::map<std::string, CatalogueEntry> ReadCatalogue(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw CatalogueError(path + ": cannot read the catalogue (" + std::strerror(errno) + ")");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw CatalogueError(path + ": cannot read the catalogue (" + std::strerror(errno) + ")");
  return ParseCatalogue(text, path);
}

}  // namespace sigpat::store
