// Firmware file system (FFS) files: the 24-byte file header with its
// checksums, state and data alignment, and the sections a PEI module's file
// holds (dependency expression, raw, PE32 or TE, user-interface name).
//
// The layout (header fields, types, attributes, states) is
// common/ffs_layout.h's, which the PE32 reader shares.
#pragma once

#include "efi.h"
#include "ffs_layout.h"

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ffs_format {

using namespace common::ffs;

// Bad input or an impossible layout. The message says what was expected and
// what was found.
class FfsError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// File names, dependencies and volume names are EFI GUIDs in their 16-byte
// storage order.
using Guid = efi::Guid;

// Registry format, "6B102C40-43C0-4B44-B347-CB97B70880ED" (either case, no
// braces); anything else throws FfsError.
Guid parseGuid(std::string_view text);

// The packaged module's file name in every volume it is placed in.
inline constexpr std::string_view kModuleFileGuid =
    "6B102C40-43C0-4B44-B347-CB97B70880ED";
inline constexpr std::string_view kModuleUiName = "TpmTransportPei";

// Dependency expression opcodes.
inline constexpr std::uint8_t kDepexPush = 0x02;
inline constexpr std::uint8_t kDepexAnd = 0x03;
inline constexpr std::uint8_t kDepexTrue = 0x06;
inline constexpr std::uint8_t kDepexEnd = 0x08;

// 8-bit sum that makes `bytes` plus the result add up to zero.
std::uint8_t checksum8(std::span<const std::uint8_t> bytes);

// A section: 4-byte header (24-bit size including the header, type) + body.
std::vector<std::uint8_t> makeSection(std::uint8_t type,
                                      std::span<const std::uint8_t> body);
// A PEI dependency expression: TRUE when `ppis` is empty, otherwise every
// listed PPI must be installed (PUSH g1 [PUSH g2 AND ...] END).
std::vector<std::uint8_t> makeDepex(std::span<const Guid> ppis);
// A user-interface section body: the name as NUL-terminated UTF-16LE. Only
// printable ASCII is accepted, so that the name reads the same everywhere.
std::vector<std::uint8_t> makeUiName(std::string_view name);

// FFS data alignment encodable in the Attributes byte that is at least
// `required` bytes (1, 16, 128, 512, 1K, 4K, 32K, 64K, then 128K..16M with
// the second alignment bit).
std::uint32_t encodableAlignment(std::uint32_t required);
std::uint8_t alignmentAttributes(std::uint32_t alignment);
std::uint32_t alignmentFromAttributes(std::uint8_t attributes);

std::uint8_t storedState(std::uint8_t positiveState, bool erasePolarity);

// A complete file: header with both checksums and the state "data valid".
// `data` is everything after the header. The file data checksum is computed
// when `dataChecksum` is set; otherwise the fixed value 0xAA is stored.
std::vector<std::uint8_t> makeFile(const Guid &name, std::uint8_t type,
                                   std::uint32_t dataAlignment,
                                   std::span<const std::uint8_t> data,
                                   bool erasePolarity, bool dataChecksum);
// A pad file of exactly `size` bytes (at least a header), data erased.
std::vector<std::uint8_t> makePadFile(std::uint32_t size, bool erasePolarity);

} // namespace ffs_format
