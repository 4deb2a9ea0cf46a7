// The indicator families, listed once.  The library's family table (device
// codes, drivers, registrations) and the tools' family list (names,
// registration exports, what each family reports) are both made from it.
//
// X(code, name, serial export, network export, talks unasked, raw frame,
//   tag, total)
#pragma once

#define PESMO6_FAMILIAS(X)                                                   \
  X(1, "7410", W7410Serial, W7410, true, false, false, false)               \
  X(4, "7410-raw", W7410SerialC, W7410C, true, true, false, false)          \
  X(6, "kvt", WKVTSerial, WKVT, true, false, false, false)                  \
  X(2, "ohaus", WOhausSerial, WOhaus, false, false, false, false)           \
  X(3, "msi3360", WMSI3360Serial, WMSI3360, true, false, false, false)      \
  X(5, "msi6260", WMSI6260Serial, WMSI6260, true, false, false, true)       \
  X(7, "trilograf", WTrilografSerial, WTrilograf, false, false, true, false)
