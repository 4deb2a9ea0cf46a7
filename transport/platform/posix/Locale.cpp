#include <langinfo.h>
#include <locale.h>

#include <cstdlib>
#include <string>

#include "../Platform.h"

namespace pesmo6::platform {

namespace {

// What newlocale() builds from an empty name depends on these variables
// only; building it loads the locale's files, five system calls a decode.
std::string LocaleEnvironment() {
  std::string key;
  for (const char* name : {"LC_ALL", "LC_NUMERIC", "LANG", "LOCPATH"}) {
    const char* v = std::getenv(name);
    key += v != nullptr ? v : "";
    key += '\n';
  }
  return key;
}

char SeparatorFromEnvironment() {
  locale_t loc = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr));
  if (loc == static_cast<locale_t>(nullptr)) return '.';
  const char* radix = nl_langinfo_l(RADIXCHAR, loc);
  char c = radix != nullptr ? radix[0] : '\0';
  freelocale(loc);
  // A multi-byte separator has no single Windows-1252 character to stand for it.
  if (c == '\0' || static_cast<unsigned char>(c) >= 0x80) return '.';
  return c;
}

}  // namespace

// The default locale is the one the environment names (LC_ALL, LC_NUMERIC,
// LANG), which is what newlocale() builds from an empty name.  Looked at on
// every call; the locale is built again only when those variables changed.
char SystemDecimalSeparator() {
  static std::string lastEnvironment;
  static char lastSeparator = '.';
  static bool known = false;
  std::string environment = LocaleEnvironment();
  if (!known || environment != lastEnvironment) {
    lastSeparator = SeparatorFromEnvironment();
    lastEnvironment = std::move(environment);
    known = true;
  }
  return lastSeparator;
}

namespace {
const char g_loadSeparator = SystemDecimalSeparator();
}

char LoadDecimalSeparator() { return g_loadSeparator; }

}  // namespace pesmo6::platform
