// Announcing the module's instance identifier in configuration token 11 once
// the platform has selected its TPM device.
#pragma once

#include "pi.h"

extern const EFI_GUID TpmDeviceSelectedPpiGuid;
extern const EFI_GUID TpmInstanceGuid;
// Notify callback on TpmDeviceSelectedPpiGuid, last in its list.
extern const EFI_PEI_NOTIFY_DESCRIPTOR DeviceSelectedNotifyDescriptor;

inline constexpr UINTN InstanceToken = 11;

// Reads none of its parameters; always EFI_SUCCESS.
EFI_STATUS EFIAPI OnDeviceSelected(const EFI_PEI_SERVICES **PeiServices,
                                   const EFI_PEI_NOTIFY_DESCRIPTOR *Descriptor,
                                   VOID *Ppi);
