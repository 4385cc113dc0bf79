// The platform registers the module relies on, named once. Bit fields are
// indented under the register they belong to.
#pragma once

#include "pci.h"
#include "pi.h"

namespace Registers {

// Processor MSRs.
inline constexpr UINT32 MsrMmioConfig = 0xC0010058; // PCI memory-mapped window
inline constexpr UINT32 MmioConfigEnable = 1u << 0;
inline constexpr UINT32 MmioConfigBaseMask = 0xFFF00000; // low half, bits 31:20
inline constexpr UINT32 MmioConfigSizeShift = 2;         // bits 5:2: 2^n MiB
inline constexpr UINT32 MmioConfigSizeMask = 0xF;

inline constexpr UINT32 MsrNbConfig = 0xC001001F;
inline constexpr UINT32 NbConfigExtendedConfigHigh = 1u << 14; // bit 46

inline constexpr UINT32 MsrWrapControl = 0xC0010015;
inline constexpr UINT32 NoWrapAt4G = 1u << 17; // addresses do not wrap at 4 GiB

inline constexpr UINT32 MsrFsBase = 0xC0000100;

inline constexpr UINT32 MsrCoprocessorBase = 0xC00110A2; // low half: base

// PCI configuration ports.
inline constexpr UINT16 PciConfigAddressPort = 0xCF8;
inline constexpr UINT16 PciConfigDataPort = 0xCFC;
inline constexpr UINT32 PciConfigEnable = 0x80000000;

// ACPI power-management timer: its I/O port is published in a 16-bit register.
inline constexpr UINT32 PmTimerPortRegister = 0xFED80364;
inline constexpr UINT16 DelayPort = 0xEB; // a read only costs time

// Root complex 0:0.0: an index/data window into its internal registers.
inline constexpr PciCompactAddress RootIndexRegister = {0x0000B8};
inline constexpr PciCompactAddress RootDataRegister = {0x0000BC};
inline constexpr UINT32 CoprocessorStrapIndex = 0xC0018000;
inline constexpr UINT32 CoprocessorPresent = 1u << 2;

// Security co-processor 0:8.0.
inline constexpr PciCompactAddress CoprocessorCommand = {0x004004};
inline constexpr UINT32 CommandMemorySpace = 1u << 1;
inline constexpr UINT32 CommandBusMaster = 1u << 2;
inline constexpr UINT32 CommandRegisterMask = 0x0000FFFF; // status half kept 0
inline constexpr PciCompactAddress CoprocessorBar = {0x004020};
inline constexpr UINT32 BarBaseMask = 0xFFF00000;
inline constexpr PciCompactAddress CoprocessorBaseSelect = {0x004048};
inline constexpr UINT32 BaseFromMsr = 1u << 12;

inline constexpr UINT32 NoBase = 0xFFFFFFFF;

} // namespace Registers
