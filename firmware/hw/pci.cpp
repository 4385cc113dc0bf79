#include "pci.h"

#include "io.h"
#include "registers.h"

namespace {

inline constexpr UINT32 RegisterMask = 0xFFF;
inline constexpr UINT32 LastLegacyRegister = 0xFF;
inline constexpr UINT32 WindowOffsetMask = 0x0FFFFFFF;

// The 0xCF8 address of an extended PCI address. Register bits 11:8 travel in
// bits 27:24, which the chipset honours only while extended configuration
// access is switched on.
constexpr UINT32 PortAddress(PciAddress A) {
  return Registers::PciConfigEnable | ((A & 0xF00) << 16) |
         ((A >> 4) & 0xFF0000) | ((A >> 4) & 0xF800) | ((A >> 4) & 0x700) |
         (A & 0xFC);
}
static_assert(PortAddress(0x40004) == 0x80004004);
static_assert(PortAddress(0x40148) == 0x81004048);
static_assert(PortAddress(0xF0040005) == 0x80004004);

UINT16 DataPort(PciAddress A) {
  return static_cast<UINT16>(Registers::PciConfigDataPort + (A & 3));
}

// base + offset as a 64-bit sum of halves, carrying into the high half.
PhysicalAddress WindowAddress(UINT64 Base, PciAddress A) {
  const UINT32 BaseLow = static_cast<UINT32>(Base);
  const UINT32 Offset = A & WindowOffsetMask;
  const UINT32 Low = BaseLow + Offset;
  const UINT32 Carry = Low < BaseLow ? 1 : 0;
  return {Low, static_cast<UINT32>(Base >> 32) + Carry};
}

// Registers above 0xFF through the ports need extended configuration access,
// switched on in the northbridge configuration MSR for one access only.
struct ExtendedAccess {
  bool Needed;
  UINT32 Saved[2];
};

ExtendedAccess OpenExtendedAccess(PciAddress A) {
  ExtendedAccess Access = {(A & RegisterMask) > LastLegacyRegister, {0, 0}};
  if (Access.Needed) {
    ReadMsr(Registers::MsrNbConfig, Access.Saved, 0);
    const UINT32 On[2] = {Access.Saved[0],
                          Access.Saved[1] |
                              Registers::NbConfigExtendedConfigHigh};
    WriteMsr(Registers::MsrNbConfig, On, 0);
  }
  return Access;
}

void CloseExtendedAccess(const ExtendedAccess &Access) {
  if (Access.Needed) {
    WriteMsr(Registers::MsrNbConfig, Access.Saved, 0);
  }
}

} // namespace

extern "C" {

BOOLEAN EFIAPI GetMmioConfigBase(UINT64 *Base, UINT32 *Length) {
  UINT32 Msr[2] = {0, 0};
  ReadMsr(Registers::MsrMmioConfig, Msr, 0);
  if ((Msr[0] & Registers::MmioConfigEnable) == 0) {
    return FALSE;
  }
  *Base = (static_cast<UINT64>(Msr[1]) << 32) |
          (Msr[0] & Registers::MmioConfigBaseMask);
  const UINT32 SizeField = (Msr[0] >> Registers::MmioConfigSizeShift) &
                           Registers::MmioConfigSizeMask;
  *Length = (1u << SizeField) << 20;
  return TRUE;
}

VOID EFIAPI ReadConfig32(PciAddress Address, UINT32 *Out) {
  UINT64 Base;
  UINT32 Length;
  if (GetMmioConfigBase(&Base, &Length)) {
    const PhysicalAddress At = WindowAddress(Base, Address);
    MemReadByWidth(Width32, At.Low, At.High, Out);
    return;
  }
  const ExtendedAccess Access = OpenExtendedAccess(Address);
  IoWrite32(Registers::PciConfigAddressPort, PortAddress(Address));
  IoReadByWidth(Width32, DataPort(Address), Out);
  CloseExtendedAccess(Access);
}

VOID EFIAPI WriteConfig32(PciAddress Address, const UINT32 *Value) {
  UINT64 Base;
  UINT32 Length;
  if (GetMmioConfigBase(&Base, &Length)) {
    const PhysicalAddress At = WindowAddress(Base, Address);
    MemWrite32(At.Low, At.High, *Value);
    return;
  }
  const ExtendedAccess Access = OpenExtendedAccess(Address);
  IoWrite32(Registers::PciConfigAddressPort, PortAddress(Address));
  IoWrite32(DataPort(Address), *Value);
  CloseExtendedAccess(Access);
}

} // extern "C"
