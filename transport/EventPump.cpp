#include "EventPump.h"

#include <algorithm>

#include "platform/Platform.h"

namespace pesmo6 {
namespace {
Pesmo6EventCallback g_hook = nullptr;
void* g_hookContext = nullptr;
thread_local int t_exportDepth = 0;
}  // namespace

ExportScope::ExportScope() noexcept { ++t_exportDepth; }

ExportScope::~ExportScope() {
  if (--t_exportDepth == 0) platform::OnOutermostReturn();
}

void SetHostHook(Pesmo6EventCallback hook, void* context) {
  g_hook = hook;
  g_hookContext = context;
}

void ProcessaEventos(uint32_t maxWaitMs) {
  if (Pesmo6EventCallback hook = g_hook) hook(g_hookContext);
  platform::WaitAndDispatch(std::min(maxWaitMs, kPassMs));
}

}  // namespace pesmo6
