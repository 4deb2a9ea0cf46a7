// pesmo6-soak: one host process reads sixteen indicators of every family, on
// pseudo-terminals and on the lines of two simulated converters, for a given
// time while the simulators misbehave on a schedule.  It links the library
// as a host does and drives it through its exports only.
//
//   pesmo6-soak [--seconds S] [--verbose]     (S defaults to SOAK_SECONDS, else 120)
//
// The schedule repeats a cycle: each fault kind in turn, each followed by a
// clean stretch that lasts until every channel has stored a reading again.
// Checked throughout: every call returns within its bound plus 250 ms (the
// time its thread waited for a core, from /proc/thread-self/schedstat, is
// the machine's load, not the library's: a call late by no more than that
// is counted apart, as late); every reading stored is the one the simulator
// sent (a frame with a wrong checksum carries another weight, so accepting
// it shows); a closed channel gives the closed readouts and code 1, and its
// port or link stays closed.
// Checked at the end of each clean stretch after the warm-up: resident
// memory grows less than 1 MiB (not under AddressSanitizer, whose quarantine
// holds freed memory on purpose) and open descriptors do not grow.  The exit
// status is 0 when nothing was violated, 1 otherwise, 64 for bad usage.
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Converter.h"
#include "Frame7410.h"
#include "FrameMSI.h"
#include "Indicator.h"
#include "Ohaus.h"
#include "Trilograf.h"
#include "pesmo6.h"

#if defined(__SANITIZE_ADDRESS__)
#define SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SOAK_ASAN 1
#endif
#endif
#ifndef SOAK_ASAN
#define SOAK_ASAN 0
#endif

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::microseconds;

constexpr long kSlackMs = 250;
constexpr long kSelectMs = 5000;
constexpr long kCommandMs = 5000 + 10000;  // connect, then the reply
constexpr int32_t kNoMotionWaitMs = 1500;
const std::string kClosed = "EEEEEEEEEE";

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
long Ms(Clock::duration d) { return static_cast<long>(std::chrono::duration_cast<milliseconds>(d).count()); }

// ---- Families -----------------------------------------------------------

enum class Familia { k7410, k7410Raw, kKVT, kMSI3360, kMSI6260, kOhaus, kTrilograf };
constexpr Familia kFamilias[] = {Familia::k7410,    Familia::k7410Raw, Familia::kKVT,      Familia::kMSI3360,
                                 Familia::kMSI6260, Familia::kOhaus,   Familia::kTrilograf};

const char* Nome(Familia f) {
  switch (f) {
    case Familia::k7410: return "7410";
    case Familia::k7410Raw: return "7410-raw";
    case Familia::kKVT: return "KVT";
    case Familia::kMSI3360: return "MSI3360";
    case Familia::kMSI6260: return "MSI6260";
    case Familia::kOhaus: return "Ohaus";
    case Familia::kTrilograf: return "Trilograf";
  }
  return "?";
}

// A normal update's wait, as the library documents it.
long UpdateBoundMs(Familia f) {
  switch (f) {
    case Familia::k7410:
    case Familia::k7410Raw:
    case Familia::kKVT: return 10000;
    case Familia::kMSI3360:
    case Familia::kMSI6260:
    case Familia::kOhaus: return 5000;
    case Familia::kTrilograf: return 3000;
  }
  return 10000;
}

// A no-motion update's: its wait, but at least the start limit of a port
// that does not open; a Trilograf update waits 3 s whatever it is told.
long NoMotionBoundMs(Familia f, long wait) {
  switch (f) {
    case Familia::k7410:
    case Familia::k7410Raw:
    case Familia::kKVT: return std::max(wait, 1000L);
    case Familia::kMSI3360:
    case Familia::kMSI6260:
    case Familia::kOhaus: return std::max(wait, 600L);
    case Familia::kTrilograf: return 3000;
  }
  return wait;
}

// ---- What the process holds ----------------------------------------------

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int OpenDescriptors() {
  int n = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc/self/fd", ec); !ec && it != fs::directory_iterator(); it.increment(ec)) ++n;
  return n - 1;  // the directory's own
}

// How long this thread has been ready to run but waiting for a core (the
// machine's load, not the library's waits), in milliseconds.
double RunQueueMs() {
  std::ifstream f("/proc/thread-self/schedstat");
  unsigned long long running = 0, waiting = 0;
  f >> running >> waiting;
  return static_cast<double>(waiting) / 1e6;
}

// The master side of a pseudo-terminal reports a hang-up while no one holds
// the slave open.
bool SlaveHeld(int master) {
  pollfd p{master, 0, 0};
  return poll(&p, 1, 0) == 0 || (p.revents & POLLHUP) == 0;
}

template <class F>
bool Eventually(F condition, int ms) {
  const auto t0 = Clock::now();
  while (Ms(Clock::now() - t0) < ms) {
    if (condition()) return true;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return condition();
}

// ---- Faults the streams carry ----------------------------------------------

struct StreamFaults {
  std::atomic<bool> garbage{false}, checksum{false}, torn{false}, dribble{false};
  std::atomic<unsigned long> garbageSent{0}, checksumSent{0}, tornSent{0}, dribbledSent{0};
};
StreamFaults g_faults;

// ---- One channel with its simulator ----------------------------------------

struct Canal {
  std::string nome;
  Familia familia;
  int conversor = -1;  // index into the soak's converters, -1 on a serial port
  int linha = 0;       // 1..4
  uint32_t porta = 0;
  std::string link;  // the mapped path: a symlink to the current pseudo-terminal
  microseconds pace{0};
  milliseconds period{100};

  int32_t ch = -1;
  bool fechado = false;   // closed by the soak, not yet deleted
  bool sumiu = false;     // the serial device vanished
  bool leuNaJanela = false;

  // What the simulator sends and what must be read from it.
  std::string bom, ruim, rasgado;
  double liquido = 0;
  std::string tag, contadora;

  std::atomic<unsigned long> n{0};
  // Last, so that they stop before what their threads read goes.
  std::unique_ptr<pesmo6sim::StreamingIndicator> stream;
  std::unique_ptr<pesmo6sim::OhausBalance> ohaus;
  std::unique_ptr<pesmo6sim::TagReader> tags;

  long updates = 0, readings = 0;

  bool Rede() const { return conversor >= 0; }

  // The next frame of a listening indicator, as the faults of the moment
  // make it: noise first, a frame with a wrong checksum (and another
  // weight), or a frame cut short that the next whole one follows.
  std::string Proximo() {
    const unsigned long k = n++;
    if (g_faults.dribble) ++g_faults.dribbledSent;
    if (g_faults.garbage && k % 2 == 0) {
      ++g_faults.garbageSent;
      std::string lixo = pesmo6sim::Lixo(3 + k % 17, static_cast<unsigned>(k + 1));
      if (familia == Familia::kMSI6260) lixo += "\r\n";  // a line of its own
      return lixo + bom;
    }
    if (g_faults.checksum && !ruim.empty() && k % 2 == 0) {
      ++g_faults.checksumSent;
      return ruim;
    }
    if (g_faults.torn && !rasgado.empty() && k % 2 == 0) {
      ++g_faults.tornSent;
      return rasgado + bom;
    }
    return bom;
  }

  int Master() const {
    if (stream) return stream->Line().MasterFd();
    if (ohaus) return ohaus->Line().MasterFd();
    if (tags) return tags->Line().MasterFd();
    return -1;
  }
};

// ---- Calls and their bounds ----------------------------------------------

struct CallStats {
  long calls = 0, over = 0, bound = 0;
  long late = 0;  // past the bound only by the time the thread waited for a core
  double maxMs = 0;
};

class Soak {
 public:
  Soak(double seconds, bool verbose) : seconds_(seconds), verbose_(verbose) {}
  ~Soak() { TearDown(); }
  int Run();

 private:
  // Setup
  void Build();
  void StartSerial(Canal& c);
  void Register(Canal& c);
  void Repoint(Canal& c, const std::string& target);

  // Calls
  template <class F>
  auto Timed(const std::string& what, long boundMs, F call);
  void Violation(const std::string& text);
  void Record(Canal& c, int32_t code, const char* how);
  bool Connect(Canal& c);

  // Operations
  void Operation(int kind);
  void Sequential(bool noMotion);
  void Together(int32_t wait);
  void Stable();
  void Commands(int conv, bool mustWork);

  // Schedule
  void Advance();
  void BeginFault(const std::string& kind);
  void EndFault(const std::string& kind);
  void CloseOne();
  void CheckClosed(Canal& c, const char* when);
  void Vanish();
  void ComeBack();
  void Checkpoint();
  void Summary();
  void TearDown();

  double seconds_;
  bool verbose_;
  Clock::time_point start_ = Clock::now();
  fs::path dir_;
  std::vector<std::unique_ptr<pesmo6sim::Converter>> convs_;
  std::vector<int32_t> ips_;
  std::vector<std::unique_ptr<Canal>> canais_;
  std::map<std::string, CallStats> stats_;
  std::map<std::string, long> faults_;
  std::vector<std::string> violations_;
  long violationCount_ = 0;
  std::string who_;  // the channel of the call being timed, if one

  // The schedule: fault kinds in turn, a clean stretch after each.
  std::vector<std::string> kinds_;
  size_t next_ = 0;
  bool clean_ = true;
  Clock::time_point phaseStart_ = Clock::now();
  std::string fault_;
  double faultSeconds_ = 5;
  double cleanMinSeconds_ = 2;
  double cleanMaxSeconds_ = 25;
  bool converterOff_ = false;
  Canal* closed_ = nullptr;
  Canal* vanished_ = nullptr;
  size_t closeTurn_ = 0, vanishTurn_ = 0, stableTurn_ = 0;
  int inputs_ = 5;
  int dioValue_ = 0;
  long rounds_ = 0;
  long cleanStretches_ = 0;

  // Checkpoints
  double warmupSeconds_ = 120;
  bool haveBase_ = false;
  long rssBase_ = 0, rssEnd_ = 0, rssMax_ = 0;
  int fdBase_ = 0, fdEnd_ = 0, fdMax_ = 0;
  double baseAt_ = 0, endAt_ = 0;
  long rssStart_ = 0;
  int fdStart_ = 0;
};

void Soak::Violation(const std::string& text) {
  ++violationCount_;
  const std::string line = "[" + std::to_string(static_cast<int>(Seconds(Clock::now() - start_))) + "s] " + text;
  if (violations_.size() < 60) violations_.push_back(line);
  std::fprintf(stderr, "VIOLATION %s\n", line.c_str());
}

template <class F>
auto Soak::Timed(const std::string& what, long boundMs, F call) {
  const double queued0 = RunQueueMs();
  const auto t0 = Clock::now();
  auto result = call();
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  const double queued = RunQueueMs() - queued0;
  CallStats& s = stats_[what];
  ++s.calls;
  s.bound = std::max(s.bound, boundMs);
  s.maxMs = std::max(s.maxMs, ms);
  const double limit = static_cast<double>(boundMs + kSlackMs);
  if (ms > limit) {
    const std::string text = what + (who_.empty() ? "" : " (" + who_ + ")") + " took " +
                             std::to_string(static_cast<long>(ms)) + " ms, bound " +
                             std::to_string(boundMs) + " ms, " + std::to_string(static_cast<long>(queued)) +
                             " ms of it waiting for a core";
    if (ms - queued > limit) {
      ++s.over;
      Violation(text);
    } else {
      // The kernel ran the thread that much later: the machine was busy.
      ++s.late;
      std::printf("  late by the machine's load: %s\n", text.c_str());
    }
  }
  return result;
}

// ---- Setup ----------------------------------------------------------------

void Soak::Repoint(Canal& c, const std::string& target) {
  // A new link beside the old, renamed over it: the mapped path never
  // points nowhere while it is replaced.
  const fs::path tmp = c.link + ".new";
  std::error_code ec;
  fs::remove(tmp, ec);
  fs::create_symlink(target, tmp);
  fs::rename(tmp, c.link);
}

void Soak::StartSerial(Canal& c) {
  switch (c.familia) {
    case Familia::kOhaus:
      c.ohaus = std::make_unique<pesmo6sim::OhausBalance>();
      c.ohaus->SetAnswer(pesmo6sim::OhausLinha("   12.5"));
      Repoint(c, c.ohaus->Device());
      break;
    case Familia::kTrilograf:
      c.tags = std::make_unique<pesmo6sim::TagReader>();
      c.tags->SetTag(std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\xAB\xFF", 12));
      Repoint(c, c.tags->Device());
      break;
    default:
      c.stream = std::make_unique<pesmo6sim::StreamingIndicator>(c.period);
      c.stream->SetWirePace(g_faults.dribble ? c.pace * 3 : c.pace);
      c.stream->SetGenerator([&c] { return c.Proximo(); });
      Repoint(c, c.stream->Device());
      break;
  }
}

void Soak::Register(Canal& c) {
  if (c.Rede()) {
    const int32_t ip = ips_[static_cast<size_t>(c.conversor)];
    const char letra[2] = {static_cast<char>('A' + c.linha - 1), '\0'};
    switch (c.familia) {
      case Familia::k7410: c.ch = W7410(ip, letra); break;
      case Familia::k7410Raw: c.ch = W7410C(ip, letra); break;
      case Familia::kKVT: c.ch = WKVT(ip, letra); break;
      case Familia::kMSI3360: c.ch = WMSI3360(ip, letra); break;
      case Familia::kMSI6260: c.ch = WMSI6260(ip, letra); break;
      case Familia::kOhaus: c.ch = WOhaus(ip, letra); break;
      case Familia::kTrilograf: c.ch = WTrilograf(ip, letra); break;
    }
  } else {
    switch (c.familia) {
      case Familia::k7410: c.ch = W7410Serial(c.porta); break;
      case Familia::k7410Raw: c.ch = W7410SerialC(c.porta); break;
      case Familia::kKVT: c.ch = WKVTSerial(c.porta); break;
      case Familia::kMSI3360: c.ch = WMSI3360Serial(c.porta); break;
      case Familia::kMSI6260: c.ch = WMSI6260Serial(c.porta); break;
      case Familia::kOhaus: c.ch = WOhausSerial(c.porta); break;
      case Familia::kTrilograf: c.ch = WTrilografSerial(c.porta); break;
    }
  }
  if (c.ch < 0) throw std::runtime_error("cannot register " + c.nome);
  c.fechado = false;
}

void Soak::Build() {
  dir_ = fs::temp_directory_path() / ("pesmo6-soak-" + std::to_string(getpid()));
  fs::create_directories(dir_);
  for (int i = 0; i < 2; ++i) {
    convs_.push_back(std::make_unique<pesmo6sim::Converter>());
    ips_.push_back(Seta_Ip(convs_.back()->Address().c_str()));
    convs_.back()->SetInputs(inputs_);
  }

  struct Plano {
    Familia familia;
    int conversor, linha;
  };
  // Every family on a pseudo-terminal and on a converter line; the 7410 has
  // a second serial indicator, the KVT a second line.
  const Plano planos[] = {
      {Familia::k7410, -1, 0},       {Familia::k7410Raw, -1, 0},  {Familia::kKVT, -1, 0},
      {Familia::kMSI3360, -1, 0},    {Familia::kMSI6260, -1, 0},  {Familia::kOhaus, -1, 0},
      {Familia::kTrilograf, -1, 0},  {Familia::k7410, -1, 0},     {Familia::k7410, 0, 1},
      {Familia::kKVT, 0, 2},         {Familia::kMSI3360, 0, 3},   {Familia::kOhaus, 0, 4},
      {Familia::k7410Raw, 1, 1},     {Familia::kMSI6260, 1, 2},   {Familia::kTrilograf, 1, 3},
      {Familia::kKVT, 1, 4},
  };
  uint32_t porta = 201;
  long peso = 1250;
  for (const Plano& p : planos) {
    auto c = std::make_unique<Canal>();
    c->familia = p.familia;
    c->conversor = p.conversor;
    c->linha = p.linha;
    peso += 111;
    switch (p.familia) {
      case Familia::k7410:
      case Familia::k7410Raw: {
        const pesmo6sim::Leitura7410 r = pesmo6sim::Leitura7410De(peso);
        c->bom = pesmo6sim::Frame7410(r);
        c->ruim = pesmo6sim::Frame7410(pesmo6sim::Leitura7410De(peso + 50000), false);
        c->rasgado = c->bom.substr(0, 9);
        c->liquido = static_cast<double>(peso) / 100.0;
        c->contadora = pesmo6sim::Body7410(r);
        c->pace = microseconds(2084);
        break;
      }
      case Familia::kKVT: {
        c->bom = pesmo6sim::FrameKVT(pesmo6sim::Leitura7410De(peso));
        c->rasgado = c->bom.substr(0, 9);
        c->liquido = static_cast<double>(peso) / 100.0;
        c->pace = microseconds(2084);
        break;
      }
      case Familia::kMSI3360:
        c->bom = pesmo6sim::QuadroMSI3360(pesmo6sim::LeituraMSI3360De(peso + 1000, 1000));
        c->rasgado = c->bom.substr(0, 12);
        c->liquido = static_cast<double>(peso) / 100.0;
        c->pace = microseconds(1042);
        break;
      case Familia::kMSI6260:
        c->bom = pesmo6sim::LinhaMSI6260(pesmo6sim::kRotuloNet, pesmo6sim::Campo(peso, 1, 8));
        c->rasgado = c->bom.substr(0, 4) + "\r\n";  // the label cut: no reading in it
        c->liquido = static_cast<double>(peso) / 10.0;
        c->pace = microseconds(8334);
        c->period = milliseconds(250);
        break;
      case Familia::kOhaus:
        c->liquido = 12.5;
        c->pace = microseconds(1146);
        break;
      case Familia::kTrilograf:
        c->pace = microseconds(1042);
        if (p.conversor >= 0) {
          c->tag = "E2003412DC0301181234" + std::to_string(5000 + p.linha);
          c->bom = pesmo6sim::LinhaTag(c->tag);
          c->rasgado = c->bom.substr(0, 10);  // STX and part of the tag, no CR
        } else {
          c->tag = "0102030405060708090AABFF";
        }
        break;
    }
    if (c->Rede()) {
      pesmo6sim::Converter& conv = *convs_[static_cast<size_t>(p.conversor)];
      c->nome = std::string(Nome(p.familia)) + " conv" + std::to_string(p.conversor + 1) + "/" +
                static_cast<char>('A' + p.linha - 1);
      // The converter's serial line runs at the indicator's speed.
      conv.SetLinePace(p.linha, c->pace);
      if (p.familia == Familia::kOhaus) {
        c->ohaus = std::make_unique<pesmo6sim::OhausBalance>(conv, p.linha);
        c->ohaus->SetAnswer(pesmo6sim::OhausLinha("   12.5"));
      } else {
        Canal* raw = c.get();
        conv.SetLineGenerator(p.linha, [raw] { return raw->Proximo(); },
                              p.familia == Familia::kMSI6260 ? milliseconds(150) : milliseconds(100));
      }
    } else {
      c->porta = porta++;
      c->nome = std::string(Nome(p.familia)) + " port " + std::to_string(c->porta);
      c->link = (dir_ / ("ttyScale" + std::to_string(c->porta))).string();
      StartSerial(*c);
      if (Seta_Porta(c->porta, c->link.c_str()) != 0) throw std::runtime_error("Seta_Porta refused " + c->link);
    }
    Register(*c);
    canais_.push_back(std::move(c));
  }

  // The stall last: its call waits out the reply limit (10 s).
  kinds_ = {"garbage",           "bad checksum",      "torn frames",     "dribbled bytes",
            "link drop",         "refused reconnect", "converter restart", "device vanishes",
            "channel closed",    "command reset",     "command stall"};
  // A short run still goes through every kind once.
  faultSeconds_ = std::clamp((seconds_ - 25.0) / 14.0, 1.5, 6.0);
  cleanMinSeconds_ = std::clamp(faultSeconds_ / 2, 1.0, 3.0);
  // Past the first whole cycle on a long run: every path has run once.
  warmupSeconds_ = std::min(120.0, seconds_ / 4);
}

// ---- Calls -----------------------------------------------------------------

void Soak::Record(Canal& c, int32_t code, const char* how) {
  ++c.updates;
  if (c.fechado) {
    if (code != 1) Violation(c.nome + ": " + how + " of a closed channel gave " + std::to_string(code));
    CheckClosed(c, how);
    return;
  }
  if (code != 0) {
    if (clean_ && verbose_) std::printf("  %s: %s gave %d\n", c.nome.c_str(), how, code);
    return;
  }
  ++c.readings;
  c.leuNaJanela = true;
  bool certo = true;
  std::string visto;
  if (c.familia == Familia::kTrilograf) {
    visto = Tag_Canal(c.ch);
    certo = visto == c.tag;
  } else if (c.familia == Familia::k7410Raw) {
    visto = Contadora_Canal(c.ch);
    certo = visto == c.contadora;
    if (certo) visto.pop_back();  // the CR
  } else {
    const double v = Net_Canal_Float(c.ch);
    visto = Net_Canal(c.ch);
    certo = std::fabs(v - c.liquido) < 1e-6;
  }
  if (!certo) Violation(c.nome + ": " + how + " stored [" + visto + "], not what was sent");
}

void Soak::CheckClosed(Canal& c, const char* when) {
  const std::string textos[] = {Gross_Canal(c.ch), Net_Canal(c.ch),   Tare_Canal(c.ch),      Tag_Canal(c.ch),
                                Total_Canal(c.ch), Estado_Canal(c.ch), Contadora_Canal(c.ch)};
  for (const std::string& t : textos) {
    if (t != kClosed) Violation(c.nome + ": a readout of the closed channel gave [" + t + "] after " + when);
  }
  if (Net_Canal_Float(c.ch) != 0.0 || Gross_Canal_Float(c.ch) != 0.0 || Tare_Canal_Float(c.ch) != 0.0) {
    Violation(c.nome + ": a floating readout of the closed channel is not 0.0 after " + std::string(when));
  }
  if (c.Rede()) {
    if (convs_[static_cast<size_t>(c.conversor)]->LineClients(c.linha) != 0 && !converterOff_) {
      // The converter sees the close a moment later (its thread may wait
      // for a core on a loaded machine; a link left open never closes).
      if (!Eventually([&] { return convs_[static_cast<size_t>(c.conversor)]->LineClients(c.linha) == 0; }, 5000)) {
        Violation(c.nome + ": the closed channel's link is still connected after " + std::string(when));
      }
    }
  } else if (!c.sumiu && c.Master() >= 0 && SlaveHeld(c.Master())) {
    if (!Eventually([&] { return !SlaveHeld(c.Master()); }, 5000)) {
      Violation(c.nome + ": the closed channel's port is still open after " + std::string(when));
    }
  }
}

bool Soak::Connect(Canal& c) {
  if (!c.Rede()) return true;
  const int32_t r = Timed("Select_Canal", kSelectMs, [&] { return Select_Canal(c.ch); });
  if (c.fechado && r != 1) Violation(c.nome + ": Select_Canal of a closed channel gave " + std::to_string(r));
  return r == 1;
}

// ---- Operations -----------------------------------------------------------

void Soak::Sequential(bool noMotion) {
  for (auto& cp : canais_) {
    Canal& c = *cp;
    who_ = c.nome;
    if (!Connect(c)) {
      who_.clear();
      Advance();
      continue;
    }
    if (noMotion) {
      const int32_t r = Timed(std::string("Update_NoMotion ") + Nome(c.familia),
                              NoMotionBoundMs(c.familia, kNoMotionWaitMs),
                              [&] { return Update_NoMotion(c.ch, kNoMotionWaitMs); });
      Record(c, r, "Update_NoMotion");
    } else {
      const int32_t r = Timed(std::string("Update_Canal ") + Nome(c.familia), UpdateBoundMs(c.familia),
                              [&] { return Update_Canal(c.ch); });
      Record(c, r, "Update_Canal");
    }
    who_.clear();
    Advance();
  }
}

void Soak::Together(int32_t wait) {
  std::vector<int32_t> lista;
  std::vector<Canal*> quem;
  long bound = 0;
  for (auto& cp : canais_) {
    Canal& c = *cp;
    if (!Connect(c)) continue;
    lista.push_back(c.ch);
    quem.push_back(&c);
    bound = std::max(bound, wait < 0 ? UpdateBoundMs(c.familia) : NoMotionBoundMs(c.familia, wait));
  }
  Advance();
  if (lista.empty()) return;
  std::vector<int32_t> codigos(lista.size(), 99);
  const std::string what = wait < 0 ? "Update_Canais normal" : "Update_Canais no-motion";
  const int32_t n = Timed(what, bound, [&] {
    return Update_Canais(lista.data(), static_cast<int32_t>(lista.size()), wait, codigos.data());
  });
  int lidos = 0;
  for (size_t i = 0; i < quem.size(); ++i) {
    Record(*quem[i], codigos[i], wait < 0 ? "Update_Canais" : "Update_Canais no-motion");
    lidos += codigos[i] == 0 || codigos[i] == 3;
  }
  if (n != lidos) Violation(what + " returned " + std::to_string(n) + " with " + std::to_string(lidos) + " read");
  Advance();
}

void Soak::Stable() {
  // Four channels in turn, each a weight (or tag) that does not change.
  for (int k = 0; k < 4; ++k) {
    Canal& c = *canais_[stableTurn_++ % canais_.size()];
    who_ = c.nome;
    const long bound = 3000 + (c.Rede() ? kSelectMs : 0) + UpdateBoundMs(c.familia);
    const int32_t r = Timed(std::string("LePesoConsecutivo ") + Nome(c.familia), bound,
                            [&] { return LePesoConsecutivo(c.ch, 3, 3); });
    Record(c, r, "LePesoConsecutivo");
    who_.clear();
    Advance();
  }
}

void Soak::Commands(int conv, bool mustWork) {
  const int32_t ip = ips_[static_cast<size_t>(conv)];
  pesmo6sim::Converter& sim = *convs_[static_cast<size_t>(conv)];
  inputs_ = (inputs_ * 7 + 3) % 256;
  sim.SetInputs(inputs_);
  dioValue_ = (dioValue_ + 37) % 256;
  const int32_t in = Timed("DIO_InPort", kCommandMs, [&] { return DIO_InPort(ip); });
  const int32_t out = Timed("DIO_OutPort", kCommandMs, [&] { return DIO_OutPort(ip, dioValue_); });
  const int32_t bit = Timed("DIO_InBit", kCommandMs, [&] { return DIO_InBit(ip, 1); });
  const std::string pattern = Timed("DIO_InPortStr", kCommandMs, [&] { return std::string(DIO_InPortStr(ip)); });
  const int32_t rx = Timed("ClrBufRx", kCommandMs, [&] { return ClrBufRx(ip, "A"); });
  ++faults_["(commands sent)"];
  if (!mustWork) return;
  std::string expected;
  for (int b = 0; b < 8; ++b) expected += (inputs_ >> b) & 1 ? "S" : "N";
  if (in != inputs_ || out != 0 || bit != ((inputs_ >> 1) & 1) || pattern != expected || rx != 0 ||
      sim.Outputs() != dioValue_) {
    Violation("converter " + std::to_string(conv + 1) + " commands: in " + std::to_string(in) + " (sent " +
              std::to_string(inputs_) + "), out " + std::to_string(out) + ", bit " + std::to_string(bit) +
              ", pattern " + pattern + ", clear " + std::to_string(rx) + ", outputs " +
              std::to_string(sim.Outputs()) + " (set " + std::to_string(dioValue_) + ")");
  }
  sim.ClearRecords();
}

void Soak::Operation(int kind) {
  switch (kind) {
    case 0: Sequential(false); break;
    case 1: Together(-1); break;
    case 2: Sequential(true); break;
    case 3: Together(kNoMotionWaitMs); break;
    case 4: Stable(); break;
    case 5:
      for (int conv = 0; conv < 2; ++conv) {
        const bool healthy = !(conv == 0 && converterOff_);
        Commands(conv, healthy && clean_);
        Advance();
      }
      break;
  }
}

// ---- Schedule -------------------------------------------------------------

void Soak::BeginFault(const std::string& kind) {
  ++faults_[kind];
  pesmo6sim::Converter& c1 = *convs_[0];
  pesmo6sim::Converter& c2 = *convs_[1];
  if (kind == "garbage") {
    g_faults.garbage = true;
  } else if (kind == "bad checksum") {
    g_faults.checksum = true;
    // The serial tag reader answers the read with another tag and a wrong sum.
    for (auto& c : canais_) {
      if (c->tags) {
        std::string r = c->tags->TagReply();
        r[5] = static_cast<char>(r[5] ^ 0x11);
        c->tags->SetReply(0x40, r);
      }
    }
  } else if (kind == "torn frames") {
    g_faults.torn = true;
  } else if (kind == "dribbled bytes") {
    g_faults.dribble = true;
    for (auto& c : canais_) {
      if (c->stream) c->stream->SetWirePace(c->pace * 3);
    }
    for (auto& c : canais_) {
      if (c->Rede()) convs_[static_cast<size_t>(c->conversor)]->SetLinePace(c->linha, c->pace * 3);
    }
  } else if (kind == "link drop") {
    for (int l = 1; l <= 4; ++l) {
      c1.DropLine(l);
      c2.DropLine(l);
    }
  } else if (kind == "refused reconnect") {
    for (int l = 1; l <= 4; ++l) {
      c2.SetLineListening(l, false);
      c2.DropLine(l);
    }
  } else if (kind == "converter restart") {
    c1.PowerOff();
    converterOff_ = true;
  } else if (kind == "command stall") {
    // The reply never comes: the call gives up at its reply limit.
    c1.SetCommandMode(pesmo6sim::Converter::CommandMode::Silent);
    const int32_t r = Timed("DIO_InPort (stalled)", kCommandMs, [&] { return DIO_InPort(ips_[0]); });
    if (r != -1) Violation("DIO_InPort on a stalled command port gave " + std::to_string(r));
  } else if (kind == "command reset") {
    c2.SetCommandMode(pesmo6sim::Converter::CommandMode::Reset);
    const int32_t r = Timed("DIO_InPort (reset)", kCommandMs, [&] { return DIO_InPort(ips_[1]); });
    if (r != -1) Violation("DIO_InPort on a command port that resets gave " + std::to_string(r));
    const std::string p = Timed("DIO_InPortStr (reset)", kCommandMs, [&] { return std::string(DIO_InPortStr(ips_[1])); });
    if (p != "EEEEEEEE") Violation("DIO_InPortStr on a command port that resets gave " + p);
    Timed("DIO_OutPort (reset)", kCommandMs, [&] { return DIO_OutPort(ips_[1], 1); });
  } else if (kind == "device vanishes") {
    Vanish();
  } else if (kind == "channel closed") {
    CloseOne();
  }
}

void Soak::EndFault(const std::string& kind) {
  pesmo6sim::Converter& c1 = *convs_[0];
  pesmo6sim::Converter& c2 = *convs_[1];
  if (kind == "garbage") {
    g_faults.garbage = false;
  } else if (kind == "bad checksum") {
    g_faults.checksum = false;
    for (auto& c : canais_) {
      if (c->tags) c->tags->ClearReplies();
    }
  } else if (kind == "torn frames") {
    g_faults.torn = false;
  } else if (kind == "dribbled bytes") {
    g_faults.dribble = false;
    for (auto& c : canais_) {
      if (c->stream) c->stream->SetWirePace(c->pace);
    }
    for (auto& c : canais_) {
      if (c->Rede()) convs_[static_cast<size_t>(c->conversor)]->SetLinePace(c->linha, c->pace);
    }
  } else if (kind == "refused reconnect") {
    for (int l = 1; l <= 4; ++l) c2.SetLineListening(l, true);
  } else if (kind == "converter restart") {
    c1.PowerOn();
    converterOff_ = false;
  } else if (kind == "command stall") {
    c1.SetCommandMode(pesmo6sim::Converter::CommandMode::Normal);
  } else if (kind == "command reset") {
    c2.SetCommandMode(pesmo6sim::Converter::CommandMode::Normal);
  } else if (kind == "device vanishes") {
    ComeBack();
  } else if (kind == "channel closed" && closed_) {
    Canal& c = *closed_;
    CheckClosed(c, "the closed stretch");
    Deleta_Canal(c.ch);
    Register(c);
    closed_ = nullptr;
  }
}

// Closes one channel (each in turn) and checks what a closed channel shows;
// the updates of the stretch that follows check it again.
void Soak::CloseOne() {
  Canal& c = *canais_[closeTurn_++ % canais_.size()];
  closed_ = &c;
  Close_Canal(c.ch);
  c.fechado = true;
  CheckClosed(c, "Close_Canal");
}

// The pseudo-terminal of one serial indicator closes (its adapter pulled)
// and its mapped path disappears; a new one comes back under the same path.
void Soak::Vanish() {
  std::vector<Canal*> serial;
  for (auto& c : canais_) {
    if (!c->Rede()) serial.push_back(c.get());
  }
  Canal& c = *serial[vanishTurn_++ % serial.size()];
  vanished_ = &c;
  c.sumiu = true;
  std::error_code ec;
  fs::remove(c.link, ec);
  c.stream.reset();
  c.ohaus.reset();
  c.tags.reset();
}

void Soak::ComeBack() {
  if (!vanished_) return;
  StartSerial(*vanished_);
  vanished_->sumiu = false;
  vanished_ = nullptr;
}

void Soak::Checkpoint() {
  const double at = Seconds(Clock::now() - start_);
  // A connection the simulators are closing right now settles in a moment.
  int fds = OpenDescriptors();
  for (int i = 0; i < 10 && haveBase_ && fds > fdBase_; ++i) {
    std::this_thread::sleep_for(milliseconds(50));
    fds = std::min(fds, OpenDescriptors());
  }
  const long rss = ResidentKiB();
  if (!haveBase_) {
    if (at < warmupSeconds_) return;
    haveBase_ = true;
    rssBase_ = rssMax_ = rss;
    fdBase_ = fdMax_ = fds;
    baseAt_ = at;
  }
  rssEnd_ = rss;
  fdEnd_ = fds;
  endAt_ = at;
  rssMax_ = std::max(rssMax_, rss);
  fdMax_ = std::max(fdMax_, fds);
  if (verbose_) std::printf("  checkpoint %.0fs: %ld KiB resident, %d descriptors\n", at, rss, fds);
}

// Moves the schedule on: called between calls.
void Soak::Advance() {
  const double inPhase = Seconds(Clock::now() - phaseStart_);
  if (!clean_) {
    const bool instant = fault_ == "command stall" || fault_ == "command reset";
    if (!instant && inPhase < faultSeconds_) return;
    EndFault(fault_);
    clean_ = true;
    phaseStart_ = Clock::now();
    for (auto& c : canais_) c->leuNaJanela = false;
    return;
  }
  if (inPhase < cleanMinSeconds_) return;
  bool todos = true;
  for (auto& c : canais_) todos &= c->leuNaJanela;
  if (!todos && inPhase < cleanMaxSeconds_) return;
  if (!todos) {
    for (auto& c : canais_) {
      if (!c->leuNaJanela) {
        Violation(c->nome + ": no reading in " + std::to_string(static_cast<int>(inPhase)) + " s after " +
                  (fault_.empty() ? std::string("the start") : fault_));
      }
    }
  }
  ++cleanStretches_;
  Checkpoint();
  // Records the simulators keep would grow for the whole run.
  for (auto& c : canais_) {
    if (c->ohaus) c->ohaus->ClearReceived();
    if (c->tags) c->tags->ClearRecords();
  }
  for (auto& conv : convs_) conv->ClearRecords();
  if (Seconds(Clock::now() - start_) >= seconds_) return;  // the run ends on a clean stretch
  fault_ = kinds_[next_++ % kinds_.size()];
  clean_ = false;
  phaseStart_ = Clock::now();
  std::printf("[%5.0fs] %s\n", Seconds(Clock::now() - start_), fault_.c_str());
  std::fflush(stdout);
  BeginFault(fault_);
}

// ---- Summary --------------------------------------------------------------

void Soak::Summary() {
  const double wall = Seconds(Clock::now() - start_);
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  const double cpu = static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                     static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  std::printf("\npesmo6-soak: %.0f s, %ld operation rounds, %ld clean stretches, %.1f%% of a core (simulators "
              "included)%s\n",
              wall, rounds_, cleanStretches_, 100.0 * cpu / wall, SOAK_ASAN ? ", AddressSanitizer build" : "");
  std::printf("\n%-22s %8s %9s %9s\n", "family", "channels", "updates", "readings");
  long totalUpdates = 0, totalReadings = 0;
  for (Familia f : kFamilias) {
    long u = 0, r = 0, n = 0;
    for (auto& c : canais_) {
      if (c->familia != f) continue;
      ++n;
      u += c->updates;
      r += c->readings;
    }
    totalUpdates += u;
    totalReadings += r;
    std::printf("%-22s %8ld %9ld %9ld\n", Nome(f), n, u, r);
    if (r == 0) Violation(std::string(Nome(f)) + " produced no reading");
  }
  std::printf("%-22s %8zu %9ld %9ld\n", "all", canais_.size(), totalUpdates, totalReadings);

  std::printf("\n%-22s %9s\n", "fault", "injected");
  for (const std::string& k : kinds_) std::printf("%-22s %9ld\n", k.c_str(), faults_[k]);
  std::printf("%-22s %9lu\n", "  frames with garbage", g_faults.garbageSent.load());
  std::printf("%-22s %9lu\n", "  bad-checksum frames", g_faults.checksumSent.load());
  std::printf("%-22s %9lu\n", "  torn frames", g_faults.tornSent.load());
  std::printf("%-22s %9lu\n", "  frames dribbled", g_faults.dribbledSent.load());

  std::printf("\n%-30s %8s %9s %9s %6s %6s\n", "call", "calls", "max ms", "bound ms", "over", "late");
  long over = 0, late = 0;
  for (const auto& [what, s] : stats_) {
    std::printf("%-30s %8ld %9.0f %9ld %6ld %6ld\n", what.c_str(), s.calls, s.maxMs, s.bound, s.over, s.late);
    over += s.over;
    late += s.late;
  }
  std::printf("calls over their bound (+%ld ms): %ld; late only by waiting for a core: %ld\n", kSlackMs, over, late);

  std::printf("\n%-22s %10s %10s %10s %10s\n", "", "start", "after warm-up", "end", "max");
  std::printf("%-22s %10ld %10ld %10ld %10ld\n", "resident KiB", rssStart_, rssBase_, rssEnd_, rssMax_);
  std::printf("%-22s %10d %10d %10d %10d\n", "open descriptors", fdStart_, fdBase_, fdEnd_, fdMax_);
  if (haveBase_) {
    std::printf("measured from %.0f s to %.0f s (ends of clean stretches)\n", baseAt_, endAt_);
    if (!SOAK_ASAN && rssEnd_ - rssBase_ >= 1024) {
      Violation("resident memory grew by " + std::to_string(rssEnd_ - rssBase_) + " KiB after the warm-up");
    }
    if (fdEnd_ > fdBase_) {
      Violation("open descriptors grew from " + std::to_string(fdBase_) + " to " + std::to_string(fdEnd_));
    }
    if (SOAK_ASAN) std::printf("(memory not checked under AddressSanitizer)\n");
  } else {
    Violation("the run ended before its warm-up: nothing measured");
  }

  bool everyKind = true;
  for (const std::string& k : kinds_) everyKind &= faults_[k] > 0;
  if (!everyKind) std::printf("note: the run was too short to inject every fault kind\n");

  if (violationCount_ == 0) {
    std::printf("\nno violation\n");
  } else {
    std::printf("\n%ld violation(s):\n", violationCount_);
    for (const std::string& v : violations_) std::printf("  %s\n", v.c_str());
  }
}

int Soak::Run() {
  rssStart_ = ResidentKiB();
  fdStart_ = OpenDescriptors();
  Build();
  std::printf("pesmo6-soak: %zu channels, %.0f s; fault stretches %.1f s\n", canais_.size(), seconds_, faultSeconds_);
  std::fflush(stdout);
  for (auto& c : canais_) Connect(*c);
  phaseStart_ = Clock::now();
  while (Seconds(Clock::now() - start_) < seconds_ || !clean_) {
    Operation(static_cast<int>(rounds_ % 6));
    ++rounds_;
    Advance();
    // A run that cannot end on a clean stretch still ends.
    if (Seconds(Clock::now() - start_) > seconds_ + 60) break;
  }
  if (!clean_) EndFault(fault_);
  Summary();
  TearDown();
  return violationCount_ == 0 ? 0 : 1;
}

// The converters' threads call into the channels' generators: silence the
// lines first, then the channels and their simulators, then the converters.
void Soak::TearDown() {
  for (auto& c : canais_) Deleta_Canal(c->ch);
  for (auto& conv : convs_) {
    for (int l = 1; l <= 4; ++l) conv->SetLineFrame(l, "");
  }
  canais_.clear();
  convs_.clear();
  if (!dir_.empty()) {
    std::error_code ec;
    fs::remove_all(dir_, ec);
    dir_.clear();
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"pesmo6-soak: 16 simulated indicators of every family read through the library while the\n"
               "simulators inject faults on a schedule; exits 1 on any violation."};
  double seconds = 120;
  if (const char* env = std::getenv("SOAK_SECONDS"); env && *env) seconds = std::atof(env);
  bool verbose = false;
  app.add_option("--seconds", seconds, "how long to run (default SOAK_SECONDS, else 120)")
      ->check(CLI::Range(10.0, 86400.0));
  app.add_flag("--verbose", verbose, "print each update that stored nothing in a clean stretch, and each checkpoint");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 64;
  }
  if (!(seconds >= 10)) {
    std::fprintf(stderr, "pesmo6-soak: SOAK_SECONDS must be at least 10\n");
    return 64;
  }
  try {
    Soak soak(seconds, verbose);
    return soak.Run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pesmo6-soak: %s\n", e.what());
    return 1;
  }
}
