#include <atomic>

#include "../Platform.h"
#include "Win32.h"

namespace pesmo6::platform {
namespace {
std::atomic<uint32_t> g_shift{0};
}

uint32_t Tick() { return static_cast<uint32_t>(GetTickCount()) + g_shift.load(std::memory_order_relaxed); }

void ShiftTick(uint32_t deltaMs) { g_shift.fetch_add(deltaMs, std::memory_order_relaxed); }

void SleepMs(uint32_t ms) { Sleep(ms); }

}  // namespace pesmo6::platform
