#include "../Platform.h"
#include "Win32.h"

namespace pesmo6::platform {
namespace {

char SeparatorOf(LCID locale) {
  char buf[8] = {};
  if (GetLocaleInfoA(locale, LOCALE_SDECIMAL, buf, sizeof buf) <= 0 || buf[0] == '\0') return '.';
  return buf[0];
}

// The thread locale of the thread that loads the library, read while the
// DLL attaches to the process.
const char g_loadSeparator = SeparatorOf(GetThreadLocale());

}  // namespace

char SystemDecimalSeparator() { return SeparatorOf(LOCALE_SYSTEM_DEFAULT); }

char LoadDecimalSeparator() { return g_loadSeparator; }

}  // namespace pesmo6::platform
