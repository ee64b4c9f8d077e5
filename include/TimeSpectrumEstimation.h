// The time-spectrum engine: pre-filter, DFT filter bank, rings of band powers, pattern
// creation, recognition set-up, matching, threshold estimation and test-data recording.
#ifndef SP_TIMESPECTRUMESTIMATION_H
#define SP_TIMESPECTRUMESTIMATION_H

#include <cstdint>

#include "DFTFilter.h"
#include "DeviationStat.h"
#include "RecognitionParams.h"
#include "SignalTVS.h"
#include "sp_platform.h"
#include "sp_types.h"

// Acceleration bits of the mode word: which bands the filter bank computes.
constexpr sp_ulong SP_MODE_ALL_BANDS = 0x20000;
constexpr sp_ulong SP_MODE_HALF_BANDS = 0x40000;
constexpr sp_ulong SP_MODE_QUARTER_BANDS = 0x80000;
constexpr sp_ulong SP_MODE_BAND0_ONLY = 0x100000;

namespace sp {
class InterleavedPrefilter;
class MatchingLayout;
}  // namespace sp

// One time block as the engine hands it to its observers: the frame powers it averaged, the
// block itself and where the engine stands. Read-only, valid during the observer call.
struct TimeBlockView {
  int Nband = 0;
  int NsampleBlock = 0;               // input samples per time block
  int FramesPerHop = 0;               // filter-bank frames per time block
  int FramesAveraged = 0;             // frames averaged into a block (rows of FramePowers)
  const float* FramePowers = nullptr; // FramesAveraged rows of Nband band powers, a ring
  int NewestFrame = 0;                // row of the newest frame in FramePowers
  float FrameScale = 0.0f;            // what the sum of the rows is multiplied by for a block
  const float* Block = nullptr;       // Nband band powers of the newest time block
  sp_ulong Position = 0;              // the engine's input sample count after the block
};

class SP_API TimeSpectrumEstimation : public DFTFilter {
 public:
  static const int VersionNumber = 5;

  int fInitialized;
  int fOutInfo;
  sp_ulong Mode;
  int NdecIn;
  int Nbiq;
  float* BiqCoef;               // 5*Nbiq
  float* BiqState;              // 2*Nbiq
  int NframeAvg;
  float* DftPowRing;            // NframeAvg rows of Nband
  int DftPowRingPos;
  int NframeHop;
  int FrameInHop;
  float InvNframeAvg;
  int Nblock;                   // time blocks in TimeSpectrum
  float* TimeSpectrum;          // Nblock rows of Nband
  float* TimeSpectrumWork;      // 3*NTimeSpectrum
  int NTimeSpectrum;
  int NblockCur;
  int NsampleMax;
  float* SampleBuf;             // NsampleMax
  float* FilteredBuf;           // NsampleMax
  int NsampleBlock;
  sp_ulong NCurrentSample;
  sp_ulong NCurrentSampleRel;
  sp_long NsDelay;
  sp_long NSampleCreateOffset;
  int fCreatePatternMode;
  int fCreatedPattern;
  int fRecognitionMode;
  int fRecognized;
  sp_long NumSampEnd;
  sp_long NumSampBegin;
  char* InputFileName;
  sp_ulong InputReserved[2];
  int NblockCreate;
  char* PatternFileName;
  SignalTVSEx CreatedTVS;
  float* CreateBuf;             // NblockCreate*Nband
  float* BandLevelCur;          // Nband
  float* BandLevelRecognized;   // Nband
  float MaxCreatedPatternDuration;
  float BandMeanCur;
  int NPattern;
  SignalTVSEx** TVS;            // NPattern + 1, last null
  int* ReOrderPatternNumbers;
  float LevNoise;
  int AccelerationRegime;
  int NblockMin;
  int NRecognize;
  int LastRecognizedPattern;
  SigRecognitionBase RecPar;
  RecognizeParam MonitorParam;
  float LevelGain;
  int fNewRecognizeParam;
  SigRecognitionPar NewRecognitionPar;
  char* TestDataFileName;
  HANDLE hTestDataFile;
  int StatHalfWidth;
  sp_ulong NSampleOffset;
  sp_long RecognizedBegin;
  sp_long RecognizedEnd;
  // Working sums of RelativeDeviation1 (sum of p^2 and of c*p over the counted samples).
  float SumPatternSq;
  float SumCurrentPattern;
  // The loaded patterns laid out for matching many of them side by side (PrepareMatching);
  // null when they are matched one by one. Owned; dropped by every initialisation, release
  // and copy. Not part of the engine's state: the results are the same without it.
  sp::MatchingLayout* Layout;

  // Observation points for decision layers built on top of the engine: called after every time
  // block in recognition mode, once the block has been matched, monitored and recorded, with the
  // block as a read-only view (TimeBlockView). They only observe; the engine's own results do
  // not depend on them. Up to kMaxBlockObservers; the one added last is called first, so that a
  // layer attached on top of an engine's owner (a detector on a RecognitionStream's engine) has
  // its results ready when the owner's observer runs. Not carried over by a copy.
  typedef void (*TimeBlockObserver)(void* context, const TimeBlockView& block);
  static const int kMaxBlockObservers = 4;
  TimeBlockObserver BlockObservers[kMaxBlockObservers];
  void* BlockObserverContexts[kMaxBlockObservers];
  int NBlockObservers;
  // Adds an observer (1), or returns 0 when the list is full or observer is null. Adding one that
  // is already there moves it to the front.
  int AddTimeBlockObserver(TimeBlockObserver observer, void* context);
  // Removes the observer with that context (no-op when absent).
  void RemoveTimeBlockObserver(TimeBlockObserver observer, void* context);
  // The last time block made, as the observers saw it (its geometry before the first one).
  TimeBlockView CurrentTimeBlock() const;
  // Changes with every initialisation and release (and so with every set-up and assignment): a
  // layer that prepared itself for one set-up (PatternDetector) compares it with the value it
  // saw then to know that the engine was set up again. Not carried over by a copy.
  std::uint64_t SetUpGeneration;
  // The deviations RecognizePattern gives pattern i (RelDev, RelDevMPB) at the current time
  // block, computed on request, bit for bit, with nothing changed: for a caller that needs them
  // only now and then while the pattern's own comparison is switched off (statistics off).
  // Valid from RecognizePattern (the observers) to the next block. Returns 0 without a pattern i.
  int DeviationsNow(int i, float* relDev, float* relDevMpb) const;

  // ---- lifecycle and low-level initialisation
  TimeSpectrumEstimation();
  ~TimeSpectrumEstimation();
  TimeSpectrumEstimation(const TimeSpectrumEstimation& other);
  TimeSpectrumEstimation& operator=(const TimeSpectrumEstimation& other);

  void UnloadTimeSpectrumObj(int fAll);
  int InitTimeSpectrumEst(int NdecIn, int Nbiq, float* BiqCoef, int Ndft, int Nwin, float* Win,
                          int NframeAvg, int NframeHop, float Duration, float Fs, int NsampleMax,
                          int fOutInfo, int NblockPattern);
  int InitTimeSpectrumEst(sp_ulong Mode, int NsampleMax, int fOutInfo, int NblockPattern);
  // Recognition set-up from a client parameter record.
  int InitTimeSpectrumEst(SigRecognitionPar* par);

  // ---- block pipeline
  int TimeSpectrumEst(sp_long Nsample, float* In);

  // ---- pattern creation
  int SetCreatePatternMode(sp_long NumSampBegin, sp_long NumSampEnd, char* inputFile, char* extension);
  int SetOutputPatternFileName(char* name);
  int SetOutputPatternFileName(char* name, int number);

  // ---- getters
  int GetFlagCreatedPattern();
  char* GetPatternFileName();
  int GetNRecognize();
  int GetLastRecognizedPatternNumber();
  char* GetLastRecognizedPatternFileName();
  int GetNsampleForBlockOfTestData();

  // ---- recognition data, thresholds
  int OutRangesOfPattern(int pattern, unsigned int channel);
  int CalcTresholdEstimation(int pattern, float* pShift, float* pNoise, float* pShiftNoise,
                             float* pMaxShift, float level_dB, int band);

  // ---- test data
  int OpenForReadTestData();
  void* ReadTestData(sp_ulong sample);
  void CloseReadTestData();

  // ---- pattern file operations
  int WriteFileTVSHeader(void* file, SignalTVSEx* rec);
  int WriteSizeOfTvsFileNullSectionToHeader(void* file, sp_ulong size);
  sp_ulong WriteSectionHeader(void* file, unsigned short number);
  int EndWriteOfSection(void* file, sp_ulong start);
  int WriteSectionInputFileNameUnderPatternCreation(void* file, unsigned short number);
  int ReadFileTVSHeader(void* file, SignalTVSEx* rec);
  int LoadRecognizePattern(char* file, SignalTVSEx* rec);

 protected:
  virtual void InitGeneralStatistics();
  void SetAccelerationRegime(sp_ulong Mode);
  void SetNewRecognizeParam();
  TimeBlockView BlockView(int row) const;  // the view with time block `row` as the newest

  int SetPatternInterval(sp_long begin, sp_long end);
  int CreateSignalPattern(int& done);
  int WriteCurrentSpectrumSamples(float* dst, int count);
  // Writes the pattern just made (CreatedTVS, BandLevelCur and NblockCreate blocks of
  // CreateBuf) to the open file; null when all of it is written, else the message that names
  // the part that was not. The file's layout is PatternFile.cpp's alone.
  const char* WriteCreatedPatternFile(void* file);

  int BuiltReOrderPatternNumbers();
  int BuiltRecognitionData(int fAmpAnalisysOnlyForOverallSample);
  int BuildSpectrumSampleArrayForOneBand(float* out, SignalTVSEx* tvs, int band, int fForward, float* source);

  // Lays the loaded patterns out for matching many of them side by side (kept in Layout);
  // called at the end of the recognition set-up, so that processing blocks allocates nothing.
  // Returns 1 when built, 0 when the patterns are matched one by one (no memory, nothing to
  // lay out); either way the results are the same. lanes: 0 picks the widest vectors the
  // processor has, 4 keeps to four lanes (SSE2).
  int PrepareMatching(int lanes = 0);
  // Drops the layout: the patterns are matched one by one.
  void DropMatchingLayout();
  // Matches the newest time block. `alongside`: the pipeline's pre-filter stage to advance
  // while the current blocks are copied (null: none pending).
  int RecognizePattern(sp::InterleavedPrefilter* alongside = nullptr);
  int Recognition(SignalTVSEx* P);
  float RelativeDeviation(DeviationEst* est, SignalTVSEx* P, int band, float* cur, float* orig, int fLevelGate);
  void Monitor_Deviation();
  int IsAtPattern(sp_long a, sp_long b);
  int Recognition1(SignalTVSEx* P);
  float RelativeDeviation1(DeviationEst* est, SignalTVSEx* P, int band, float* cur, float* orig, int fLevelGate);

  int OpenForWriteTestDataFile(char* name);
  int WriteTestDataFile();
  void CloseTestDataFile();
  void SaveCurrentSpectrumData(SignalTVSEx* rec, int atKnownPosition);
  void OutCurrentSpectrumData(int pattern, sp_ulong channel);
};

#endif
