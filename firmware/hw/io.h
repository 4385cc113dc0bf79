// Port, MSR and physical-memory access. Every port and MSR access of the
// module, and every access to a fixed platform address, passes through here.
// The routines use C linkage so that test images can call them by name.
#pragma once

#include "pi.h"

// Width codes of the width-dispatched reads. The 0x8x forms are accepted as
// aliases; the code is compared as a whole 32-bit value.
enum WidthCode : UINT32 {
  Width8 = 1,
  Width16 = 2,
  Width32 = 3,
  Width8Alias = 0x81,
  Width16Alias = 0x82,
  Width32Alias = 0x83,
};

extern "C" {

UINT8 EFIAPI IoRead8(UINT16 Port);
UINT16 EFIAPI IoRead16(UINT16 Port);
UINT32 EFIAPI IoRead32(UINT16 Port);
VOID EFIAPI IoWrite32(UINT16 Port, UINT32 Value);
// Stores 1, 2 or 4 bytes at Out; an unknown code reads nothing.
VOID EFIAPI IoReadByWidth(UINT32 Width, UINT16 Port, VOID *Out);

// MSR values travel as two UINT32s, low half first. Reserved is ignored.
VOID EFIAPI ReadMsr(UINT32 Index, MsrValue *Out, UINTN Reserved);
VOID EFIAPI WriteMsr(UINT32 Index, const MsrValue *In, UINTN Reserved);

// Physical memory at (Low, High). Addresses above 4 GiB are reached through
// a re-based FS segment; see HighWindow.
UINT8 EFIAPI MemRead8(UINT32 Low, UINT32 High);
UINT16 EFIAPI MemRead16(UINT32 Low, UINT32 High);
UINT32 EFIAPI MemRead32(UINT32 Low, UINT32 High);
VOID EFIAPI MemWrite32(UINT32 Low, UINT32 High, UINT32 Value);
VOID EFIAPI MemReadByWidth(UINT32 Width, UINT32 Low, UINT32 High, VOID *Out);

// The IDT base; the PEI services pointer lies in the 4 bytes below it.
UINT32 EFIAPI ReadIdtBase();

} // extern "C"

// The memory at a physical address below 4 GiB, as a T: with flat 32-bit
// segments the linear address is the physical one.
template <typename T = VOID> T *Below4G(UINT32 Address) {
  return reinterpret_cast<T *>(static_cast<UINTN>(Address));
}
