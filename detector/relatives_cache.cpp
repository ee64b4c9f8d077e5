// Relatives kept on disk: see relatives_cache.h.
#include "relatives_cache.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>

#include "calibration_file.h"
#include "float_bits.h"
#include "fnv1a.h"

namespace spdet {

namespace {

namespace fs = std::filesystem;

const char kMagic[] = "signalpattern-relatives-catalogue 1";
constexpr const char* kFolder = "relatives-catalogues";
// The smallest member keys a record names in its head: enough to tell which record shares most.
constexpr std::size_t kSample = 64;
// A record larger than this is refused (about four million pairs).
constexpr std::uintmax_t kMaxRecordBytes = 512u << 20;
// The head read for the sample: the lines before the members.
constexpr std::size_t kHeadBytes = 256 + kSample * 17;

std::uint64_t RateBits(double blocksPerSecond) {
  std::uint64_t b;
  std::memcpy(&b, &blocksPerSecond, sizeof b);
  return b;
}

// `digits` lower-case hex digits of v.
void Hex(std::string& text, std::uint64_t v, int digits) {
  static const char kDigit[] = "0123456789abcdef";
  char buf[16];
  for (int k = digits - 1; k >= 0; --k, v >>= 4) buf[k] = kDigit[v & 15];
  text.append(buf, static_cast<std::size_t>(digits));
}

// `digits` lower-case hex digits at p (the text goes on to its terminating zero, so a zero stops
// the loop before the end).
bool HexDigits(const char* p, int digits, std::uint64_t& v) {
  v = 0;
  for (int k = 0; k < digits; ++k) {
    const char c = p[k];
    if (c >= '0' && c <= '9') v = v << 4 | static_cast<std::uint64_t>(c - '0');
    else if (c >= 'a' && c <= 'f') v = v << 4 | static_cast<std::uint64_t>(c - 'a' + 10);
    else return false;
  }
  return true;
}

// The digits and then `next`, p moved past both.
bool ReadHex(const char*& p, int digits, char next, std::uint64_t& v) {
  if (!HexDigits(p, digits, v) || p[digits] != next) return false;
  p += digits + 1;
  return true;
}

bool ReadWord(const char*& p, const char* word) {
  const std::size_t n = std::strlen(word);
  if (std::strncmp(p, word, n) != 0) return false;
  p += n;
  return true;
}

// The smallest keys of a catalogue (members ascending).
std::vector<std::uint64_t> SampleOf(const std::vector<std::uint64_t>& members) {
  return std::vector<std::uint64_t>(members.begin(), members.begin() + static_cast<std::ptrdiff_t>(std::min(kSample, members.size())));
}

void Side(std::string& text, const Relation& r) {
  for (const std::uint32_t v : {static_cast<std::uint32_t>(r.offset), static_cast<std::uint32_t>(r.differBegin),
                                static_cast<std::uint32_t>(r.differEnd), Bits(r.shared), Bits(r.apart)}) {
    text += ' ';
    Hex(text, v, 8);
  }
}

bool ReadSide(const char*& p, char last, Relation& r) {
  std::uint64_t v[5];
  for (int k = 0; k < 5; ++k)
    if (!ReadHex(p, 8, k == 4 ? last : ' ', v[k])) return false;
  r.offset = static_cast<std::int32_t>(static_cast<std::uint32_t>(v[0]));
  r.differBegin = static_cast<std::int32_t>(static_cast<std::uint32_t>(v[1]));
  r.differEnd = static_cast<std::int32_t>(static_cast<std::uint32_t>(v[2]));
  r.shared = FromBits(static_cast<std::uint32_t>(v[3]));
  r.apart = FromBits(static_cast<std::uint32_t>(v[4]));
  return true;
}

// The head: magic, rules, build and rate, member count, sample.
void FormatHead(std::string& text, const CatalogueRecord& r, std::uint64_t rate) {
  text += kMagic;
  text += "\nrules ";
  Hex(text, r.rules, 16);
  text += " build ";
  Hex(text, r.build, 16);
  text += " rate ";
  Hex(text, rate, 16);
  text += "\nmembers ";
  Hex(text, r.members.size(), 16);
  text += "\nsample";
  for (const std::uint64_t k : SampleOf(r.members)) text += ' ', Hex(text, k, 16);
  text += '\n';
}

std::string Format(const CatalogueRecord& r, std::uint64_t rate) {
  std::string text;
  text.reserve(kHeadBytes + r.members.size() * 17 + r.pairs.size() * 110 + 64);
  FormatHead(text, r, rate);
  for (const std::uint64_t k : r.members) Hex(text, k, 16), text += '\n';
  text += "pairs ";
  Hex(text, r.pairs.size(), 16);
  text += '\n';
  for (const CataloguePair& p : r.pairs) {
    Hex(text, p.first, 16);
    text += ' ';
    Hex(text, p.second, 16);
    text += p.related ? " 1" : " 0";
    if (p.related) Side(text, p.ab), Side(text, p.ba);
    text += '\n';
  }
  const std::uint64_t check = Fnv1aOf(text.data(), text.size());
  text += "check ";
  Hex(text, check, 16);
  text += '\n';
  return text;
}

// Reads the head of a record as FormatHead writes it; p then points at the first member.
bool ParseHead(const char*& p, CatalogueRecord& r, std::uint64_t& rate, std::uint64_t& count,
               std::vector<std::uint64_t>& sample) {
  if (!ReadWord(p, kMagic) || !ReadWord(p, "\nrules ") || !ReadHex(p, 16, ' ', r.rules) || !ReadWord(p, "build ") ||
      !ReadHex(p, 16, ' ', r.build) || !ReadWord(p, "rate ") || !ReadHex(p, 16, '\n', rate) ||
      !ReadWord(p, "members ") || !ReadHex(p, 16, '\n', count) || !ReadWord(p, "sample"))
    return false;
  sample.clear();
  while (*p == ' ') {
    std::uint64_t k = 0;
    if (sample.size() == kSample || !HexDigits(p + 1, 16, k)) return false;
    sample.push_back(k);
    p += 17;
  }
  return *p++ == '\n';
}

// A regular file of at most `limit` bytes, whole (a FIFO or device is never opened); with `head`,
// at most that many bytes of it.
bool ReadFileText(const std::string& name, std::uintmax_t limit, std::string& text, std::size_t head = 0) {
  std::error_code ec;
  const auto status = fs::status(name, ec);
  if (ec || !fs::is_regular_file(status)) return false;
  const std::uintmax_t size = fs::file_size(name, ec);
  if (ec || size > limit) return false;
  std::ifstream in(name, std::ios::binary);
  if (!in) return false;
  const std::size_t want = head != 0 ? std::min<std::size_t>(head, static_cast<std::size_t>(size)) : static_cast<std::size_t>(size);
  text.resize(want);
  in.read(text.data(), static_cast<std::streamsize>(want));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (head == 0 && in.peek() != std::char_traits<char>::eof()) return false;  // grew while read
  return text.size() == want;
}

// Writes text to name whole or not at all (calibration_file.h), making the directory when needed.
bool WriteWhole(const std::string& name, const std::string& text) {
  std::error_code ec;
  fs::create_directories(fs::path(name).parent_path(), ec);
  return !ec && WriteFileWhole(name, text.data(), text.size(), false);
}

std::uint64_t Build() {
  static const std::uint64_t build = BuildIdentity();
  return build;
}

}  // namespace

std::string CatalogueRecordName(const std::string& directory, const std::vector<std::uint64_t>& members,
                                double blocksPerSecond) {
  if (directory.empty() || Build() == 0) return std::string();
  Fnv1a f;
  f.Bytes(members.data(), members.size() * sizeof(std::uint64_t));
  f.Value(RelationRulesVersion());
  f.Value(Build());
  f.Value(blocksPerSecond);
  char leaf[64];
  std::snprintf(leaf, sizeof leaf, "/%s/%016" PRIx64, kFolder, f.h);
  return directory + leaf;
}

bool ReadCatalogueRecord(const std::string& name, CatalogueRecord& record) {
  try {
    std::string text;
    if (name.empty() || !ReadFileText(name, kMaxRecordBytes, text)) return false;
    const char* p = text.c_str();
    CatalogueRecord r;
    std::uint64_t rate = 0, count = 0;
    std::vector<std::uint64_t> sample;
    if (!ParseHead(p, r, rate, count, sample)) return false;
    if (r.rules != RelationRulesVersion() || r.build != Build()) return false;
    if (count > text.size() / 17) return false;
    r.members.resize(static_cast<std::size_t>(count));
    for (std::uint64_t& k : r.members) {
      if (!ReadHex(p, 16, '\n', k)) return false;
      if (&k != r.members.data() && k <= (&k)[-1]) return false;  // ascending, each once
    }
    if (sample != SampleOf(r.members)) return false;
    std::uint64_t pairs = 0;
    if (!ReadWord(p, "pairs ") || !ReadHex(p, 16, '\n', pairs) || pairs > text.size() / 36) return false;
    r.pairs.resize(static_cast<std::size_t>(pairs));
    auto member = [&](std::uint64_t k) { return std::binary_search(r.members.begin(), r.members.end(), k); };
    for (CataloguePair& q : r.pairs) {
      if (!ReadHex(p, 16, ' ', q.first) || !ReadHex(p, 16, ' ', q.second)) return false;
      if (!member(q.first) || !member(q.second)) return false;
      if (p[0] == '0' && p[1] == '\n') {
        p += 2;
      } else if (p[0] == '1' && p[1] == ' ') {
        p += 2;
        q.related = true;
        if (!ReadSide(p, ' ', q.ab) || !ReadSide(p, '\n', q.ba)) return false;
      } else {
        return false;
      }
    }
    const std::size_t checked = static_cast<std::size_t>(p - text.c_str());
    std::uint64_t check = 0;
    if (!ReadWord(p, "check ") || !ReadHex(p, 16, '\n', check) || *p != '\0') return false;
    if (static_cast<std::size_t>(p - text.c_str()) != text.size()) return false;  // no zero byte inside
    if (check != Fnv1aOf(text.data(), checked)) return false;
    std::memcpy(&r.blocksPerSecond, &rate, sizeof rate);
    record = std::move(r);
    return true;
  } catch (...) {
    return false;
  }
}

bool WriteCatalogueRecord(const std::string& name, const CatalogueRecord& record) {
  if (name.empty()) return false;
  try {
    return WriteWhole(name, Format(record, RateBits(record.blocksPerSecond)));
  } catch (...) {
    return false;
  }
}

std::string NearestCatalogueRecord(const std::string& directory, const std::vector<std::uint64_t>& members,
                                   double blocksPerSecond, const std::string& except) {
  if (directory.empty() || Build() == 0 || members.empty()) return std::string();
  try {
    const fs::path folder = fs::path(directory) / kFolder;
    std::error_code ec;
    const std::vector<std::uint64_t> mine = SampleOf(members);
    std::string best;
    double bestShared = 0.0;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().string();
      if (name == except || it->path().filename().string().find('.') != std::string::npos) continue;
      std::string head;
      if (!ReadFileText(name, kMaxRecordBytes, head, kHeadBytes)) continue;
      const char* p = head.c_str();
      CatalogueRecord r;
      std::uint64_t rate = 0, count = 0;
      std::vector<std::uint64_t> sample;
      if (!ParseHead(p, r, rate, count, sample) || r.rules != RelationRulesVersion() || r.build != Build() ||
          rate != RateBits(blocksPerSecond) || count == 0 || sample.empty())
        continue;
      // Bottom-k estimate: of the smallest keys of both samples together, the share in both
      // estimates the share of the union in both catalogues.
      std::vector<std::uint64_t> both;
      std::set_union(mine.begin(), mine.end(), sample.begin(), sample.end(), std::back_inserter(both));
      both.resize(std::min(both.size(), std::min(mine.size(), sample.size())));
      std::size_t inBoth = 0;
      for (const std::uint64_t k : both)
        inBoth += std::binary_search(mine.begin(), mine.end(), k) && std::binary_search(sample.begin(), sample.end(), k);
      const double j = static_cast<double>(inBoth) / static_cast<double>(both.size());
      const double shared = j * static_cast<double>(members.size() + count) / (1.0 + j);
      if (shared > bestShared) bestShared = shared, best = name;
    }
    return best;
  } catch (...) {
    return std::string();
  }
}

bool TouchCatalogueRecord(const std::string& name) {
  std::error_code ec;
  if (name.empty() || !fs::is_regular_file(name, ec)) return false;
  fs::last_write_time(name, fs::file_time_type::clock::now(), ec);
  return !ec;
}

void TrimCatalogueRecords(const std::string& name) {
  try {
    const fs::path folder = fs::path(name).parent_path();
    std::error_code ec;
    // The layouts of earlier builds (an entry file per pattern, a record of the last sweep): no
    // build reads them any more.
    for (const char* old : {"relatives", "relatives-swept"}) fs::remove_all(folder.parent_path() / old, ec);
    const auto now = fs::file_time_type::clock::now();
    struct Kept {
      bool cheap;  // a small catalogue (or a record not read): swept again in moments
      fs::file_time_type time;
      fs::path path;
    };
    std::vector<Kept> records;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      std::error_code e2;
      const auto time = fs::last_write_time(it->path(), e2);
      if (e2 || !it->is_regular_file(e2)) continue;
      if (it->path().filename().string().find('.') != std::string::npos) {  // a writer's temporary file
        if (now - time > std::chrono::hours(1)) fs::remove(it->path(), e2);
        continue;
      }
      std::string head;
      CatalogueRecord r;
      std::uint64_t rate = 0, count = 0;
      std::vector<std::uint64_t> sample;
      const char* p = nullptr;
      const bool read = ReadFileText(it->path().string(), kMaxRecordBytes, head, kHeadBytes) &&
                        (p = head.c_str(), ParseHead(p, r, rate, count, sample));
      records.push_back({!read || count < kCheapCatalogue, time, it->path()});
    }
    if (records.size() <= static_cast<std::size_t>(kMaxCatalogueRecords)) return;
    // The records of large catalogues are kept before any small one's, each kind newest first.
    std::sort(records.begin(), records.end(), [](const Kept& x, const Kept& y) {
      return x.cheap != y.cheap ? !x.cheap : x.time > y.time;
    });
    for (std::size_t k = kMaxCatalogueRecords; k < records.size(); ++k) fs::remove(records[k].path, ec);
  } catch (...) {
  }
}

}  // namespace spdet
