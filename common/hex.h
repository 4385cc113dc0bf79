// Hexadecimal formatting for addresses, register values, codes and statuses in
// messages: the one form the platform, the endpoint and the tools print.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace common {

// "0x" followed by at least `digits` upper-case hexadecimal digits.
inline std::string hex(std::uint64_t value, unsigned digits = 1) {
  char text[32];
  std::snprintf(text, sizeof(text), "0x%0*llX", static_cast<int>(digits),
                static_cast<unsigned long long>(value));
  return text;
}

} // namespace common
