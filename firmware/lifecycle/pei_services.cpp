#include "pei_services.h"

#include "io.h"

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
