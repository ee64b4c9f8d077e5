// The index of coarse spectral shapes (see shape_index.h).
#include "shape_index.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace spindex {

std::vector<std::uint32_t> MakeKeys(const float* levels, std::size_t n, const KeyTuning& tuning) {
  const int bands = tuning.Bands, chunk = tuning.Chunk;
  std::vector<std::uint32_t> keys(n, kNoKey);
  if (levels == nullptr || bands < 1 || chunk < 1 || tuning.Steps * bands > 31) return keys;
  // Floored block levels, their loudest band, and running sums along the blocks.
  std::vector<double> sums((n + 1) * static_cast<std::size_t>(bands), 0.0);
  std::vector<float> peak(n, -1.0e30f);
  for (std::size_t t = 0; t < n; ++t) {
    const float* row = levels + t * static_cast<std::size_t>(bands);
    float top = -1.0e30f;
    for (int b = 0; b < bands; ++b) top = std::max(top, std::isfinite(row[b]) ? row[b] : -120.0f);
    peak[t] = top;
    for (int b = 0; b < bands; ++b) {
      const float v = std::max(std::isfinite(row[b]) ? row[b] : -120.0f, top - tuning.FloorDepth_dB);
      sums[(t + 1) * bands + b] = sums[t * bands + b] + v;
    }
  }
  const std::size_t span = static_cast<std::size_t>(KeySpan(tuning));
  if (n < span) return keys;
  // Loudest band over each key's stretch: a sliding maximum would be exact; the maximum of the
  // chunk peaks is the same thing, taken chunk by chunk.
  std::vector<float> chunkPeak(n, -1.0e30f);
  for (std::size_t t = 0; t + chunk <= n; ++t)
    for (int k = 0; k < chunk; ++k) chunkPeak[t] = std::max(chunkPeak[t], peak[t + k]);
  std::vector<double> mean(static_cast<std::size_t>(bands) * (tuning.Steps + 1));
  for (std::size_t t = 0; t + span <= n; ++t) {
    float loudest = -1.0e30f;
    for (int c = 0; c <= tuning.Steps; ++c) loudest = std::max(loudest, chunkPeak[t + static_cast<std::size_t>(c) * chunk]);
    if (!(loudest >= tuning.Silent_dB)) continue;
    for (int c = 0; c <= tuning.Steps; ++c) {
      const std::size_t from = t + static_cast<std::size_t>(c) * chunk;
      for (int b = 0; b < bands; ++b) mean[c * bands + b] = sums[(from + chunk) * bands + b] - sums[from * bands + b];
    }
    std::uint32_t key = 0;
    for (int c = 0; c < tuning.Steps; ++c)
      for (int b = 0; b < bands; ++b)
        key = (key << 1) | (mean[(c + 1) * bands + b] > mean[c * bands + b] ? 1u : 0u);
    keys[t] = key;
  }
  return keys;
}

std::uint32_t ShapeIndex::Add(const std::vector<std::uint32_t>& keys) {
  const std::uint32_t stream = streams_++;
  for (std::size_t t = 0; t < keys.size(); ++t)
    if (keys[t] != kNoKey) entries_.push_back({keys[t], stream, static_cast<std::uint32_t>(t)});
  built_ = false;
  return stream;
}

void ShapeIndex::Build() {
  std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
    if (a.key != b.key) return a.key < b.key;
    if (a.stream != b.stream) return a.stream < b.stream;
    return a.block < b.block;
  });
  // A table of 2^bits starts, about one posting per slot, up to 2^24 (the key's width).
  tableBits_ = 8;
  while (tableBits_ < 24 && (std::size_t{1} << tableBits_) < entries_.size()) ++tableBits_;
  table_.assign((std::size_t{1} << tableBits_) + 1, 0);
  const int shift = 24 - tableBits_;
  std::size_t e = 0;
  for (std::size_t slot = 0; slot < table_.size(); ++slot) {
    while (e < entries_.size() && (entries_[e].key >> shift) < slot) ++e;
    table_[slot] = static_cast<std::uint32_t>(e);
  }
  built_ = true;
}

std::size_t ShapeIndex::Bytes() const { return entries_.capacity() * sizeof(Entry) + table_.capacity() * sizeof(std::uint32_t); }

std::pair<const ShapeIndex::Entry*, const ShapeIndex::Entry*> ShapeIndex::Find(std::uint32_t key) const {
  if (!built_ || entries_.empty() || key >= (1u << 24)) return {nullptr, nullptr};
  const std::uint32_t slot = key >> (24 - tableBits_);
  const Entry* lo = entries_.data() + table_[slot];
  const Entry* hi = entries_.data() + table_[slot + 1];
  const auto range = std::equal_range(lo, hi, Entry{key, 0, 0}, [](const Entry& a, const Entry& b) { return a.key < b.key; });
  return {range.first, range.second};
}

std::vector<Vote> ShapeIndex::Pairs(const VoteTuning& tuning, std::int64_t minDistance) const {
  std::vector<Vote> votes;
  if (!built_) return votes;
  for (std::size_t i = 0; i < entries_.size();) {
    std::size_t j = i;
    while (j < entries_.size() && entries_[j].key == entries_[i].key) ++j;
    if (j - i >= 2 && j - i <= static_cast<std::size_t>(tuning.MaxPostings)) {
      // Postings are sorted by stream and block: p before q is the earlier position.
      for (std::size_t p = i; p < j; ++p)
        for (std::size_t q = p + 1; q < j; ++q) {
          const Entry& a = entries_[p];
          const Entry& b = entries_[q];
          const std::int64_t offset = static_cast<std::int64_t>(b.block) - static_cast<std::int64_t>(a.block);
          if (a.stream == b.stream && offset < minDistance) continue;
          votes.push_back({a.stream, b.stream, offset, a.block});
        }
    }
    i = j;
  }
  return votes;
}

std::vector<Vote> ShapeIndex::Probe(const std::vector<std::uint32_t>& keys, std::uint32_t query,
                                    const VoteTuning& tuning) const {
  std::vector<Vote> votes;
  for (std::size_t t = 0; t < keys.size(); ++t) {
    if (keys[t] == kNoKey) continue;
    const auto [lo, hi] = Find(keys[t]);
    if (lo == hi || hi - lo > tuning.MaxPostings) continue;
    for (const Entry* e = lo; e != hi; ++e)
      votes.push_back({query, e->stream, static_cast<std::int64_t>(e->block) - static_cast<std::int64_t>(t),
                       static_cast<std::uint32_t>(t)});
  }
  return votes;
}

std::vector<Candidate> Candidates(std::vector<Vote> votes, const VoteTuning& tuning) {
  std::sort(votes.begin(), votes.end(), [](const Vote& a, const Vote& b) {
    if (a.query != b.query) return a.query < b.query;
    if (a.stream != b.stream) return a.stream < b.stream;
    if (a.offset != b.offset) return a.offset < b.offset;
    return a.at < b.at;
  });
  std::vector<Candidate> out;
  for (std::size_t g = 0; g < votes.size();) {
    std::size_t h = g;
    while (h < votes.size() && votes[h].query == votes[g].query && votes[h].stream == votes[g].stream) ++h;
    // The blocks voted for at each offset of this pair of streams.
    std::map<std::int64_t, std::vector<std::uint32_t>> byOffset;
    for (std::size_t v = g; v < h; ++v) byOffset[votes[v].offset].push_back(votes[v].at);
    std::vector<Candidate> runs;
    std::vector<std::uint32_t> merged;
    for (const auto& [offset, ats] : byOffset) {
      merged.clear();
      for (std::int64_t o = offset - 1; o <= offset + 1; ++o) {
        const auto it = byOffset.find(o);
        if (it != byOffset.end()) merged.insert(merged.end(), it->second.begin(), it->second.end());
      }
      if (static_cast<int>(merged.size()) < tuning.MinVotes) continue;
      std::sort(merged.begin(), merged.end());
      std::size_t from = 0;
      for (std::size_t k = 1; k <= merged.size(); ++k) {
        if (k < merged.size() && static_cast<int>(merged[k] - merged[k - 1]) <= tuning.MaxGap) continue;
        if (static_cast<int>(k - from) >= tuning.MinVotes)
          runs.push_back({votes[g].query, votes[g].stream, offset, merged[from], merged[k - 1], static_cast<int>(k - from)});
        from = k;
      }
    }
    // A run also seen from the offsets beside it is kept once, where it has most votes.
    std::sort(runs.begin(), runs.end(), [](const Candidate& a, const Candidate& b) { return a.votes > b.votes; });
    std::map<std::int64_t, std::vector<Candidate>> kept;
    for (const Candidate& r : runs) {
      bool dup = false;
      for (std::int64_t o = r.offset - 2; o <= r.offset + 2 && !dup; ++o) {
        const auto it = kept.find(o);
        if (it == kept.end()) continue;
        for (const Candidate& k : it->second)
          if (r.first <= k.last && k.first <= r.last) dup = true;
      }
      if (!dup) kept[r.offset].push_back(r);
    }
    for (auto& [offset, list] : kept) {
      std::sort(list.begin(), list.end(), [](const Candidate& a, const Candidate& b) { return a.first < b.first; });
      out.insert(out.end(), list.begin(), list.end());
    }
    g = h;
  }
  return out;
}

}  // namespace spindex
