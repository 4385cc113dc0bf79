// EFI_PEI_PCI_CFG2_PPI, which the services table's PciCfg slot points at:
// configuration accesses made for the guest through the port mechanism
// (0xCF8 selects, 0xCFC-0xCFF move the data), as a module's own port
// accesses make them. Whatever the platform models, or does not, behind the
// ports answers exactly as it answers the guest.
#pragma once

#include "service_table.h"

#include <array>
#include <cstdint>
#include <optional>

namespace pei {

class PciCfgPpi {
public:
  static constexpr std::uint16_t kAddressPort = 0xCF8;
  static constexpr std::uint16_t kDataPort = 0xCFC;
  // The PPI's one segment.
  static constexpr std::uint16_t kSegment = 0;

  // Read, Write and Modify, then the UINT16 Segment (at offset 12).
  static const std::array<ServiceEntry<PciCfgPpi>, 3> kFunctions;

  // Read and Write (services, This, Width, Address, Buffer) and Modify
  // (services, This, Width, Address, SetBits, ClearBits: the register
  // becomes (old & ~ClearBits) | SetBits). EFI_INVALID_PARAMETER for a null
  // buffer, a width other than 8, 16 or 32 bits, or an address past a
  // function's 4 KiB.
  enum class Kind { Read, Write, Modify };
  Answer access(const ServiceCall &call, Kind kind);
};

} // namespace pei
