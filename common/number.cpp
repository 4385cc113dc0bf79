#include "number.h"

#include "usage.h"

namespace common {

namespace {

// The value of one digit in `base`, or -1 when `c` is none.
int digitValue(char c, std::uint64_t base) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (base == 16 && c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (base == 16 && c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

} // namespace

NumberReading readNumber(std::string_view text, Radix radix) {
  std::string_view digits = text;
  std::uint64_t base = radix == Radix::Hex ? 16 : 10;
  if (radix == Radix::DecimalOrHex &&
      (digits.starts_with("0x") || digits.starts_with("0X"))) {
    digits.remove_prefix(2);
    base = 16;
  }
  NumberReading reading;
  reading.digits = digits.size();
  if (digits.empty()) {
    reading.fault = NumberReading::Fault::NotANumber;
    return reading;
  }
  for (const char c : digits) {
    const int digit = digitValue(c, base);
    if (digit < 0) {
      reading.fault = NumberReading::Fault::NotANumber;
      return reading;
    }
    const auto add = static_cast<std::uint64_t>(digit);
    if (reading.value > (~0ull - add) / base) {
      reading.fault = NumberReading::Fault::TooLarge;
      return reading;
    }
    reading.value = reading.value * base + add;
  }
  return reading;
}

std::optional<std::uint64_t> numberAtMost(std::string_view text,
                                          std::uint64_t max, Radix radix) {
  const NumberReading reading = readNumber(text, radix);
  if (reading.fault != NumberReading::Fault::None || reading.value > max) {
    return std::nullopt;
  }
  return reading.value;
}

std::uint64_t parseNumber(std::string_view text, std::uint64_t max,
                          const std::string &what) {
  // 20 digits hold every 64-bit decimal number.
  constexpr std::size_t kMaxDigits = 20;
  const NumberReading reading = readNumber(text, Radix::DecimalOrHex);
  if (reading.fault == NumberReading::Fault::NotANumber ||
      reading.digits > kMaxDigits) {
    throw badValue(what, "a number", inQuotes(text));
  }
  if (reading.fault == NumberReading::Fault::TooLarge || reading.value > max) {
    throw badValue(what, "at most " + std::to_string(max), text);
  }
  return reading.value;
}

} // namespace common
