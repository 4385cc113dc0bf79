#include "pcd.h"

#include "pei_services.h"

namespace {

// The PCD PPI's functions take no interface pointer; SetPtr is the 20th.
using PCD_PPI_SET_POINTER = EFI_STATUS(EFIAPI *)(UINTN TokenNumber,
                                                 UINTN *SizeOfBuffer,
                                                 const VOID *Buffer);
struct PCD_PPI {
  VOID *Unused[19]; // SetSku .. Set64
  PCD_PPI_SET_POINTER SetPtr;
};
static_assert(__builtin_offsetof(PCD_PPI, SetPtr) == 76);

} // namespace

constinit const EFI_GUID PcdPpiGuid = {
    0x06E81C58,
    0x4AD7,
    0x44BC,
    {0x83, 0x90, 0xF1, 0x02, 0x65, 0xF7, 0x24, 0x80}};

VOID *SetConfigPointer(UINTN Token, UINTN *Size, const VOID *Buffer) {
  const UINTN Requested = *Size;
  VOID *Interface = nullptr;
  // Calling through the pointer of a failed lookup would jump through
  // whatever the Foundation left there; without the PCD service there is
  // simply nothing to store into.
  if (EfiError(LocateInterface(&PcdPpiGuid, &Interface)) ||
      Interface == nullptr) {
    return nullptr;
  }
  const auto *Pcd = static_cast<const PCD_PPI *>(Interface);
  const EFI_STATUS Status = Pcd->SetPtr(Token, Size, Buffer);
  if (EfiError(Status) && *Size < Requested) {
    return nullptr;
  }
  return const_cast<VOID *>(Buffer);
}
