// The indicator families and the text helpers shared by the field tools
// and the gateway.
#include "Families.h"

#include <cctype>

#include "../engine/ListaFamilias.h"

namespace pesmo6tools {

const std::vector<Family>& Families() {
#define PESMO6_FAMILIA(codigo, nome, serial, rede, escuta, bruto, etiqueta, total) \
  {nome, serial, rede, escuta, bruto, etiqueta, total},
  static const std::vector<Family> f = {PESMO6_FAMILIAS(PESMO6_FAMILIA)};
#undef PESMO6_FAMILIA
  return f;
}

const Family* FindFamily(const std::string& name) {
  for (const auto& f : Families()) {
    if (name == f.name) return &f;
  }
  return nullptr;
}

std::vector<std::string> FamilyNames() {
  std::vector<std::string> names;
  for (const auto& f : Families()) names.emplace_back(f.name);
  return names;
}

std::string Utf8(const char* text) {
  static const uint16_t k80[32] = {0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                   0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD,
                                   0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                   0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
  std::string out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text ? text : ""); *p; ++p) {
    unsigned cp = *p;
    if (cp >= 0x80 && cp < 0xA0) cp = k80[cp - 0x80];
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::optional<double> Number(const std::string& text) {
  size_t i = text.find_first_not_of(' ');
  const size_t end = text.find_last_not_of(' ');
  if (i == std::string::npos) return std::nullopt;
  double sign = 1.0;
  if (text[i] == '-' || text[i] == '+') {
    if (text[i] == '-') sign = -1.0;
    i = text.find_first_not_of(' ', i + 1);
    if (i == std::string::npos || i > end) return std::nullopt;
  }
  double value = 0.0, scale = 0.0;
  bool digit = false;
  for (; i <= end; ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      digit = true;
      if (scale == 0.0) value = value * 10 + (c - '0');
      else value += (c - '0') * (scale /= 10);
    } else if ((c == '.' || c == ',') && scale == 0.0) {
      scale = 1.0;
    } else {
      return std::nullopt;
    }
  }
  if (!digit) return std::nullopt;
  return sign * value;
}

std::string StatusUnit(const std::string& status) {
  std::string unit = status.size() >= 7 ? status.substr(5, 2) : std::string();
  for (char& c : unit) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (unit == "kg" || unit == "lb") return unit;
  return std::string();
}

}  // namespace pesmo6tools
