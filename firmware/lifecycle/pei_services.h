// Calls into the PEI Foundation. None of these keeps the services pointer:
// each reads it again from below the IDT base, so a Foundation that moves its
// table between calls is followed.
#pragma once

#include "pi.h"

[[nodiscard]] const EFI_PEI_SERVICES **GetPeiServices();
[[nodiscard]] EFI_STATUS
InstallInterface(const EFI_PEI_PPI_DESCRIPTOR *Descriptor);
// Always instance 0; the descriptor is not wanted.
[[nodiscard]] EFI_STATUS LocateInterface(const EFI_GUID *Guid,
                                         VOID **Interface);
[[nodiscard]] EFI_STATUS
ArmNotification(const EFI_PEI_NOTIFY_DESCRIPTOR *Descriptor);
[[nodiscard]] EFI_STATUS RequestShadow(EFI_PEI_FILE_HANDLE FileHandle);
