// Baud rates outside the termios table, through termios2 and BOTHER.  In a
// unit of its own: the kernel's termios2 header clashes with <termios.h>.
#pragma once

#include <cstdint>

namespace pesmo6::platform::posix {

// Sets input and output speed to `baud`, keeping every other setting.
bool SetCustomSpeed(int fd, int32_t baud);
// Whether the device reports `baud` as its output speed.
bool CustomSpeedIs(int fd, int32_t baud);

}  // namespace pesmo6::platform::posix
