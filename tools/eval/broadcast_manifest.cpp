#include "broadcast_manifest.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>

namespace speval {
namespace {

using nlohmann::json;

// A field of an object, with its expected type; throws naming the place when it is absent or
// of another type.
const json& Field(const json& object, const char* name, json::value_t type, const std::string& where) {
  if (!object.is_object()) throw std::runtime_error(where + " is not an object");
  auto it = object.find(name);
  const bool number = type == json::value_t::number_integer;
  if (it == object.end() || (number ? !it->is_number_integer() : it->type() != type))
    throw std::runtime_error(where + ": field \"" + name + "\" missing or not " +
                             (number ? "an integer" : json(type).type_name()));
  return *it;
}

std::string Text(const json& o, const char* name, const std::string& where) {
  return Field(o, name, json::value_t::string, where).get<std::string>();
}

std::int64_t Integer(const json& o, const char* name, const std::string& where) {
  return Field(o, name, json::value_t::number_integer, where).get<std::int64_t>();
}

std::string Resolve(const std::string& dir, const std::string& file) {
  return !file.empty() && file[0] == '/' ? file : dir + "/" + file;
}

std::vector<BroadcastClip> Clips(const json& m, const char* key, const std::string& dir) {
  std::vector<BroadcastClip> out;
  const json& list = Field(m, key, json::value_t::array, "manifest");
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::string where = std::string(key) + "[" + std::to_string(i) + "]";
    BroadcastClip c;
    c.name = Text(list[i], "name", where);
    c.kind = Text(list[i], "kind", where);
    c.file = Resolve(dir, Text(list[i], "file", where));
    c.samples = Integer(list[i], "samples", where);
    if (list[i].contains("near_miss_of")) c.nearMissOf = Text(list[i], "near_miss_of", where);
    if (list[i].contains("campaign")) {
      c.campaign = Text(list[i], "campaign", where);
      for (const auto& [other, span] : Field(list[i], "differs", json::value_t::object, where).items()) {
        if (!span.is_array() || span.size() != 2 || !span[0].is_number() || !span[1].is_number() ||
            !(span[0].get<double>() < span[1].get<double>()))
          throw std::runtime_error(where + ".differs." + other + ": not a stretch [begin, end] in seconds");
        c.differs[other] = {span[0].get<double>(), span[1].get<double>()};
      }
    }
    out.push_back(c);
  }
  return out;
}

std::vector<BroadcastOccurrence> Occurrences(const json& p, const char* key, const std::string& where,
                                             std::int64_t samples, const std::set<std::string>& names) {
  std::vector<BroadcastOccurrence> out;
  const json& list = Field(p, key, json::value_t::array, where);
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::string at = where + "." + key + "[" + std::to_string(i) + "]";
    BroadcastOccurrence o;
    o.clip = Text(list[i], "clip", at);
    o.kind = Text(list[i], "kind", at);
    o.begin = Integer(list[i], "begin", at);
    o.length = Integer(list[i], "length", at);
    if (list[i].contains("talk_over_seconds") && list[i]["talk_over_seconds"].is_number())
      o.talkOverSeconds = list[i]["talk_over_seconds"].get<double>();
    if (list[i].contains("seen") && list[i]["seen"].is_number()) o.seen = list[i]["seen"].get<double>();
    if (!(o.seen > 0 && o.seen <= 1)) throw std::runtime_error(at + ": \"seen\" is not a fraction of the clip");
    if (list[i].contains("near_miss_of")) o.nearMissOf = Text(list[i], "near_miss_of", at);
    if (names.count(o.clip) == 0) throw std::runtime_error(at + ": unknown clip \"" + o.clip + "\"");
    if (o.begin < 0 || o.length <= 0 || o.begin + o.length > samples)
      throw std::runtime_error(at + ": " + o.clip + " lies outside its programme");
    out.push_back(o);
  }
  return out;
}

}  // namespace

bool ReadBroadcastManifest(const std::string& dir, BroadcastManifest& manifest, std::string& error) {
  const std::string path = dir + "/manifest.json";
  std::ifstream in(path);
  if (!in) {
    error = path + ": cannot open (make the corpus with tools/eval/broadcast/make_corpus.py)";
    return false;
  }
  try {
    const json m = json::parse(in);
    BroadcastManifest out;
    out.dir = dir;
    out.set = Text(m, "set", "manifest");
    out.quick = m.value("quick", false);
    out.clips = Clips(m, "clips", dir);
    out.nearMisses = Clips(m, "near_misses", dir);
    std::set<std::string> clipNames, nearNames;
    for (const BroadcastClip& c : out.clips) clipNames.insert(c.name);
    for (const BroadcastClip& c : out.nearMisses) nearNames.insert(c.name);
    if (clipNames.size() != out.clips.size()) throw std::runtime_error("clips: two clips of the same name");
    const json& list = Field(m, "programmes", json::value_t::array, "manifest");
    for (std::size_t i = 0; i < list.size(); ++i) {
      const std::string where = "programmes[" + std::to_string(i) + "]";
      BroadcastProgramme p;
      p.file = Resolve(dir, Text(list[i], "file", where));
      p.processing = Text(list[i], "processing", where);
      p.clipFree = Field(list[i], "clip_free", json::value_t::boolean, where).get<bool>();
      p.samples = Integer(list[i], "samples", where);
      p.insertions = Occurrences(list[i], "insertions", where, p.samples, clipNames);
      p.nearMisses = Occurrences(list[i], "near_misses", where, p.samples, nearNames);
      out.programmes.push_back(std::move(p));
    }
    if (out.clips.empty() || out.programmes.empty()) throw std::runtime_error("no clips or no programmes");
    manifest = std::move(out);
    return true;
  } catch (const std::exception& e) {
    error = path + ": " + e.what();
    return false;
  }
}

}  // namespace speval
