// Little-endian fields in byte buffers, as every FFS, FV, PE32 and TE
// structure stores them, and the rounding their layouts need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ffs_format::bytes {

inline std::uint32_t alignUp(std::uint32_t value, std::uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

inline void putU16(std::span<std::uint8_t> at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}
inline void putU24(std::span<std::uint8_t> at, std::uint32_t value) {
  for (int i = 0; i < 3; ++i) {
    at[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}
inline void putU32(std::span<std::uint8_t> at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    at[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}
inline std::uint32_t getU(std::span<const std::uint8_t> bytes,
                          std::size_t offset, int width) {
  std::uint32_t value = 0;
  for (int i = width - 1; i >= 0; --i) {
    value = value << 8 | bytes[offset + static_cast<std::size_t>(i)];
  }
  return value;
}

inline void append(std::vector<std::uint8_t> &to,
                   std::span<const std::uint8_t> from) {
  to.insert(to.end(), from.begin(), from.end());
}

} // namespace ffs_format::bytes
