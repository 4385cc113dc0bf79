// One TPM command to the co-processor and one response back, through the
// control area at the start of the co-processor's memory-mapped region.
#pragma once

#include "pi.h"

// The co-processor's control area. Only the fields named here are touched,
// each with a single 32-bit access.
struct ControlArea {
  UINT32 Reserved0[5];
  UINT32 Error; // non-zero: the co-processor failed the command
  UINT32 Reserved1;
  UINT32 Start; // written 1 to start; the co-processor writes 0 when done
  UINT32 Reserved2[3];
  UINT32 CommandAddress; // where the command goes, below 4 GiB
  UINT32 Reserved3;
  UINT32 ResponseSize;             // 0: nothing to collect
  PhysicalAddress ResponseAddress; // the 16 KiB response area
};
static_assert(__builtin_offsetof(ControlArea, Error) == 0x14);
static_assert(__builtin_offsetof(ControlArea, Start) == 0x1C);
static_assert(__builtin_offsetof(ControlArea, CommandAddress) == 0x2C);
static_assert(__builtin_offsetof(ControlArea, ResponseSize) == 0x34);
static_assert(__builtin_offsetof(ControlArea, ResponseAddress) == 0x38);
static_assert(sizeof(ControlArea) == 0x40);

inline constexpr UINT32 ResponseAreaSize = 0x4000;
// The command area is not described anywhere the module can read; no TPM 2.0
// command is longer than the response area, and that bound keeps a bad size
// from running past the command area.
inline constexpr UINT32 MaxCommandSize = ResponseAreaSize;

[[nodiscard]] BOOLEAN IsCommandDone(volatile ControlArea *Area);
[[nodiscard]] BOOLEAN WaitForCompletion(volatile ControlArea *Area);

// Slots 2, 3 and 0 of the transport table. The two leading parameters are
// never read; *ResponseLength is read, never written.
EFI_STATUS EFIAPI Send(const VOID *This, const VOID *Reserved,
                       const UINT8 *CommandBuffer, UINT32 CommandSize);
EFI_STATUS EFIAPI Receive(const VOID *This, const VOID *Reserved,
                          UINT8 *ResponseBuffer, const UINT32 *ResponseLength);
EFI_STATUS EFIAPI Execute(const VOID *This, const VOID *Reserved,
                          const UINT8 *CommandBuffer, UINT32 CommandSize,
                          UINT8 *ResponseBuffer, const UINT32 *ResponseLength);
