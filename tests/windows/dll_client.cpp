// sp_dll_client DIR: the client run of dll_client.h as a program. In Windows builds it links
// signalpattern.dll through its import library and nothing else of the library.
#include "dll_client.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: sp_dll_client DIR\n");
    return 2;
  }
  const int failed = spclient::RunDllClient(argv[1]);
  std::printf("sp_dll_client: %s\n", failed == 0 ? "ok" : "FAILED");
  return failed == 0 ? 0 : 1;
}
