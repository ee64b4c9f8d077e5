// The directory of the program or shared object that holds the calling code: where a program
// looks for the modules it loads on first use (the FFmpeg decoder beside sigpat, the PostgreSQL
// store), the build tree and the install alike.
//
// Header-only and in an unnamed namespace on purpose: every translation unit that includes it
// gets its own copy, so the address dladdr1 looks up lies in the caller's own module (a static
// library linked into a program or into a loadable module finds that one), never in whichever
// module happened to define the function first. Linux and other glibc systems only.
#ifndef SIGPAT_OWN_DIRECTORY_H
#define SIGPAT_OWN_DIRECTORY_H

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstddef>
#include <string>
#include <vector>

namespace sigpat {
namespace {

// The object's path as the dynamic linker loaded it when absolute (a shared object), else the
// program's own (/proc/self/exe); "." when neither is known.
inline std::string OwnDirectory() {
  Dl_info info{};
  link_map* map = nullptr;
  std::string path;
  if (dladdr1(reinterpret_cast<void*>(&OwnDirectory), &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) != 0 &&
      map != nullptr && map->l_name != nullptr && map->l_name[0] == '/')
    path = map->l_name;
  if (path.empty()) {
    std::vector<char> exe(4096);
    const ssize_t n = ::readlink("/proc/self/exe", exe.data(), exe.size() - 1);
    if (n > 0) path.assign(exe.data(), static_cast<std::size_t>(n));
  }
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace
}  // namespace sigpat

#endif
