// Numbers as users write them on command lines: digits only (no sign, no
// blank, no exponent), checked against 64-bit overflow and a caller's bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace common {

enum class Radix {
  Decimal,
  Hex,
  // Hexadecimal after a 0x or 0X prefix, decimal otherwise: a leading zero
  // never makes a number octal.
  DecimalOrHex,
};

struct NumberReading {
  enum class Fault { None, NotANumber, TooLarge };
  std::uint64_t value = 0;
  Fault fault = Fault::None; // TooLarge: more than 64 bits
  std::size_t digits = 0;    // characters after the prefix, read or not
};

// Reads all of `text` as a number in `radix`.
[[nodiscard]] NumberReading readNumber(std::string_view text, Radix radix);

// The number `text` holds when it is one of at most `max`, else nothing;
// for callers that word their own error.
[[nodiscard]] std::optional<std::uint64_t>
numberAtMost(std::string_view text, std::uint64_t max, Radix radix);

// A number in decimal or 0x-hex (at most 20 digits), within [0, max]; a bad
// one throws UsageError naming it by `what`.
std::uint64_t parseNumber(std::string_view text, std::uint64_t max,
                          const std::string &what);

} // namespace common
