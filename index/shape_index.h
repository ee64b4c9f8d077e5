// An index of coarse spectral shapes: keys made from the time-spectrum (the engine's band levels
// per time block), an inverted index from key to (stream, block), and probing that turns shared
// keys into candidate alignments voted by a consistent time difference.
//
// A key describes about 0.2 s of sound by the direction its band levels move: the levels of
// every band are averaged over chunks of 4 time blocks (each block floored 40 dB under its
// loudest band, as the pre-selection does), and the key holds, for each of 8 bands, whether the
// level rises or falls from one chunk to the next over three steps: 24 bits. Directions of change
// survive what a station's processing does to a clip (equalisation, level, compression, codecs)
// far better than levels do; a copy of a clip shares a good part of its keys with the original at
// the same offset, while two unrelated sounds share keys at scattered offsets only. Keys are
// made at every time block; a block whose stretch is silent gets none.
//
// Candidates are found by voting: every key a query shares with the index gives a vote for the
// offset between the two positions; runs of votes at one offset are candidate alignments, to be
// verified with an exact distance by the caller. The index is used two ways:
//  - Pairs(): every stream against every other (and itself), for the discovery of repeats;
//  - Probe(): a query (a stream's newest blocks, or a whole input) against the indexed streams,
//    for a pre-selection of patterns by their keys.
// Keys that occur more than MaxPostings times (silence, steady tones, hum) carry no information
// about where they came from and are not voted on.
#ifndef SP_INDEX_SHAPE_INDEX_H
#define SP_INDEX_SHAPE_INDEX_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace spindex {

constexpr std::uint32_t kNoKey = 0xFFFFFFFFu;

struct KeyTuning {
  int Bands = 8;               // bands of a time block
  int Chunk = 4;               // time blocks averaged into a chunk
  int Steps = 3;               // chunk-to-chunk steps in a key (Steps * Bands <= 31 bits)
  float FloorDepth_dB = 40.0f; // each block floored this far under its loudest band
  float Silent_dB = -70.0f;    // a stretch whose loudest band stays under this gets no key
};

// Keys of a time-spectrum: levels in dB, n time blocks x tuning.Bands, oldest first. Key t
// describes blocks t .. t + Span() - 1; the last Span() - 1 blocks get kNoKey, as do silent ones.
std::vector<std::uint32_t> MakeKeys(const float* levels, std::size_t n, const KeyTuning& tuning = {});
// Time blocks one key covers.
inline int KeySpan(const KeyTuning& tuning = {}) { return tuning.Chunk * (tuning.Steps + 1); }

// A vote: the key at query block `at` was found in stream `stream` at block `at + offset`.
struct Vote {
  std::uint32_t query = 0;   // the query stream (Pairs: the earlier of the two)
  std::uint32_t stream = 0;  // the indexed stream
  std::int64_t offset = 0;   // block in stream - block in query
  std::uint32_t at = 0;      // block in the query
};

// A run of votes at one offset: a candidate alignment of query blocks first..last with stream
// blocks first + offset .. last + offset.
struct Candidate {
  std::uint32_t query = 0, stream = 0;
  std::int64_t offset = 0;
  std::uint32_t first = 0, last = 0;
  int votes = 0;
};

struct VoteTuning {
  int MinVotes = 4;      // votes a run needs
  int MaxGap = 77;       // time blocks (1 s) between votes of one run
  int MaxPostings = 48;  // keys found more often than this are not voted on
};

class ShapeIndex {
 public:
  // Adds a stream's keys (MakeKeys) and returns its number. Streams are numbered from 0 in the
  // order they are added; Build must be called after the last one and before any query.
  std::uint32_t Add(const std::vector<std::uint32_t>& keys);
  void Build();

  std::uint32_t Streams() const { return streams_; }
  std::size_t Postings() const { return entries_.size(); }
  // Bytes held (postings and the key table).
  std::size_t Bytes() const;

  // Every pair of positions that share a key, in the same stream or in two, as votes (query the
  // earlier position: lower stream, or the same stream and an earlier block). Pairs in one stream
  // closer than minDistance blocks are left out (a sound that repeats itself within itself).
  std::vector<Vote> Pairs(const VoteTuning& tuning, std::int64_t minDistance) const;
  // The votes of a query's keys against every indexed stream (query number: `query`).
  std::vector<Vote> Probe(const std::vector<std::uint32_t>& keys, std::uint32_t query, const VoteTuning& tuning) const;

 private:
  struct Entry {
    std::uint32_t key, stream, block;
  };
  // The postings of one key (empty when there are none).
  std::pair<const Entry*, const Entry*> Find(std::uint32_t key) const;

  std::vector<Entry> entries_;  // sorted by key, then stream and block
  std::vector<std::uint32_t> table_;  // by the key's top bits: where its postings start
  int tableBits_ = 0;
  std::uint32_t streams_ = 0;
  bool built_ = false;
};

// Runs of votes at one offset (votes sorted here), with the offsets one block either side
// counted in (sub-block alignment moves a copy's keys by a block now and then); runs with fewer
// than MinVotes votes are dropped. Sorted by query, stream, offset and first block.
std::vector<Candidate> Candidates(std::vector<Vote> votes, const VoteTuning& tuning);

}  // namespace spindex

#endif
