// The live page's files, built into the program (see Embed.cmake).
#ifndef PESMO6D_WEBFILES_H
#define PESMO6D_WEBFILES_H

#include <cstddef>

namespace pesmo6d {

struct WebFile {
  const char* path;  // "/index.html", "/app.js", ...
  const char* type;  // Content-Type
  const unsigned char* data;
  size_t size;
};

extern const WebFile kWebFiles[];
extern const size_t kWebFileCount;

}  // namespace pesmo6d

#endif
