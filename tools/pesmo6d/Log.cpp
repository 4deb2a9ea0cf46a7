#include "Log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace pesmo6d {

namespace {
std::atomic<int> g_level{static_cast<int>(Level::Info)};
std::mutex g_mutex;
}  // namespace

void SetLogLevel(Level level) { g_level = static_cast<int>(level); }

bool ParseLevel(const std::string& text, Level& level) {
  static const char* names[] = {"error", "warn", "info", "debug"};
  for (int i = 0; i < 4; ++i) {
    if (text == names[i]) {
      level = static_cast<Level>(i);
      return true;
    }
  }
  return false;
}

bool Logs(Level level) { return static_cast<int>(level) <= g_level.load(std::memory_order_relaxed); }

std::string IsoTime(std::chrono::system_clock::time_point t) {
  const std::time_t s = std::chrono::system_clock::to_time_t(t);
  const int ms = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000);
  std::tm tm{};
  gmtime_r(&s, &tm);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
  return stamp;
}

void Log(Level level, const std::string& message) {
  if (!Logs(level)) return;
  static const char* tags[] = {"error", "warn", "info", "debug"};
  const std::string stamp = IsoTime(std::chrono::system_clock::now());
  std::lock_guard<std::mutex> lock(g_mutex);
  std::fprintf(stderr, "%s pesmo6d %s: %s\n", stamp.c_str(), tags[static_cast<int>(level)], message.c_str());
  std::fflush(stderr);
}

}  // namespace pesmo6d
