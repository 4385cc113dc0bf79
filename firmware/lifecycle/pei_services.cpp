#include "pei_services.h"

#include "announcement.h"
#include "io.h"

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

const EFI_PEI_SERVICES **GetPeiServices() {
  const UINT32 IdtBase = ReadIdtBase();
  return *reinterpret_cast<const EFI_PEI_SERVICES ***>(
      static_cast<UINTN>(IdtBase - sizeof(UINT32)));
}

EFI_STATUS InstallInterface(const EFI_PEI_PPI_DESCRIPTOR *Descriptor) {
  const EFI_PEI_SERVICES **Services = GetPeiServices();
  return (*Services)->InstallPpi(Services, Descriptor);
}

EFI_STATUS LocateInterface(const EFI_GUID *Guid, VOID **Interface) {
  const EFI_PEI_SERVICES **Services = GetPeiServices();
  return (*Services)->LocatePpi(Services, Guid, 0, nullptr, Interface);
}

EFI_STATUS ArmNotification(const EFI_PEI_NOTIFY_DESCRIPTOR *Descriptor) {
  const EFI_PEI_SERVICES **Services = GetPeiServices();
  return (*Services)->NotifyPpi(Services, Descriptor);
}

EFI_STATUS RequestShadow(EFI_PEI_FILE_HANDLE FileHandle) {
  const EFI_PEI_SERVICES **Services = GetPeiServices();
  return (*Services)->RegisterForShadow(FileHandle);
}

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
