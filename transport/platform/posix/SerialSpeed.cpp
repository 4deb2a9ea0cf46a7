#include "SerialSpeed.h"

#if defined(__linux__)
#include <asm/ioctls.h>
#include <asm/termbits.h>

// <sys/ioctl.h> would bring the libc termios types back in.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;
#endif

namespace pesmo6::platform::posix {

#if defined(__linux__)
bool SetCustomSpeed(int fd, int32_t baud) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = static_cast<speed_t>(baud);
  t.c_ospeed = static_cast<speed_t>(baud);
  return ioctl(fd, TCSETS2, &t) == 0;
}

bool CustomSpeedIs(int fd, int32_t baud) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  return t.c_ospeed == static_cast<speed_t>(baud);
}
#else
bool SetCustomSpeed(int, int32_t) { return false; }
bool CustomSpeedIs(int, int32_t) { return false; }
#endif

}  // namespace pesmo6::platform::posix
