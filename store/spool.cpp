#include "spool.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "content_hash.h"

namespace sigpat::store {

namespace {

// An open spool file under an exclusive flock.
class Locked {
 public:
  Locked(const std::string& path, int flags) : path_(path) {
    fd_ = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      if (errno == ENOENT && (flags & O_CREAT) == 0) return;
      throw StoreError(path + ": cannot open the spool (" + std::strerror(errno) + ")");
    }
    while (::flock(fd_, LOCK_EX) != 0)
      if (errno != EINTR) throw StoreError(path + ": cannot lock the spool (" + std::strerror(errno) + ")");
  }
  ~Locked() {
    if (fd_ >= 0) ::close(fd_);  // releases the lock
  }
  int fd() const { return fd_; }
  std::string ReadAll() const {
    std::string text;
    char buf[65536];
    ::lseek(fd_, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(fd_, buf, sizeof buf)) != 0;) {
      if (n < 0) {
        if (errno == EINTR) continue;
        throw StoreError(path_ + ": cannot read the spool (" + std::strerror(errno) + ")");
      }
      text.append(buf, static_cast<std::size_t>(n));
    }
    return text;
  }

 private:
  std::string path_;
  int fd_ = -1;
};

void Put(nlohmann::json& j, const char* name, const std::optional<UtcMicros>& v) {
  if (v) j[name] = *v;
  else j[name] = nullptr;
}

std::optional<UtcMicros> OptMicros(const nlohmann::json& j, const char* name) {
  if (!j.contains(name) || j[name].is_null()) return std::nullopt;
  return j[name].get<UtcMicros>();
}

}  // namespace

void Spool::Append(const nlohmann::json& row) {
  const std::string line = row.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  Locked f(path_, O_WRONLY | O_CREAT | O_APPEND);
  // A line torn by a crash has no newline; a row after it starts on a line of its own.
  const off_t size = ::lseek(f.fd(), 0, SEEK_END);
  std::string text = line;
  if (size > 0) {
    char last = '\n';
    if (::pread(f.fd(), &last, 1, size - 1) == 1 && last != '\n') text = "\n" + line;
  }
  for (std::size_t at = 0; at < text.size();) {
    const ssize_t n = ::write(f.fd(), text.data() + at, text.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw StoreError(path_ + ": cannot write the spool (" + std::strerror(errno) + ")");
    at += static_cast<std::size_t>(n);
  }
  if (::fsync(f.fd()) != 0) throw StoreError(path_ + ": cannot write the spool (" + std::strerror(errno) + ")");
}

std::size_t Spool::Replay(std::size_t batch, const std::function<void(const std::vector<nlohmann::json>&)>& apply) {
  Locked f(path_, O_RDWR);
  if (f.fd() < 0) return 0;
  const std::string text = f.ReadAll();
  std::size_t given = 0;
  std::vector<nlohmann::json> run;
  auto give = [&] {
    if (run.empty()) return;
    apply(run);
    given += run.size();
    run.clear();
  };
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (in.eof()) break;  // no newline: torn by a crash before its write returned
    nlohmann::json row = nlohmann::json::parse(line, nullptr, false);
    if (row.is_discarded() || !row.is_object()) continue;
    if (!run.empty() && (run.size() >= batch || run.front().value("kind", "") != row.value("kind", ""))) give();
    run.push_back(std::move(row));
  }
  give();
  if (::ftruncate(f.fd(), 0) != 0 || ::fsync(f.fd()) != 0)
    throw StoreError(path_ + ": cannot empty the spool (" + std::strerror(errno) + ")");
  return given;
}

std::size_t Spool::Count() const {
  Locked f(path_, O_RDONLY);
  if (f.fd() < 0) return 0;
  const std::string text = f.ReadAll();
  std::size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

std::string Spool::DefaultPath(const std::string& database) {
  namespace fs = std::filesystem;
  fs::path dir;
  const char* cache = std::getenv("SIGNALPATTERN_CACHE");
  if (cache != nullptr && *cache != '\0' && std::strcmp(cache, "off") != 0) dir = cache;
  else if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg != nullptr && *xdg != '\0') dir = fs::path(xdg) / "signalpattern";
  else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') dir = fs::path(home) / ".cache" / "signalpattern";
  std::error_code ec;
  if (!dir.empty()) fs::create_directories(dir, ec);
  if (dir.empty() || ec) dir = ".";
  return (dir / ("spool-" + Sha256Hex(database).substr(0, 16) + ".jsonl")).string();
}

nlohmann::json ToJson(const DetectionRow& d) {
  nlohmann::json j;
  j["kind"] = "detection";
  j["key"] = d.key;
  j["station"] = d.station;
  j["pattern_hash"] = d.patternHash;
  j["pattern_name"] = d.patternName;
  j["begin_sample"] = d.beginSample;
  j["end_sample"] = d.endSample;
  j["begin_s"] = d.beginSeconds;
  j["end_s"] = d.endSeconds;
  Put(j, "begin_utc", d.beginUtc);
  Put(j, "end_utc", d.endUtc);
  j["clock"] = d.clock;
  j["rule"] = d.rule;
  j["confidence"] = d.confidence;
  j["distance"] = d.distance;
  j["threshold"] = d.threshold;
  j["seen"] = d.seen;
  j["match"] = d.match;
  j["evidence"] = d.evidence;
  j["json"] = d.json;
  j["stored_utc"] = d.storedUtc;
  return j;
}

DetectionRow DetectionFromJson(const nlohmann::json& j) {
  DetectionRow d;
  d.key = j.value("key", "");
  d.station = j.value("station", "");
  d.patternHash = j.value("pattern_hash", "");
  d.patternName = j.value("pattern_name", "");
  d.beginSample = j.value("begin_sample", std::int64_t{0});
  d.endSample = j.value("end_sample", std::int64_t{0});
  d.beginSeconds = j.value("begin_s", 0.0);
  d.endSeconds = j.value("end_s", 0.0);
  d.beginUtc = OptMicros(j, "begin_utc");
  d.endUtc = OptMicros(j, "end_utc");
  d.clock = j.value("clock", "");
  d.rule = j.value("rule", "");
  d.confidence = j.value("confidence", -1.0);
  d.distance = j.value("distance", -1.0);
  d.threshold = j.value("threshold", -1.0);
  d.seen = j.value("seen", 1.0);
  d.match = j.value("match", "");
  d.evidence = j.value("evidence", "");
  d.json = j.value("json", "");
  d.storedUtc = j.value("stored_utc", UtcMicros{0});
  return d;
}

}  // namespace sigpat::store
