// The rounding the FFS and FV layouts need. Their little-endian fields are
// read, written and appended with common::le.
#pragma once

#include <cstdint>

namespace ffs_format::bytes {

inline std::uint32_t alignUp(std::uint32_t value, std::uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

} // namespace ffs_format::bytes
