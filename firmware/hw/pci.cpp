#include "pci.h"

#include "io.h"
#include "registers.h"

namespace {

inline constexpr UINT32 RegisterMask = 0xFFF;
inline constexpr UINT32 LastLegacyRegister = 0xFF;
inline constexpr UINT32 WindowOffsetMask = 0x0FFFFFFF;

// The 0xCF8 address of an extended PCI address: bus, device and function
// move down by four bits into 23:8, the dword's register bits 7:2 stay, and
// register bits 11:8 travel in bits 27:24, which the chipset honours only
// while extended configuration access is switched on.
constexpr UINT32 PortAddress(PciAddress A) {
  return Registers::PciConfigEnable | ((A.Value & 0xF00) << 16) |
         ((A.Value >> 4) & 0xFFFF00) | (A.Value & 0xFC);
}
static_assert(PortAddress({0x40004}) == 0x80004004);
static_assert(PortAddress({0x40148}) == 0x81004048);
static_assert(PortAddress({0xF0040005}) == 0x80004004);
static_assert(PortAddress({0x0A5FD0FC}) == 0x80A5FDFC); // bus A5, 1F.5, reg FC

UINT16 DataPort(PciAddress A) {
  return static_cast<UINT16>(Registers::PciConfigDataPort + (A.Value & 3));
}

// The window MSR's low half (enable bit and size field); Base receives the
// window's base as halves, meaningful only when the window is on.
UINT32 ReadWindowMsr(PhysicalAddress &Base) {
  MsrValue Msr = {0, 0};
  ReadMsr(Registers::MsrMmioConfig, &Msr, 0);
  Base = {Msr.Low & Registers::MmioConfigBaseMask, Msr.High};
  return Msr.Low;
}

// base + offset as a 64-bit sum of halves, carrying into the high half.
PhysicalAddress WindowAddress(PhysicalAddress Base, PciAddress A) {
  const UINT32 Offset = A.Value & WindowOffsetMask;
  const UINT32 Low = Base.Low + Offset;
  const UINT32 Carry = Low < Base.Low ? 1 : 0;
  return {Low, Base.High + Carry};
}

// Registers above 0xFF through the ports need extended configuration access,
// switched on in the northbridge configuration MSR for one access only.
struct ExtendedAccess {
  bool Needed;
  MsrValue Saved;
};

ExtendedAccess OpenExtendedAccess(PciAddress A) {
  ExtendedAccess Access = {(A.Value & RegisterMask) > LastLegacyRegister,
                           {0, 0}};
  if (Access.Needed) {
    ReadMsr(Registers::MsrNbConfig, &Access.Saved, 0);
    const MsrValue On = {Access.Saved.Low,
                         Access.Saved.High |
                             Registers::NbConfigExtendedConfigHigh};
    WriteMsr(Registers::MsrNbConfig, &On, 0);
  }
  return Access;
}

void CloseExtendedAccess(const ExtendedAccess &Access) {
  if (Access.Needed) {
    WriteMsr(Registers::MsrNbConfig, &Access.Saved, 0);
  }
}

// One 32-bit access for both directions, through the window when it is on,
// otherwise through the ports: a read stores into Out when Out is given,
// otherwise *In is written, fetched only when the data is written. Kept out
// of line so that the image holds one copy for all callers.
[[gnu::noinline]] void ConfigAccess(PciAddress Address, const UINT32 *In,
                                    UINT32 *Out) {
  PhysicalAddress Base;
  if ((ReadWindowMsr(Base) & Registers::MmioConfigEnable) != 0) {
    const PhysicalAddress At = WindowAddress(Base, Address);
    if (Out != nullptr) {
      MemReadByWidth(Width32, At.Low, At.High, Out);
    } else {
      MemWrite32(At.Low, At.High, *In);
    }
    return;
  }
  const ExtendedAccess Access = OpenExtendedAccess(Address);
  IoWrite32(Registers::PciConfigAddressPort, PortAddress(Address));
  if (Out != nullptr) {
    IoReadByWidth(Width32, DataPort(Address), Out);
  } else {
    IoWrite32(DataPort(Address), *In);
  }
  CloseExtendedAccess(Access);
}

} // namespace

extern "C" {

BOOLEAN EFIAPI GetMmioConfigBase(UINT64 *Base, UINT32 *Length) {
  PhysicalAddress Window;
  const UINT32 Low = ReadWindowMsr(Window);
  if ((Low & Registers::MmioConfigEnable) == 0) {
    return FALSE;
  }
  *Base = (static_cast<UINT64>(Window.High) << 32) | Window.Low;
  const UINT32 SizeField =
      (Low >> Registers::MmioConfigSizeShift) & Registers::MmioConfigSizeMask;
  *Length = (1u << SizeField) << 20;
  return TRUE;
}

VOID EFIAPI ReadConfig32(PciAddress Address, UINT32 *Out) {
  ConfigAccess(Address, nullptr, Out);
}

VOID EFIAPI WriteConfig32(PciAddress Address, const UINT32 *Value) {
  ConfigAccess(Address, Value, nullptr);
}

} // extern "C"
