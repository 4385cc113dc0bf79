#include "coprocessor.h"

#include "io.h"
#include "registers.h"

UINT32 ReadDeviceConfig(PciCompactAddress Compact) {
  UINT32 Value = 0;
  ReadConfig32(ToPciAddress(Compact), &Value);
  return Value;
}

void WriteDeviceCommand(UINT32 Value) {
  WriteConfig32(ToPciAddress(Registers::CoprocessorCommand), &Value);
}

BOOLEAN IsCoprocessorPresent() {
  const UINT32 Index = Registers::CoprocessorStrapIndex;
  WriteConfig32(ToPciAddress(Registers::RootIndexRegister), &Index);
  const UINT32 Data = ReadDeviceConfig(Registers::RootDataRegister);
  return (Data & Registers::CoprocessorPresent) != 0 ? TRUE : FALSE;
}

BOOLEAN LocateCoprocessor(UINT32 *Base) {
  if (!IsCoprocessorPresent()) {
    return FALSE;
  }
  UINT32 Candidate;
  if (ReadDeviceConfig(Registers::CoprocessorBaseSelect) &
      Registers::BaseFromMsr) {
    MsrValue Msr = {0, 0};
    ReadMsr(Registers::MsrCoprocessorBase, &Msr, 0);
    Candidate = Msr.Low;
  } else {
    Candidate =
        ReadDeviceConfig(Registers::CoprocessorBar) & Registers::BarBaseMask;
  }
  *Base = Candidate;
  // An unassigned base address register or an unprogrammed MSR reads 0. A
  // control area at physical 0 would have the exchange write over low memory,
  // so 0 is as unusable as the all-ones "no base".
  return (Candidate != Registers::NoBase && Candidate != 0) ? TRUE : FALSE;
}

// The command register shares its 32-bit configuration dword with the status
// register, whose error bits are write-one-to-clear. Writing the status half
// back as it was read would clear those bits behind the platform's back, so
// both writes carry 0 there, which changes nothing.
UINT32 OpenCoprocessor() {
  const UINT32 Saved = ReadDeviceConfig(Registers::CoprocessorCommand) &
                       Registers::CommandRegisterMask;
  WriteDeviceCommand(Saved | Registers::CommandMemorySpace |
                     Registers::CommandBusMaster);
  return Saved;
}

void CloseCoprocessor(UINT32 Saved) { WriteDeviceCommand(Saved); }

EFI_STATUS EFIAPI Probe(const VOID *, const VOID *) {
  UINT32 Base = 0;
  (void)LocateCoprocessor(&Base);
  return EFI_SUCCESS;
}
