// The hand-off block (HOB) list that the PEI Foundation keeps and passes on:
// a run of 8-byte aligned blocks in memory, each with a generic header (type,
// length, reserved), starting with the phase hand-off information table
// (PHIT), which records the memory the list lives in and where the free
// part and the list's end are, and ending with an END_OF_HOB_LIST block.
//
// walkHobList reads a list from bytes (the Foundation's own state, a report,
// or anything a PEIM left behind) and refuses anything malformed with the
// offset at fault; HobList keeps a list in guest memory the way the
// Foundation's GetHobList and CreateHob services do.
#pragma once

#include "machine.h"

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace pei {

namespace hob {
inline constexpr std::uint16_t kHandoff = 0x0001;
inline constexpr std::uint16_t kMemoryAllocation = 0x0002;
inline constexpr std::uint16_t kResourceDescriptor = 0x0003;
inline constexpr std::uint16_t kGuidExtension = 0x0004;
inline constexpr std::uint16_t kFirmwareVolume = 0x0005;
inline constexpr std::uint16_t kCpu = 0x0006;
inline constexpr std::uint16_t kMemoryPool = 0x0007;
inline constexpr std::uint16_t kFirmwareVolume2 = 0x0009;
inline constexpr std::uint16_t kLoadPeimUnused = 0x000A;
inline constexpr std::uint16_t kUefiCapsule = 0x000B;
inline constexpr std::uint16_t kFirmwareVolume3 = 0x000C;
inline constexpr std::uint16_t kUnused = 0xFFFE;
inline constexpr std::uint16_t kEndOfList = 0xFFFF;

inline constexpr std::uint32_t kHeaderSize = 8;
inline constexpr std::uint32_t kHandoffSize = 56;
inline constexpr std::uint32_t kHandoffVersion = 0x0009;
// The PHIT's fields, by offset.
inline constexpr std::uint32_t kVersion = 8;
inline constexpr std::uint32_t kBootMode = 12;
inline constexpr std::uint32_t kMemoryTop = 16;
inline constexpr std::uint32_t kMemoryBottom = 24;
inline constexpr std::uint32_t kFreeMemoryTop = 32;
inline constexpr std::uint32_t kFreeMemoryBottom = 40;
inline constexpr std::uint32_t kEndOfHobList = 48;
// No list needs more blocks than this; a longer one is taken as a loop.
inline constexpr std::size_t kMaxBlocks = 65536;

// The type's name as the PI headers give it ("MEMORY_ALLOCATION"), or
// "type 0x1234".
std::string typeName(std::uint16_t type);
} // namespace hob

class HobFormatError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

struct Hob {
  std::uint16_t type = 0;
  std::uint16_t length = 0;            // the whole block, header included
  std::uint32_t offset = 0;            // from the start of the list
  std::span<const std::uint8_t> bytes; // the whole block
};

// Every block from the PHIT at bytes[0] to END_OF_HOB_LIST, which is the
// last one returned. Throws HobFormatError, naming the offset, when the first
// block is no PHIT of its size, a block is shorter than its header or its
// type needs, is not a multiple of 8 bytes long, runs past the bytes, or no
// end comes.
std::vector<Hob> walkHobList(std::span<const std::uint8_t> bytes);

// What GetHobList and CreateHob see: a list in guest memory, its PHIT at
// `phit`. The guest may write into it too; every call reads the PHIT anew.
class HobList {
public:
  // Lays out a PHIT and the end block at the bottom of [bottom, top): the
  // list grows up from there, and the free memory is what lies above it.
  static HobList create(machine::Machine &machine, std::uint32_t bottom,
                        std::uint32_t top, std::uint32_t bootMode);
  HobList(machine::Machine &machine, std::uint32_t phit)
      : machine_(machine), phit_(phit) {}

  std::uint32_t phit() const { return phit_; }
  // Appends a block of `length` bytes (rounded up to 8) with its header
  // written and the rest as the memory held it; returns its address, or
  // the EFI status that refuses it: OUT_OF_RESOURCES when the free memory
  // cannot take it and a new end block, INVALID_PARAMETER for a length
  // shorter than the header (a block the list could not be walked past).
  struct Created {
    std::uint32_t address = 0;
    std::uint32_t status = 0;
  };
  Created append(std::uint16_t type, std::uint32_t length);

  // The PHIT's fields.
  std::uint64_t field(std::uint32_t offset) const;
  void setField(std::uint32_t offset, std::uint64_t value);
  // The list as it stands in guest memory, walked.
  std::vector<std::uint8_t> bytes() const;

private:
  machine::Machine &machine_;
  std::uint32_t phit_;
};

} // namespace pei
