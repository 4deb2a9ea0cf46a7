// pesmo6-bench: (a) CPU used while an update waits for data that never
// comes; (b) latency from a frame's last byte to Update_Canal returning.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "Converter.h"
#include "Frame7410.h"
#include "Pty.h"
#include "pesmo6.h"
#include "transport/DataMDll.h"

namespace {

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

using Clock = std::chrono::steady_clock;

std::atomic<int> g_passes{0};
void PESMO6_CALL CountPass(void*) { g_passes.fetch_add(1); }

void IdleWait(const char* what, int32_t ch) {
  const double cpu0 = CpuSeconds();
  const auto t0 = Clock::now();
  const int32_t r = Update_NoMotion(ch, 2000);
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  const double cpu = CpuSeconds() - cpu0;
  std::printf("%s idle wait: Update_NoMotion(2000 ms) -> %d after %.3f s wall, %.4f s CPU = %.2f%% of one core\n",
              what, r, wall, cpu, 100.0 * cpu / wall);
}

void Report(const char* what, std::vector<double>& us) {
  if (us.empty()) return;
  std::sort(us.begin(), us.end());
  auto pct = [&](double p) { return us[std::min(us.size() - 1, static_cast<size_t>(p * us.size()))]; };
  std::printf("%s over %zu rounds: p50 %.0f us, p99 %.0f us, max %.0f us\n", what, us.size(), pct(0.50),
              pct(0.99), us.back());
}

// Updates `ch` `rounds` times; `send` writes one frame once the update waits
// and returns the time just before its write.
template <class Send>
std::vector<double> FrameLatency(int32_t ch, int rounds, Send send) {
  Seta_Eventos(CountPass, nullptr);
  std::vector<double> us;
  for (int i = 0; i < rounds; ++i) {
    std::atomic<int64_t> lastByteNs{0};
    g_passes = 0;
    std::thread writer([&] {
      // Let the update open the port and settle into its wait.
      while (g_passes.load() < 2) std::this_thread::sleep_for(std::chrono::microseconds(200));
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
      // Stamped just before the write: the library cannot see the last
      // byte earlier than this.
      lastByteNs = Clock::now().time_since_epoch().count();
      send();
    });
    const int32_t r = Update_Canal(ch);
    const int64_t doneNs = Clock::now().time_since_epoch().count();
    writer.join();
    if (r != 0) {
      std::printf("update %d returned %d\n", i, r);
      continue;
    }
    us.push_back(static_cast<double>(doneNs - lastByteNs.load()) / 1000.0);
  }
  Seta_Eventos(nullptr, nullptr);
  return us;
}

}  // namespace

int main() {
  pesmo6sim::Leitura7410 reading;
  reading.weight = pesmo6sim::Digits6(1234);
  const std::string frame = pesmo6sim::Frame7410(reading);

  // Serial port (pseudo-terminal)
  {
    pesmo6sim::Pty silent;
    Seta_Porta(1, silent.SlavePath().c_str());
    const int32_t ch = W7410Serial(1);
    IdleWait("serial", ch);
    Deleta_Canal(ch);

    pesmo6sim::Pty line;
    Seta_Porta(2, line.SlavePath().c_str());
    const int32_t fast = W7410Serial(2);
    auto us = FrameLatency(fast, 200, [&] { line.Write(frame); });
    Report("serial frame-to-return latency", us);
    Deleta_Canal(fast);
  }

  // Converter line (loopback TCP)
  {
    pesmo6sim::Converter conv;
    const int32_t ip = Seta_Ip(conv.Address().c_str());
    const int32_t ch = W7410(ip, "A");
    Select_Canal(ch);
    IdleWait("network", ch);
    auto us = FrameLatency(ch, 200, [&] { conv.InjectLine(1, frame); });
    Report("network frame-to-return latency", us);
    Deleta_Canal(ch);

    std::vector<double> rt;
    for (int i = 0; i < 200; ++i) {
      const auto t0 = Clock::now();
      const std::string reply = pesmo6::EnviaComando(conv.Address(), "IN");
      if (reply.empty()) continue;
      rt.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    Report("command exchange round trip", rt);
  }
  return 0;
}
