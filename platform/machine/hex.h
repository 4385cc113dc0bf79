// Hexadecimal formatting for addresses and register values in messages.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace machine {

// "0x" followed by at least `digits` upper-case hexadecimal digits.
inline std::string hex(std::uint64_t value, unsigned digits = 1) {
  char text[32];
  std::snprintf(text, sizeof(text), "0x%0*llX", static_cast<int>(digits),
                static_cast<unsigned long long>(value));
  return text;
}

} // namespace machine
