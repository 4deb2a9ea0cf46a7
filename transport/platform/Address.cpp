#include "Platform.h"

namespace pesmo6::platform {

std::string NormalizeAddress(const std::string& address) {
  const auto first = address.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  const auto last = address.find_last_not_of(" \t");
  return address.substr(first, last - first + 1);
}

}  // namespace pesmo6::platform
