#include <time.h>

#include <atomic>
#include <cerrno>

#include "../Platform.h"

namespace pesmo6::platform {
namespace {
std::atomic<uint32_t> g_shift{0};
std::atomic<uint64_t> g_shiftTotal{0};
}

uint32_t Tick() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms) + g_shift.load(std::memory_order_relaxed);
}

uint64_t Micros() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t us = static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
  return us + g_shiftTotal.load(std::memory_order_relaxed) * 1000u;
}

void ShiftTick(uint32_t deltaMs) {
  g_shift.fetch_add(deltaMs, std::memory_order_relaxed);
  g_shiftTotal.fetch_add(deltaMs, std::memory_order_relaxed);
}

void SleepMs(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace pesmo6::platform
