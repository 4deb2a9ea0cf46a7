// pesmo6: reads weighing indicators from the command line, through the
// library's exported API only (it links libpesmo6 / Pesmo6.dll like any host).
//
//   pesmo6 read 7410 --device /dev/ttyUSB0 --json
//   pesmo6 watch msi3360 --converter 192.168.0.50 --line B
//   pesmo6 scan --port 1
//   pesmo6 dio --converter 192.168.0.50 in
//
// Exit status: the update code for read/watch/stable, 0 or 1 for scan and
// dio, 64 for bad usage.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "CommandLine.h"
#include "Families.h"
#include "pesmo6.h"

namespace {

using namespace pesmo6tools;

constexpr int kUsage = 64;

std::string Clock() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  const long ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &t);
#else
  localtime_r(&t, &tm);
#endif
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03ld", tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
  return buf;
}

bool StdoutIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stdout)) != 0;
#else
  return isatty(STDOUT_FILENO) != 0;
#endif
}

const char* CodeText(int32_t r) {
  switch (r) {
    case 0: return "reading stored";
    case 1: return "no reading within the wait";
    case 2: return "no reading without motion within the wait";
    case 3: return "the indicator reports overload";
    case 4: return "the port did not open (missing, or in use by another program)";
    case 7: return "no stable weight within the time limit";
    default: return "unexpected result";
  }
}

// ---- Interruption ----------------------------------------------------------

std::atomic<bool> g_interrupted{false};

#ifdef _WIN32
BOOL WINAPI OnConsoleCtrl(DWORD) {
  g_interrupted = true;
  return TRUE;
}
#else
extern "C" void OnSignal(int) { g_interrupted = true; }
#endif

void CatchInterrupt() {
#ifdef _WIN32
  SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
#else
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: the library's poll returns at once
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
#endif
}

// The library's pump hook: runs once per pass (at least every 10 ms while
// an update waits).  It closes the channel on Ctrl-C or at a deadline, so
// the running update returns at once, and runs the caller's idle work.
struct Hook {
  int32_t channel = -1;
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
  bool deadlinePassed = false;
  std::function<void()> idle;
};
Hook g_hook;

void PESMO6_CALL OnPump(void*) {
  if (g_hook.idle) g_hook.idle();
  if (g_hook.channel < 0) return;
  if (g_interrupted) {
    Close_Canal(g_hook.channel);
  } else if (std::chrono::steady_clock::now() >= g_hook.deadline) {
    g_hook.deadlinePassed = true;
    Close_Canal(g_hook.channel);
  }
}

// ---- Targets ---------------------------------------------------------------

struct Target {
  uint32_t port = 0;
  std::string device;
  std::string converter;
  std::string line;
  // The port number a --device is mapped to.
  static constexpr uint32_t kDevicePort = 65535;

  void Add(CLI::App& app, bool withLine = true) {
    app.add_option("--port", port, "serial port number, as a host uses it (1 is /dev/ttyS0 or COM1)")
        ->check(CLI::Range(1u, 65535u));
    app.add_option("--device", device, "serial device path (mapped with Seta_Porta)");
    app.add_option("--converter", converter, "converter address (loopback or network)");
    if (withLine) app.add_option("--line", line, "converter line A..D");
  }
  bool Network() const { return !converter.empty(); }
  // Empty when the target is usable, else the message.
  std::string Check() const {
    const int given = (port != 0) + !device.empty() + !converter.empty();
    if (given == 0) return "a target is needed: --port N, --device PATH or --converter ADDR --line A..D";
    if (given > 1) return "give one target only: --port, --device or --converter";
    if (Network()) {
      if (line.size() != 1 || std::string("ABCDabcd").find(line[0]) == std::string::npos)
        return "--line must be A, B, C or D";
      if (converter.size() > 16) return "converter address longer than 16 characters";
    } else if (!line.empty()) {
      return "--line goes with --converter";
    }
    // A device that is missing or not ours is no usage error: the update
    // says so with code 4 and its reason, as for --port.
    return std::string();
  }
  std::string Describe() const {
    if (Network()) return converter + " line " + line;
    if (!device.empty()) return device;
    return "port " + std::to_string(port);
  }
  // Registers the family on the target: channel number, or -1.
  int32_t Register(const Family& f) const {
    if (Network()) return f.network(Seta_Ip(converter.c_str()), line.c_str());
    if (!device.empty()) {
      Seta_Porta(kDevicePort, device.c_str());
      return f.serial(kDevicePort);
    }
    return f.serial(port);
  }
};

// ---- Readings --------------------------------------------------------------

// Why the channel's last update or connection failed, in UTF-8: the
// library's reason (Display_Erro, read once right after the failure), else
// what the system says of a --device that cannot be opened.
std::string g_reason;
void TakeReason(int32_t ch, const Target& t) {
  g_reason = Utf8(Display_Erro(ch));
#ifndef _WIN32
  if (g_reason.empty() && !t.device.empty() && access(t.device.c_str(), R_OK | W_OK) != 0)
    g_reason = t.device + ": " + std::strerror(errno);
#else
  (void)t;
#endif
}

nlohmann::ordered_json ReadingJson(const Family& f, int32_t ch, int32_t code) {
  nlohmann::ordered_json j;
  j["family"] = f.name;
  j["code"] = code;
  const std::string gross = Utf8(Gross_Canal(ch)), net = Utf8(Net_Canal(ch)), tare = Utf8(Tare_Canal(ch));
  j["gross"] = gross;
  j["net"] = net;
  j["tare"] = tare;
  // A value only from a stored reading: after a failed update the texts
  // hold reset values ("0") that are no weight.
  const bool stored = code == 0 || code == 3;
  auto value = [stored](const std::string& t) -> nlohmann::ordered_json {
    if (!stored) return nullptr;
    if (auto v = Number(t)) return *v;
    return nullptr;
  };
  j["gross_value"] = value(gross);
  j["net_value"] = value(net);
  j["tare_value"] = value(tare);
  const std::string status = Utf8(Estado_Canal(ch));
  j["status"] = status;
  j["motion"] = std::string(Estado_EmMovimento(ch)) == "S";
  const std::string unit = StatusUnit(status);
  if (!unit.empty()) j["unit"] = unit;
  else j["unit"] = nullptr;
  if (f.tag) j["tag"] = Utf8(Tag_Canal(ch));
  if (f.total) j["total"] = Utf8(Total_Canal(ch));
  if (f.raw) j["raw"] = Utf8(Contadora_Canal(ch));
  if (code != 0 && code != 3) {
    j["reason"] = g_reason.empty() ? std::string(CodeText(code)) : g_reason;
  }
  return j;
}

// A raw frame for the terminal: control characters as <STX>, <CR>, ...
std::string Visible(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == 2) out += "<STX>";
    else if (c == 3) out += "<ETX>";
    else if (c == 13) out += "<CR>";
    else if (c == 10) out += "<LF>";
    else if (c < 32 || c == 127) {
      char b[8];
      std::snprintf(b, sizeof b, "<%02X>", c);
      out += b;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

std::string ReadingText(const Family& f, int32_t ch, int32_t code) {
  std::string s = "code " + std::to_string(code) + "  gross [" + Utf8(Gross_Canal(ch)) + "] net [" +
                  Utf8(Net_Canal(ch)) + "] tare [" + Utf8(Tare_Canal(ch)) + "] status " +
                  Utf8(Estado_Canal(ch)) + " motion " + Estado_EmMovimento(ch);
  if (f.tag) s += " tag [" + Utf8(Tag_Canal(ch)) + "]";
  if (f.total) s += " total [" + Utf8(Total_Canal(ch)) + "]";
  if (f.raw) s += " raw [" + Visible(Utf8(Contadora_Canal(ch))) + "]";
  if (code != 0 && code != 3 && !g_reason.empty()) s += "  (" + g_reason + ")";
  return s;
}

void PrintReading(const Family& f, int32_t ch, int32_t code, bool json) {
  if (json) std::cout << ReadingJson(f, ch, code).dump() << std::endl;
  else std::cout << ReadingText(f, ch, code) << std::endl;
}

// The registered channel of one command; closed and deleted on the way out.
class Channel {
 public:
  Channel(const Family& f, const Target& t) : target_(t) {
    ch_ = t.Register(f);
    g_hook.channel = ch_;
    Seta_Eventos(&OnPump, nullptr);
  }
  ~Channel() {
    Seta_Eventos(nullptr, nullptr);
    g_hook = Hook{};
    if (ch_ >= 0) {
      Close_Canal(ch_);
      Deleta_Canal(ch_);
    }
  }
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;
  int32_t Id() const { return ch_; }
  // Connects a converter line (cheap when up); false with a message.
  bool Connect(bool quiet = false) {
    if (!target_.Network() || Select_Canal(ch_) == 1) return true;
    TakeReason(ch_, target_);
    if (!quiet) {
      std::cerr << "pesmo6: no connection to " << target_.Describe()
                << (g_reason.empty() ? "" : ": " + g_reason) << std::endl;
    }
    return false;
  }

 private:
  const Target& target_;
  int32_t ch_ = -1;
};

int Registered(const Channel& c) {
  if (c.Id() >= 0) return 0;
  std::cerr << "pesmo6: registration failed: " << Utf8(Erro_Validacao()) << std::endl;
  return kUsage;
}

// ---- Byte trace --------------------------------------------------------

// Bytes of one direction, gathered into lines of at most 16: a line ends
// when the direction changes, it is full, the bytes pause, or other output
// comes.
class ByteTrace {
 public:
  void Add(int32_t canal, int32_t sentido, const uint8_t* b, int32_t n) {
    const auto now = std::chrono::steady_clock::now();
    if (!bytes_.empty() && (sentido != sentido_ || canal != canal_ || now - last_ > std::chrono::milliseconds(5)))
      Flush();
    for (int32_t i = 0; i < n; ++i) {
      if (bytes_.empty()) {
        stamp_ = Clock();
        sentido_ = sentido;
        canal_ = canal;
      }
      bytes_.push_back(b[i]);
      if (bytes_.size() == 16) Flush();
    }
    last_ = now;
  }
  void Idle() {
    if (!bytes_.empty() && std::chrono::steady_clock::now() - last_ > std::chrono::milliseconds(5)) Flush();
  }
  void Flush() {
    if (bytes_.empty()) return;
    std::string hex, text;
    char h[4];
    for (uint8_t c : bytes_) {
      std::snprintf(h, sizeof h, "%02X ", c);
      hex += h;
      text.push_back(c >= 32 && c < 127 ? static_cast<char>(c) : '.');
    }
    hex.resize(48, ' ');
    const std::string who = canal_ >= 0 ? "" : " converter " + std::to_string(-1 - canal_) + " command";
    std::cout << stamp_ << (sentido_ == 0 ? " <- " : " -> ") << hex << " " << text << who << "\n";
    bytes_.clear();
  }

 private:
  std::vector<uint8_t> bytes_;
  int32_t sentido_ = 0, canal_ = 0;
  std::string stamp_;
  std::chrono::steady_clock::time_point last_;
};
ByteTrace g_trace;

void PESMO6_CALL OnBytes(int32_t canal, int32_t sentido, const uint8_t* b, int32_t n) {
  g_trace.Add(canal, sentido, b, n);
}

void PESMO6_CALL OnLog(const char* line) {
  g_trace.Flush();
  std::cout << Clock() << " .. " << Utf8(line) << "\n";
}

// ---- Subcommands -----------------------------------------------------------

struct Options {
  std::string family;
  Target target;
  bool json = false;
  int32_t noMotion = -1;
  int count = 0;
  int limit = 0;
  double seconds = 2.0;
  bool ask = false;
};

// The failure's line on stderr: what the code means, and why.
void ReportFailure(int32_t r, bool json) {
  if (r == 0 || json) return;
  std::cerr << "pesmo6: " << CodeText(r) << (g_reason.empty() ? "" : ": " + g_reason) << std::endl;
}

int CmdRead(const Options& o) {
  const Family& f = *FindFamily(o.family);
  Channel c(f, o.target);
  if (int r = Registered(c)) return r;
  if (!c.Connect()) return 1;
  const int32_t r = o.noMotion >= 0 ? Update_NoMotion(c.Id(), o.noMotion) : Update_Canal(c.Id());
  if (g_interrupted) return 130;
  if (r != 0 && r != 3) TakeReason(c.Id(), o.target);
  PrintReading(f, c.Id(), r, o.json);
  ReportFailure(r, o.json);
  return r;
}

// watch and trace: readings until interrupted or `count` of them.
int CmdWatch(const Options& o, bool trace) {
  const Family& f = *FindFamily(o.family);
  const bool live = !trace && !o.json && StdoutIsTerminal();
  Channel c(f, o.target);
  if (int r = Registered(c)) return r;
  if (trace) {
    Seta_Trafego(&OnBytes);
    Seta_Log(&OnLog);
  }
  auto last = std::chrono::steady_clock::now();
  bool any = false;
  std::string shown;  // the live line as last drawn
  auto draw = [&](const std::string& reading) {
    const double since = std::chrono::duration<double>(std::chrono::steady_clock::now() - last).count();
    char age[48];
    std::snprintf(age, sizeof age, any ? "  (%.1f s ago)" : "  (waiting %.1f s)", since);
    std::string line = reading + age;
    const size_t width = line.size();
    if (line.size() < shown.size()) line.append(shown.size() - line.size(), ' ');
    std::cout << "\r" << line << std::flush;
    shown.assign(width, ' ');
  };
  std::string current = "waiting for " + std::string(f.name) + " on " + o.target.Describe();
  auto lastDraw = std::chrono::steady_clock::now();
  g_hook.idle = [&] {
    if (trace) g_trace.Idle();
    if (live && std::chrono::steady_clock::now() - lastDraw > std::chrono::milliseconds(200)) {
      draw(current);
      lastDraw = std::chrono::steady_clock::now();
    }
  };
  if (live) draw(current);
  int32_t r = 1;
  for (int n = 0; (o.count <= 0 || n < o.count) && !g_interrupted;) {
    if (!c.Connect(live)) {
      if (o.count > 0) ++n;
      if (g_interrupted) break;
      // A converter that refuses answers at once: wait a little before the next try.
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      while (!g_interrupted && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      continue;
    }
    r = Update_Canal(c.Id());
    if (g_interrupted) break;
    ++n;
    if (r != 0 && r != 3) TakeReason(c.Id(), o.target);
    else g_reason.clear();
    if (trace) g_trace.Flush();
    if (r == 0 || r == 3) {
      any = true;
      last = std::chrono::steady_clock::now();
    }
    if (live) {
      current = ReadingText(f, c.Id(), r);
      draw(current);
      lastDraw = std::chrono::steady_clock::now();
    } else {
      if (trace && !o.json) std::cout << Clock() << " == ";
      PrintReading(f, c.Id(), r, o.json);
    }
  }
  if (trace) {
    Seta_Trafego(nullptr);
    Seta_Log(nullptr);
    g_trace.Flush();
  }
  if (live) std::cout << std::endl;
  std::cout << std::flush;
  if (g_interrupted) return 130;
  return r;
}

int CmdStable(const Options& o) {
  const Family& f = *FindFamily(o.family);
  Channel c(f, o.target);
  if (int r = Registered(c)) return r;
  if (!c.Connect()) return 1;
  const int32_t r = LePesoConsecutivo(c.Id(), o.limit, o.count);
  if (g_interrupted) return 130;
  if (r != 0 && r != 3) TakeReason(c.Id(), o.target);
  PrintReading(f, c.Id(), r, o.json);
  ReportFailure(r, o.json);
  return r;
}

std::atomic<long> g_received{0};
void PESMO6_CALL CountBytes(int32_t, int32_t sentido, const uint8_t*, int32_t n) {
  if (sentido == 0) g_received += n;
}

int CmdScan(const Options& o) {
  std::vector<std::string> order = {"7410", "kvt", "msi3360", "msi6260"};
  if (o.ask) {
    order.push_back("ohaus");
    order.push_back("trilograf");
  }
  std::vector<std::string> found;
  bool any7410 = false;
  for (const auto& name : order) {
    if (g_interrupted) break;
    const Family& f = *FindFamily(name);
    if (!o.json) {
      std::cout << name << ": listening " << o.seconds << " s on " << o.target.Describe() << " ..." << std::flush;
    }
    Channel c(f, o.target);
    if (int r = Registered(c)) return r;
    g_received = 0;
    Seta_Trafego(&CountBytes);
    g_hook.deadline = std::chrono::steady_clock::now() +
                      std::chrono::milliseconds(static_cast<long long>(o.seconds * 1000));
    int accepted = 0, opened = 1;
    int32_t sampleCode = -1;
    nlohmann::ordered_json sample;
    std::string sampleText;
    while (!g_hook.deadlinePassed && !g_interrupted) {
      if (!c.Connect(true)) {
        opened = 0;
        break;
      }
      const int32_t r = Update_Canal(c.Id());
      if (r == 4) {
        TakeReason(c.Id(), o.target);
        opened = 0;
        break;
      }
      if (r == 0 || r == 3) {
        ++accepted;
        if (sampleCode < 0) {
          sampleCode = r;
          sample = ReadingJson(f, c.Id(), r);
          sampleText = ReadingText(f, c.Id(), r);
        }
        // Two accepted readings are proof enough; a request family answers one.
        if (accepted >= 2 || !f.listening) break;
      }
    }
    Seta_Trafego(nullptr);
    // A 7410 frame is a KVT frame with a checksum after it: KVT counts only
    // when the 7410 check rejected what came.
    const bool hit = accepted > 0 && !(name == "kvt" && any7410);
    if (hit && name == "7410") any7410 = true;
    if (hit) found.push_back(name);
    if (o.json) {
      if (hit) std::cout << sample.dump() << std::endl;
    } else if (hit) {
      std::cout << " found: " << sampleText << std::endl;
    } else if (accepted > 0) {
      std::cout << " frames fit, but they carry the 7410 checksum" << std::endl;
    } else if (!opened) {
      std::cout << (o.target.Network() ? " no connection" : " the port did not open")
                << (g_reason.empty() ? "" : ": " + g_reason) << std::endl;
    } else {
      std::cout << " nothing accepted (" << g_received.load() << " bytes received)" << std::endl;
    }
  }
  if (g_interrupted) return 130;
  if (!o.json) {
    if (found.empty()) {
      std::cout << "no family found" << (o.ask ? "" : " (--ask also tries ohaus and trilograf, which are asked)")
                << std::endl;
    } else {
      std::cout << "found:";
      for (const auto& n : found) std::cout << " " << n;
      std::cout << std::endl;
    }
  }
  return found.empty() ? 1 : 0;
}

// ---- dio -------------------------------------------------------------------

struct DioOptions {
  std::string converter;
  bool json = false;
  int bit = 0;
  int32_t value = 0;
  std::string state;
  std::string line;
};

std::string g_reply;
void PESMO6_CALL CollectReply(int32_t canal, int32_t sentido, const uint8_t* b, int32_t n) {
  if (canal < 0 && sentido == 0) g_reply.append(reinterpret_cast<const char*>(b), static_cast<size_t>(n));
}

int RunDio(const DioOptions& o, const std::string& cmd) {
  if (o.converter.empty()) {
    std::cerr << "pesmo6: dio needs --converter ADDR" << std::endl;
    return kUsage;
  }
  if (o.converter.size() > 16) {
    std::cerr << "pesmo6: converter address longer than 16 characters" << std::endl;
    return kUsage;
  }
  const int32_t conv = Seta_Ip(o.converter.c_str());
  g_reply.clear();
  Seta_Trafego(&CollectReply);
  nlohmann::ordered_json j;
  j["converter"] = o.converter;
  j["command"] = cmd;
  int32_t r = -1;
  std::string text;
  if (cmd == "in") {
    r = DIO_InPort(conv);
    if (r >= 0) {
      std::string pattern;
      for (int b = 0; b < 8; ++b) pattern += (r >> b) & 1 ? 'S' : 'N';
      j["value"] = r;
      j["inputs"] = pattern;
      text = "inputs " + std::to_string(r) + " " + pattern + " (bit 0 first)";
    }
  } else if (cmd == "in-bit") {
    r = DIO_InBit(conv, o.bit);
    if (r >= 0) {
      j["bit"] = o.bit;
      j["value"] = r;
      text = "input bit " + std::to_string(o.bit) + ": " + (r ? "S" : "N");
    }
  } else if (cmd == "out") {
    r = DIO_OutPort(conv, o.value);
    j["value"] = o.value;
    text = "outputs set to " + std::to_string(o.value);
  } else if (cmd == "out-bit") {
    r = DIO_OutBitStr(conv, o.bit, o.state.c_str());
    j["bit"] = o.bit;
    j["state"] = o.state;
    text = "output bit " + std::to_string(o.bit) + " set to " + o.state;
  } else if (cmd == "clear-rx" || cmd == "clear-tx") {
    r = cmd == "clear-rx" ? ClrBufRx(conv, o.line.c_str()) : ClrBufTx(conv, o.line.c_str());
    j["line"] = std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(o.line[0]))));
    text = std::string(cmd == "clear-rx" ? "receive" : "transmit") + " buffer of line " + o.line + " cleared";
  }
  Seta_Trafego(nullptr);
  // The output exports report "sent" even when nothing answered: the
  // converter's own " OK" is what tells.
  const bool answered = g_reply.find(" OK") != std::string::npos;
  const bool ok = r >= 0 && answered;
  j["code"] = r;
  j["answered"] = answered;
  j["reply"] = Utf8(g_reply.c_str());
  if (o.json) {
    std::cout << j.dump() << std::endl;
  } else if (ok) {
    std::cout << text << std::endl;
  }
  if (!ok) {
    std::cerr << "pesmo6: converter " << o.converter
              << (g_reply.empty() ? " did not answer" : " gave no valid reply: " + Visible(g_reply)) << std::endl;
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"pesmo6: reads weighing indicators through the Pesmo6 library.\n"
               "Families: 7410, 7410-raw, kvt, ohaus, msi3360, msi6260, trilograf.\n"
               "Targets: --port N | --device PATH | --converter ADDR --line A..D.\n"
               "Exit status: the update code (0 read, 1 nothing, 2 no reading without motion, 3 overload,\n"
               "4 port did not open, 7 no stable weight), 64 bad usage.",
               "pesmo6"};
  app.require_subcommand(1);
  app.set_version_flag("--version", [] {
    const char *p, *v, *a, *b, *l;
    FirVer(&p, &v, &a, &b, &l);
    return std::string("pesmo6 (") + l + " " + v + ")";
  });

  Options o;
  const auto familyCheck = CLI::IsMember(FamilyNames());
  auto familyArg = [&](CLI::App* s) { s->add_option("family", o.family, "indicator family")->required()->check(familyCheck); };

  CLI::App* read = app.add_subcommand("read", "one update; prints the reading, exits with the update code");
  familyArg(read);
  o.target.Add(*read);
  read->add_option("--no-motion", o.noMotion, "wait at most MS for a reading without motion (Update_NoMotion)")
      ->check(CLI::Range(0, 3600000));
  read->add_flag("--json", o.json, "one JSON object");

  CLI::App* watch = app.add_subcommand("watch", "updates until Ctrl-C or N readings; live line on a terminal");
  familyArg(watch);
  o.target.Add(*watch);
  watch->add_option("--count", o.count, "stop after N updates")->check(CLI::PositiveNumber);
  watch->add_flag("--json", o.json, "one JSON object per reading");

  CLI::App* stable = app.add_subcommand("stable", "waits for a stable weight (LePesoConsecutivo); exit 0 or 7");
  familyArg(stable);
  o.target.Add(*stable);
  stable->add_option("--count", o.count, "equal readings in a row (default 10)")->check(CLI::Range(1, 100000));
  stable->add_option("--limit", o.limit, "time limit in seconds (default 10)")->check(CLI::Range(1, 86400));
  stable->add_flag("--json", o.json, "one JSON object");

  CLI::App* trace = app.add_subcommand("trace", "as watch, with every byte received (<-) and sent (->) and the library's trace lines");
  familyArg(trace);
  o.target.Add(*trace);
  trace->add_option("--count", o.count, "stop after N updates")->check(CLI::PositiveNumber);

  CLI::App* scan = app.add_subcommand("scan", "finds which listening family talks on the target (nothing is sent unless --ask)");
  o.target.Add(*scan);
  scan->add_option("--seconds", o.seconds, "seconds per family (default 2)")->check(CLI::Range(0.1, 600.0));
  scan->add_flag("--ask", o.ask, "also try ohaus and trilograf, which send their requests");
  scan->add_flag("--json", o.json, "one JSON object per family found");

  DioOptions d;
  CLI::App* dio = app.add_subcommand("dio", "the converter's digital inputs and outputs and line buffers");
  dio->add_option("--converter", d.converter, "converter address")->required();
  dio->add_flag("--json", d.json, "one JSON object");
  dio->require_subcommand(1);
  dio->add_subcommand("in", "reads the input port");
  dio->add_subcommand("in-bit", "reads one input bit")->add_option("bit", d.bit, "bit number")->required()->check(CLI::Range(0, 31));
  dio->add_subcommand("out", "sets the output port")->add_option("value", d.value, "output value")->required()->check(CLI::Range(0, 255));
  CLI::App* outBit = dio->add_subcommand("out-bit", "sets (S) or clears (N) one output bit");
  outBit->add_option("bit", d.bit, "bit number")->required()->check(CLI::Range(0, 31));
  outBit->add_option("state", d.state, "S or N")->required()->check(CLI::IsMember({"S", "N"}));
  for (const char* name : {"clear-rx", "clear-tx"}) {
    dio->add_subcommand(name, std::string("clears the ") + (name[6] == 'r' ? "receive" : "transmit") + " buffer of a line")
        ->add_option("line", d.line, "line A..D")->required()->check(CLI::IsMember({"A", "B", "C", "D"}, CLI::ignore_case));
  }
  // Options of dio may also follow its command: dio in --converter ADDR.
  for (CLI::App* s : dio->get_subcommands({})) s->fallthrough();

  if (const int status = pesmo6tools::ParseCommandLine(app, argc, argv, "pesmo6", kUsage); status >= 0) {
    return status;
  }

  if (!dio->parsed()) {
    const std::string problem = o.target.Check();
    if (!problem.empty()) {
      std::cerr << "pesmo6: " << problem << std::endl;
      return kUsage;
    }
  }
  CatchInterrupt();
  try {
    if (read->parsed()) return CmdRead(o);
    if (watch->parsed()) return CmdWatch(o, false);
    if (trace->parsed()) return CmdWatch(o, true);
    if (stable->parsed()) return CmdStable(o);
    if (scan->parsed()) return CmdScan(o);
    if (dio->parsed()) {
      for (CLI::App* s : dio->get_subcommands()) return RunDio(d, s->get_name());
    }
  } catch (const std::exception& e) {
    std::cerr << "pesmo6: " << e.what() << std::endl;
    return 70;
  }
  return kUsage;
}
