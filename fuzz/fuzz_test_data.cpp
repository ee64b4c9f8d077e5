// Fuzz target: reading a test-data file by sample position.
//
// The first 8 bytes of the input are two sample positions; the rest is the file. Records are
// read at those positions, at every record boundary of the file and past its end. Each read
// must return the engine's monitoring record with no array attached, or null when no file is
// open.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"

namespace {

struct Engine : TimeSpectrumEstimation {
  // Points the engine at a test-data file without creating it.
  void UseFile(const std::string& path) {
    delete[] TestDataFileName;
    TestDataFileName = new char[path.size() + 1];
    std::memcpy(TestDataFileName, path.c_str(), path.size() + 1);
  }
};

void Check(Engine& e, sp_ulong sample) {
  void* r = e.ReadTestData(sample);
  if (r != nullptr && (r != &e.MonitorParam || e.MonitorParam.Value != nullptr)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  spfuzz::ByteReader in(data, size);
  const sp_ulong first = in.U32();
  const sp_ulong second = in.U32();
  const std::size_t header = size < 8 ? size : 8;
  const std::string path = spfuzz::ScratchDir() + "/input.tvd";
  if (!spfuzz::WriteBytes(path, data + header, size - header)) return 0;

  Engine e;
  // Before any initialisation there is no block size: nothing can be mapped.
  e.UseFile(path);
  if (e.OpenForReadTestData() == 1) Check(e, first);
  e.CloseReadTestData();

  if (e.InitTimeSpectrumEst(0x20000u, 1152, 0, 0) != 1) std::abort();
  e.UseFile(path);
  if (e.OpenForReadTestData() != 1) return 0;
  Check(e, first);
  Check(e, second);
  Check(e, 0xFFFFFFFFu);
  const sp_ulong block = static_cast<sp_ulong>(e.GetNsampleForBlockOfTestData());
  const sp_ulong records = static_cast<sp_ulong>((size - header) / 36);
  for (sp_ulong k = 0; k <= records + 1 && k < 4096; ++k) {
    Check(e, k * block + first % block);
    Check(e, k * block + block - 1);
  }
  e.CloseReadTestData();
  if (e.ReadTestData(first) != nullptr) std::abort();
  return 0;
}
