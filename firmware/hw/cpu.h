// The processor instructions the module uses, one asm statement each. Only the
// hardware layer includes this file; everything above it goes through the
// routines of io.h, pci.h and memory.h.
#pragma once

#include "pi.h"

#define HW_INLINE [[gnu::always_inline]] static inline

namespace Cpu {

HW_INLINE UINT8 In8(UINT16 Port) {
  UINT8 Value;
  asm volatile("inb %w1, %b0" : "=a"(Value) : "Nd"(Port) : "memory");
  return Value;
}

HW_INLINE UINT16 In16(UINT16 Port) {
  UINT16 Value;
  asm volatile("inw %w1, %w0" : "=a"(Value) : "Nd"(Port) : "memory");
  return Value;
}

HW_INLINE UINT32 In32(UINT16 Port) {
  UINT32 Value;
  asm volatile("inl %w1, %0" : "=a"(Value) : "Nd"(Port) : "memory");
  return Value;
}

HW_INLINE void Out32(UINT16 Port, UINT32 Value) {
  asm volatile("outl %0, %w1" : : "a"(Value), "Nd"(Port) : "memory");
}

HW_INLINE MsrValue ReadMsr(UINT32 Index) {
  MsrValue Value;
  asm volatile("rdmsr"
               : "=a"(Value.Low), "=d"(Value.High)
               : "c"(Index)
               : "memory");
  return Value;
}

HW_INLINE void WriteMsr(UINT32 Index, MsrValue Value) {
  asm volatile("wrmsr"
               :
               : "c"(Index), "a"(Value.Low), "d"(Value.High)
               : "memory");
}

// SIDT stores a 16-bit limit followed by the 32-bit base.
struct [[gnu::packed]] DescriptorTableRegister {
  UINT16 Limit;
  UINT32 Base;
};
static_assert(sizeof(DescriptorTableRegister) == 6);

HW_INLINE UINT32 ReadIdtBase() {
  DescriptorTableRegister Idtr;
  asm volatile("sidt %0" : "=m"(Idtr));
  return Idtr.Base;
}

HW_INLINE UINT16 ReadFsSelector() {
  UINT16 Selector;
  asm volatile("movw %%fs, %0" : "=r"(Selector));
  return Selector;
}

// Reloading the selector makes the processor fetch FS's base from the GDT
// again, undoing any base written through the FS-base MSR.
HW_INLINE void LoadFsSelector(UINT16 Selector) {
  asm volatile("movw %0, %%fs" : : "r"(Selector) : "memory");
}

HW_INLINE UINT8 FsLoad8() {
  UINT8 Value;
  asm volatile("movb %%fs:0, %0" : "=q"(Value) : : "memory");
  return Value;
}

HW_INLINE UINT16 FsLoad16() {
  UINT16 Value;
  asm volatile("movw %%fs:0, %0" : "=r"(Value) : : "memory");
  return Value;
}

HW_INLINE UINT32 FsLoad32() {
  UINT32 Value;
  asm volatile("movl %%fs:0, %0" : "=r"(Value) : : "memory");
  return Value;
}

HW_INLINE void FsStore32(UINT32 Value) {
  asm volatile("movl %0, %%fs:0" : : "r"(Value) : "memory");
}

HW_INLINE void CopyForward32(VOID *&Destination, const VOID *&Source,
                             UINTN Count) {
  asm volatile("rep movsl"
               : "+D"(Destination), "+S"(Source), "+c"(Count)
               :
               : "memory");
}

HW_INLINE void CopyForward8(VOID *&Destination, const VOID *&Source,
                            UINTN Count) {
  asm volatile("rep movsb"
               : "+D"(Destination), "+S"(Source), "+c"(Count)
               :
               : "memory");
}

// Copies Count bytes downwards, starting at the last byte of each range.
// The direction flag is set only for the span of the copy: EFIAPI code may
// assume it clear.
HW_INLINE void CopyBackward8(VOID *DestinationLast, const VOID *SourceLast,
                             UINTN Count) {
  asm volatile("std\n\trep movsb\n\tcld"
               : "+D"(DestinationLast), "+S"(SourceLast), "+c"(Count)
               :
               : "memory", "cc");
}

HW_INLINE void Fill8(VOID *Destination, UINTN Count, UINT8 Value) {
  asm volatile("rep stosb"
               : "+D"(Destination), "+c"(Count)
               : "a"(Value)
               : "memory");
}

} // namespace Cpu
