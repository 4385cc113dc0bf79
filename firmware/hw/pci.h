// 32-bit PCI configuration access: through the memory-mapped window when the
// processor has it enabled, otherwise through the 0xCF8/0xCFC ports.
#pragma once

#include "pi.h"

// Extended form: bus 27:20, device 19:15, function 14:12, register 11:0.
// Bits 31:28 are ignored.
using PciAddress = UINT32;
// Compact form: bus 23:16, device 15:11, function 10:8, register 7:0.
using PciCompactAddress = UINT32;

constexpr PciAddress ToPciAddress(PciCompactAddress Compact) {
  return ((Compact & 0xFFFF00) << 4) | (Compact & 0xFF);
}
static_assert(ToPciAddress(0x4004) == 0x40004);

extern "C" {

// False, outputs untouched, when the window is off. Length is 2^n MiB as a
// UINT32 (0 when that does not fit); nothing uses it today.
BOOLEAN EFIAPI GetMmioConfigBase(UINT64 *Base, UINT32 *Length);
VOID EFIAPI ReadConfig32(PciAddress Address, UINT32 *Out);
// The value is fetched only when the data is written.
VOID EFIAPI WriteConfig32(PciAddress Address, const UINT32 *Value);

} // extern "C"
