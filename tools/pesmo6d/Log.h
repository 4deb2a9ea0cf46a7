// Logging to stderr, one line per message, with a level.
#ifndef PESMO6D_LOG_H
#define PESMO6D_LOG_H

#include <chrono>
#include <string>

namespace pesmo6d {

enum class Level { Error = 0, Warn = 1, Info = 2, Debug = 3 };

void SetLogLevel(Level level);
bool ParseLevel(const std::string& text, Level& level);
bool Logs(Level level);
void Log(Level level, const std::string& message);

// ISO 8601 UTC with milliseconds: 2026-01-31T12:00:00.000Z.
std::string IsoTime(std::chrono::system_clock::time_point t);

}  // namespace pesmo6d

#endif
