#include <atomic>

#include "../Platform.h"
#include "Win32.h"

namespace pesmo6::platform {
namespace {
std::atomic<uint32_t> g_shift{0};
std::atomic<uint64_t> g_shiftTotal{0};
}

uint32_t Tick() { return static_cast<uint32_t>(GetTickCount()) + g_shift.load(std::memory_order_relaxed); }

uint64_t Micros() {
  static const uint64_t frequency = [] {
    LARGE_INTEGER f{};
    QueryPerformanceFrequency(&f);
    return static_cast<uint64_t>(f.QuadPart > 0 ? f.QuadPart : 1);
  }();
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
  const uint64_t us = ticks / frequency * 1000000u + ticks % frequency * 1000000u / frequency;
  return us + g_shiftTotal.load(std::memory_order_relaxed) * 1000u;
}

void ShiftTick(uint32_t deltaMs) {
  g_shift.fetch_add(deltaMs, std::memory_order_relaxed);
  g_shiftTotal.fetch_add(deltaMs, std::memory_order_relaxed);
}

void SleepMs(uint32_t ms) { Sleep(ms); }

}  // namespace pesmo6::platform
