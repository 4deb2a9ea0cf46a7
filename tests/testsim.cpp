// pesmo6-testsim: one simulated indicator for the binding and packaging
// tests, which drive the library from other languages and processes.  It
// plays the indicator on a pseudo-terminal (or behind a simulated converter
// on a loopback address), prints where to find it on its first line:
//
//   device /dev/pts/7        (serial)
//   converter 127.41.3.9 ready   (the indicator is on line --line)
//
// and serves until its standard input ends.  Lines read meanwhile:
//   outputs          -> "outputs N"  (the converter's output port)
//   clears R|W LINE  -> "clears N"   (receive / transmit clears of a line)
//   commands         -> "commands N" (converter commands received)
#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "Converter.h"
#include "Frame7410.h"
#include "FrameMSI.h"
#include "Indicator.h"
#include "Ohaus.h"
#include "Trilograf.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace pesmo6sim;

struct Options {
  std::string family = "7410";
  bool converter = false;
  int line = 1;
  long net = 12345;  // display units
  long tare = 2000;
  int decimals = 2;
  int motionMs = 0;  // moving (and changing) this long after the start
  bool overload = false;
  long total = -1;
  std::string tag = "0102030405060708090AABFF";
  int inputs = 0;
  bool silent = false;
};

// The value moving readings carry: above the final one and rising, so no
// two moving readings are equal.
long Moving(long value) {
  static std::atomic<long> step{0};
  return value + 1 + step++;
}

std::string BytesFromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

// A weight text as an Ohaus balance prints it: blanks, sign, digits, point.
std::string OhausPeso(long value, int decimals) { return Campo(value, decimals, 8, '.'); }

// The frame generator of a family that talks continuously.
std::function<std::string()> Generator(const Options& o, Clock::time_point start) {
  auto moving = [o, start] {
    return Clock::now() - start < std::chrono::milliseconds(o.motionMs);
  };
  if (o.family == "7410" || o.family == "KVT") {
    return [o, moving] {
      const bool m = moving();
      Leitura7410 r = Leitura7410De(m ? Moving(o.net) : o.net, o.tare);
      r.decimalCode = o.decimals > 0 ? o.decimals + 2 : 0;
      r.net = true;
      r.motion = m;
      r.overload = o.overload;
      return o.family == "KVT" ? FrameKVT(r) : Frame7410(r);
    };
  }
  if (o.family == "MSI3360") {
    return [o, moving] {
      const long net = moving() ? Moving(o.net) : o.net;
      return QuadroMSI3360(LeituraMSI3360De(net + o.tare, o.tare, o.decimals));
    };
  }
  // MSI6260: net lines, and with a total, total lines every other 150 ms.
  return [o, start, moving] {
    const long net = moving() ? Moving(o.net) : o.net;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    if (o.total >= 0 && ms / 150 % 2 == 1) return LinhaMSI6260(kRotuloTotal, Campo(o.total, o.decimals));
    return LinhaMSI6260(kRotuloNet, Campo(net, o.decimals));
  };
}

// A character's time on the family's wire: the library drops what comes
// faster than the line could carry it.
std::chrono::microseconds WirePace(const std::string& family) {
  if (family == "MSI6260") return std::chrono::microseconds(8334);  // 1200 baud, 7M1
  if (family == "MSI3360") return std::chrono::microseconds(1042);  // 9600 baud, 8N1
  return std::chrono::microseconds(2084);                           // 4800 baud, 7E1
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{"Plays one simulated weighing indicator for the binding tests"};
  app.add_option("--family", o.family, "indicator family")
      ->check(CLI::IsMember({"7410", "KVT", "MSI3360", "MSI6260", "Ohaus", "Trilograf"}));
  app.add_flag("--converter", o.converter, "behind a simulated converter instead of a pseudo-terminal");
  app.add_option("--line", o.line, "converter line, 1 (A) to 4 (D)")->check(CLI::Range(1, 4));
  app.add_option("--net", o.net, "net weight in display units");
  app.add_option("--tare", o.tare, "tare in display units");
  app.add_option("--decimals", o.decimals, "decimals of the weights")->check(CLI::Range(0, 5));
  app.add_option("--motion-ms", o.motionMs, "readings move this long after the start")->check(CLI::NonNegativeNumber);
  app.add_flag("--overload", o.overload, "7410/KVT frames report overload");
  app.add_option("--total", o.total, "MSI6260 total in display units (alternates with the net line)");
  app.add_option("--tag", o.tag, "Trilograf tag: 24 hex digits on a serial port, any text on a converter line");
  app.add_option("--inputs", o.inputs, "the converter's digital input value");
  app.add_flag("--silent", o.silent, "the indicator sends nothing");
  CLI11_PARSE(app, argc, argv);

  try {
    const auto start = Clock::now();
    std::unique_ptr<Converter> conv;
    std::unique_ptr<StreamingIndicator> stream;
    std::unique_ptr<OhausBalance> ohaus;
    std::unique_ptr<TagReader> reader;
    std::unique_ptr<NetworkTagReader> netReader;
    std::string where;
    if (o.converter) {
      conv = std::make_unique<Converter>();
      conv->SetInputs(o.inputs);
      where = "converter " + conv->Address() + " ready";
    }

    std::atomic<bool> stop{false};
    std::thread settle;  // turns a moving Ohaus balance still
    if (o.family == "Ohaus") {
      ohaus = conv ? std::make_unique<OhausBalance>(*conv, o.line) : std::make_unique<OhausBalance>();
      if (!o.silent) {
        const std::string still = OhausLinha(OhausPeso(o.net, o.decimals));
        if (o.motionMs > 0) {
          ohaus->SetAnswer(OhausLinha(OhausPeso(o.net + 3, o.decimals), "kg", true));
          settle = std::thread([&, still] {
            while (!stop && Clock::now() - start < std::chrono::milliseconds(o.motionMs))
              std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ohaus->SetAnswer(still);
          });
        } else {
          ohaus->SetAnswer(still);
        }
      }
      if (!conv) where = "device " + ohaus->Device();
    } else if (o.family == "Trilograf") {
      if (conv) {
        netReader = std::make_unique<NetworkTagReader>(*conv, o.line);
        if (!o.silent) netReader->Present(o.tag);
      } else {
        reader = std::make_unique<TagReader>();
        reader->SetTag(o.silent ? std::string() : BytesFromHex(o.tag));
        where = "device " + reader->Device();
      }
    } else if (conv) {
      conv->SetLinePace(o.line, WirePace(o.family));
      if (!o.silent) conv->SetLineGenerator(o.line, Generator(o, start));
    } else {
      stream = std::make_unique<StreamingIndicator>(std::chrono::milliseconds(20));
      stream->SetWirePace(WirePace(o.family));
      if (!o.silent) stream->SetGenerator(Generator(o, start));
      where = "device " + stream->Device();
    }

    std::cout << where << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
      std::istringstream in(line);
      std::string word;
      in >> word;
      if (word == "outputs" && conv) {
        std::cout << "outputs " << conv->Outputs() << std::endl;
      } else if (word == "clears" && conv) {
        std::string kind;
        int n = 0;
        in >> kind >> n;
        std::cout << "clears " << conv->Clears(kind.empty() ? 'R' : kind[0], n) << std::endl;
      } else if (word == "commands" && conv) {
        std::cout << "commands " << conv->Commands().size() << std::endl;
      } else if (!word.empty()) {
        std::cout << "unknown " << word << std::endl;
      }
    }
    stop = true;
    if (settle.joinable()) settle.join();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pesmo6-testsim: %s\n", e.what());
    return 1;
  }
  return 0;
}
