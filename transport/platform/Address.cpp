#include <string_view>

#include "Platform.h"

namespace pesmo6::platform {

namespace {

// A dotted IPv4 address of four decimal parts of one to three digits, each
// at most 255, rewritten without leading zeros.  False for anything else.
bool PlainDottedQuad(std::string_view text, std::string& out) {
  std::string plain;
  int parts = 0;
  size_t i = 0;
  for (;;) {
    size_t digits = 0;
    unsigned value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      if (++digits > 3) return false;
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
      ++i;
    }
    if (digits == 0 || value > 255) return false;
    if (parts > 0) plain.push_back('.');
    plain += std::to_string(value);
    ++parts;
    if (i == text.size()) break;
    if (text[i] != '.' || parts == 4) return false;
    ++i;
  }
  if (parts != 4) return false;
  out = std::move(plain);
  return true;
}

}  // namespace

std::string NormalizeAddress(const std::string& address) {
  const auto first = address.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  const auto last = address.find_last_not_of(" \t");
  std::string trimmed = address.substr(first, last - first + 1);
  // The system's parsers (inet_aton, getaddrinfo) read "010" as octal 8;
  // hosts write zero-padded parts meaning decimal.
  std::string plain;
  if (PlainDottedQuad(trimmed, plain)) return plain;
  return trimmed;
}

}  // namespace pesmo6::platform
