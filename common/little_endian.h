// Little-endian values in byte buffers: the order of every IA-32 register,
// PE32/TE, FFS and firmware-volume field, PCI configuration space and the
// guest's memory. Reads and writes of 1 to 8 bytes, at any offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace common::le {

// The value of the `width` bytes at `at` (width 1 to 8).
constexpr std::uint64_t load(const std::uint8_t *at, unsigned width) {
  std::uint64_t value = 0;
  for (unsigned i = width; i-- > 0;) {
    value = value << 8 | at[i];
  }
  return value;
}
constexpr std::uint64_t load(std::span<const std::uint8_t> bytes,
                             std::size_t offset, unsigned width) {
  return load(bytes.subspan(offset, width).data(), width);
}
constexpr std::uint16_t load16(std::span<const std::uint8_t> bytes,
                               std::size_t offset = 0) {
  return static_cast<std::uint16_t>(load(bytes, offset, 2));
}
constexpr std::uint32_t load32(std::span<const std::uint8_t> bytes,
                               std::size_t offset = 0) {
  return static_cast<std::uint32_t>(load(bytes, offset, 4));
}
constexpr std::uint64_t load64(std::span<const std::uint8_t> bytes,
                               std::size_t offset = 0) {
  return load(bytes, offset, 8);
}

// Stores the low `width` bytes of value at `at` (width 1 to 8).
constexpr void store(std::uint8_t *at, unsigned width, std::uint64_t value) {
  for (unsigned i = 0; i < width; ++i) {
    at[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}
constexpr void store(std::span<std::uint8_t> bytes, std::size_t offset,
                     unsigned width, std::uint64_t value) {
  store(bytes.subspan(offset, width).data(), width, value);
}
constexpr void store16(std::span<std::uint8_t> bytes, std::size_t offset,
                       std::uint16_t value) {
  store(bytes, offset, 2, value);
}
constexpr void store32(std::span<std::uint8_t> bytes, std::size_t offset,
                       std::uint32_t value) {
  store(bytes, offset, 4, value);
}

// Appends the low `width` bytes of value.
inline void append(std::vector<std::uint8_t> &to, unsigned width,
                   std::uint64_t value) {
  for (unsigned i = 0; i < width; ++i) {
    to.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }
}
// Appends bytes as they lie (a GUID, a section, a whole structure).
inline void append(std::vector<std::uint8_t> &to,
                   std::span<const std::uint8_t> from) {
  to.insert(to.end(), from.begin(), from.end());
}

} // namespace common::le
