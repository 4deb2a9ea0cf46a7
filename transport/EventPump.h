// The event pump every wait of the library runs between its checks.
#pragma once

#include <cstdint>
#include <functional>

#include "pesmo6.h"

namespace pesmo6 {

// The longest one pass blocks while a host hook is set, so that the hook
// runs often enough to stand in for a window message loop.  Without a hook a
// pass blocks until an event, a timer or its own limit.
constexpr uint32_t kPassMs = 10;

// One pass: the host hook, then a wait for the library's ports, sockets and
// timers of at most maxWaitMs (and at most kPassMs while a hook is set), then
// every pending notification, then the timers that are due.
void ProcessaEventos(uint32_t maxWaitMs = kPassMs);

void SetHostHook(Pesmo6EventCallback hook, void* context);
bool HostHookSet();

// Timers on the pump: `acao` runs inside a later pass, once `atrasoMs` have
// passed.  Never inside the pass that is running when it is set, so that the
// hook and the notifications of one more pass always come first.  Only
// passes run it: a timer waits while no wait of the library runs.
using TimerId = uint64_t;
TimerId AgendaTimer(uint32_t atrasoMs, std::function<void()> acao);
// Cancelling a timer that ran or was cancelled does nothing.
void CancelaTimer(TimerId id);

// Pump passes run so far (the benchmark and tests count them).
uint64_t PassesDoPump();

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
