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

}  // namespace pesmo6
