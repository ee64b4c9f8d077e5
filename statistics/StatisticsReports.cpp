// Text reports of the statistics: one measure (ParStat), the five measures (DeviationStat),
// the categories and traceable values of a pattern (PatternStatistics) and of the summary set
// (PatternStatisticsSet). Every line goes to the diagnostic sink on the caller's channel.
#include <cstdarg>
#include <cstdio>

#include "DeviationStat.h"
#include "PatternStatistics.h"
#include "sp_message.h"

namespace {

// Size of the line buffer of the ParStat report.
constexpr std::size_t kParStatLineSize = 512;

// Formats one line of the ParStat report into its own buffer (cut to fit) and sends it.
void ParStatLine(char* buffer, unsigned int channel, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

void ParStatLine(char* buffer, unsigned int channel, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, kParStatLineSize, format, args);
  va_end(args);
  if (n < 0) buffer[0] = 0;
  buffer[kParStatLineSize - 1] = 0;
  OutLogMessage(channel, buffer);
}

// Percentage of part in whole, printed with "%3.3f".
double Percent(sp_ulong part, sp_ulong whole) {
  return static_cast<double>(static_cast<float>(100.0 * static_cast<double>(part) / static_cast<double>(whole)));
}

// Unsigned 32-bit counters print with "%ld" as the 32-bit platform shows them.
long AsLong(sp_ulong value) { return static_cast<long>(static_cast<sp_long>(value)); }

const char* const kCategoryName[5] = {"CATEGORY_RECOGNIZE", "CATEGORY_NEAR_RECOGNIZE",
                                      "CATEGORY_RECOGNIZE_EXACT", "CATEGORY_NEAR_RECOGNIZE_EXACT",
                                      "CATEGORY_NORECOGNIZE"};

}  // namespace

// ---------------------------------------------------------------------------------------
// ParStat

void ParStat::OutParStat(const char* title, unsigned int channel) {
  if (N == 0 || Hist == nullptr) return;
  char line[kParStatLineSize];

  OutLogMessage(channel, "");
  ParStatLine(line, channel, "%s%s%s", CP1251(" Статистика величины "), title != nullptr ? title : "",
              fdB ? ", dBm" : "");
  ParStatLine(line, channel, CP1251("Среднее %12.5e СКО %12.5e N=%ld выборок"), static_cast<double>(Mean),
              static_cast<double>(Variance), AsLong(N));
  ParStatLine(line, channel, "Min %e, Max %e", static_cast<double>(Min), static_cast<double>(Max));
  ParStatLine(line, channel, "NsMin=%ld, NsMax=%ld", AsLong(NsMin), AsLong(NsMax));
  ParStatLine(line, channel, CP1251("Гистограмма в диап. %12.5e, %12.5e"), static_cast<double>(HistLow),
              static_cast<double>(HistHigh));
  const float width = (HistHigh - HistLow) / static_cast<float>(NBins);
  ParStatLine(line, channel, CP1251("Интервал %e"), static_cast<double>(width));
  ParStatLine(line, channel, CP1251("Число выборок < нижней границы  %ld,   %3.3f %c"), AsLong(NBelow),
              Percent(NBelow, N), '%');
  ParStatLine(line, channel, CP1251("Число выборок > верхней границы %ld,   %3.3f %c"), AsLong(NAbove),
              Percent(NAbove, N), '%');
  OutLogMessage(channel, CP1251("Распределение"));

  sp_ulong inRange = N - NBelow - NAbove;
  if (inRange == 0) inRange = 1;
  for (sp_ulong i = 0; i < NBins; ++i) {
    const float lowerEdge = HistLow + static_cast<float>(i) * width;
    if (fdB)
      ParStatLine(line, channel, "%3.3d) %3.3f :%ld  %3.3f %c", static_cast<int>(i), static_cast<double>(lowerEdge),
                  AsLong(Hist[i]), Percent(Hist[i], inRange), '%');
    else
      ParStatLine(line, channel, "%3.3d) %10.3e :%ld  %3.3f %c", static_cast<int>(i),
                  static_cast<double>(lowerEdge), AsLong(Hist[i]), Percent(Hist[i], inRange), '%');
  }
  OutLogMessage(channel, "");
}

// ---------------------------------------------------------------------------------------
// DeviationStat

void DeviationStat::OutStatictics(unsigned int channel) {
  for (int i = 0; i < NumberOfElem; ++i)
    if (fUseElem[i]) Elem[i].OutParStat(GetElemName(i), channel);
}

// ---------------------------------------------------------------------------------------
// PatternStatistics

int PatternStatistics::OutStatitistics(int category, unsigned int channel) {
  if (fInit == 0 || Stat == nullptr || category >= NCategory) return 0;
  const int first = category < 0 ? 0 : category;
  const int last = category < 0 ? NCategory - 1 : category;

  sp::LogLine(channel, "");
  for (int c = first; c <= last; ++c) {
    sp::LogLine(channel, "");
    if (c > CATEGORY_NORECOGNIZE) {
      sp::LogLine(channel, CP1251("OutStatitistics(): ошибка: категория ?"));
      return 0;
    }
    sp::LogLine(channel, kCategoryName[c]);
    for (int e = 0; e < NEst; ++e) {
      sp::LogFormat(channel, "CS%dCE%d EstimationCategory %d", c, e, e);
      Stat[static_cast<std::size_t>(c) * NEst + e].OutStatictics(channel);
    }
  }
  sp::LogLine(channel, "");
  return 1;
}

void PatternStatistics::OutTraceableValues(unsigned int channel) {
  sp::LogLine(channel, "");
  sp::LogLine(channel, CP1251("Traceable values: величины, пригодные для распознавания"));
  if (fInit == 0) {
    sp::LogLine(channel, CP1251("Объект не инициализирован"));
    sp::LogLine(channel, "");
    return;
  }
  const sp_ulong nExact = GetNCases(CATEGORY_RECOGNIZE_EXACT);
  const sp_ulong nOther = GetNCases(CATEGORY_RECOGNIZE);
  if (nExact == 0 && nOther == 0) {
    sp::LogLine(channel, CP1251("Нет случаев распознавания"));
    sp::LogLine(channel, "");
    return;
  }

  for (int pass = 0; pass < 2; ++pass) {
    const int fExact = pass == 0 ? 1 : 0;
    if (fExact) {
      sp::LogFormat(channel, CP1251("Распознавание по заранее известному образцу, %d"), static_cast<int>(nExact));
      if (nExact == 0) continue;
    } else {
      sp::LogFormat(channel, CP1251("Прочие распознавания: %d"), static_cast<int>(nOther));
      if (nOther == 0) continue;
    }

    // Per slot and enabled measure: do the ranges at recognitions and elsewhere overlap?
    int k = 0;
    for (int s = 0; s < NEst; ++s) {
      for (int m = 0; m < DeviationStat::NumberOfElem; ++m) {
        if (!DeviationStat::fUseElem[m]) continue;
        ParStat* rec = nullptr;
        ParStat* no = nullptr;
        const int traceable = IsTraceable(s, m, fExact, &rec, &no);
        ++k;
        if (rec == nullptr || no == nullptr) continue;
        sp::LogFormat(channel, CP1251("%2.2d %s кат. %d  %s"), k, traceable ? "YES" : "NO", s,
                      DeviationStat::GetElemName(m));
        const double recMin = static_cast<double>(rec->Min);
        const double recMax = static_cast<double>(rec->Max);
        const double noMin = static_cast<double>(no->Min);
        const double noMax = static_cast<double>(no->Max);
        // A single recognition value prints alone in the exact listing.
        const bool single = fExact && rec->Min == rec->Max;
        if (rec->fdB) {
          if (single)
            sp::LogFormat(channel, "R(%3.2f), (%3.2f, %3.2f) dBm", recMin, noMin, noMax);
          else
            sp::LogFormat(channel, "R(%3.2f, %3.2f), (%3.2f, %3.2f) dBm", recMin, recMax, noMin, noMax);
        } else {
          if (single)
            sp::LogFormat(channel, "R(%10.4e), (%10.4e, %10.4e)", recMin, noMin, noMax);
          else
            sp::LogFormat(channel, "R(%10.4e, %10.4e), (%10.4e, %10.4e)", recMin, recMax, noMin, noMax);
        }
        sp::LogFormat(channel, "R:NsMin=%ld, Max=%ld; NsMin=%ld", AsLong(rec->NsMin), AsLong(rec->NsMax),
                      AsLong(no->NsMin));
      }
    }
    if (k == 0) sp::LogLine(channel, CP1251("нет величин"));
  }
  sp::LogLine(channel, "");
}

// ---------------------------------------------------------------------------------------
// PatternStatisticsSet

int PatternStatisticsSet::OutStatitistics(int category, int member, unsigned int channel) {
  if (N <= 0 || Item == nullptr || member >= N) return 0;
  const int first = member < 0 ? 0 : member;
  const int last = member < 0 ? N - 1 : member;
  for (int v = first; v <= last; ++v) {
    if (Name != nullptr && Name[v] != nullptr) OutLogMessage(channel, Name[v]);
    Item[v].OutStatitistics(category, channel);
  }
  return 1;
}

int PatternStatisticsSet::OutTraceableValues(int member, unsigned int channel) {
  if (N <= 0 || Item == nullptr || member >= N) return 0;
  const int first = member < 0 ? 0 : member;
  const int last = member < 0 ? N - 1 : member;
  for (int v = first; v <= last; ++v) {
    if (Name != nullptr && Name[v] != nullptr) OutLogMessage(channel, Name[v]);
    Item[v].OutTraceableValues(channel);
  }
  return 1;
}
