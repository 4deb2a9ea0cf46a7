// The event pump every wait of the library runs between its checks.
#pragma once

#include <cstdint>

#include "pesmo6.h"

namespace pesmo6 {

// The longest one pass blocks, so that the host hook runs often enough to
// stand in for a window message loop.
constexpr uint32_t kPassMs = 10;

// One pass: the host hook, then a wait for the library's ports and sockets
// of at most min(maxWaitMs, kPassMs), then every pending notification.
void ProcessaEventos(uint32_t maxWaitMs = kPassMs);

void SetHostHook(Pesmo6EventCallback hook, void* context);

// Held for the length of every export.  Exports nest (the host hook may call
// back in); when the outermost one returns, the platform layer gives back
// what a wait held for the host (on Windows, a WM_QUIT).
class ExportScope {
 public:
  ExportScope() noexcept;
  ~ExportScope();
  ExportScope(const ExportScope&) = delete;
  ExportScope& operator=(const ExportScope&) = delete;
};

}  // namespace pesmo6
