// 32-bit PCI configuration access: through the memory-mapped window when the
// processor has it enabled, otherwise through the 0xCF8/0xCFC ports.
#pragma once

#include "pi.h"

// A configuration address comes in two encodings. Each is its own type, so
// that passing one where the other is meant does not compile; both are one
// UINT32 in memory and on the stack.
//
// Extended form, what the access routines take: bus 27:20, device 19:15,
// function 14:12, register 11:0. Bits 31:28 are ignored.
struct PciAddress {
  UINT32 Value;
};
// Compact form, how the module names its registers: bus 23:16, device 15:11,
// function 10:8, register 7:0. Bits 31:24 are ignored.
struct PciCompactAddress {
  UINT32 Value;
};

// The one conversion between the two.
constexpr PciAddress ToPciAddress(PciCompactAddress Compact) {
  return {((Compact.Value & 0xFFFF00) << 4) | (Compact.Value & 0xFF)};
}
static_assert(ToPciAddress({0x4004}).Value == 0x40004);

extern "C" {

// False, outputs untouched, when the window is off. Length is 2^n MiB as a
// UINT32 (0 when that does not fit); nothing uses it today.
BOOLEAN EFIAPI GetMmioConfigBase(UINT64 *Base, UINT32 *Length);
VOID EFIAPI ReadConfig32(PciAddress Address, UINT32 *Out);
// The value is fetched only when the data is written.
VOID EFIAPI WriteConfig32(PciAddress Address, const UINT32 *Value);

} // extern "C"
