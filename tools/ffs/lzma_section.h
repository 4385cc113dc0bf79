// LZMA in the "alone" form that EDK II's GUID-defined LZMA sections carry:
// 5 property bytes, the 64-bit uncompressed size, then the data.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ffs_format {

// The section GUID-defined sections of this form are named by.
inline constexpr std::string_view kLzmaSectionGuid =
    "EE4E5898-3914-4259-9D6E-DC7BD79403CF";

// The decoded bytes; a stream that does not decode to the size its header
// states, or states more than `budget` bytes, throws FfsError naming
// `where`.
std::vector<std::uint8_t> lzmaDecompress(std::span<const std::uint8_t> stream,
                                         const std::string &where,
                                         std::uint64_t budget = 64ull << 20);
// Compresses with the uncompressed size written into the header: the encoder
// itself writes "unknown", which the firmware's decoder does not accept.
std::vector<std::uint8_t> lzmaCompress(std::span<const std::uint8_t> data);

} // namespace ffs_format
