// The machine's load as the Windows tests see it under Wine, where the
// process is a Linux process and drive Z: shows Linux's /proc.  OwnNowMs()
// is a clock in milliseconds that leaves out the time the calling thread
// was ready to run but waited for a core, as the soak measures its calls
// (Wine's own threads cannot be listed from inside): upper bounds (a call
// returned within its wait) read it, so that a loaded machine fails none of
// them, while an idle one keeps each bound whole.  Lower bounds read the
// wall clock.  On Windows itself nothing is left out.
#pragma once

#include <windows.h>

#include <cstdio>

namespace winload {

// Run-queue delay of the calling thread so far, in milliseconds
// (/proc/thread-self/schedstat, second field, nanoseconds); 0 without /proc.
inline double QueuedMs() {
  FILE* f = std::fopen("Z:\\proc\\thread-self\\schedstat", "r");
  if (f == nullptr) return 0.0;
  unsigned long long running = 0, waiting = 0;
  const bool read = std::fscanf(f, "%llu %llu", &running, &waiting) == 2;
  std::fclose(f);
  return read ? static_cast<double>(waiting) / 1e6 : 0.0;
}

inline double WallMs() {
  LARGE_INTEGER f, t;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&t);
  return 1000.0 * static_cast<double>(t.QuadPart) / static_cast<double>(f.QuadPart);
}

inline double OwnNowMs() { return WallMs() - QueuedMs(); }

}  // namespace winload
