// Runs the Windows test host under Wine against simulated indicators: the
// COM ports of the Wine prefix are linked to pseudo-terminals where the
// simulator talks, and the converter cases use the simulated converter on a
// loopback address.
//
//   pesmo6-winrunner --prefix WINEPREFIX --host HOST.EXE --wine WINE
//                    --separator C [--locale LC_ALL]
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Converter.h"
#include "Frame7410.h"
#include "FrameMSI.h"
#include "Indicator.h"
#include "Ohaus.h"
#include "Scenario.h"
#include "Trilograf.h"

extern char** environ;

namespace {

using pesmo6sim::Digits6;
using pesmo6sim::Leitura7410;
namespace fs = std::filesystem;

void LinkCom(const fs::path& prefix, int n, const std::string& target) {
  const fs::path link = prefix / "dosdevices" / ("com" + std::to_string(n));
  std::error_code ec;
  fs::remove(link, ec);
  if (!target.empty()) fs::create_symlink(target, link);
}

int Run(const std::vector<std::string>& args, const std::vector<std::string>& env, const std::string& dir) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> envStore;
  for (char** e = environ; *e; ++e) {
    const std::string kv = *e;
    bool overridden = false;
    for (const auto& o : env) overridden |= kv.substr(0, kv.find('=')) == o.substr(0, o.find('='));
    if (!overridden) envStore.push_back(kv);
  }
  envStore.insert(envStore.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);
  const fs::path here = fs::current_path();
  fs::current_path(dir);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data());
  fs::current_path(here);
  if (rc != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The host's connections to the converters' line ports, as the kernel shows
// them in /proc/net/tcp: how many samples saw one, and how many of those had
// the keepalive timer armed to fire within the library's idle time (the
// kernel's own default is two hours).
struct KeepAliveWatch {
  std::vector<std::string> remotes;  // "0100007F:22B1" forms of address:port
  std::atomic<bool> stop{false};
  std::atomic<int> seen{0};
  std::atomic<int> armed{0};

  void Watch(const std::string& address) {
    in_addr a{};
    inet_pton(AF_INET, address.c_str(), &a);
    char hex[32];
    for (int port = 8881; port <= 8884; ++port) {
      std::snprintf(hex, sizeof hex, "%08X:%04X", a.s_addr, port);
      remotes.push_back(hex);
    }
  }

  void Run() {
    while (!stop) {
      std::ifstream in("/proc/net/tcp");
      std::string line;
      std::getline(in, line);
      while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string sl, local, remote, st, queues, timer;
        f >> sl >> local >> remote >> st >> queues >> timer;
        if (st != "01" || std::find(remotes.begin(), remotes.end(), remote) == remotes.end()) continue;
        ++seen;
        // tr:when, "when" in 1/100 s; timer 2 is the keepalive timer.
        const unsigned long tr = std::stoul(timer.substr(0, 2), nullptr, 16);
        const unsigned long when = std::stoul(timer.substr(3), nullptr, 16);
        if (tr == 2 && when <= 100ul * (scenario::kKeepAliveIdleS + 1)) ++armed;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::string prefix, host, wine = "wine", separator = ".", locale;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i], v = argv[i + 1];
    if (k == "--prefix") prefix = v;
    else if (k == "--host") host = v;
    else if (k == "--wine") wine = v;
    else if (k == "--separator") separator = v;
    else if (k == "--locale") locale = v;
  }
  if (prefix.empty() || host.empty()) {
    std::fprintf(stderr, "usage: %s --prefix DIR --host HOST.EXE [--wine WINE] [--separator C] [--locale L]\n",
                 argv[0]);
    return 2;
  }
  setvbuf(stdout, nullptr, _IONBF, 0);

  // Indicators on COM ports.
  pesmo6sim::StreamingIndicator com7410(std::chrono::milliseconds(25));
  Leitura7410 r;
  r.decimalCode = 4;
  r.net = true;
  r.weight = Digits6(scenario::k7410Weight);
  r.tare = Digits6(scenario::k7410Tare);
  com7410.SetFrame(pesmo6sim::Frame7410(r));

  pesmo6sim::StreamingIndicator comKvt(std::chrono::milliseconds(25));
  Leitura7410 k;
  k.decimalCode = 5;
  k.motion = true;
  k.weight = Digits6(scenario::kKvtWeight);
  comKvt.SetFrame(pesmo6sim::FrameKVT(k));

  pesmo6sim::Pty silent;

  pesmo6sim::StreamingIndicator comMsi3360(std::chrono::milliseconds(25));
  comMsi3360.SetFrame(pesmo6sim::QuadroMSI3360(pesmo6sim::LeituraMSI3360De(1500, 250)));
  pesmo6sim::StreamingIndicator comMsi6260(std::chrono::milliseconds(50));
  comMsi6260.SetWirePace(std::chrono::microseconds(8334));  // 1200 baud, 7M1: the library drops faster bytes
  comMsi6260.SetGenerator(pesmo6sim::CicloLinhas(
      {pesmo6sim::LinhaMSI6260(pesmo6sim::kRotuloNet, pesmo6sim::Campo(11145, 1))}));
  pesmo6sim::OhausBalance comOhaus;
  comOhaus.SetAnswer(pesmo6sim::OhausLinha("   12.5"));
  pesmo6sim::TagReader comTag;

  for (int n = scenario::kComFirst; n <= scenario::kComLast; ++n) LinkCom(prefix, n, "");
  LinkCom(prefix, scenario::kCom7410, com7410.Device());
  LinkCom(prefix, scenario::kComKVT, comKvt.Device());
  LinkCom(prefix, scenario::kComSilent, silent.SlavePath());
  LinkCom(prefix, scenario::kComMSI3360, comMsi3360.Device());
  LinkCom(prefix, scenario::kComMSI6260, comMsi6260.Device());
  LinkCom(prefix, scenario::kComOhaus, comOhaus.Device());
  LinkCom(prefix, scenario::kComTag, comTag.Device());

  // Indicators on converter lines, and the converter's inputs.
  pesmo6sim::Converter conv;
  Leitura7410 a;
  a.weight = Digits6(scenario::kLineAWeight);
  conv.SetLineFrame(1, pesmo6sim::Frame7410(a));
  Leitura7410 b;
  b.decimalCode = 3;
  b.weight = Digits6(scenario::kLineBWeight);
  conv.SetLineFrame(2, pesmo6sim::FrameKVT(b));
  conv.SetInputs(scenario::kInputs);

  pesmo6sim::Converter conv2;
  pesmo6sim::OhausBalance lineOhaus(conv2, 1);
  lineOhaus.SetAnswer(pesmo6sim::OhausLinha("    3.5"));
  pesmo6sim::NetworkTagReader lineTag(conv2, 2);
  lineTag.Present(scenario::kNetworkTag);
  conv2.SetLineFrame(3, pesmo6sim::QuadroMSI3360(pesmo6sim::LeituraMSI3360De(1000, 0)));
  conv2.SetLinePace(4, std::chrono::microseconds(8334));  // the MSI6260's 1200-baud wire
  conv2.SetLineGenerator(4, pesmo6sim::CicloLinhas(
                                {pesmo6sim::LinhaMSI6260(pesmo6sim::kRotuloNet, pesmo6sim::Campo(5000, 1))}),
                         std::chrono::milliseconds(50));
  const std::string latencyAddress = pesmo6sim::UniqueLoopback();

  std::vector<std::string> env = {"WINEPREFIX=" + prefix, "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml="};
  if (!locale.empty()) env.push_back("LC_ALL=" + locale);
  const fs::path hostPath = fs::absolute(host);
  std::printf("runner: %s %s (locale %s)\n", wine.c_str(), hostPath.string().c_str(),
              locale.empty() ? "inherited" : locale.c_str());
  KeepAliveWatch keepAlive;
  keepAlive.Watch(conv.Address());
  keepAlive.Watch(conv2.Address());
  std::thread watcher([&] { keepAlive.Run(); });
  const int hostStatus = Run({"timeout", "-k", "5", "300", wine, hostPath.filename().string(), conv.Address(),
                              conv2.Address(), latencyAddress, separator},
                             env, hostPath.parent_path().string());

  keepAlive.stop = true;
  watcher.join();

  // What the converter saw of the host's output commands.
  int passed = 0, failed = 0;
  std::printf("runner: %d samples of line connections, %d with keepalive due within %d s\n",
              keepAlive.seen.load(), keepAlive.armed.load(), scenario::kKeepAliveIdleS);
  if (keepAlive.seen > 0 && keepAlive.armed > 0) {
    ++passed;
  } else {
    ++failed;
    std::printf("runner: FAILED: no line connection of the host had keepalive armed\n");
  }
  const auto commands = conv.Commands();
  for (const char* expected : {"OB13", "OP5", "RB"}) {
    if (std::find(commands.begin(), commands.end(), expected) != commands.end()) {
      ++passed;
    } else {
      ++failed;
      std::printf("runner: FAILED: the converter never received %s\n", expected);
    }
  }
  if (hostStatus == 0) ++passed;
  else {
    ++failed;
    std::printf("runner: FAILED: the host exited with %d\n", hostStatus);
  }
  for (int n = scenario::kComFirst; n <= scenario::kComLast; ++n) LinkCom(prefix, n, "");
  std::printf("runner: %d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
