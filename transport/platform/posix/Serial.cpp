#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "../Platform.h"
#include "PumpRegistry.h"
#include "SerialSpeed.h"

namespace pesmo6::platform {

namespace {
bool g_ptyAsHardware = false;
}

void TreatPseudoTerminalsAsHardware(bool on) { g_ptyAsHardware = on; }

// Bytes taken from the device by one read; the handler is told how many and
// takes them one at a time from memory.
constexpr size_t kReadBuffer = 4096;

struct SerialPort::Impl {
  int fd = -1;
  uint64_t pumpId = 0;
  AvailHandler handler;
  // 7 data bits with parity emulated on a port run at 8 data bits.
  bool softParity = false;
  Parity parity = Parity::None;
  // What the last read took that the handler has not taken yet.
  uint8_t buffer[kReadBuffer];
  size_t head = 0;
  size_t tail = 0;

  size_t Buffered() const { return tail - head; }
  void DropBuffered() { head = tail = 0; }

  // One read of what is waiting, into the empty buffer (the build with the
  // fixed pump pass reads one byte at a time, as the library used to).
  void Fill() {
    if (fd < 0 || Buffered() > 0) return;
    DropBuffered();
#ifdef PESMO6_FIXED_PASS
    const size_t want = 1;
#else
    const size_t want = sizeof buffer;
#endif
    ssize_t n;
    do {
      n = ::read(fd, buffer, want);
    } while (n < 0 && errno == EINTR);
    if (n > 0) tail = static_cast<size_t>(n);
  }

  // Buffered bytes keep the pump from blocking while a handler may take them.
  void UpdatePending() {
    if (pumpId != 0) posix::SetPending(pumpId, handler && Buffered() > 0);
  }

  void CloseDescriptor() {
    if (fd < 0) return;
    DropBuffered();
    if (pumpId != 0) posix::UnregisterDescriptor(pumpId);
    pumpId = 0;
    tcflush(fd, TCIOFLUSH);
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    ::close(fd);
    fd = -1;
  }

  short WantedEvents() const { return handler ? POLLIN : 0; }

  // A device that hung up (a USB adapter pulled, a pty master closed) or
  // reports an error: poll() would report it forever.
  bool HungUp() const {
    if (fd < 0) return false;
    pollfd p{fd, 0, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  }

  void OnReady(short revents) {
#ifdef PESMO6_FIXED_PASS
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) != 0) waiting = 0;
    waiting += static_cast<int>(Buffered());
#else
    if (handler && revents != 0) Fill();
    const int waiting = static_cast<int>(Buffered());
#endif
    if (waiting > 0 && handler) {
      // Copy: the handler may detach itself or close the port.
      AvailHandler h = handler;
      h(static_cast<uint16_t>(waiting > 65535 ? 65535 : waiting));
      if (fd >= 0) UpdatePending();
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

using posix::CustomSpeedIs;
using posix::SetCustomSpeed;

// Unix98 pseudo-terminal slaves (/dev/pts/N) have majors 136 to 143.
bool IsPseudoTerminal(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned m = major(st.st_rdev);
  return m >= 136 && m <= 143;
}

// Data bits, parity and stick parity as asked.
bool SameFraming(const termios& applied, const termios& wanted) {
  const tcflag_t mask = CSIZE | PARENB | PARODD | CMSPAR;
  return (applied.c_cflag & mask) == (wanted.c_cflag & mask);
}

bool SpeedApplied(int fd, const termios& applied, speed_t speed, bool custom, int32_t baud) {
  if (custom) return CustomSpeedIs(fd, baud);
  return cfgetospeed(&applied) == speed;
}

// The kind of an open's failure: what the device's errno says, or a line
// setting the device refused.
SerialError::Kinds KindOf(const char* what, int err) {
  if (std::strcmp(what, "in use") == 0 || err == EBUSY) return SerialError::Busy;
  if (err == EACCES || err == EPERM || err == EROFS) return SerialError::Denied;
  if (err == ENOENT || err == ENODEV || err == ENXIO || err == ENOTDIR) return SerialError::Missing;
  if (std::strstr(what, "refused") != nullptr || std::strstr(what, "apply") != nullptr) return SerialError::Settings;
  return SerialError::Other;
}

[[noreturn]] void Fail(const std::string& device, const char* what, int err) {
  throw SerialError(device + ": " + what + " (" + std::strerror(err) + ")", KindOf(what, err));
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
  impl_->softParity = false;
  if (device.empty()) throw SerialError("no device for this port number", SerialError::Missing);
  if (s.dataBits < 5 || s.dataBits > 8) throw SerialError(device + ": data bits out of range", SerialError::Settings);
  if (s.stopBits != 1 && s.stopBits != 2) throw SerialError(device + ": stop bits out of range", SerialError::Settings);
  if (s.baud <= 0) throw SerialError(device + ": unsupported baud rate", SerialError::Settings);
  // Rates outside the termios table (14400, 56000, ...) are set as a
  // number after the table rate 38400 has been applied.
  const speed_t tableSpeed = SpeedFor(s.baud);
  const bool customSpeed = tableSpeed == B0;
  const speed_t speed = customSpeed ? B38400 : tableSpeed;

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
  const termios original = t;
  BuildTermios(t, speed, s);
  const int setResult = tcsetattr(fd, TCSANOW, &t);
  const int setErrno = errno;
  if (customSpeed && !SetCustomSpeed(fd, s.baud)) failWith("baud rate refused");

  if (IsPseudoTerminal(fd) && !g_ptyAsHardware) {
    // Pseudo-terminals force 8 data bits and no parity, and glibc then
    // reports EINVAL although the rest was applied.  Accept the result when
    // what a line must honour (speed, stop bits) took effect.
    if (setResult != 0) {
      termios applied{};
      if (tcgetattr(fd, &applied) != 0 || !SpeedApplied(fd, applied, speed, customSpeed, s.baud) ||
          ((applied.c_cflag & CSTOPB) != 0) != (s.stopBits == 2)) {
        errno = setErrno;
        failWith("line settings refused");
      }
    }
  } else {
    // tcsetattr succeeds when any part applied, and some adapters ignore
    // data bits, parity or stick parity: read the settings back.
    termios applied{};
    if (tcgetattr(fd, &applied) != 0) failWith("cannot read line settings");
    const bool framing = SameFraming(applied, t);
    if (!SpeedApplied(fd, applied, speed, customSpeed, s.baud) ||
        ((applied.c_cflag & CSTOPB) != 0) != (s.stopBits == 2)) {
      errno = EINVAL;
      failWith("line settings refused");
    }
    if (!framing) {
      if (s.dataBits != 7 || s.parity == Parity::None) {
        errno = EINVAL;
        failWith("data bits or parity refused");
      }
      // 7 data bits with parity are 8 bits on the wire: run the port at 8
      // data bits without parity and put the parity bit in bit 7 ourselves.
      SerialSettings eight = s;
      eight.dataBits = 8;
      eight.parity = Parity::None;
      termios e = original;
      BuildTermios(e, speed, eight);
      tcsetattr(fd, TCSANOW, &e);
      if (customSpeed && !SetCustomSpeed(fd, s.baud)) failWith("baud rate refused");
      termios back{};
      if (tcgetattr(fd, &back) != 0 || !SameFraming(back, e) ||
          !SpeedApplied(fd, back, speed, customSpeed, s.baud)) {
        errno = EINVAL;
        failWith("neither 7 data bits with parity nor 8 data bits apply");
      }
      impl_->softParity = true;
      impl_->parity = s.parity;
    }
  }
  // Modem lines: pseudo-terminals answer ENOTTY; a real port honours them.
  int dtr = TIOCM_DTR, rts = TIOCM_RTS;
  ioctl(fd, s.dtr ? TIOCMBIS : TIOCMBIC, &dtr);
  ioctl(fd, s.rts ? TIOCMBIS : TIOCMBIC, &rts);
  // A freshly opened port starts with empty buffers, whatever the device
  // kept while nobody listened.
  tcflush(fd, TCIOFLUSH);

  if (!impl_->softParity) impl_->parity = s.parity;
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
  impl_->UpdatePending();
}

uint8_t SerialPort::ReadByte() {
  Impl& impl = *impl_;
  if (impl.fd < 0) throw SerialError("port closed");
  impl.Fill();
  if (impl.Buffered() == 0) throw SerialError("no byte waiting");
  const uint8_t b = impl.buffer[impl.head++];
  if (impl.head == impl.tail) impl.DropBuffered();
  // Bytes left in memory, which no readiness will announce again.
  impl.UpdatePending();
  return impl.softParity ? static_cast<uint8_t>(b & 0x7F) : b;
}

size_t SerialPort::DiscardInput() {
  if (impl_->fd < 0) return 0;
  if (impl_->HungUp()) {
    // Found dead when an update starts: close it, so the update opens the
    // device again (or learns that it is gone).
    impl_->CloseDescriptor();
    return 0;
  }
  int waiting = 0;
  if (ioctl(impl_->fd, FIONREAD, &waiting) != 0 || waiting < 0) waiting = 0;
  const size_t dropped = impl_->Buffered() + static_cast<size_t>(waiting);
  impl_->DropBuffered();
  impl_->UpdatePending();
  tcflush(impl_->fd, TCIFLUSH);
  return dropped;
}

bool SerialPort::SoftwareParity() const { return impl_->fd >= 0 && impl_->softParity; }

void SerialPort::Write(const uint8_t* data, size_t length) {
  if (impl_->fd < 0) throw SerialError("port closed");
  std::string parityBytes;
  if (impl_->softParity) {
    parityBytes.reserve(length);
    for (size_t i = 0; i < length; ++i) parityBytes.push_back(static_cast<char>(ParityBit7(data[i], impl_->parity)));
    data = reinterpret_cast<const uint8_t*>(parityBytes.data());
  }
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::write(impl_->fd, data + done, length - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      const int err = errno;
      // EIO and its kin: the device is gone (a USB adapter pulled).  Close
      // it; the next update opens it again.
      if (err == EIO || err == ENXIO || err == ENODEV || err == EPIPE) impl_->CloseDescriptor();
      throw SerialError(std::string("write failed: ") + std::strerror(err));
    }
    // Output buffer full: wait for room, bounded so a stalled line cannot hang us.
    pollfd p{impl_->fd, POLLOUT, 0};
    if (poll(&p, 1, 2000) <= 0) throw SerialError("write timed out");
  }
}

#ifdef PESMO6_FUZZ
void SerialPort::FuzzReceive(const uint8_t* data, size_t length) {
  Impl& impl = *impl_;
  if (impl.fd < 0) return;
  if (impl.Buffered() == 0) impl.DropBuffered();
  const size_t room = sizeof impl.buffer - impl.tail;
  const size_t n = length < room ? length : room;
  if (n > 0) std::memcpy(impl.buffer + impl.tail, data, n);
  impl.tail += n;
  impl.UpdatePending();
}
#endif

}  // namespace pesmo6::platform
