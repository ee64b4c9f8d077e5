// The relatives among the patterns and the version arbiter behind them (relatives_holder.h).
#include "relatives_holder.h"

#include <utility>

#include "content_table.h"
#include "fnv1a.h"
#include "relatives.h"
#include "version_arbiter.h"

namespace {
spdet::ContentTable<spdet::Relatives>& KinTable() {
  static spdet::ContentTable<spdet::Relatives> table;
  return table;
}
}  // namespace

spdet::RelativesHolder::RelativesHolder() = default;
spdet::RelativesHolder::~RelativesHolder() = default;

void spdet::RelativesHolder::SetUp(std::vector<PatternLevels> levels, std::vector<const char*> names, const Geometry& g,
                                   const std::string& cacheDirectory) {
  blockSamples_ = g.blockSamples;
  // The relations depend on the patterns' levels, in order, and the geometry; keyed by those (and
  // the cache directory) and checked with a second hash of the levels.
  Fnv1a key, check;
  key.Value(g.nband);
  key.Value(g.blocksPerSecond);
  key.Value(levels.size());
  key.Bytes(cacheDirectory.data(), cacheDirectory.size());
  for (const PatternLevels& p : levels) {
    const std::size_t bytes =
        p.levels != nullptr && p.nblock > 0 ? sizeof(float) * static_cast<std::size_t>(p.nblock) * static_cast<std::size_t>(g.nband) : 0;
    key.Value(p.nblock);
    key.Value(p.compared);
    key.Value(WordHashOf(p.levels, bytes));
    check.Value(Fnv1aOf(p.levels, bytes));
  }
  kin_ = KinTable().Get(key.h, check.h, [&] {
    auto found = std::make_shared<Relatives>();
    found->Find(levels, g.nband, g.blocksPerSecond, cacheDirectory);
    return found;
  });
  arbiter_ = std::make_unique<VersionArbiter>();
  arbiter_->SetUp(kin_.get(), std::move(levels), std::move(names),
                  {g.nband, g.blockSamples, g.delaySamples, g.blocksPerSecond});
}

bool spdet::RelativesHolder::Active() const { return arbiter_ != nullptr && arbiter_->Active(); }

void spdet::RelativesHolder::Reset(std::int64_t origin) {
  if (arbiter_ != nullptr) arbiter_->Reset(origin);
}

void spdet::RelativesHolder::Push(const float* levels, std::int64_t blocks) {
  if (Active()) arbiter_->Push(levels, blocks);
}

bool spdet::RelativesHolder::Take(const DetectorReport& r) {
  if (arbiter_ == nullptr || !arbiter_->Wants(r)) return false;
  arbiter_->Hold(r);
  return true;
}

void spdet::RelativesHolder::Release(bool all, const std::function<void(const DetectorReport&)>& store) {
  if (Active()) arbiter_->Release(all, store);
}

int spdet::RelativesHolder::Count(int i) const { return kin_ != nullptr ? static_cast<int>(kin_->Of(i).size()) : 0; }

int spdet::RelativesHolder::Get(int i, int k, DetectorRelative& out) const {
  if (k < 0 || k >= Count(i)) return 0;
  const Relation& r = kin_->Of(i)[static_cast<std::size_t>(k)];
  out.Pattern = r.other;
  out.Shared = r.shared;
  out.Apart = r.apart;
  out.DifferBegin = static_cast<std::int64_t>(r.differBegin) * blockSamples_;
  out.DifferEnd = static_cast<std::int64_t>(r.differEnd) * blockSamples_;
  out.Offset = static_cast<std::int64_t>(r.offset) * blockSamples_;
  out.Indistinct = kin_->Indistinct(r) ? 1 : 0;
  return 1;
}
