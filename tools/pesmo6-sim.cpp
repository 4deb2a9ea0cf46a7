// pesmo6-sim: a simulated weighing indicator on a pseudo-terminal, or a
// simulated converter with indicators on its lines, for developing and
// testing hosts without hardware.
//
//   pesmo6-sim serial 7410 --weight 12.5 --link /tmp/scale
//   pesmo6-sim converter --address 127.0.0.5 --line A=7410 --line B=ohaus --inputs 5
//
// Weights follow a script; faults (noise, bad checksums, torn frames,
// dropped links, silence) can be mixed in; --replay plays a capture.
//
// The Windows build (pesmo6-sim.exe) runs the converter mode only: Windows
// has no pseudo-terminals to play a serial indicator on.
#include <CLI/CLI.hpp>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstring>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "CommandLine.h"
#include "Converter.h"
#include "Frame7410.h"
#include "FrameMSI.h"
#include "Ohaus.h"
#include "SocketCompat.h"
#include "Trilograf.h"
#ifndef _WIN32
#include "Indicator.h"
#endif

namespace {

constexpr int kUsage = 64;
using Clock = std::chrono::steady_clock;

std::atomic<bool> g_stop{false};
extern "C" void OnSignal(int) { g_stop = true; }

struct FamilyInfo {
  bool listening;
  std::chrono::milliseconds period;  // one frame or line per period
  std::chrono::microseconds pace;    // wire time of one character on a serial line
  size_t replayChunk;                // bytes of a capture sent per period
};

const std::map<std::string, FamilyInfo>& Families() {
  using std::chrono::microseconds;
  using std::chrono::milliseconds;
  static const std::map<std::string, FamilyInfo> f = {
      {"7410", {true, milliseconds(100), microseconds(2084), 18}},      // 4800 7E1
      {"7410-raw", {true, milliseconds(100), microseconds(2084), 18}},
      {"kvt", {true, milliseconds(100), microseconds(2084), 17}},
      {"msi3360", {true, milliseconds(100), microseconds(1042), 28}},   // 9600 8N1
      {"msi6260", {true, milliseconds(250), microseconds(8334), 20}},   // 1200 7M1
      {"ohaus", {false, milliseconds(0), microseconds(1146), 0}},       // 9600 7E2
      {"trilograf", {false, milliseconds(0), microseconds(1042), 0}},   // 9600 8N1
  };
  return f;
}

// ---- What the indicator shows ---------------------------------------------

struct Play {
  double weight = 0.0;
  std::string script = "steady";
  bool motion = false;
  bool overload = false;
  double tare = 0.0;
  std::string unit = "kg";
  int decimals = 2;
  std::string tag;
  double garbage = 0.0;
  double badChecksum = 0.0;
  double torn = 0.0;
  double dropEvery = 0.0;
  bool silent = false;
  std::string replay;
  bool mask7 = false;
};

struct Reading {
  double net;
  bool motion;
};

// The net weight the script shows `t` seconds after the start.
Reading Script(const Play& p, double t, std::mt19937& rng) {
  const double w = p.weight;
  const std::string& s = p.script;
  if (s == "ramp") {
    return t < 5.0 ? Reading{w * t / 5.0, true} : Reading{w, false};
  }
  if (s == "truck") {
    const double c = std::fmod(t, 14.0);
    if (c < 1.0) return {0.0, false};
    if (c < 4.0) return {w * (c - 1.0) / 3.0, true};
    if (c < 10.0) return {w, false};
    if (c < 12.0) return {w * (12.0 - c) / 2.0, true};
    return {0.0, false};
  }
  if (s == "noisy") {
    std::uniform_int_distribution<int> d(-2, 2);
    const int k = d(rng);
    return {w + k * std::pow(10.0, -p.decimals), k != 0};
  }
  if (s == "stepped") {
    const double c = std::fmod(t, 10.0);
    const int step = static_cast<int>(c / 2.0);
    return {w * step / 4.0, std::fmod(c, 2.0) < 0.3};
  }
  return {w, false};
}

long Units(double kg, int decimals) { return std::lround(kg * std::pow(10.0, decimals)); }

// Bytes that never start or end a frame or a line.
std::string Noise(std::mt19937& rng) {
  std::uniform_int_distribution<int> len(1, 12), byte(0, 255);
  std::string s;
  for (int n = len(rng); n > 0; --n) {
    int b = byte(rng);
    if (b == 2 || b == 3 || b == 10 || b == 13) b = '#';
    s.push_back(static_cast<char>(b));
  }
  return s;
}

// The frame generator of a listening family, faults included.
std::function<std::string()> Generator(const std::string& family, const Play& p) {
  auto rng = std::make_shared<std::mt19937>(std::random_device{}());
  const auto start = Clock::now();
  if (!p.replay.empty()) {
    std::ifstream in(p.replay, std::ios::binary);
    auto capture = std::make_shared<std::string>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (p.mask7) {
      for (char& c : *capture) c = static_cast<char>(c & 0x7F);
    }
    const size_t chunk = Families().at(family).replayChunk;
    auto pos = std::make_shared<size_t>(0);
    return [capture, chunk, pos] {
      std::string out = capture->substr(*pos, chunk);
      *pos += out.size();
      if (*pos >= capture->size()) *pos = 0;  // looping
      return out;
    };
  }
  return [=] {
    if (p.silent) return std::string();
    std::uniform_real_distribution<double> coin(0.0, 1.0);
    const double t = std::chrono::duration<double>(Clock::now() - start).count();
    const Reading r = Script(p, t, *rng);
    const bool motion = r.motion || p.motion;
    const long net = Units(r.net, p.decimals), tare = Units(p.tare, p.decimals);
    std::string frame;
    if (family == "7410" || family == "7410-raw" || family == "kvt") {
      pesmo6sim::Leitura7410 l;
      l.decimalCode = p.decimals == 0 ? 2 : p.decimals + 2;
      l.net = tare != 0;
      l.negative = net < 0;
      l.overload = p.overload;
      l.motion = motion;
      l.kg = p.unit == "kg";
      l.weight = pesmo6sim::Digits6(std::min(std::labs(net), 999999L));
      l.tare = pesmo6sim::Digits6(std::min(std::labs(tare), 999999L));
      frame = family == "kvt" ? pesmo6sim::FrameKVT(l) : pesmo6sim::Frame7410(l, !(coin(*rng) < p.badChecksum));
    } else if (family == "msi3360") {
      pesmo6sim::LeituraMSI3360 l = pesmo6sim::LeituraMSI3360De(net + tare, tare, p.decimals);
      l.unit = p.unit;
      frame = pesmo6sim::QuadroMSI3360(l);
    } else {  // msi6260: a NET line per period
      frame = pesmo6sim::LinhaMSI6260(pesmo6sim::kRotuloNet, pesmo6sim::Campo(net, p.decimals),
                                      p.unit == "kg" ? "KG" : "LB");
    }
    if (coin(*rng) < p.torn && frame.size() > 2) {
      std::uniform_int_distribution<size_t> cut(1, frame.size() - 1);
      frame.resize(cut(*rng));
    }
    if (coin(*rng) < p.garbage) frame = Noise(*rng) + frame;
    return frame;
  };
}

std::string OhausAnswer(const Play& p, const Clock::time_point start, std::mt19937& rng) {
  if (p.silent) return std::string();
  const double t = std::chrono::duration<double>(Clock::now() - start).count();
  const Reading r = Script(p, t, rng);
  char text[32];
  std::snprintf(text, sizeof text, "%8.*f", p.decimals, r.net);
  return pesmo6sim::OhausLinha(text, p.unit, r.motion || p.motion);
}

// Runs until killed or `seconds` have passed, calling `tick` every 50 ms.
void RunFor(double seconds, const std::function<void()>& tick) {
  const auto end = seconds > 0 ? Clock::now() + std::chrono::milliseconds(static_cast<long long>(seconds * 1000))
                               : Clock::time_point::max();
  while (!g_stop && Clock::now() < end) {
    tick();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// The most units (the weight times 10^decimals) a frame of the family
// carries: six digits in a 7410 or KVT frame (the sign is a status bit),
// eight characters with the point and a minus sign in an MSI3360 field.
// Zero for the families whose lines have no fixed width.
long FrameCapacity(const std::string& family, int decimals, bool negative) {
  if (family == "7410" || family == "7410-raw" || family == "kvt") return 999999;
  if (family == "msi3360") return std::lround(std::pow(10.0, 8 - (decimals > 0) - negative)) - 1;
  return 0;
}

// Empty when every weight the script shows fits the family's frame at the
// chosen decimals, else the message naming the largest that does.
std::string CheckWeights(const std::string& family, const Play& p) {
  if (!p.replay.empty()) return std::string();
  // The scripts move between 0 and the weight; "noisy" strays two units past it.
  const long spread = p.script == "noisy" ? 2 : 0;
  const long net = Units(p.weight, p.decimals), tare = Units(p.tare, p.decimals);
  struct Shown {
    const char* what;
    long units;
  };
  std::vector<Shown> shown = {{"--weight", net < 0 ? net - spread : net + spread}};
  if (tare != 0) shown.push_back({"--tare", tare});
  if (family == "msi3360" && tare != 0) {
    shown.push_back({"--weight plus --tare", net + tare < 0 ? net + tare - spread : net + tare + spread});
  }
  for (const Shown& s : shown) {
    const long most = FrameCapacity(family, p.decimals, s.units < 0);
    if (most == 0 || std::labs(s.units) <= most) continue;
    const double scale = std::pow(10.0, p.decimals);
    char asked[40], largest[40];
    std::snprintf(asked, sizeof asked, "%.*f", p.decimals, static_cast<double>(s.units) / scale);
    std::snprintf(largest, sizeof largest, "%s%.*f", s.units < 0 ? "-" : "", p.decimals,
                  static_cast<double>(most) / scale);
    return std::string(s.what) + " (" + asked + ") does not fit a " + family + " frame at " + std::to_string(p.decimals) +
           " decimals" + (spread != 0 ? " (the noisy script strays two units past it)" : "") +
           ": the largest is " + largest + (p.decimals > 0 ? " (fewer --decimals carry more)" : "");
  }
  return std::string();
}

// Empty when the options fit the family, else the message.
std::string CheckPlay(const std::string& family, const Play& p, bool converter) {
  const FamilyInfo& f = Families().at(family);
  if (const std::string problem = CheckWeights(family, p); !problem.empty()) return problem;
  if (!p.replay.empty()) {
    if (!f.listening) return "--replay plays a listening family (7410, 7410-raw, kvt, msi3360, msi6260)";
    std::ifstream in(p.replay, std::ios::binary);
    if (!in) return "cannot read " + p.replay;
    if (in.peek() == std::ifstream::traits_type::eof()) return p.replay + " is empty";
  }
  if (p.badChecksum > 0 && family != "7410" && family != "7410-raw")
    return "--bad-checksum applies to 7410 frames only (" + family + " frames carry none the library checks)";
  if (!p.tag.empty() && !converter) {
    if (family != "trilograf") return "--tag applies to trilograf only";
    if ((p.tag.size() != 24 || p.tag.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos))
      return "--tag on a serial reader is 24 hexadecimal characters (12 bytes)";
  }
  if (p.dropEvery > 0 && !converter) return "--drop-every applies to converter lines";
  return std::string();
}

void AddPlayOptions(CLI::App& app, Play& p) {
  app.add_option("--weight", p.weight, "net weight shown (kg or lb)");
  app.add_option("--script", p.script, "how the weight moves")
      ->check(CLI::IsMember({"steady", "ramp", "truck", "noisy", "stepped"}));
  app.add_flag("--motion", p.motion, "report motion");
  app.add_flag("--overload", p.overload, "report overload (7410, kvt)");
  app.add_option("--tare", p.tare, "tare weight");
  app.add_option("--unit", p.unit, "unit")->check(CLI::IsMember({"kg", "lb"}));
  app.add_option("--decimals", p.decimals, "decimals shown")->check(CLI::Range(0, 3));
  app.add_option("--tag", p.tag, "trilograf tag: 24 hex characters on a serial reader, the text on a line");
  app.add_option("--garbage", p.garbage, "share of frames preceded by noise bytes")->check(CLI::Range(0.0, 1.0));
  app.add_option("--bad-checksum", p.badChecksum, "share of 7410 frames with a wrong checksum")->check(CLI::Range(0.0, 1.0));
  app.add_option("--torn", p.torn, "share of frames cut short")->check(CLI::Range(0.0, 1.0));
  app.add_flag("--silent", p.silent, "say nothing");
  app.add_option("--replay", p.replay, "send the bytes of a capture file instead, looping, at the family's rate");
  app.add_flag("--mask7", p.mask7, "clear bit 7 of the capture (taken at 8 data bits from a 7-bit line)");
}

#ifndef _WIN32
// 24 hexadecimal characters as the 12 tag bytes of the serial exchange.
std::string TagBytes(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

int Serial(const std::string& family, const Play& p, const std::string& link, double seconds) {
  const FamilyInfo& f = Families().at(family);
  std::unique_ptr<pesmo6sim::StreamingIndicator> stream;
  std::unique_ptr<pesmo6sim::OhausBalance> ohaus;
  std::unique_ptr<pesmo6sim::TagReader> tags;
  std::string device;
  if (f.listening) {
    stream = std::make_unique<pesmo6sim::StreamingIndicator>(f.period);
    stream->SetWirePace(f.pace);
    stream->SetGenerator(Generator(family, p));
    device = stream->Device();
  } else if (family == "ohaus") {
    ohaus = std::make_unique<pesmo6sim::OhausBalance>();
    device = ohaus->Device();
  } else {
    tags = std::make_unique<pesmo6sim::TagReader>();
    if (!p.tag.empty()) tags->SetTag(TagBytes(p.tag));
    if (p.silent) {
      for (uint8_t command : {0x44, 0x80, 0x40}) tags->SetReply(command, "");
    }
    device = tags->Device();
  }
  if (!link.empty()) {
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) {
        std::cerr << "pesmo6-sim: " << link << " exists and is no symbolic link" << std::endl;
        return kUsage;
      }
      unlink(link.c_str());
    }
    if (symlink(device.c_str(), link.c_str()) != 0) {
      std::cerr << "pesmo6-sim: cannot make the link " << link << ": " << std::strerror(errno) << std::endl;
      return kUsage;
    }
  }
  std::cout << "device " << device << std::endl;
  if (!link.empty()) std::cout << "link " << link << std::endl;

  std::mt19937 rng(std::random_device{}());
  const auto start = Clock::now();
  RunFor(seconds, [&] {
    if (ohaus) ohaus->SetAnswer(OhausAnswer(p, start, rng));
  });
  if (!link.empty()) unlink(link.c_str());
  return 0;
}
#endif

bool LoopbackAddress(const std::string& a) {
  pesmo6sim::StartSockets();
  in_addr addr{};
  if (inet_pton(AF_INET, a.c_str(), &addr) != 1) return false;
  return (ntohl(addr.s_addr) >> 24) == 127;
}

int ConverterMode(const std::string& address, const std::vector<std::string>& lineSpecs, int inputs,
                  const Play& p, double seconds) {
  if (!LoopbackAddress(address)) {
    std::cerr << "pesmo6-sim: " << address << " is no loopback address (127.x.y.z); only those are served"
              << std::endl;
    return kUsage;
  }
  std::map<int, std::string> lines;
  for (const auto& entry : lineSpecs) {
    const size_t eq = entry.find('=');
    const std::string letter = entry.substr(0, eq);
    const std::string family = eq == std::string::npos ? std::string() : entry.substr(eq + 1);
    if (letter.size() != 1 || std::string("ABCDabcd").find(letter[0]) == std::string::npos ||
        !Families().count(family)) {
      std::cerr << "pesmo6-sim: --line wants LETTER=FAMILY (A..D, one of 7410 7410-raw kvt ohaus msi3360 msi6260 "
                   "trilograf), not "
                << entry << std::endl;
      return kUsage;
    }
    lines[std::toupper(letter[0]) - 'A' + 1] = family;
  }
  if (lines.empty()) lines[1] = "7410";
  bool tagReader = false;
  for (const auto& entry : lines) tagReader = tagReader || entry.second == "trilograf";
  if (!p.tag.empty() && !tagReader) {
    std::cerr << "pesmo6-sim: --tag applies to a trilograf line only" << std::endl;
    return kUsage;
  }
  for (const auto& [l, family] : lines) {
    const std::string problem = CheckPlay(family, p, true);
    if (!problem.empty()) {
      std::cerr << "pesmo6-sim: line " << static_cast<char>('A' + l - 1) << ": " << problem << std::endl;
      return kUsage;
    }
  }

  std::unique_ptr<pesmo6sim::Converter> conv;
  try {
    conv = std::make_unique<pesmo6sim::Converter>(address);
  } catch (const std::exception& e) {
    std::cerr << "pesmo6-sim: cannot listen on " << address << ": " << e.what() << std::endl;
    return 69;
  }
  conv->SetInputs(inputs);
  std::vector<std::unique_ptr<pesmo6sim::OhausBalance>> balances;
  std::vector<std::pair<int, pesmo6sim::OhausBalance*>> answering;
  std::vector<std::unique_ptr<pesmo6sim::NetworkTagReader>> readers;
  for (const auto& [l, family] : lines) {
    const FamilyInfo& f = Families().at(family);
    // The converter's serial line runs at the indicator's speed.
    conv->SetLinePace(l, f.pace);
    if (f.listening) {
      conv->SetLineGenerator(l, Generator(family, p), f.period);
    } else if (family == "ohaus") {
      balances.push_back(std::make_unique<pesmo6sim::OhausBalance>(*conv, l));
      answering.emplace_back(l, balances.back().get());
    } else {
      readers.push_back(std::make_unique<pesmo6sim::NetworkTagReader>(*conv, l));
      if (!p.silent) readers.back()->Present(p.tag.empty() ? "E2801160" : p.tag, std::chrono::milliseconds(100));
    }
  }
  std::cout << "converter " << conv->Address() << " ready" << std::endl;
  for (const auto& [l, family] : lines) std::cout << "line " << static_cast<char>('A' + l - 1) << " " << family << " port " << 8880 + l << std::endl;

  std::mt19937 rng(std::random_device{}());
  const auto start = Clock::now();
  auto lastDrop = start;
  RunFor(seconds, [&] {
    for (auto& [l, bal] : answering) bal->SetAnswer(OhausAnswer(p, start, rng));
    if (p.dropEvery > 0 && Clock::now() - lastDrop >= std::chrono::duration<double>(p.dropEvery)) {
      lastDrop = Clock::now();
      for (const auto& entry : lines) conv->DropLine(entry.first);
    }
  });
  readers.clear();
  balances.clear();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"pesmo6-sim: a simulated weighing indicator on a pseudo-terminal, or a simulated converter\n"
               "on a loopback address, for hosts and the pesmo6 tool to read without hardware.",
               "pesmo6-sim"};
  app.require_subcommand(1);
  std::vector<std::string> names;
  for (const auto& entry : Families()) names.push_back(entry.first);

  Play p;
  std::string family, link, address;
  double seconds = 0;
  std::vector<std::string> lineSpecs;
  int inputs = 0;

#ifdef _WIN32
  // Listed, so that asking for it says where it runs.
  CLI::App* serial = app.add_subcommand("serial", "an indicator on a pseudo-terminal: needs Linux, not in this build");
  serial->prefix_command();
  app.footer("This Windows build runs the converter mode only; the serial mode needs Linux (pseudo-terminals).");
#else
  CLI::App* serial = app.add_subcommand("serial", "an indicator on a pseudo-terminal; prints \"device /dev/pts/N\" first");
  serial->add_option("family", family, "indicator family")->required()->check(CLI::IsMember(names));
  serial->add_option("--link", link, "also make this symbolic link to the device");
  serial->add_option("--seconds", seconds, "stop after S seconds (default: until killed)")->check(CLI::Range(0.0, 1e7));
  AddPlayOptions(*serial, p);
#endif

  CLI::App* converter = app.add_subcommand("converter", "a converter: lines A..D on 8881..8884, I/O commands on 8880");
  converter->add_option("--address", address, "loopback address 127.x.y.z")->required();
  converter->add_option("--line", lineSpecs, "LETTER=FAMILY, e.g. A=7410 (default A=7410)");
  converter->add_option("--inputs", inputs, "value of the digital inputs")->check(CLI::Range(0, 255));
  converter->add_option("--seconds", seconds, "stop after S seconds (default: until killed)")->check(CLI::Range(0.0, 1e7));
  converter->add_option("--drop-every", p.dropEvery, "drop the line connections every S seconds")->check(CLI::Range(0.0, 1e6));
  AddPlayOptions(*converter, p);

  if (const int status = pesmo6tools::ParseCommandLine(app, argc, argv, "pesmo6-sim", kUsage); status >= 0) {
    return status;
  }

#ifdef _WIN32
  if (serial->parsed()) {
    std::cerr << "pesmo6-sim: the serial mode needs Linux (pseudo-terminals); this Windows build runs the converter "
                 "mode only"
              << std::endl;
    return kUsage;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
#else
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
#endif

  try {
#ifndef _WIN32
    if (serial->parsed()) {
      const std::string problem = CheckPlay(family, p, false);
      if (!problem.empty()) {
        std::cerr << "pesmo6-sim: " << problem << std::endl;
        return kUsage;
      }
      return Serial(family, p, link, seconds);
    }
#endif
    return ConverterMode(address, lineSpecs, inputs, p, seconds);
  } catch (const std::exception& e) {
    std::cerr << "pesmo6-sim: " << e.what() << std::endl;
    return 70;
  }
}
