#include "memory.h"

#include "cpu.h"

extern "C" {

VOID *EFIAPI CopyBytes(VOID *Destination, const VOID *Source, UINTN Length) {
  const auto From = reinterpret_cast<UINTN>(Source);
  const auto To = reinterpret_cast<UINTN>(Destination);
  // Only a source below the destination that runs into it is harmed by a
  // forward copy; that case alone goes backwards, a byte at a time.
  if (From >= To || From + Length - 1 < To) {
    VOID *Dst = Destination;
    const VOID *Src = Source;
    Cpu::CopyForward32(Dst, Src, Length / 4);
    Cpu::CopyForward8(Dst, Src, Length % 4);
  } else {
    Cpu::CopyBackward8(static_cast<UINT8 *>(Destination) + Length - 1,
                       static_cast<const UINT8 *>(Source) + Length - 1, Length);
  }
  return Destination;
}

VOID *EFIAPI FillBytes(VOID *Destination, UINTN Length, UINT8 Value) {
  Cpu::Fill8(Destination, Length, Value);
  return Destination;
}

VOID *EFIAPI GuardedCopy(VOID *Destination, const VOID *Source, UINTN Length) {
  if (Destination == Source) {
    return Destination;
  }
  return CopyBytes(Destination, Source, Length);
}

} // extern "C"
