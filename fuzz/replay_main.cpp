// Corpus replay: runs a fuzz target's entry point over files, so that a build without
// libFuzzer (any compiler) still exercises every corpus and regression input.
//
// Usage: <target> PATH...   (a directory is replayed file by file, in name order)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool Replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", file.c_str());
    return false;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // A copy of exactly the input's size, so that an overread is caught by the sanitizers.
  std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(data.empty() ? nullptr : data.data(), data.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE_OR_DIRECTORY...\n", argv[0]);
    return 2;
  }
  std::size_t count = 0;
  bool ok = true;
  for (int a = 1; a < argc; ++a) {
    std::filesystem::path path(argv[a]);
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
      std::vector<std::filesystem::path> files;
      for (const auto& entry : std::filesystem::recursive_directory_iterator(path, ec))
        if (entry.is_regular_file()) files.push_back(entry.path());
      std::sort(files.begin(), files.end());
      for (const auto& f : files) {
        ok = Replay(f) && ok;
        ++count;
      }
    } else if (std::filesystem::is_regular_file(path, ec)) {
      ok = Replay(path) && ok;
      ++count;
    } else {
      std::fprintf(stderr, "no such file or directory: %s\n", argv[a]);
      ok = false;
    }
  }
  std::printf("%s: replayed %zu inputs\n", argv[0], count);
  return ok && count > 0 ? 0 : 1;
}
