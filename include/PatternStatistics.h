// Per-pattern recognition statistics with their categories, and the set of them that sums
// all patterns.
#ifndef SP_PATTERNSTATISTICS_H
#define SP_PATTERNSTATISTICS_H

#include "DeviationStat.h"
#include "sp_types.h"

enum {
  CATEGORY_RECOGNIZE = 0,
  CATEGORY_NEAR_RECOGNIZE = 1,
  CATEGORY_RECOGNIZE_EXACT = 2,
  CATEGORY_NEAR_RECOGNIZE_EXACT = 3,
  CATEGORY_NORECOGNIZE = 4
};

class PatternStatisticsSet;

class PatternStatistics {
 public:
  int fInit;
  int NEst;                 // estimate slots per row: Nband + 1
  int Depth;                // half-width of the window, in time blocks
  int NRow;                 // 2*Depth + 1
  int CurRow;
  int NCategory;            // at least 5
  DeviationEst* EstRing;    // NRow*NEst, owned
  DeviationStat* Stat;      // NCategory*NEst, owned
  DeviationEst* CurEst;     // first entry of row CurRow
  PatternStatisticsSet* Linked;  // not owned

  PatternStatistics();
  PatternStatistics(int NEst, int NCategory, unsigned int Depth);
  ~PatternStatistics();
  PatternStatistics(const PatternStatistics&) = delete;
  PatternStatistics& operator=(const PatternStatistics&) = delete;

  void Release();
  int Init(int NEst, int NCategory, unsigned int Depth);
  void RealizeStatitistics(const unsigned short* code);
  ParStat* GetParStat(int category, int slot, int measure);
  sp_ulong GetNCases(int category);
  int IsTraceable(int slot, int measure, int fExact, ParStat** pRec, ParStat** pNo);
  int OutStatitistics(int category, unsigned int channel);
  void OutTraceableValues(unsigned int channel);

 protected:
  // Includes row `row` of EstRing in `category`, marks it included and passes it on to the
  // enabled members of Linked.
  void IncludeRow(int row, int category);
  // Includes a row of nEntries estimates (from another object) in `category`: slots
  // 0 .. min(NEst, nEntries) - 1, then passes it on to this object's own Linked set.
  void IncludeEstimates(const DeviationEst* row, int nEntries, int category);
};

class PatternStatisticsSet {
 public:
  int N;
  PatternStatistics* Item;  // N, owned
  int* fUse;                // N, owned
  char** Name;              // N owned titles (null when none)

  PatternStatisticsSet();
  ~PatternStatisticsSet();
  PatternStatisticsSet(const PatternStatisticsSet&) = delete;
  PatternStatisticsSet& operator=(const PatternStatisticsSet&) = delete;

  void Release();
  int Init(int n, const PatternStatistics* proto);
  int SetItem(int v, int flag, const char* title);
  bool IsNotEmpty() const { return N > 0; }
  int OutStatitistics(int category, int member, unsigned int channel);
  int OutTraceableValues(int member, unsigned int channel);
};

#endif
