#include <langinfo.h>
#include <locale.h>

#include "../Platform.h"

namespace pesmo6::platform {

// The default locale is the one the environment names (LC_ALL, LC_NUMERIC,
// LANG), which is what newlocale() builds from an empty name.
char SystemDecimalSeparator() {
  locale_t loc = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr));
  if (loc == static_cast<locale_t>(nullptr)) return '.';
  const char* radix = nl_langinfo_l(RADIXCHAR, loc);
  char c = radix != nullptr ? radix[0] : '\0';
  freelocale(loc);
  // A multi-byte separator has no single Windows-1252 character to stand for it.
  if (c == '\0' || static_cast<unsigned char>(c) >= 0x80) return '.';
  return c;
}

namespace {
const char g_loadSeparator = SystemDecimalSeparator();
}

char LoadDecimalSeparator() { return g_loadSeparator; }

}  // namespace pesmo6::platform
