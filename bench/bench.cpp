// pesmo6-bench: what a wait costs and how fast readings come, measured on
// this build and, side by side, on pesmo6-bench-fixed: the same library
// built with the pump's fixed 10 ms pass and one-byte reads.
//
//   pesmo6-bench [--rounds N]   the table (both builds; strace for the
//                               system-call counts when it is installed)
//   pesmo6-bench --measure      this build's figures as "key value" lines
//   pesmo6-bench --syscalls serial|network N
//                               N updates of a streaming channel, to be
//                               counted by strace
//
// Every figure is the library's own thread: CPU by RUSAGE_THREAD, readiness
// calls by the pump's counter, system calls by strace on the main thread
// (the simulators run on other threads).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Converter.h"
#include "Frame7410.h"
#include "Indicator.h"
#include "Pty.h"
#include "pesmo6.h"
#include "transport/DataMDll.h"
#include "transport/platform/Platform.h"

namespace {

#ifdef PESMO6_FIXED_PASS
constexpr bool kFixedPass = true;
#else
constexpr bool kFixedPass = false;
#endif

using Clock = std::chrono::steady_clock;
using Figures = std::map<std::string, double>;

constexpr auto kFramePeriod = std::chrono::milliseconds(100);
constexpr auto kWirePace4800 = std::chrono::microseconds(2084);

double ThreadCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Frame(int weight) {
  pesmo6sim::Leitura7410 reading;
  reading.weight = pesmo6sim::Digits6(weight);
  return pesmo6sim::Frame7410(reading);
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// A silent 2-second no-motion update without a host hook.
void IdleWait(const std::string& what, int32_t ch, Figures& out) {
  const uint64_t calls0 = pesmo6::platform::ReadinessCalls();
  const double cpu0 = ThreadCpuSeconds();
  const auto t0 = Clock::now();
  Update_NoMotion(ch, 2000);
  const double wall = Seconds(Clock::now() - t0);
  out[what + ".idle_cpu_pct"] = 100.0 * (ThreadCpuSeconds() - cpu0) / wall;
  out[what + ".idle_readiness_calls"] = static_cast<double>(pesmo6::platform::ReadinessCalls() - calls0);
  out[what + ".idle_readiness_per_s"] = static_cast<double>(pesmo6::platform::ReadinessCalls() - calls0) / wall;
}

// Writes a whole frame every period, noting when each write began: the
// library cannot see a frame's last byte before that.
class FrameWriter {
 public:
  template <class Write>
  explicit FrameWriter(Write write)
      : thread_([this, write] {
          auto next = Clock::now();
          int n = 0;
          while (!stop_) {
            std::this_thread::sleep_until(next);
            next += kFramePeriod;
            stamp_ = Clock::now().time_since_epoch().count();
            write(Frame(1000 + (n++ % 7)));
          }
        }) {}
  ~FrameWriter() {
    stop_ = true;
    thread_.join();
  }
  int64_t LastStamp() const { return stamp_.load(); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int64_t> stamp_{0};
  std::thread thread_;
};

// `rounds` updates of a streaming channel: latency from the frame's write
// to Update_Canal returning, and the CPU and pump passes per reading.
void Latency(const std::string& what, int32_t ch, FrameWriter& writer, int rounds, Figures& out) {
  Update_Canal(ch);  // in step with the writer
  std::vector<double> ms;
  const uint64_t calls0 = pesmo6::platform::ReadinessCalls();
  const double cpu0 = ThreadCpuSeconds();
  for (int i = 0; i < rounds; ++i) {
    const int32_t r = Update_Canal(ch);
    const int64_t done = Clock::now().time_since_epoch().count();
    if (r == 0) ms.push_back(static_cast<double>(done - writer.LastStamp()) / 1e6);
  }
  out[what + ".latency_p50_ms"] = Percentile(ms, 0.50);
  out[what + ".latency_p99_ms"] = Percentile(ms, 0.99);
  out[what + ".readings"] = static_cast<double>(ms.size());
  out[what + ".cpu_us_per_reading"] = 1e6 * (ThreadCpuSeconds() - cpu0) / std::max<size_t>(ms.size(), 1);
  out[what + ".readiness_per_reading"] =
      static_cast<double>(pesmo6::platform::ReadinessCalls() - calls0) / std::max<size_t>(ms.size(), 1);
}

// 16 7410 indicators sending every 100 ms, 8 on pseudo-terminals at wire
// pace and 8 on converter lines: rounds of one reading from each, by one
// Update_Canais call (this build) or 16 Update_Canal calls in a row (the
// fixed-pass build, as hosts read them before Update_Canais).
void SixteenChannels(int rounds, Figures& out) {
  std::vector<std::unique_ptr<pesmo6sim::StreamingIndicator>> ptys;
  std::vector<int32_t> canais;
  for (int i = 0; i < 8; ++i) {
    auto sim = std::make_unique<pesmo6sim::StreamingIndicator>(kFramePeriod);
    sim->SetWirePace(kWirePace4800);
    sim->SetFrame(Frame(2000 + i));
    Seta_Porta(static_cast<uint32_t>(20 + i), sim->Device().c_str());
    canais.push_back(W7410Serial(static_cast<uint32_t>(20 + i)));
    ptys.push_back(std::move(sim));
  }
  pesmo6sim::Converter conv1, conv2;
  for (pesmo6sim::Converter* conv : {&conv1, &conv2}) {
    const int32_t ip = Seta_Ip(conv->Address().c_str());
    for (int line = 1; line <= 4; ++line) {
      conv->SetLineFrame(line, Frame(3000 + line), kFramePeriod);
      const char letter[2] = {static_cast<char>('A' + line - 1), '\0'};
      const int32_t ch = W7410(ip, letter);
      Select_Canal(ch);
      canais.push_back(ch);
    }
  }
  std::vector<int32_t> codigos(canais.size());
  std::vector<double> ms;
  int readings = 0, misses = 0;
  const double cpu0 = ThreadCpuSeconds();
  for (int r = 0; r < rounds; ++r) {
    const auto t0 = Clock::now();
    if (kFixedPass) {
      for (int32_t ch : canais) {
        if (Update_Canal(ch) == 0) ++readings;
        else ++misses;
      }
    } else {
      const int32_t n = Update_Canais(canais.data(), static_cast<int32_t>(canais.size()), -1, codigos.data());
      readings += n;
      misses += static_cast<int>(canais.size()) - n;
    }
    ms.push_back(Seconds(Clock::now() - t0) * 1000.0);
  }
  const double cpu = ThreadCpuSeconds() - cpu0;
  out["sixteen.rounds"] = rounds;
  out["sixteen.round_p50_ms"] = Percentile(ms, 0.50);
  out["sixteen.round_p99_ms"] = Percentile(ms, 0.99);
  out["sixteen.misses"] = misses;
  out["sixteen.cpu_us_per_reading"] = 1e6 * cpu / std::max(readings, 1);
  double wall = 0;
  for (double m : ms) wall += m / 1000.0;
  out["sixteen.cpu_pct"] = 100.0 * cpu / wall;
  for (int32_t ch : canais) Deleta_Canal(ch);
}

Figures Measure(int rounds) {
  Figures out;
  {
    pesmo6sim::Pty silent;
    Seta_Porta(1, silent.SlavePath().c_str());
    const int32_t ch = W7410Serial(1);
    IdleWait("serial", ch, out);
    Deleta_Canal(ch);

    pesmo6sim::Pty line;
    Seta_Porta(2, line.SlavePath().c_str());
    const int32_t fast = W7410Serial(2);
    FrameWriter writer([&](const std::string& f) { line.Write(f); });
    Latency("serial", fast, writer, 100, out);
    Deleta_Canal(fast);
  }
  {
    pesmo6sim::Converter conv;
    const int32_t ip = Seta_Ip(conv.Address().c_str());
    const int32_t ch = W7410(ip, "A");
    Select_Canal(ch);
    IdleWait("network", ch, out);
    FrameWriter writer([&](const std::string& f) { conv.InjectLine(1, f); });
    Latency("network", ch, writer, 100, out);
    Deleta_Canal(ch);

    std::vector<double> rt;
    for (int i = 0; i < 200; ++i) {
      const auto t0 = Clock::now();
      if (pesmo6::EnviaComando(conv.Address(), "IN").empty()) continue;
      rt.push_back(Seconds(Clock::now() - t0) * 1e6);
    }
    out["command.round_trip_p50_us"] = Percentile(rt, 0.50);
    out["command.round_trip_p99_us"] = Percentile(rt, 0.99);
  }
  SixteenChannels(rounds, out);
  return out;
}

// `n` updates of a channel whose port or link stays open (a raw-mode 7410
// on a pseudo-terminal, a 7410 on a converter line), frames every 100 ms.
int Syscalls(const std::string& kind, int n) {
  std::unique_ptr<pesmo6sim::Pty> pty;
  std::unique_ptr<pesmo6sim::Converter> conv;
  int32_t ch;
  std::unique_ptr<FrameWriter> writer;
  if (kind == "serial") {
    pty = std::make_unique<pesmo6sim::Pty>();
    Seta_Porta(3, pty->SlavePath().c_str());
    ch = W7410SerialC(3);
    writer = std::make_unique<FrameWriter>([&](const std::string& f) { pty->Write(f); });
  } else {
    conv = std::make_unique<pesmo6sim::Converter>();
    ch = W7410(Seta_Ip(conv->Address().c_str()), "A");
    Select_Canal(ch);
    writer = std::make_unique<FrameWriter>([&](const std::string& f) { conv->InjectLine(1, f); });
  }
  Update_Canal(ch);
  int ok = 0;
  for (int i = 0; i < n; ++i) ok += Update_Canal(ch) == 0;
  writer.reset();
  Deleta_Canal(ch);
  return ok == n ? 0 : 1;
}

std::string Sibling(const char* argv0, const std::string& name) {
  std::string self = argv0;
  const size_t slash = self.rfind('/');
  return (slash == std::string::npos ? std::string("./") : self.substr(0, slash + 1)) + name;
}

// Runs a command and returns what it printed.
std::string Capture(const std::string& command) {
  std::string text;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[512];
    while (fgets(buf, sizeof buf, p)) text += buf;
    pclose(p);
  }
  return text;
}

Figures Parse(const std::string& text) {
  Figures f;
  std::istringstream in(text);
  std::string key;
  double value;
  while (in >> key >> value) f[key] = value;
  return f;
}

// System calls of the main thread per update: two runs of different
// lengths under strace, so that the set-up cancels out.
double SyscallsPerFrame(const std::string& binary, const std::string& kind) {
  auto total = [&](int n) {
    const std::string file = "/tmp/pesmo6-bench-strace." + std::to_string(getpid());
    const std::string cmd = "strace -c -o " + file + " " + binary + " --syscalls " + kind + " " + std::to_string(n) +
                            " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return -1.0;
    std::ifstream in(file);
    std::string line, last;
    while (std::getline(in, line)) {
      if (line.find("total") != std::string::npos) last = line;
    }
    std::remove(file.c_str());
    // "100.00  0.001234  12  345  6 total": % time, seconds, usecs/call,
    // calls, errors (blank when none), "total".
    std::istringstream fields(last);
    std::vector<std::string> parts;
    std::string part;
    while (fields >> part) parts.push_back(part);
    if (parts.size() < 5) return -1.0;
    const double calls = std::atof(parts[3].c_str());
    return calls;
  };
  const int shortRun = 10, longRun = 40;
  const double a = total(shortRun), b = total(longRun);
  if (a < 0 || b < 0) return -1;
  return (b - a) / (longRun - shortRun);
}

void Row(const char* label, const Figures& before, const Figures& after, const std::string& key, const char* fmt) {
  auto cell = [&](const Figures& f) {
    char buf[64];
    auto it = f.find(key);
    if (it == f.end() || it->second < 0) return std::string("n/a");
    std::snprintf(buf, sizeof buf, fmt, it->second);
    return std::string(buf);
  };
  std::printf("  %-58s %16s %16s\n", label, cell(before).c_str(), cell(after).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = kFixedPass ? 30 : 1000;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--measure") {
      for (const auto& [k, v] : Measure(rounds)) std::printf("%s %.6f\n", k.c_str(), v);
      return 0;
    }
    if (a == "--syscalls" && i + 2 < argc) return Syscalls(argv[i + 1], std::atoi(argv[i + 2]));
    if (a == "--rounds" && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
      continue;
    }
    if (a == "--help" || a == "-h") {
      std::printf(
          "usage: pesmo6-bench [--rounds N]   figures of this build beside the fixed-pass build\n"
          "       pesmo6-bench --measure      this build's figures, one \"key value\" per line\n"
          "       pesmo6-bench --syscalls serial|network N\n");
      return 0;
    }
    std::fprintf(stderr, "pesmo6-bench: unknown argument %s (try --help)\n", a.c_str());
    return 2;
  }
  if (kFixedPass) {
    std::fprintf(stderr, "pesmo6-bench-fixed: run with --measure (pesmo6-bench prints the comparison)\n");
    return 2;
  }

  const std::string fixed = Sibling(argv[0], "pesmo6-bench-fixed");
  std::fprintf(stderr, "measuring the fixed-pass build (about a minute)...\n");
  Figures before = Parse(Capture(fixed + " --measure"));
  std::fprintf(stderr, "measuring this build (%d rounds of 16 channels, about %d s)...\n", rounds,
               rounds * 13 / 100 + 30);
  Figures after = Measure(rounds);
  const bool haveStrace = std::system("strace -V >/dev/null 2>&1") == 0;
  if (haveStrace) {
    std::fprintf(stderr, "counting system calls with strace...\n");
    for (const char* kind : {"serial", "network"}) {
      before[std::string(kind) + ".syscalls_per_frame"] = SyscallsPerFrame(fixed, kind);
      after[std::string(kind) + ".syscalls_per_frame"] = SyscallsPerFrame(Sibling(argv[0], "pesmo6-bench"), kind);
    }
  }

  std::printf("%-60s %16s %16s\n", "", "fixed 10 ms pass", "this build");
  std::printf("Idle: Update_NoMotion(2000 ms), silent, no host hook\n");
  Row("serial: CPU, % of one core", before, after, "serial.idle_cpu_pct", "%.3f");
  Row("serial: readiness calls in the wait", before, after, "serial.idle_readiness_calls", "%.0f");
  Row("serial: readiness calls per second", before, after, "serial.idle_readiness_per_s", "%.1f");
  Row("network: CPU, % of one core", before, after, "network.idle_cpu_pct", "%.3f");
  Row("network: readiness calls in the wait", before, after, "network.idle_readiness_calls", "%.0f");
  Row("network: readiness calls per second", before, after, "network.idle_readiness_per_s", "%.1f");
  std::printf("One 18-byte 7410 frame every 100 ms, written whole, Update_Canal in a loop\n");
  Row("serial: latency p50, ms from the write to the return", before, after, "serial.latency_p50_ms", "%.3f");
  Row("serial: latency p99, ms", before, after, "serial.latency_p99_ms", "%.3f");
  Row("serial: readiness calls per reading", before, after, "serial.readiness_per_reading", "%.1f");
  Row("serial: CPU per reading, us (port opened each update)", before, after, "serial.cpu_us_per_reading", "%.0f");
  Row("serial: system calls per update (raw channel, port open)", before, after, "serial.syscalls_per_frame",
      "%.1f");
  Row("network: latency p50, ms", before, after, "network.latency_p50_ms", "%.3f");
  Row("network: latency p99, ms", before, after, "network.latency_p99_ms", "%.3f");
  Row("network: readiness calls per reading", before, after, "network.readiness_per_reading", "%.1f");
  Row("network: CPU per reading, us", before, after, "network.cpu_us_per_reading", "%.0f");
  Row("network: system calls per update", before, after, "network.syscalls_per_frame", "%.1f");
  std::printf("16 7410 channels (8 pseudo-terminals at 4800 baud, 8 converter lines), frames every 100 ms:\n");
  std::printf("  fixed pass: 16 Update_Canal in a row; this build: one Update_Canais\n");
  Row("rounds", before, after, "sixteen.rounds", "%.0f");
  Row("round p50, ms", before, after, "sixteen.round_p50_ms", "%.1f");
  Row("round p99, ms", before, after, "sixteen.round_p99_ms", "%.1f");
  Row("channels without a reading", before, after, "sixteen.misses", "%.0f");
  Row("CPU per reading, us", before, after, "sixteen.cpu_us_per_reading", "%.0f");
  Row("CPU, % of one core", before, after, "sixteen.cpu_pct", "%.2f");
  std::printf("Converter command exchange\n");
  Row("round trip p50, us", before, after, "command.round_trip_p50_us", "%.0f");
  Row("round trip p99, us", before, after, "command.round_trip_p99_us", "%.0f");
  if (!haveStrace) std::printf("(system calls: install strace to count them)\n");
  return 0;
}
