#include "entry.h"

#include "announcement.h"
#include "coprocessor.h"
#include "memory.h"
#include "pei_services.h"
#include "transport_ppi.h"

namespace {

struct EFI_PEI_READ_ONLY_VARIABLE2_PPI;
using EFI_PEI_GET_VARIABLE2 = EFI_STATUS(EFIAPI *)(
    const EFI_PEI_READ_ONLY_VARIABLE2_PPI *This, const CHAR16 *VariableName,
    const EFI_GUID *VariableGuid, UINT32 *Attributes, UINTN *DataSize,
    VOID *Data);
struct EFI_PEI_READ_ONLY_VARIABLE2_PPI {
  EFI_PEI_GET_VARIABLE2 GetVariable;
  VOID *NextVariableName;
};

constexpr CHAR16 SetupVariableName[] = u"Setup";
static_assert(sizeof(SetupVariableName) == 12);

} // namespace

constinit const EFI_GUID TriggerPpiGuid = {
    0x91774185,
    0xF72D,
    0x467E,
    {0x93, 0x39, 0xE0, 0x08, 0xDB, 0xAE, 0x0E, 0x14}};

constinit const EFI_GUID ReadOnlyVariable2PpiGuid = {
    0x2AB86EF5,
    0xECB5,
    0x4134,
    {0xB5, 0x56, 0x38, 0x54, 0xCA, 0x1F, 0xE1, 0xB4}};

constinit const EFI_GUID SetupVariableGuid = {
    0xA04A27F4,
    0xDF00,
    0x4D42,
    {0xB5, 0x52, 0x39, 0x51, 0x13, 0x02, 0x11, 0x3D}};

constinit const EFI_PEI_NOTIFY_DESCRIPTOR TriggerNotifyDescriptor = {
    EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK |
        EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST,
    &TriggerPpiGuid, OnTrigger};

// From flash only the shadow is requested. From the shadow copy the Foundation
// answers EFI_ALREADY_STARTED, and the trigger is armed through the services
// pointer the Foundation handed in.
extern "C" EFI_STATUS EFIAPI ModuleEntry(EFI_PEI_FILE_HANDLE FileHandle,
                                         const EFI_PEI_SERVICES **PeiServices) {
  const EFI_STATUS Status = RequestShadow(FileHandle);
  if (Status != EFI_ALREADY_STARTED) {
    return Status;
  }
  return (*PeiServices)->NotifyPpi(PeiServices, &TriggerNotifyDescriptor);
}

EFI_STATUS ReadSetupVariable(UINT8 *Destination) {
  if (Destination == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  VOID *Interface = nullptr;
  const EFI_STATUS Located =
      LocateInterface(&ReadOnlyVariable2PpiGuid, &Interface);
  if (EfiError(Located)) {
    return Located;
  }
  const auto *Variables =
      static_cast<const EFI_PEI_READ_ONLY_VARIABLE2_PPI *>(Interface);
  // The copy below takes SetupCopySize bytes whatever size came back, so a
  // short variable must leave zeroes, not stack contents, behind it.
  UINT8 Buffer[SetupReadSize];
  FillBytes(Buffer, sizeof(Buffer), 0);
  UINTN DataSize = sizeof(Buffer);
  const EFI_STATUS Status =
      Variables->GetVariable(Variables, SetupVariableName, &SetupVariableGuid,
                             nullptr, &DataSize, Buffer);
  if (Status == EFI_SUCCESS) {
    GuardedCopy(Destination, Buffer, SetupCopySize);
  }
  return Status;
}

// Any failure to read "Setup" counts as consent to publish. A readable
// variable publishes only when its effective DeviceSelect is 2.
EFI_STATUS EFIAPI OnTrigger(const EFI_PEI_SERVICES **,
                            const EFI_PEI_NOTIFY_DESCRIPTOR *, VOID *) {
  // Cleared first: a warning status from the variable service is not an
  // error but leaves the copy unfilled, and must then read as "declined".
  UINT8 SetupCopy[SetupCopySize];
  FillBytes(SetupCopy, sizeof(SetupCopy), 0);
  const EFI_STATUS Status = ReadSetupVariable(SetupCopy);
  if (!EfiError(Status)) {
    if (SetupCopy[SelectOverride] != 0) {
      SetupCopy[DeviceSelect] = 0;
    }
    if (SetupCopy[DeviceSelect] != DeviceSelectThisTransport) {
      return EFI_SUCCESS;
    }
  }
  (void)Probe(nullptr, nullptr);
  (void)InstallInterface(&TpmTransportDescriptor);
  (void)ArmNotification(&DeviceSelectedNotifyDescriptor);
  return EFI_SUCCESS;
}
