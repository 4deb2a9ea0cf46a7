// The library's trace point.  Operations compose short trace lines and hand
// them here; they reach the host only through its Seta_Log callback.
#pragma once

#include <string_view>

#include "pesmo6.h"

namespace pesmo6 {

void Log(std::string_view linha);
void SetLogSink(Pesmo6LogCallback sink);

}  // namespace pesmo6
