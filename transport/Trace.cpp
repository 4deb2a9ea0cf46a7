#include "Trace.h"

#include <limits>
#include <string>

namespace pesmo6 {
namespace {
Pesmo6LogCallback g_logSink = nullptr;
}  // namespace

void SetLogSink(Pesmo6LogCallback sink) { g_logSink = sink; }

void Log(std::string_view linha) {
  if (Pesmo6LogCallback sink = g_logSink) {
    const std::string line(linha);
    sink(line.c_str());
  }
}

void SetTrafficSink(Pesmo6TrafficCallback sink) { g_trafego = sink; }

void Trafego(int32_t canal, int32_t sentido, const uint8_t* bytes, size_t quantos) {
  Pesmo6TrafficCallback sink = g_trafego;
  if (sink == nullptr || quantos == 0) return;
  // Blocks beyond what one call can count go out in pieces.
  constexpr size_t kMax = static_cast<size_t>(std::numeric_limits<int32_t>::max());
  while (quantos > 0) {
    const size_t parte = quantos < kMax ? quantos : kMax;
    sink(canal, sentido, bytes, static_cast<int32_t>(parte));
    bytes += parte;
    quantos -= parte;
    sink = g_trafego;  // the host may have turned it off from inside
    if (sink == nullptr) return;
  }
}

}  // namespace pesmo6
