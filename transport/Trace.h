// The library's trace points.  Operations compose short trace lines and hand
// them here; they reach the host only through its Seta_Log callback.  The
// byte tap hands the host every byte a channel or a converter command
// exchange receives or sends, through its Seta_Trafego callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "pesmo6.h"

namespace pesmo6 {

void Log(std::string_view linha);
void SetLogSink(Pesmo6LogCallback sink);

// Byte directions of the tap.
constexpr int32_t kRecebido = 0;
constexpr int32_t kEnviado = 1;

// The host's byte tap; null while off, so that a delivery costs one test.
inline Pesmo6TrafficCallback g_trafego = nullptr;
inline bool TrafegoLigado() { return g_trafego != nullptr; }
void SetTrafficSink(Pesmo6TrafficCallback sink);
// Passes bytes to the tap (nothing while it is off).  `canal` is a channel
// number, or -1 - converter number for a command exchange.
void Trafego(int32_t canal, int32_t sentido, const uint8_t* bytes, size_t quantos);

}  // namespace pesmo6
