// TpmTransportPpi: what the module publishes for other PEI modules.
#pragma once

#include "pi.h"

// Every slot takes two leading pointer-sized parameters that it never reads.
struct TPM_TRANSPORT_PPI {
  EFI_STATUS(EFIAPI *Execute)
  (const VOID *This, const VOID *Reserved, const UINT8 *CommandBuffer,
   UINT32 CommandSize, UINT8 *ResponseBuffer, const UINT32 *ResponseLength);
  EFI_STATUS(EFIAPI *Probe)(const VOID *This, const VOID *Reserved);
  EFI_STATUS(EFIAPI *Send)
  (const VOID *This, const VOID *Reserved, const UINT8 *CommandBuffer,
   UINT32 CommandSize);
  EFI_STATUS(EFIAPI *Receive)
  (const VOID *This, const VOID *Reserved, UINT8 *ResponseBuffer,
   const UINT32 *ResponseLength);
};
static_assert(sizeof(TPM_TRANSPORT_PPI) == 16);
static_assert(__builtin_offsetof(TPM_TRANSPORT_PPI, Probe) == 4);
static_assert(__builtin_offsetof(TPM_TRANSPORT_PPI, Send) == 8);
static_assert(__builtin_offsetof(TPM_TRANSPORT_PPI, Receive) == 12);

extern const EFI_GUID TpmTransportPpiGuid;
extern const TPM_TRANSPORT_PPI TpmTransportPpi;
// PPI, last in its list.
extern const EFI_PEI_PPI_DESCRIPTOR TpmTransportDescriptor;
