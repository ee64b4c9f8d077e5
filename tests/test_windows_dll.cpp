// Windows builds: the sizes that the file formats and counters rely on, the export table of
// signalpattern.dll, and the files a Windows build writes compared with this build's.
//
// The size checks are static_asserts: they hold wherever this file compiles, and the 32-bit
// Windows build compiles it too. The other checks need the outputs of the Windows cross builds
// and are skipped without them; .ci/steps/40-windows.sh builds those and names them in
//   SP_WINDOWS_DLLS           signalpattern.dll files to inspect, separated by ':' (needs the
//                             objdump of binutils-mingw-w64 for the DLL's architecture);
//   SP_WINDOWS_CLIENT_OUTPUT  directories with the files of sp_dll_client runs under Windows,
//                             separated by ':'.
#include <gtest/gtest.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#if !defined(_WIN32)
#include <cxxabi.h>
#endif

#include "test_support.h"
#include "windows/dll_client.h"

// ---- sizes

// Counters wrap at 2^32 and every "long" of the interface and the files is 32 bits.
static_assert(sizeof(sp_long) == 4 && std::is_signed_v<sp_long>);
static_assert(sizeof(sp_ulong) == 4 && std::is_unsigned_v<sp_ulong>);
// Samples, band powers and file fields are IEEE single precision; section headers 16-bit words.
static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559);
static_assert(sizeof(unsigned short) == 2);
// The file functions' counts and offsets are 32-bit, in the real Win32 API and in our layer.
static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4);
static_assert(TimeSpectrumEstimation::VersionNumber == 5);
#if defined(_WIN32)
// Lines printed with "%ld" get (long) casts of the 32-bit values: long is 32 bits on Windows.
static_assert(sizeof(long) == 4);
#endif
#if defined(_WIN32) && !defined(_WIN64)
// 32-bit Windows, the library's own platform: the monitoring record in memory is exactly the
// 36-byte record of the test-data file, field for field.
static_assert(sizeof(void*) == 4 && sizeof(HANDLE) == 4);
static_assert(sizeof(RecognizeParam) == 36);
static_assert(offsetof(RecognizeParam, Nvalue) == 0 && offsetof(RecognizeParam, Value) == 4 &&
              offsetof(RecognizeParam, Reserved1) == 8 && offsetof(RecognizeParam, RelDev) == 12 &&
              offsetof(RecognizeParam, ValueC) == 16 && offsetof(RecognizeParam, ValueB) == 20 &&
              offsetof(RecognizeParam, Reserved2) == 24 && offsetof(RecognizeParam, Reserved3) == 28 &&
              offsetof(RecognizeParam, fRecognized) == 32);
#endif

namespace {

std::vector<std::string> EnvList(const char* name) {
  std::vector<std::string> items;
  const char* value = std::getenv(name);
  if (value == nullptr) return items;
  std::stringstream in(value);
  std::string item;
  while (std::getline(in, item, ':'))
    if (!item.empty()) items.push_back(item);
  return items;
}

std::string FileOf(const std::string& dir, const char* name) { return dir + "/" + name; }

// The files of a client run, compared byte for byte.
const char* const kClientFiles[] = {"clip_a.tvs", "clip_b.tvs", "client.tvd", "client.txt"};

}  // namespace

// The client run through the public interface alone, and the same files from Windows builds.
TEST(WindowsDll, ClientFilesMatchWindowsBuilds) {
  sptest::TempDir dir;
  ASSERT_EQ(spclient::RunDllClient(dir.path()), 0);
  std::vector<std::vector<unsigned char>> mine;
  for (const char* name : kClientFiles) {
    mine.push_back(sptest::ReadAll(FileOf(dir.path(), name)));
    EXPECT_FALSE(mine.back().empty()) << name;
  }
  // 56-byte header, then 8 band levels and 8 bands per time block.
  const std::vector<unsigned char>& tvs = mine[0];
  ASSERT_GE(tvs.size(), 56u);
  EXPECT_EQ(sptest::U32At(tvs, 44), 56u + 4u * 8u + 4u * 8u * sptest::U32At(tvs, 12));
  EXPECT_EQ(mine[2].size() % 36u, 0u);  // whole 36-byte records

  const std::vector<std::string> others = EnvList("SP_WINDOWS_CLIENT_OUTPUT");
  if (others.empty()) GTEST_SKIP() << "SP_WINDOWS_CLIENT_OUTPUT not set: no Windows run to compare with";
  for (const std::string& other : others)
    for (std::size_t f = 0; f < std::size(kClientFiles); ++f) {
      const std::vector<unsigned char> theirs = sptest::ReadAll(FileOf(other, kClientFiles[f]));
      std::size_t first = 0;
      while (first < mine[f].size() && first < theirs.size() && mine[f][first] == theirs[first]) ++first;
      EXPECT_TRUE(first == mine[f].size() && first == theirs.size())
          << other << "/" << kClientFiles[f] << ": " << theirs.size() << " bytes against " << mine[f].size()
          << ", first difference at byte " << first;
    }
}

#if !defined(_WIN32)
namespace {

std::string Demangle(const std::string& symbol) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> text(abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status),
                                              std::free);
  return status == 0 && text ? std::string(text.get()) : symbol;
}

// The class a demangled export belongs to, or the name of a free function.
std::string OwnerOf(const std::string& name) {
  for (const char* prefix : {"vtable for ", "typeinfo for ", "typeinfo name for ", "VTT for "})
    if (name.rfind(prefix, 0) == 0) return name.substr(std::strlen(prefix));
  std::string qualified = name.substr(0, name.find_first_of("(["));
  const std::size_t colons = qualified.rfind("::");
  return colons == std::string::npos ? qualified : qualified.substr(0, colons);
}

struct PeInfo {
  std::string objdump;  // the objdump that reads this image
  std::string format;   // as objdump names it
};

// The architecture from the PE header: the machine word after the "PE\0\0" signature.
bool ReadPeInfo(const std::vector<unsigned char>& image, PeInfo* info) {
  if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') return false;
  const std::uint32_t pe = sptest::U32At(image, 0x3c);
  if (pe + 6 > image.size() || sptest::U32At(image, pe) != 0x00004550u) return false;
  switch (sptest::U16At(image, pe + 4)) {
    case 0x014c: *info = {"i686-w64-mingw32-objdump", "pei-i386"}; return true;
    case 0x8664: *info = {"x86_64-w64-mingw32-objdump", "pei-x86-64"}; return true;
    default: return false;
  }
}

std::string RunCommand(const std::string& command) {
  std::string output;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) output.append(buf, n);
  pclose(pipe);
  return output;
}

struct ObjdumpReport {
  std::string format;
  std::string dllName;
  std::vector<std::string> imports;  // DLL names
  std::vector<std::string> exports;  // demangled
};

ObjdumpReport ParseObjdump(const std::string& text) {
  ObjdumpReport r;
  std::stringstream in(text);
  std::string line;
  bool exportNames = false;
  while (std::getline(in, line)) {
    std::size_t at;
    if ((at = line.find("file format ")) != std::string::npos) r.format = line.substr(at + 12);
    if ((at = line.find("DLL Name: ")) != std::string::npos) r.imports.push_back(line.substr(at + 10));
    if (line.rfind("Name ", 0) == 0) r.dllName = line.substr(line.find_last_of(" \t") + 1);
    if (line.rfind("[Ordinal/Name Pointer] Table", 0) == 0) {
      exportNames = true;
      continue;
    }
    if (exportNames) {
      // "\t[   3] _ZN..." until the first line of another kind
      if (line.size() < 2 || line[0] != '\t' || line[1] != '[') {
        exportNames = false;
        continue;
      }
      r.exports.push_back(Demangle(line.substr(line.find_last_of(" \t") + 1)));
    }
  }
  return r;
}

}  // namespace
#endif

// The export table: the interface classes with their public and protected members, the records
// crossing the interface, the sink's handler installation and code-page conversion; nothing
// else, and no dependency beyond the system's DLLs.
TEST(WindowsDll, ExportTable) {
#if defined(_WIN32)
  GTEST_SKIP() << "the export table is checked from the Linux suite";
#else
  const std::vector<std::string> dlls = EnvList("SP_WINDOWS_DLLS");
  if (dlls.empty()) GTEST_SKIP() << "SP_WINDOWS_DLLS not set: no Windows build to inspect";

  const std::set<std::string> allowedOwners = {
      "SignalPattern", "TimeSpectrumEstimation", "DFTFilter", "DeviationStat", "ParStat", "DeviationEst",
      "SigRecognitionBase", "SigRecognitionPar", "RecognizeParam", "SignalTVS", "SignalTVSEx",
      "SetOutLogMessageHandler", "Cp1251ToUtf8",
      // the decision layer's client classes (include/PatternDetector.h, DetectorTuning.h)
      "PatternDetector", "DetectorReport", "DetectorPattern", "DetectorTuning", "SetDetectorTuning",
      // streaming, copies sharing their patterns, pattern making and the speed variants' names
      // (RecognitionStream.h, SharingScope.h, PatternMaker.h, SpeedVariantName.h: namespace sp)
      "RecognitionStream", "SharingScope", "PatternMaker", "sp"};
  struct Members {
    const char* owner;
    std::vector<const char*> names;
  };
  const Members required[] = {
      {"SignalPattern",
       {"SignalPattern", "~SignalPattern", "operator=", "InitSignalPattern", "UnloadSignalPatternObj",
        "GetLinearVersionNumber", "GetVersionName", "Pattern", "CreatePattern", "SetFlagUsePattern",
        "SetflagUseElemInStatistics", "ChangeRecognizeParam", "ChangeThresholdParam", "GetDiapasoneRecognizeParam",
        "ResetMonitoring", "DefineMaxCreatedPatternDuration", "GetNsDelay", "GetTresholdRelDeviation",
        "GetTresholdRelDeviationMPB", "ResetStatistics", "GetTVS", "GetTVSCount", "GetRecognizeParam",
        "OutStatictics", "OutTraceableValues", "OutGeneralStatictics", "OutGeneralTraceableValues",
        "InitGeneralStatistics"}},
      {"TimeSpectrumEstimation",
       {"TimeSpectrumEstimation", "~TimeSpectrumEstimation", "operator=", "UnloadTimeSpectrumObj",
        "InitTimeSpectrumEst", "TimeSpectrumEst", "SetCreatePatternMode", "SetOutputPatternFileName",
        "GetFlagCreatedPattern", "GetPatternFileName", "GetNRecognize", "GetLastRecognizedPatternNumber",
        "GetLastRecognizedPatternFileName", "GetNsampleForBlockOfTestData", "OutRangesOfPattern",
        "CalcTresholdEstimation", "OpenForReadTestData", "ReadTestData", "CloseReadTestData", "WriteFileTVSHeader",
        "WriteSizeOfTvsFileNullSectionToHeader", "WriteSectionHeader", "EndWriteOfSection",
        "WriteSectionInputFileNameUnderPatternCreation", "ReadFileTVSHeader", "LoadRecognizePattern",
        // protected
        "InitGeneralStatistics", "SetAccelerationRegime", "SetNewRecognizeParam", "SetPatternInterval",
        "CreateSignalPattern", "WriteCurrentSpectrumSamples", "BuiltReOrderPatternNumbers", "BuiltRecognitionData",
        "BuildSpectrumSampleArrayForOneBand", "RecognizePattern", "Recognition", "RelativeDeviation",
        "Monitor_Deviation", "IsAtPattern", "Recognition1", "RelativeDeviation1", "OpenForWriteTestDataFile",
        "WriteTestDataFile", "CloseTestDataFile", "SaveCurrentSpectrumData", "OutCurrentSpectrumData"}},
      {"DFTFilter", {"DFTFilter", "~DFTFilter", "operator=", "InitDFTFilter", "ProcDFTFilterPow", "UnloadObj"}},
      {"DeviationStat",
       {"DeviationStat", "~DeviationStat", "operator=", "UnloadObj", "IncludeData", "SetflagUseElem",
        "GetNumberOfElem", "GetNSampleInStatictics", "IntersectionOfIntervals", "OutStatictics", "GetElemName",
        "fUseElem", "NObject"}},
      {"ParStat",
       {"ParStat", "~ParStat", "operator=", "InitHistogram", "Include", "Intersects", "Release", "OutParStat"}},
      {"RecognizeParam", {"Reset", "Release", "Init"}},
      {"SigRecognitionBase", {"RefreshDerivedValues"}},
      {"SignalTVS", {"SignalTVS", "~SignalTVS", "Init", "Unload", "Forget"}},
      {"SignalTVSEx", {"SignalTVSEx", "~SignalTVSEx", "Init", "Unload", "Forget"}},
  };
  // Whole signatures: the 32-bit "long" of the interface is an unsigned int in the ABI.
  const char* const signatures[] = {
      "SignalPattern::CreatePattern(unsigned int, unsigned int, unsigned int, void*, unsigned int, char*, float, "
      "unsigned int)",
      "SignalPattern::Pattern(int, void*, unsigned int, int*)",
      "TimeSpectrumEstimation::TimeSpectrumEst(int, float*)",
      "TimeSpectrumEstimation::ReadTestData(unsigned int)",
      "SetOutLogMessageHandler(int (*)(void*, unsigned int, char const*), void*, void**)",
      "vtable for SignalPattern",
      "vtable for SignalTVSEx",
  };

  for (const std::string& dll : dlls) {
    SCOPED_TRACE(dll);
    PeInfo pe;
    ASSERT_TRUE(ReadPeInfo(sptest::ReadAll(dll), &pe)) << "not a PE image of a known machine";
    const std::vector<unsigned char> importLib =
        sptest::ReadAll(dll.substr(0, dll.find_last_of('/') + 1) + "libsignalpattern.dll.a");
    EXPECT_TRUE(importLib.size() > 8 && std::string(importLib.begin(), importLib.begin() + 8) == "!<arch>\n")
        << "no import library libsignalpattern.dll.a beside the DLL";

    const ObjdumpReport r = ParseObjdump(RunCommand(pe.objdump + " -p '" + dll + "' 2>&1"));
    ASSERT_EQ(r.format, pe.format) << pe.objdump << " missing or failed (binutils-mingw-w64)";
    EXPECT_EQ(r.dllName, "signalpattern.dll");
    for (const std::string& import : r.imports) {
      std::string lower;
      for (char c : import) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      EXPECT_TRUE(lower == "kernel32.dll" || lower == "msvcrt.dll") << "depends on " << import;
    }

    std::set<std::string> names;
    for (const std::string& e : r.exports) {
      EXPECT_TRUE(allowedOwners.count(OwnerOf(e))) << "exported but not part of the interface: " << e;
      const std::string owner = OwnerOf(e);
      if (e.rfind(owner + "::", 0) == 0) {
        const std::string rest = e.substr(owner.size() + 2);
        names.insert(owner + "::" + rest.substr(0, rest.find('(')));
      }
      names.insert(e);
    }
    for (const Members& m : required)
      for (const char* name : m.names)
        EXPECT_TRUE(names.count(std::string(m.owner) + "::" + name)) << "not exported: " << m.owner << "::" << name;
    for (const char* s : signatures) EXPECT_TRUE(names.count(s)) << "not exported: " << s;
    EXPECT_TRUE(names.count("Cp1251ToUtf8[abi:cxx11](char const*)")) << "not exported: Cp1251ToUtf8";
  }
#endif
}
