#include "announcement.h"

#include "pcd.h"

constinit const EFI_GUID TpmDeviceSelectedPpiGuid = {
    0x7F4158D3,
    0x074D,
    0x456D,
    {0x8C, 0xB2, 0x01, 0xF9, 0xC8, 0xF7, 0x9D, 0xAA}};

constinit const EFI_GUID TpmInstanceGuid = {
    0x0D2098C2,
    0xBD29,
    0x4FBC,
    {0xAB, 0xEC, 0x4E, 0x03, 0x8E, 0xFA, 0xA3, 0x58}};

constinit const EFI_PEI_NOTIFY_DESCRIPTOR DeviceSelectedNotifyDescriptor = {
    EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK |
        EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST,
    &TpmDeviceSelectedPpiGuid, OnDeviceSelected};

EFI_STATUS EFIAPI OnDeviceSelected(const EFI_PEI_SERVICES **,
                                   const EFI_PEI_NOTIFY_DESCRIPTOR *, VOID *) {
  UINTN Size = sizeof(EFI_GUID);
  (void)SetConfigPointer(InstanceToken, &Size, &TpmInstanceGuid);
  return EFI_SUCCESS;
}
