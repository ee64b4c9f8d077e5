// SignalPattern: the class clients use to create patterns and recognise them in a stream, and
// the one header a client includes: the rest of the library's interface follows the class.
#ifndef SP_SIGNALPATTERN_H
#define SP_SIGNALPATTERN_H

#include "PatternStatistics.h"
#include "TimeSpectrumEstimation.h"
#include "sp_types.h"

// Sample formats of Pattern and CreatePattern.
constexpr unsigned int SP_SAMPLE_S16 = 1;        // signed 16-bit little-endian
constexpr unsigned int SP_SAMPLE_S32_LOW = 2;    // low half of a 32-bit word (first stereo channel)
constexpr unsigned int SP_SAMPLE_S32_HIGH = 4;   // high half of a 32-bit word (second stereo channel)

// Threads: every operation runs in the caller's thread; one object must not be used from two
// threads at once, while separate objects may run in separate threads. The message buffer of
// the diagnostic lines, the text returned by GetVersionName and the measure-name buffer of
// DeviationStat::GetElemName are per thread. What stays
// process-wide and unsynchronised: the measure switches DeviationStat::fUseElem (changed by
// SetflagUseElemInStatistics for every object) and the object counter DeviationStat::NObject,
// the constant DefaultAmpRangesPar (only
// read) and the installed sink handler (SetOutLogMessageHandler, guarded by the library).
//
// Copies: a copy is an independent recognizer in the same state (buffers, patterns and filter
// rings duplicated; an open test-data file stays with the source). The summary statistics are
// not duplicated: a copy starts with an empty GeneralStatistics and, when it is in recognition
// mode with statistics, builds a fresh one linked to its own per-pattern statistics.
class SP_API SignalPattern : public TimeSpectrumEstimation {
 public:
  float SampleScale;                       // 1/32767
  PatternStatisticsSet GeneralStatistics;  // summary over all patterns

  SignalPattern();
  ~SignalPattern();
  SignalPattern(const SignalPattern& other);
  SignalPattern& operator=(const SignalPattern& other);

  int InitSignalPattern(unsigned int Mode, int NsampleMax, int fOutInfo);
  int InitSignalPattern(SigRecognitionPar* Par);
  void UnloadSignalPatternObj(int fAll, int fStat);
  int GetLinearVersionNumber();
  char* GetVersionName();
  int Pattern(int Nsample, void* Data, unsigned int SampleFormat, int* Reserved);
  int CreatePattern(sp_ulong Nsample, sp_ulong NumSampBegin, sp_ulong NumSampEnd, void* Data,
                    unsigned int SampleFormat, char* FileName, float Fs, unsigned int Mode);

  // ---- recognition controls and accessors
  void SetFlagUsePattern(int n, int f);
  static int SetflagUseElemInStatistics(int n, int f);
  int ChangeRecognizeParam(SigRecognitionPar* Par);
  int ChangeThresholdParam(float TresholdRelDeviation, float TresholdRelDeviationMPB);
  void GetDiapasoneRecognizeParam(float* pMin, float* pMax, int n);
  void ResetMonitoring();
  float DefineMaxCreatedPatternDuration(float Duration);
  sp_long GetNsDelay();
  float GetTresholdRelDeviation();
  float GetTresholdRelDeviationMPB();
  void ResetStatistics(int f);
  SignalTVSEx** GetTVS();
  int GetTVSCount();
  RecognizeParam* GetRecognizeParam();

  // ---- reports
  void OutStatictics(unsigned int channel);
  void OutTraceableValues(unsigned int channel);
  void OutGeneralStatictics(unsigned int channel);
  void OutGeneralTraceableValues(unsigned int channel);

 protected:
  void InitGeneralStatistics() override;
};


// The rest of the library's interface.
#include "sp_platform.h"
#include "sp_log.h"
#include "sp_helpers.h"
#include "DFTFilter.h"
#include "IirBiq.h"
#include "RecognitionParams.h"
#include "SignalTVS.h"
#include "DeviationStat.h"
#include "PatternMaker.h"
#include "RecognitionStream.h"
#include "SpeedVariantName.h"
#include "PatternDetector.h"

#endif
