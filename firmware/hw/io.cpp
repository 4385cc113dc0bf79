#include "io.h"

#include "cpu.h"
#include "registers.h"

namespace {

enum class Access { Read8, Read16, Read32, Write32 };

// The module runs in 32-bit protected mode with flat segments, so a linear
// address cannot name memory above 4 GiB. To reach it, FS is given a 64-bit
// base through the FS-base MSR, and the processor's wrap-at-4-GiB behaviour is
// switched off for the duration of the one access. Reloading the saved
// selector afterwards restores FS's descriptor base; the FS-base MSR itself is
// left as written. Single-threaded PEI means nothing else uses FS or the
// hardware configuration MSR meanwhile.
UINT32 HighWindow(UINT32 Low, UINT32 High, Access Kind, UINT32 Value) {
  const UINT16 Selector = Cpu::ReadFsSelector();
  const MsrValue Wrap = Cpu::ReadMsr(Registers::MsrWrapControl);
  Cpu::WriteMsr(Registers::MsrWrapControl,
                {Wrap.Low | Registers::NoWrapAt4G, Wrap.High});
  Cpu::WriteMsr(Registers::MsrFsBase, {Low, High});
  UINT32 Result = 0;
  switch (Kind) {
  case Access::Read8:
    Result = Cpu::FsLoad8();
    break;
  case Access::Read16:
    Result = Cpu::FsLoad16();
    break;
  case Access::Read32:
    Result = Cpu::FsLoad32();
    break;
  case Access::Write32:
    Cpu::FsStore32(Value);
    break;
  }
  Cpu::WriteMsr(Registers::MsrWrapControl, Wrap);
  Cpu::LoadFsSelector(Selector);
  return Result;
}

// Stores exactly sizeof(T) bytes, whatever the alignment of Out.
template <typename T> void StoreBytes(VOID *Out, T Value) {
  auto *Bytes = static_cast<UINT8 *>(Out);
  for (UINTN Index = 0; Index < sizeof(T); ++Index) {
    Bytes[Index] = static_cast<UINT8>(Value >> (8 * Index));
  }
}

} // namespace

extern "C" {

UINT8 EFIAPI IoRead8(UINT16 Port) { return Cpu::In8(Port); }
UINT16 EFIAPI IoRead16(UINT16 Port) { return Cpu::In16(Port); }
UINT32 EFIAPI IoRead32(UINT16 Port) { return Cpu::In32(Port); }
VOID EFIAPI IoWrite32(UINT16 Port, UINT32 Value) { Cpu::Out32(Port, Value); }

VOID EFIAPI IoReadByWidth(UINT32 Width, UINT16 Port, VOID *Out) {
  switch (Width) {
  case Width8:
  case Width8Alias:
    StoreBytes(Out, IoRead8(Port));
    break;
  case Width16:
  case Width16Alias:
    StoreBytes(Out, IoRead16(Port));
    break;
  case Width32:
  case Width32Alias:
    StoreBytes(Out, IoRead32(Port));
    break;
  default:
    break;
  }
}

VOID EFIAPI ReadMsr(UINT32 Index, MsrValue *Out, UINTN) {
  *Out = Cpu::ReadMsr(Index);
}

VOID EFIAPI WriteMsr(UINT32 Index, const MsrValue *In, UINTN) {
  Cpu::WriteMsr(Index, *In);
}

UINT8 EFIAPI MemRead8(UINT32 Low, UINT32 High) {
  if (High == 0) {
    return *Below4G<volatile UINT8>(Low);
  }
  return static_cast<UINT8>(HighWindow(Low, High, Access::Read8, 0));
}

UINT16 EFIAPI MemRead16(UINT32 Low, UINT32 High) {
  if (High == 0) {
    return *Below4G<volatile UINT16>(Low);
  }
  return static_cast<UINT16>(HighWindow(Low, High, Access::Read16, 0));
}

UINT32 EFIAPI MemRead32(UINT32 Low, UINT32 High) {
  if (High == 0) {
    return *Below4G<volatile UINT32>(Low);
  }
  return HighWindow(Low, High, Access::Read32, 0);
}

VOID EFIAPI MemWrite32(UINT32 Low, UINT32 High, UINT32 Value) {
  if (High == 0) {
    *Below4G<volatile UINT32>(Low) = Value;
    return;
  }
  HighWindow(Low, High, Access::Write32, Value);
}

VOID EFIAPI MemReadByWidth(UINT32 Width, UINT32 Low, UINT32 High, VOID *Out) {
  switch (Width) {
  case Width8:
  case Width8Alias:
    StoreBytes(Out, MemRead8(Low, High));
    break;
  case Width16:
  case Width16Alias:
    StoreBytes(Out, MemRead16(Low, High));
    break;
  case Width32:
  case Width32Alias:
    StoreBytes(Out, MemRead32(Low, High));
    break;
  default:
    break;
  }
}

UINT32 EFIAPI ReadIdtBase() { return Cpu::ReadIdtBase(); }

} // extern "C"
