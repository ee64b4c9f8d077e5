// Per-pattern recognition statistics: a window of estimate rows around marked blocks, sorted
// into categories and accumulated per category and estimate slot; and the set of such objects
// that sums the inclusions of all patterns.
#include "PatternStatistics.h"

#include <climits>
#include <cstring>
#include <new>

#include "sp_message.h"

namespace {

constexpr unsigned short kFlagFilled = 0x1;
constexpr unsigned short kFlagRecognition = 0x2;
constexpr unsigned short kFlagKnownPosition = 0x4;
constexpr unsigned short kFlagIncluded = 0x8;

constexpr int kMinCategories = 5;

}  // namespace

// ---------------------------------------------------------------------------------------
// PatternStatistics

PatternStatistics::PatternStatistics()
    : fInit(0),
      NEst(0),
      Depth(0),
      NRow(0),
      CurRow(0),
      NCategory(0),
      EstRing(nullptr),
      Stat(nullptr),
      CurEst(nullptr),
      Linked(nullptr) {}

PatternStatistics::PatternStatistics(int nEst, int nCategory, unsigned int depth) : PatternStatistics() {
  Init(nEst, nCategory, depth);
}

PatternStatistics::~PatternStatistics() { Release(); }

void PatternStatistics::Release() {
  delete[] EstRing;
  EstRing = nullptr;
  delete[] Stat;  // each DeviationStat releases its histograms
  Stat = nullptr;
  CurEst = nullptr;
  Linked = nullptr;
  fInit = 0;
  NEst = 0;
  Depth = 0;
  NRow = 0;
  CurRow = 0;
  NCategory = 0;
}

int PatternStatistics::Init(int nEst, int nCategory, unsigned int depth) {
  Release();
  if (nEst < 1 || static_cast<int>(depth) < 0) {
    sp::LogLine(0, CP1251("PatternStatistics(...): ошибка во вх. параметрах"));
    return 0;
  }
  NEst = nEst;
  NCategory = nCategory > kMinCategories ? nCategory : kMinCategories;
  Depth = static_cast<int>(depth);

  // Sizes that cannot even be represented are treated like memory that cannot be obtained.
  const long long nRow = 2LL * Depth + 1;
  const long long ringSize = nRow * NEst;
  const long long statSize = static_cast<long long>(NCategory) * NEst;
  if (nRow > INT_MAX || ringSize > INT_MAX || statSize > INT_MAX) {
    Release();
    sp::LogLine(0, CP1251("PatternStatistics(): не выделить память"));
    return 0;
  }
  NRow = static_cast<int>(nRow);

  EstRing = new (std::nothrow) DeviationEst[static_cast<std::size_t>(ringSize)]();
  if (EstRing == nullptr) {
    Release();
    sp::LogLine(0, CP1251("PatternStatistics(): не выделить память"));
    return 0;
  }
  Stat = new (std::nothrow) DeviationStat[static_cast<std::size_t>(statSize)];
  if (Stat == nullptr) {
    Release();
    sp::LogLine(0, CP1251("PatternStatistics(): не выделить память"));
    return 0;
  }
  CurRow = 0;
  CurEst = EstRing;
  fInit = 1;
  return 1;
}

void PatternStatistics::RealizeStatitistics(const unsigned short* code) {
  if (fInit == 0) {
    sp::LogLine(0, CP1251("RealizeStatitistics(): объект не инициализирован"));
    return;
  }
  DeviationEst* row = EstRing + static_cast<std::size_t>(CurRow) * NEst;
  if (code != nullptr)
    for (int e = 0; e < NEst; ++e) row[e].Flags = *code;
  for (int e = 0; e < NEst; ++e) row[e].Flags |= kFlagFilled;

  // The oldest row of the window (filled NRow - 1 blocks ago) leaves it now; the middle row
  // decides whether the whole window goes to a recognition category or the oldest row alone
  // to the no-recognition category. Only the first entry of a row carries the decision.
  const int oldest = (CurRow + 1) % NRow;
  const unsigned short oldestFlags = EstRing[static_cast<std::size_t>(oldest) * NEst].Flags;
  if ((oldestFlags & kFlagFilled) != 0 && (oldestFlags & kFlagIncluded) == 0) {
    const int middle = (oldest + Depth) % NRow;
    const unsigned short middleFlags = EstRing[static_cast<std::size_t>(middle) * NEst].Flags;
    if ((middleFlags & (kFlagKnownPosition | kFlagRecognition)) != 0) {
      int centre = CATEGORY_RECOGNIZE;
      int near = CATEGORY_NEAR_RECOGNIZE;
      if ((middleFlags & kFlagKnownPosition) != 0) {
        centre = CATEGORY_RECOGNIZE_EXACT;
        near = CATEGORY_NEAR_RECOGNIZE_EXACT;
      }
      for (int r = 0; r < NRow; ++r) IncludeRow(r, r == middle ? centre : near);
    } else {
      IncludeRow(oldest, CATEGORY_NORECOGNIZE);
    }
  }

  CurRow = (CurRow + 1) % NRow;
  CurEst = EstRing + static_cast<std::size_t>(CurRow) * NEst;
  for (int e = 0; e < NEst; ++e) CurEst[e].Flags = 0;
}

void PatternStatistics::IncludeRow(int row, int category) {
  DeviationEst* entries = EstRing + static_cast<std::size_t>(row) * NEst;
  DeviationStat* stat = Stat + static_cast<std::size_t>(category) * NEst;
  for (int e = 0; e < NEst; ++e) stat[e].IncludeData(&entries[e]);
  for (int e = 0; e < NEst; ++e) entries[e].Flags |= kFlagIncluded;
  if (Linked == nullptr) return;
  for (int v = 0; v < Linked->N; ++v)
    if (Linked->fUse[v] != 0) Linked->Item[v].IncludeEstimates(entries, NEst, category);
}

void PatternStatistics::IncludeEstimates(const DeviationEst* row, int nEntries, int category) {
  // Members of a summary set are made with the patterns' slot count; a member with more
  // slots than the row holds takes only the slots the row has.
  if (fInit == 0 || row == nullptr || category < 0 || category >= NCategory) return;
  const int n = nEntries < NEst ? nEntries : NEst;
  DeviationStat* stat = Stat + static_cast<std::size_t>(category) * NEst;
  // IncludeData only reads the record.
  for (int e = 0; e < n; ++e) stat[e].IncludeData(const_cast<DeviationEst*>(&row[e]));
  if (Linked == nullptr) return;
  for (int v = 0; v < Linked->N; ++v)
    if (Linked->fUse[v] != 0) Linked->Item[v].IncludeEstimates(row, nEntries, category);
}

ParStat* PatternStatistics::GetParStat(int category, int slot, int measure) {
  if (fInit == 0 || Stat == nullptr) return nullptr;
  if (category < 0 || category >= NCategory || slot < 0 || slot >= NEst || measure < 0 ||
      measure >= DeviationStat::NumberOfElem)
    return nullptr;
  return &Stat[static_cast<std::size_t>(category) * NEst + slot].Elem[measure];
}

sp_ulong PatternStatistics::GetNCases(int category) {
  if (fInit == 0 || Stat == nullptr || category < 0 || category >= NCategory) return 0;
  return Stat[static_cast<std::size_t>(category) * NEst].GetNSampleInStatictics(0);
}

int PatternStatistics::IsTraceable(int slot, int measure, int fExact, ParStat** pRec, ParStat** pNo) {
  if (pRec != nullptr) *pRec = nullptr;
  if (pNo != nullptr) *pNo = nullptr;
  if (fInit == 0 || Stat == nullptr || slot < 0 || slot >= NEst || measure < 0 ||
      measure >= DeviationStat::NumberOfElem)
    return 0;
  const int recognitionCategory = fExact != 0 ? CATEGORY_RECOGNIZE_EXACT : CATEGORY_RECOGNIZE;
  DeviationStat& a = Stat[static_cast<std::size_t>(recognitionCategory) * NEst + slot];
  DeviationStat& b = Stat[static_cast<std::size_t>(CATEGORY_NORECOGNIZE) * NEst + slot];
  if (a.GetNSampleInStatictics(measure) == 0 || b.GetNSampleInStatictics(measure) == 0) return 0;
  // Traceable: the ranges at recognitions and elsewhere do not overlap.
  return a.IntersectionOfIntervals(&b, measure, pRec, pNo) == 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------------------
// PatternStatisticsSet

PatternStatisticsSet::PatternStatisticsSet() : N(0), Item(nullptr), fUse(nullptr), Name(nullptr) {}

PatternStatisticsSet::~PatternStatisticsSet() { Release(); }

void PatternStatisticsSet::Release() {
  delete[] Item;
  Item = nullptr;
  delete[] fUse;
  fUse = nullptr;
  if (Name != nullptr) {
    for (int v = 0; v < N; ++v) delete[] Name[v];
    delete[] Name;
    Name = nullptr;
  }
  N = 0;
}

int PatternStatisticsSet::Init(int n, const PatternStatistics* proto) {
  // The prototype's geometry is read before the release, in case it is one of our members.
  int nEst = 0;
  int nCategory = 0;
  int depth = 0;
  if (proto != nullptr) {
    nEst = proto->NEst;
    nCategory = proto->NCategory;
    depth = proto->Depth;
  }
  Release();
  if (n < 1 || proto == nullptr) return 0;
  N = n;
  Item = new (std::nothrow) PatternStatistics[n];
  fUse = new (std::nothrow) int[n];
  Name = new (std::nothrow) char*[n]();  // null titles, so that a partial set releases cleanly
  if (Item == nullptr || fUse == nullptr || Name == nullptr) {
    Release();
    return 0;
  }
  for (int v = 0; v < n; ++v) {
    fUse[v] = 1;
    Name[v] = nullptr;
    if (Item[v].Init(nEst, nCategory, static_cast<unsigned int>(depth)) == 0) {
      Release();
      return 0;
    }
  }
  return 1;
}

int PatternStatisticsSet::SetItem(int v, int flag, const char* title) {
  if (N <= 0 || v < 0 || v >= N) return 0;
  fUse[v] = flag;
  if (title != nullptr) {
    std::size_t length = std::strlen(title);
    char* copy = new (std::nothrow) char[length + 1];
    if (copy == nullptr) return 0;  // the flag is stored, the earlier title is kept
    std::memcpy(copy, title, length + 1);
    delete[] Name[v];
    Name[v] = copy;
  }
  return 1;
}
