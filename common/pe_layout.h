// Where the PE32 and TE headers keep the fields that the PE32 reader and
// pei-ffs read and write: offsets in bytes, all fields little-endian.
#pragma once

#include <cstdint>

namespace common::pe {

// The DOS header: its signature, and e_lfanew, the file offset of the PE
// signature that the COFF header follows.
inline constexpr std::uint16_t kDosSignature = 0x5A4D; // "MZ"
inline constexpr std::uint32_t kNewHeaderField = 0x3C;
inline constexpr std::uint32_t kPeSignature = 0x00004550; // "PE\0\0"

// From the PE signature: the COFF header's fields, then the optional header.
namespace coff {
inline constexpr std::uint32_t kMachine = 4;
inline constexpr std::uint32_t kSectionCount = 6;
inline constexpr std::uint32_t kOptionalHeaderSize = 20;
inline constexpr std::uint32_t kCharacteristics = 22;
inline constexpr std::uint32_t kOptionalHeader = 24;
// Characteristics: the image carries no base relocations.
inline constexpr std::uint16_t kRelocsStripped = 0x0001;
} // namespace coff

// From the start of the PE32 optional header.
namespace optional_header {
inline constexpr std::uint32_t kMagic = 0;
inline constexpr std::uint32_t kEntryPoint = 16;
inline constexpr std::uint32_t kBaseOfCode = 20;
inline constexpr std::uint32_t kImageBase = 28;
inline constexpr std::uint32_t kSectionAlignment = 32;
inline constexpr std::uint32_t kFileAlignment = 36;
inline constexpr std::uint32_t kSizeOfImage = 56;
inline constexpr std::uint32_t kSizeOfHeaders = 60;
inline constexpr std::uint32_t kCheckSum = 64;
inline constexpr std::uint32_t kSubsystem = 68;
inline constexpr std::uint32_t kDirectoryCount = 92;
// The data directories: 8 bytes each, an RVA and a size.
inline constexpr std::uint32_t kDirectories = 96;
inline constexpr std::uint32_t kDirectorySize = 8;
inline constexpr std::uint32_t kImportDirectory = 1;
inline constexpr std::uint32_t kBaseRelocDirectory = 5;
inline constexpr std::uint32_t kDebugDirectory = 6;
// The offset of data directory `index` from the optional header.
constexpr std::uint32_t directory(std::uint32_t index) {
  return kDirectories + index * kDirectorySize;
}
} // namespace optional_header

// From the start of a section header; the table of them follows the
// optional header (in a TE image, the TE header).
namespace section_header {
inline constexpr std::uint32_t kName = 0;
inline constexpr std::uint32_t kNameSize = 8;
inline constexpr std::uint32_t kVirtualSize = 8;
inline constexpr std::uint32_t kVirtualAddress = 12;
inline constexpr std::uint32_t kRawSize = 16;
inline constexpr std::uint32_t kRawOffset = 20;
inline constexpr std::uint32_t kCharacteristics = 36;
inline constexpr std::uint32_t kSize = 40;
} // namespace section_header

// The TE header that replaces a PE32's headers up to the section table
// (StrippedSize bytes): signature, machine, section count (8 bits),
// subsystem (8 bits), StrippedSize, entry point, BaseOfCode, ImageBase (64
// bits), then the base-relocation and debug directories. The section table
// follows it.
namespace te {
inline constexpr std::uint16_t kSignature = 0x5A56; // "VZ"
inline constexpr std::uint32_t kMachine = 2;
inline constexpr std::uint32_t kSectionCount = 4;
inline constexpr std::uint32_t kSubsystem = 5;
inline constexpr std::uint32_t kStrippedSize = 6;
inline constexpr std::uint32_t kEntryPoint = 8;
inline constexpr std::uint32_t kBaseOfCode = 12;
inline constexpr std::uint32_t kImageBase = 16;
inline constexpr std::uint32_t kBaseRelocDirectory = 24;
inline constexpr std::uint32_t kDebugDirectory = 32;
inline constexpr std::uint32_t kHeaderSize = 40;
} // namespace te

} // namespace common::pe
