// Windows has no pseudo-terminals: the serial simulators (and with them the
// serial mode of pesmo6-sim) exist on Linux only.  The Windows build links
// this so the converter-side simulators, which share their classes with the
// serial ones, build there; a serial one refuses to start.
#include <stdexcept>

#include "Pty.h"

namespace pesmo6sim {

Pty::Pty() { throw std::runtime_error("simulated serial lines (pseudo-terminals) need Linux"); }
Pty::~Pty() = default;
bool Pty::Write(const std::string&) { return false; }
bool Pty::WritePaced(const std::string&, std::chrono::microseconds) { return false; }
std::string Pty::Read(int) { return std::string(); }
bool Pty::SlaveAttributes(termios&) const { return false; }

}  // namespace pesmo6sim
