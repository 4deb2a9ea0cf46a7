// What the field tools and the gateway share: the indicator families and
// their registrations, and the library's texts made fit for JSON.
#ifndef PESMO6_TOOLS_FAMILIES_H
#define PESMO6_TOOLS_FAMILIES_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pesmo6.h"

namespace pesmo6tools {

struct Family {
  const char* name;
  int32_t(PESMO6_CALL* serial)(uint32_t);
  int32_t(PESMO6_CALL* network)(int32_t, const char*);
  bool listening;  // talks continuously; the others answer requests
  bool raw, tag, total;
};

// 7410, 7410-raw, kvt, ohaus, msi3360, msi6260, trilograf.
const std::vector<Family>& Families();
const Family* FindFamily(const std::string& name);
std::vector<std::string> FamilyNames();

// Windows-1252 to UTF-8 (the library's texts, for JSON and the terminal).
std::string Utf8(const char* text);

// A weight text as a number, whatever the decimal separator: blanks, a
// sign, digits with at most one '.' or ','.  Empty when it is no number.
std::optional<double> Number(const std::string& text);

// The unit named by a status text (characters 6 and 7), "kg" or "lb";
// empty when the status names none.
std::string StatusUnit(const std::string& status);

}  // namespace pesmo6tools

#endif
