// pesmo6-demo: reads weighing indicators through the library's exported API.
//
//   pesmo6-demo                  simulated indicators: a 7410 on a pseudo-terminal,
//                                one behind a simulated converter on loopback,
//                                the converter's digital I/O, then one reading
//                                of every other family
//   pesmo6-demo --device PATH    a real indicator on a serial device
//   pesmo6-demo --converter IP [--line A]
//                                a real indicator on a converter line
//   options: --updates N (live readings, default 8), --stable K (equal
//            readings LePesoConsecutivo asks for, default 3)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "Converter.h"
#include "Frame7410.h"
#include "FrameMSI.h"
#include "Indicator.h"
#include "Ohaus.h"
#include "Trilograf.h"
#include "pesmo6.h"

namespace {

const char* Codigo(int32_t r) {
  switch (r) {
    case 0: return "reading stored";
    case 1: return "no reading within the wait";
    case 2: return "no reading without motion within the wait";
    case 3: return "overload";
    case 4: return "port did not open";
    case 7: return "time limit reached";
    default: return "?";
  }
}

// A truck driving onto the scale: the weight climbs in motion, then settles.
std::function<std::string()> TruckScale() {
  auto start = std::chrono::steady_clock::now();
  return [start] {
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    pesmo6sim::Leitura7410 r;
    r.decimalCode = 3;  // one decimal
    const long target = 183450;  // 18345.0 kg gross
    const long tare = 72000;     // 7200.0 kg
    long gross = t < 2.0 ? static_cast<long>(target * (t / 2.0)) + (static_cast<long>(t * 1000) % 7) * 10 : target;
    r.motion = t < 2.2;
    r.net = true;
    r.weight = pesmo6sim::Digits6(gross - tare < 0 ? tare - gross : gross - tare);
    r.negative = gross < tare;
    r.tare = pesmo6sim::Digits6(tare);
    return pesmo6sim::Frame7410(r);
  };
}

// Live readings, then a stable weight; closes and deletes the channel.
int ReadChannel(int32_t canal, int updates, int stable) {
  std::printf("%-6s %-4s %-12s %-12s %-12s %-10s %s\n", "update", "code", "gross", "net", "tare", "status", "motion");
  for (int i = 1; i <= updates; ++i) {
    Select_Canal(canal);  // cheap on an open link, reconnects a dropped one
    const int32_t r = Update_Canal(canal);
    std::printf("%-6d %-4d [%s] [%s] [%s] %-10s %s\n", i, r, Gross_Canal(canal), Net_Canal(canal),
                Tare_Canal(canal), Estado_Canal(canal), Estado_EmMovimento(canal));
    if (r != 0) std::printf("       (%s)\n", Codigo(r));
  }

  std::printf("\nLePesoConsecutivo(channel, 10 s, %d equal readings)...\n", stable);
  const auto t0 = std::chrono::steady_clock::now();
  const int32_t r = LePesoConsecutivo(canal, 10, stable);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("  -> %d (%s) after %.2f s; net %.2f kg, gross %.2f kg, tare %.2f kg\n", r, Codigo(r), s,
              Net_Canal_Float(canal), Gross_Canal_Float(canal), Tare_Canal_Float(canal));

  Close_Canal(canal);
  std::printf("After Close_Canal: Gross_Canal -> [%s], Update_Canal -> %d\n\n", Gross_Canal(canal),
              Update_Canal(canal));
  Deleta_Canal(canal);
  return r == 0 ? 0 : 1;
}

// One update of a freshly registered channel, on one line.
int OneReading(const char* family, const char* where, int32_t canal) {
  Select_Canal(canal);
  const int32_t r = Update_Canal(canal);
  std::printf("%-9s %-22s code %d  gross [%s] net [%s] tare [%s] status %s", family, where, r, Gross_Canal(canal),
              Net_Canal(canal), Tare_Canal(canal), Estado_Canal(canal));
  if (*Total_Canal(canal)) std::printf(" total [%s]", Total_Canal(canal));
  if (*Tag_Canal(canal)) std::printf(" tag [%s]", Tag_Canal(canal));
  std::printf("\n");
  Close_Canal(canal);
  Deleta_Canal(canal);
  return r == 0 ? 0 : 1;
}

// One simulated indicator of every other family, on a port or a line.
int OtherFamilies() {
  std::printf("== One reading of every other family\n");
  int failures = 0;
  pesmo6sim::Converter conv;
  const int32_t ip = Seta_Ip(conv.Address().c_str());

  pesmo6sim::StreamingIndicator kvt(std::chrono::milliseconds(50));
  pesmo6sim::Leitura7410 k;
  k.decimalCode = 3;
  k.weight = pesmo6sim::Digits6(52310);
  kvt.SetFrame(pesmo6sim::FrameKVT(k));
  Seta_Porta(2, kvt.Device().c_str());
  failures += OneReading("KVT", "serial port 2", WKVTSerial(2));

  pesmo6sim::StreamingIndicator msi3360(std::chrono::milliseconds(50));
  msi3360.SetFrame(pesmo6sim::QuadroMSI3360(pesmo6sim::LeituraMSI3360De(18345, 7200)));
  Seta_Porta(3, msi3360.Device().c_str());
  failures += OneReading("MSI3360", "serial port 3", WMSI3360Serial(3));

  // The line behind the converter runs at the indicator's own speed, 1200
  // baud 7M1: bytes faster than that would be a backlog, never a reading.
  conv.SetLinePace(4, std::chrono::microseconds(8334));
  conv.SetLineFrame(4, pesmo6sim::LinhaMSI6260(pesmo6sim::kRotuloTotal, pesmo6sim::Campo(250000, 1)),
                    std::chrono::milliseconds(100));
  failures += OneReading("MSI6260", "converter line D", WMSI6260(ip, "D"));

  pesmo6sim::OhausBalance ohaus;
  ohaus.SetAnswer(pesmo6sim::OhausLinha("  1834.5", "kg"));
  Seta_Porta(4, ohaus.Device().c_str());
  failures += OneReading("Ohaus", "serial port 4 (asked)", WOhausSerial(4));

  pesmo6sim::TagReader tags;
  Seta_Porta(5, tags.Device().c_str());
  failures += OneReading("Trilograf", "serial port 5 (asked)", WTrilografSerial(5));

  pesmo6sim::NetworkTagReader lineTags(conv, 3);
  lineTags.Present("E2801160");
  failures += OneReading("Trilograf", "converter line C", WTrilograf(ip, "C"));
  return failures;
}

}  // namespace

int main(int argc, char** argv) {
  std::string device, converter, line = "A";
  int updates = 8, stable = 3;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--device") && i + 1 < argc) device = argv[++i];
    else if (!std::strcmp(argv[i], "--converter") && i + 1 < argc) converter = argv[++i];
    else if (!std::strcmp(argv[i], "--line") && i + 1 < argc) line = argv[++i];
    else if (!std::strcmp(argv[i], "--updates") && i + 1 < argc) updates = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--stable") && i + 1 < argc) stable = std::atoi(argv[++i]);
    else {
      std::fprintf(stderr, "usage: %s [--device PATH | --converter IP [--line A..D]] [--updates N] [--stable K]\n",
                   argv[0]);
      return 2;
    }
  }

  const char *produto, *versao, *r1, *r2, *biblioteca;
  FirVer(&produto, &versao, &r1, &r2, &biblioteca);
  std::printf("%s %s (%s)\n\n", biblioteca, versao, produto);

  if (!device.empty() || !converter.empty()) {
    int32_t canal;
    if (!device.empty()) {
      Seta_Porta(1, device.c_str());
      canal = W7410Serial(1);
    } else {
      canal = W7410(Seta_Ip(converter.c_str()), line.c_str());
    }
    if (canal < 0) {
      std::fprintf(stderr, "registration failed: %s\n", Erro_Validacao());
      return 1;
    }
    return ReadChannel(canal, updates, stable);
  }

  int failures = 0;
  {
    pesmo6sim::StreamingIndicator sim(std::chrono::milliseconds(100));
    sim.SetGenerator(TruckScale());
    std::printf("== Truck scale: simulated 7410 indicator on %s (4800 baud, 7E1, a frame every 100 ms)\n",
                sim.Device().c_str());
    Seta_Porta(1, sim.Device().c_str());
    const int32_t canal = W7410Serial(1);
    std::printf("Seta_Porta(1, \"%s\"); W7410Serial(1) -> channel %d\n\n", sim.Device().c_str(), canal);
    failures += ReadChannel(canal, updates, stable);
  }
  {
    pesmo6sim::Converter conv;
    pesmo6sim::Leitura7410 hopper;
    hopper.decimalCode = 4;  // two decimals
    hopper.weight = pesmo6sim::Digits6(25075);
    hopper.kg = true;
    conv.SetLineFrame(2, pesmo6sim::Frame7410(hopper), std::chrono::milliseconds(50));
    std::printf("== Hopper scale: simulated 7410 indicator on line B of a simulated converter at %s\n",
                conv.Address().c_str());
    const int32_t ip = Seta_Ip(conv.Address().c_str());
    const int32_t canal = W7410(ip, "B");
    std::printf("Seta_Ip(\"%s\") -> %d; W7410(%d, \"B\") -> channel %d; Select_Canal -> %d\n\n",
                conv.Address().c_str(), ip, ip, canal, Select_Canal(canal));
    failures += ReadChannel(canal, 3, stable);

    std::printf("== Digital I/O of the same converter\n");
    conv.SetInputs(0x05);  // inputs 0 and 2 on
    std::printf("DIO_InPort(%d) -> %d; DIO_InPortStr -> \"%s\"; DIO_InBitStr(%d, 2) -> '%c'\n", ip,
                DIO_InPort(ip), DIO_InPortStr(ip), ip, static_cast<char>(DIO_InBitStr(ip, 2)));
    const int32_t sent = DIO_OutBitStr(ip, 3, "S");
    std::printf("DIO_OutBitStr(%d, 3, \"S\") -> %d; the converter received \"%s\" and its outputs are now %d\n",
                ip, sent, conv.Commands().back().c_str(), conv.Outputs());
  }
  std::printf("\n");
  failures += OtherFamilies();
  std::printf("\nField tools (README, \"Field tools\"; cmake --build build --target pesmo6-cli pesmo6-sim builds\n"
              "them): ./build/pesmo6-sim serial 7410 --weight 12.5 plays an indicator on a pseudo-terminal;\n"
              "./build/pesmo6 read 7410 --device /dev/pts/N --json reads it, ./build/pesmo6 scan --device PATH\n"
              "names the family, ./build/pesmo6 trace shows the bytes.\n");
  return failures == 0 ? 0 : 1;
}
