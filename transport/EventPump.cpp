#include "EventPump.h"

#include <algorithm>
#include <map>
#include <vector>

#include "platform/Platform.h"

namespace pesmo6 {
namespace {
Pesmo6EventCallback g_hook = nullptr;
void* g_hookContext = nullptr;
thread_local int t_exportDepth = 0;

struct Timer {
  uint32_t inicio;
  uint32_t atraso;
  uint64_t passe;  // the pass that was running when it was set
  std::function<void()> acao;
};

struct Timers {
  TimerId proximo = 1;
  uint64_t passe = 0;
  std::map<TimerId, Timer> ativos;
};

// Never destroyed: a driver released at process exit may still cancel one.
Timers& OsTimers() {
  static auto* timers = new Timers();
  return *timers;
}

// Milliseconds until the earliest timer is due; `limite` when none is sooner.
uint32_t AteProximoTimer(uint32_t limite) {
  const uint32_t agora = platform::Tick();
  for (const auto& [id, t] : OsTimers().ativos) {
    const uint32_t decorrido = agora - t.inicio;
    const uint32_t falta = decorrido >= t.atraso ? 0 : t.atraso - decorrido;
    limite = std::min(limite, falta);
  }
  return limite;
}

void DisparaTimers() {
  Timers& timers = OsTimers();
  const uint32_t agora = platform::Tick();
  std::vector<TimerId> vencidos;
  for (const auto& [id, t] : timers.ativos) {
    if (t.passe < timers.passe && agora - t.inicio >= t.atraso) vencidos.push_back(id);
  }
  for (TimerId id : vencidos) {
    // An earlier action may have cancelled this one.
    auto it = timers.ativos.find(id);
    if (it == timers.ativos.end()) continue;
    std::function<void()> acao = std::move(it->second.acao);
    timers.ativos.erase(it);
    try {
      acao();
    } catch (...) {
      // A timer's failure is its owner's business; the wait goes on.
    }
  }
}
}  // namespace

ExportScope::ExportScope() noexcept { ++t_exportDepth; }

ExportScope::~ExportScope() {
  if (--t_exportDepth == 0) platform::OnOutermostReturn();
}

void SetHostHook(Pesmo6EventCallback hook, void* context) {
  g_hook = hook;
  g_hookContext = context;
}

bool HostHookSet() { return g_hook != nullptr; }

TimerId AgendaTimer(uint32_t atrasoMs, std::function<void()> acao) {
  Timers& timers = OsTimers();
  const TimerId id = timers.proximo++;
  timers.ativos.emplace(id, Timer{platform::Tick(), atrasoMs, timers.passe, std::move(acao)});
  return id;
}

void CancelaTimer(TimerId id) { OsTimers().ativos.erase(id); }

uint64_t PassesDoPump() { return OsTimers().passe; }

void ProcessaEventos(uint32_t maxWaitMs) {
  ++OsTimers().passe;
  if (Pesmo6EventCallback hook = g_hook) hook(g_hookContext);
#ifdef PESMO6_FIXED_PASS
  // The pump as it used to be, for the benchmark's comparison: every pass
  // blocks at most kPassMs, hook or not.
  uint32_t espera = std::min(maxWaitMs, kPassMs);
#else
  uint32_t espera = g_hook != nullptr ? std::min(maxWaitMs, kPassMs) : maxWaitMs;
#endif
  espera = AteProximoTimer(espera);
  platform::WaitAndDispatch(espera);
  DisparaTimers();
}

}  // namespace pesmo6
