// The module's way in: the entry point the PEI Foundation dispatches twice,
// and the activation that decides from "Setup" whether to publish the
// transport.
#pragma once

#include "pi.h"

extern const EFI_GUID TriggerPpiGuid;
extern const EFI_GUID ReadOnlyVariable2PpiGuid;
extern const EFI_GUID SetupVariableGuid;
// Notify callback on TriggerPpiGuid, last in its list.
extern const EFI_PEI_NOTIFY_DESCRIPTOR TriggerNotifyDescriptor;

// The part of "Setup" the module copies, and the two bytes it reads.
inline constexpr UINTN SetupCopySize = 633;
inline constexpr UINTN DeviceSelect = 256;   // 2 selects this transport
inline constexpr UINTN SelectOverride = 458; // non-zero forces DeviceSelect 0
inline constexpr UINT8 DeviceSelectThisTransport = 2;
inline constexpr UINTN SetupReadSize = 1024;

extern "C" EFI_STATUS EFIAPI ModuleEntry(EFI_PEI_FILE_HANDLE FileHandle,
                                         const EFI_PEI_SERVICES **PeiServices);

// Reads none of its parameters; always EFI_SUCCESS.
EFI_STATUS EFIAPI OnTrigger(const EFI_PEI_SERVICES **PeiServices,
                            const EFI_PEI_NOTIFY_DESCRIPTOR *Descriptor,
                            VOID *Ppi);

// Copies the first SetupCopySize bytes of "Setup" to Destination when the
// variable reads back with EFI_SUCCESS; returns the read's status.
[[nodiscard]] EFI_STATUS ReadSetupVariable(UINT8 *Destination);
