#include "Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <stdexcept>

#include "WireSchedule.h"

namespace pesmo6sim {

Pty::Pty() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    if (master_ >= 0) close(master_);
    throw std::runtime_error("cannot create a pseudo-terminal");
  }
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) {
    close(master_);
    throw std::runtime_error("cannot name the pseudo-terminal");
  }
  slavePath_ = name;
}

Pty::~Pty() {
  if (master_ >= 0) close(master_);
}

bool Pty::Write(const std::string& bytes) {
  size_t done = 0;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    } else {
      if (std::chrono::steady_clock::now() > limit) return false;
      pollfd p{master_, POLLOUT, 0};
      poll(&p, 1, 10);
    }
  }
  return true;
}

bool Pty::WritePaced(const std::string& bytes, std::chrono::microseconds pace) {
  if (pace.count() <= 0) return Write(bytes);
  // Each character once the wire would have carried it whole.
  WireSchedule wire(pace, bytes.size(), std::chrono::microseconds(3000));
  size_t done = 0;
  while (done < bytes.size()) {
    const size_t due = wire.Due(done, std::chrono::steady_clock::now());
    if (due > done) {
      // A reader that lags fills the terminal's buffer: wait for room, for
      // a while, as a wire's sender would lose nothing either.
      int tries = 0;
      while (!Write(bytes.substr(done, due - done))) {
        if (++tries > 30) return false;
      }
      done = due;
      continue;
    }
    std::this_thread::sleep_until(wire.At(done + 1));
  }
  return true;
}

std::string Pty::Read(int timeoutMs) {
  std::string out;
  pollfd p{master_, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return out;
  char buf[512];
  for (;;) {
    const ssize_t n = ::read(master_, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

bool Pty::SlaveAttributes(termios& t) const {
  // On Linux the master answers for the slave's settings.
  return tcgetattr(master_, &t) == 0;
}

}  // namespace pesmo6sim
