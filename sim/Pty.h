// A pseudo-terminal pair standing in for a serial cable: the library opens
// the slave path as its port; the simulator writes and reads the master.
#pragma once

#ifdef _WIN32
struct termios;  // no pseudo-terminals on Windows: see PtyWindows.cpp
#else
#include <termios.h>
#endif

#include <chrono>
#include <string>

namespace pesmo6sim {

// The output speed of the terminal behind fd, in baud (-1 when unknown).
int OutputSpeed(int fd);

class Pty {
 public:
  Pty();  // throws std::runtime_error
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& SlavePath() const { return slavePath_; }
  int MasterFd() const { return master_; }

  // Writes every byte; false when the master refuses them (nobody listening
  // and the buffer full).
  bool Write(const std::string& bytes);
  // Writes at a serial wire's pace: each character once the wire would
  // have carried it whole (zero: at once).
  bool WritePaced(const std::string& bytes, std::chrono::microseconds pace);
  // Reads what the slave side sent, waiting at most timeoutMs for the first byte.
  std::string Read(int timeoutMs);
  // The slave's line settings as its last user left them.
  bool SlaveAttributes(termios& t) const;

 private:
  int master_ = -1;
  std::string slavePath_;
};

}  // namespace pesmo6sim
