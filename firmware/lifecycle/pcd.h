// Configuration tokens, set through the platform's PCD PPI.
#pragma once

#include "pi.h"

extern const EFI_GUID PcdPpiGuid;

// Sets a pointer-type configuration token through the PCD PPI. Returns Buffer,
// or null when the store failed with the size shrunk or the PPI is missing.
VOID *SetConfigPointer(UINTN Token, UINTN *Size, const VOID *Buffer);
