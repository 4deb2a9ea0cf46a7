#include "Trace.h"

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

}  // namespace pesmo6
