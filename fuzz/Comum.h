// Checks shared by the driver targets.
#pragma once

#include <cmath>
#include <string>

#include "Bancada.h"
#include "pesmo6.h"

namespace pesmo6fuzz {

// A weight text as the frame drivers and the Ohaus driver write it: ten
// characters of digits, blanks, at most one minus and the separator.
inline bool PesoDezCaracteres(const std::string& t) {
  if (t.size() != 10) return false;
  for (char c : t) {
    if (!(c == ' ' || c == '-' || c == '.' || c == ',' || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

inline bool Flag(const std::string& t) { return t == "S" || t == "N"; }

// The floating readouts of every weight: a number, never a NaN or infinity.
inline void ConfereNumeros(int32_t canal) {
  FUZZ_CHECK(std::isfinite(Gross_Canal_Float(canal)));
  FUZZ_CHECK(std::isfinite(Net_Canal_Float(canal)));
  FUZZ_CHECK(std::isfinite(Tare_Canal_Float(canal)));
}

}  // namespace pesmo6fuzz
