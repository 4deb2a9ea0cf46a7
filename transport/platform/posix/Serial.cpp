#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "../Platform.h"
#include "PumpRegistry.h"

namespace pesmo6::platform {

struct SerialPort::Impl {
  int fd = -1;
  uint64_t pumpId = 0;
  AvailHandler handler;

  void CloseDescriptor() {
    if (fd < 0) return;
    if (pumpId != 0) posix::UnregisterDescriptor(pumpId);
    pumpId = 0;
    tcflush(fd, TCIOFLUSH);
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    ::close(fd);
    fd = -1;
  }

  short WantedEvents() const { return handler ? POLLIN : 0; }

  void OnReady(short revents) {
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) != 0) waiting = 0;
    if (waiting > 0 && handler) {
      // Copy: the handler may detach itself or close the port.
      AvailHandler h = handler;
      h(static_cast<uint16_t>(waiting > 65535 ? 65535 : waiting));
      return;
    }
    if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
      // The device went away (a USB adapter pulled, a pty master closed).
      // Close it rather than let poll() report it forever; the next update
      // opens it again.
      CloseDescriptor();
    }
  }
};

namespace {

speed_t SpeedFor(int32_t baud) {
  switch (baud) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B0;
  }
}

[[noreturn]] void Fail(const std::string& device, const char* what, int err) {
  throw SerialError(device + ": " + what + " (" + std::strerror(err) + ")");
}

void BuildTermios(termios& t, speed_t speed, const SerialSettings& s) {
  cfmakeraw(&t);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= CLOCAL | CREAD;
  switch (s.dataBits) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    default: t.c_cflag |= CS8; break;
  }
  switch (s.parity) {
    case Parity::None: break;
    case Parity::Odd: t.c_cflag |= PARENB | PARODD; break;
    case Parity::Even: t.c_cflag |= PARENB; break;
    // Mark and space are "stick" parity: CMSPAR with PARODD selecting mark.
    case Parity::Mark: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case Parity::Space: t.c_cflag |= PARENB | CMSPAR; break;
  }
  if (s.stopBits == 2) t.c_cflag |= CSTOPB;
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  if (s.swFlow == SoftwareFlow::Transmit || s.swFlow == SoftwareFlow::Both) t.c_iflag |= IXON;
  if (s.swFlow == SoftwareFlow::Receive || s.swFlow == SoftwareFlow::Both) t.c_iflag |= IXOFF;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
}

}  // namespace

SerialPort::SerialPort() : impl_(std::make_shared<Impl>()) {}
SerialPort::~SerialPort() { impl_->CloseDescriptor(); }

std::string SerialPort::DefaultDevice(uint16_t number) {
  if (number == 0) return std::string();
  return "/dev/ttyS" + std::to_string(number - 1);
}

void SerialPort::Open(const std::string& device, const SerialSettings& s) {
  if (impl_->fd >= 0) return;
  if (device.empty()) throw SerialError("no device for this port number");
  if (s.dataBits < 5 || s.dataBits > 8) throw SerialError(device + ": data bits out of range");
  if (s.stopBits != 1 && s.stopBits != 2) throw SerialError(device + ": stop bits out of range");
  const speed_t speed = SpeedFor(s.baud);
  if (speed == B0) throw SerialError(device + ": unsupported baud rate");

  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) Fail(device, "cannot open", errno);
  auto failWith = [&](const char* what) {
    const int err = errno;
    ::close(fd);
    Fail(device, what, err);
  };
  if (!isatty(fd)) failWith("not a terminal");
  // TIOCEXCL keeps other programs out, but not root; the advisory lock is
  // what makes two opens by privileged programs collide.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) failWith("in use");
  ioctl(fd, TIOCEXCL);

  termios t{};
  if (tcgetattr(fd, &t) != 0) failWith("cannot read line settings");
  BuildTermios(t, speed, s);
  if (tcsetattr(fd, TCSANOW, &t) != 0) {
    // Pseudo-terminals force 8 data bits and no parity, and glibc then
    // reports EINVAL although the rest was applied.  Accept the result when
    // what the hardware must honour (speed, stop bits) took effect.
    termios applied{};
    if (tcgetattr(fd, &applied) != 0 || cfgetospeed(&applied) != speed ||
        ((applied.c_cflag & CSTOPB) != 0) != (s.stopBits == 2)) {
      failWith("line settings refused");
    }
  }
  // Modem lines: pseudo-terminals answer ENOTTY; a real port honours them.
  int dtr = TIOCM_DTR, rts = TIOCM_RTS;
  ioctl(fd, s.dtr ? TIOCMBIS : TIOCMBIC, &dtr);
  ioctl(fd, s.rts ? TIOCMBIS : TIOCMBIC, &rts);
  // A freshly opened port starts with empty buffers, whatever the device
  // kept while nobody listened.
  tcflush(fd, TCIOFLUSH);

  impl_->fd = fd;
  // The pump holds the port weakly and keeps it alive while its handler runs.
  std::weak_ptr<Impl> weak = impl_;
  impl_->pumpId = posix::RegisterDescriptor(fd, impl_->WantedEvents(), [weak](short revents) {
    if (auto impl = weak.lock()) impl->OnReady(revents);
  });
}

void SerialPort::Close() { impl_->CloseDescriptor(); }

bool SerialPort::IsOpen() const { return impl_->fd >= 0; }

void SerialPort::SetAvailHandler(AvailHandler handler) {
  impl_->handler = std::move(handler);
  if (impl_->pumpId != 0) posix::SetEvents(impl_->pumpId, impl_->WantedEvents());
}

uint8_t SerialPort::ReadByte() {
  if (impl_->fd < 0) throw SerialError("port closed");
  uint8_t b = 0;
  ssize_t n;
  do {
    n = ::read(impl_->fd, &b, 1);
  } while (n < 0 && errno == EINTR);
  if (n != 1) throw SerialError("no byte waiting");
  return b;
}

void SerialPort::DiscardInput() {
  if (impl_->fd >= 0) tcflush(impl_->fd, TCIFLUSH);
}

void SerialPort::Write(const uint8_t* data, size_t length) {
  if (impl_->fd < 0) throw SerialError("port closed");
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::write(impl_->fd, data + done, length - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) throw SerialError(std::string("write failed: ") + std::strerror(errno));
    // Output buffer full: wait for room, bounded so a stalled line cannot hang us.
    pollfd p{impl_->fd, POLLOUT, 0};
    if (poll(&p, 1, 2000) <= 0) throw SerialError("write timed out");
  }
}

}  // namespace pesmo6::platform
