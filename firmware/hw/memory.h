// Byte copy and fill, used on ordinary memory and on the co-processor's
// command and response areas. Neither checks for null pointers.
#pragma once

#include "pi.h"

extern "C" {

// Overlap-safe: copies as if through a temporary buffer. Returns Destination.
VOID *EFIAPI CopyBytes(VOID *Destination, const VOID *Source, UINTN Length);
// Stores Value into Length bytes, one byte at a time. Returns Destination.
VOID *EFIAPI FillBytes(VOID *Destination, UINTN Length, UINT8 Value);
// CopyBytes, except that a copy onto itself does nothing at all.
VOID *EFIAPI GuardedCopy(VOID *Destination, const VOID *Source, UINTN Length);

} // extern "C"
