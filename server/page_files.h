// The page's files (server/page/), built into the binary by server/embed_page.cmake.
#ifndef SIGPAT_SERVER_PAGE_FILES_H
#define SIGPAT_SERVER_PAGE_FILES_H

#include <cstddef>
#include <string_view>
#include <vector>

namespace sigpat::server {

struct PageFile {
  const char* name;  // file name, e.g. "app.js"
  const char* data;
  std::size_t size;
  std::string_view Text() const { return {data, size}; }
};

const std::vector<PageFile>& PageFiles();

}  // namespace sigpat::server

#endif
