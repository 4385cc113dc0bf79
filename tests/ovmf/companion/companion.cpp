// Test-only PEIM placed after the transport module in the firmware's PEI
// volume. Dispatched once permanent memory exists, it plays the platform
// module that triggers activation and then uses the transport as any
// consumer would, reporting every step on the debug console (I/O port
// 0x402) as one "TTP <event> key=value ..." line per step. Never shipped.
//
// It sees the transport only through its PPI, with its own view of the
// interface table, so that it checks what another module would rely on.
#include "pi.h"

namespace {

constexpr UINT16 DebugConsolePort = 0x402;

constexpr EFI_GUID TpmTransportPpiGuid = {
    0x9D910B61,
    0x85BD,
    0x4473,
    {0x81, 0x31, 0x40, 0x95, 0x9D, 0x60, 0xC7, 0xEE}};
constexpr EFI_GUID TriggerPpiGuid = {
    0x91774185,
    0xF72D,
    0x467E,
    {0x93, 0x39, 0xE0, 0x08, 0xDB, 0xAE, 0x0E, 0x14}};
constexpr EFI_GUID TpmInstanceGuid = {
    0x0D2098C2,
    0xBD29,
    0x4FBC,
    {0xAB, 0xEC, 0x4E, 0x03, 0x8E, 0xFA, 0xA3, 0x58}};
constexpr EFI_GUID PcdPpiGuid = {
    0x06E81C58,
    0x4AD7,
    0x44BC,
    {0x83, 0x90, 0xF1, 0x02, 0x65, 0xF7, 0x24, 0x80}};

constexpr UINTN InstanceToken = 11;
constexpr UINTN TokenBytes = 16;

// The transport as a consumer sees it: four slots, each taking two leading
// pointer-sized arguments it does not read.
struct TransportPpi {
  EFI_STATUS(EFIAPI *Execute)
  (const VOID *, const VOID *, const UINT8 *Command, UINT32 CommandSize,
   UINT8 *Response, const UINT32 *ResponseLength);
  EFI_STATUS(EFIAPI *Probe)(const VOID *, const VOID *);
  EFI_STATUS(EFIAPI *Send)
  (const VOID *, const VOID *, const UINT8 *Command, UINT32 CommandSize);
  EFI_STATUS(EFIAPI *Receive)
  (const VOID *, const VOID *, UINT8 *Response, const UINT32 *ResponseLength);
};

// The PCD PPI's first eight functions: SetSku, Get8, Get16, Get32, Get64,
// GetPtr, GetBool, GetSize. None takes an interface pointer.
struct PcdPpi {
  VOID *Unused[5];
  VOID *(EFIAPI *GetPtr)(UINTN TokenNumber);
  VOID *GetBool;
  UINTN(EFIAPI *GetSize)(UINTN TokenNumber);
};

// What the notification saw. Initialised to non-zero values so that it lands
// in initialised data, which is present in the file as well as in memory.
struct NotifyRecord {
  UINT32 Count;
  UINT32 InsideTrigger; // set around the trigger's InstallPpi
  const VOID *Interface;
};
NotifyRecord Record = {0, 0, reinterpret_cast<const VOID *>(1)};

void OutByte(UINT8 Value) {
  __asm__ volatile("outb %0, %1" : : "a"(Value), "Nd"(DebugConsolePort));
}

void Print(const char *Text) {
  while (*Text != '\0') {
    OutByte(static_cast<UINT8>(*Text++));
  }
}

constexpr char HexDigits[] = "0123456789ABCDEF";

void PrintHex(UINT32 Value) {
  Print("0x");
  for (int Shift = 28; Shift >= 0; Shift -= 4) {
    OutByte(static_cast<UINT8>(HexDigits[(Value >> Shift) & 0xF]));
  }
}

void PrintField(const char *Key, UINT32 Value) {
  Print(" ");
  Print(Key);
  Print("=");
  PrintHex(Value);
}

void PrintBytes(const char *Key, const UINT8 *Bytes, UINTN Count) {
  Print(" ");
  Print(Key);
  Print("=");
  for (UINTN I = 0; I < Count; ++I) {
    OutByte(static_cast<UINT8>(HexDigits[Bytes[I] >> 4]));
    OutByte(static_cast<UINT8>(HexDigits[Bytes[I] & 0xF]));
  }
}

UINT32 Address(const volatile VOID *Pointer) {
  return static_cast<UINT32>(reinterpret_cast<UINTN>(Pointer));
}

bool SameBytes(const VOID *A, const VOID *B, UINTN Count) {
  const auto *X = static_cast<const volatile UINT8 *>(A);
  const auto *Y = static_cast<const volatile UINT8 *>(B);
  for (UINTN I = 0; I < Count; ++I) {
    if (X[I] != Y[I]) {
      return false;
    }
  }
  return true;
}

void CopyBytes(VOID *To, const VOID *From, UINTN Count) {
  auto *D = static_cast<volatile UINT8 *>(To);
  const auto *S = static_cast<const volatile UINT8 *>(From);
  for (UINTN I = 0; I < Count; ++I) {
    D[I] = S[I];
  }
}

UINT32 ReadU32(UINT32 At) {
  return *reinterpret_cast<const volatile UINT32 *>(static_cast<UINTN>(At));
}
UINT16 ReadU16(UINT32 At) {
  return *reinterpret_cast<const volatile UINT16 *>(static_cast<UINTN>(At));
}

// 32-bit FNV-1a over guest memory, so that the test can compare the whole
// copy with the image relocated on the host.
UINT32 Fnv1a(UINT32 At, UINT32 Count) {
  UINT32 Hash = 0x811C9DC5;
  for (UINT32 I = 0; I < Count; ++I) {
    Hash ^=
        *reinterpret_cast<const volatile UINT8 *>(static_cast<UINTN>(At + I));
    Hash *= 0x01000193;
  }
  return Hash;
}

// PE32 header fields the search below reads.
constexpr UINT16 DosSignature = 0x5A4D; // "MZ"
constexpr UINT32 PeHeaderOffsetField = 0x3C;
constexpr UINT32 PeHeaderMaxOffset = 0x400;
constexpr UINT32 PeSignature = 0x00004550; // "PE\0\0"
constexpr UINT32 OptionalHeaderAt = 24;    // signature + COFF file header
constexpr UINT32 ImageBaseField = 28;      // in the optional header
constexpr UINT32 SizeOfImageField = 56;

// TE header fields: a TE image is a PE32 whose headers up to the section
// table (StrippedSize bytes) were replaced by this 40-byte header; the
// loader puts the header StrippedSize - 40 bytes above the image base.
constexpr UINT16 TeSignature = 0x5A56; // "VZ"
constexpr UINT16 MachineI386 = 0x14C;
constexpr UINT32 TeMachineField = 2;
constexpr UINT32 TeSectionCountField = 4;
constexpr UINT32 TeStrippedSizeField = 6;
constexpr UINT32 TeImageBaseField = 16;
constexpr UINT32 TeHeaderSize = 40;
constexpr UINT32 SectionHeaderSize = 40;
constexpr UINT32 SectionVirtualSizeField = 8;
constexpr UINT32 SectionAddressField = 12;

void PrintImage(UINT32 Base, UINT32 Size, UINT32 HeaderImageBase,
                UINT32 HashFrom) {
  Print("TTP image");
  PrintField("base", Base);
  PrintField("size", Size);
  PrintField("header-imagebase", HeaderImageBase);
  PrintField("hashed-from", HashFrom);
  PrintField("fnv1a", Fnv1a(HashFrom, Base + Size - HashFrom));
  Print("\n");
}

// The TE image whose header lies at Header, when it holds Target: its base
// and size (up to the end of its last section) are printed.
bool ReportTeImage(UINT32 Header, UINT32 Target) {
  if (ReadU16(Header) != TeSignature ||
      ReadU16(Header + TeMachineField) != MachineI386) {
    return false;
  }
  const UINT32 Base =
      Header - (ReadU16(Header + TeStrippedSizeField) - TeHeaderSize);
  const UINT32 Sections = ReadU16(Header + TeSectionCountField) & 0xFF;
  UINT32 Size = 0;
  for (UINT32 I = 0; I < Sections; ++I) {
    const UINT32 Section = Header + TeHeaderSize + I * SectionHeaderSize;
    const UINT32 End = ReadU32(Section + SectionAddressField) +
                       ReadU32(Section + SectionVirtualSizeField);
    Size = End > Size ? End : Size;
  }
  if (Target < Header || Target - Base >= Size) {
    return false;
  }
  PrintImage(Base, Size, ReadU32(Header + TeImageBaseField), Header);
  return true;
}

// Finds the PE32 or TE image holding Target by walking down from it to a
// DOS header whose PE header's SizeOfImage covers Target, or to a TE header
// whose sections do. A PE32's header lies on its 32-byte section alignment;
// a TE header only on 8 bytes (StrippedSize - 40 above a page, for this
// module 0x148).
void ReportImageAround(UINT32 Target) {
  constexpr UINT32 Step = 8;
  constexpr UINT32 Window = 0x10000;
  for (UINT32 Base = Target & ~(Step - 1); Target - Base < Window;
       Base -= Step) {
    if (ReportTeImage(Base, Target)) {
      return;
    }
    if (ReadU16(Base) != DosSignature) {
      continue;
    }
    const UINT32 Pe = Base + ReadU32(Base + PeHeaderOffsetField);
    if (Pe - Base > PeHeaderMaxOffset || ReadU32(Pe) != PeSignature) {
      continue;
    }
    const UINT32 Optional = Pe + OptionalHeaderAt;
    const UINT32 SizeOfImage = ReadU32(Optional + SizeOfImageField);
    if (Target - Base < SizeOfImage) {
      PrintImage(Base, SizeOfImage, ReadU32(Optional + ImageBaseField), Base);
      return;
    }
  }
  Print("TTP image found=0\n");
}

EFI_STATUS EFIAPI OnTransport(const EFI_PEI_SERVICES **,
                              const EFI_PEI_NOTIFY_DESCRIPTOR *, VOID *Ppi) {
  Record.Count += 1;
  Record.Interface = Ppi;
  Print("TTP notify");
  PrintField("count", Record.Count);
  PrintField("interface", Address(Ppi));
  PrintField("in-trigger", Record.InsideTrigger);
  Print("\n");
  return EFI_SUCCESS;
}

constexpr EFI_PEI_NOTIFY_DESCRIPTOR TransportNotify = {
    EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK |
        EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST,
    &TpmTransportPpiGuid, OnTransport};

constexpr UINT32 TriggerInterface = 0x54524947; // "TRIG"; never read
constexpr EFI_PEI_PPI_DESCRIPTOR TriggerDescriptor = {
    EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST,
    &TriggerPpiGuid, &TriggerInterface};

// TPM2_Startup(TPM_SU_CLEAR): tag TPM_ST_NO_SESSIONS, size 12, command code
// 0x144, startup type 0.
constexpr UINT8 StartupClear[] = {0x80, 0x01, 0x00, 0x00, 0x00, 0x0C,
                                  0x00, 0x00, 0x01, 0x44, 0x00, 0x00};

void UseTransport(const EFI_PEI_SERVICES **Services) {
  EFI_PEI_PPI_DESCRIPTOR *Descriptor = nullptr;
  VOID *Interface = nullptr;
  const EFI_STATUS Located = (*Services)->LocatePpi(
      Services, &TpmTransportPpiGuid, 0, &Descriptor, &Interface);
  Print("TTP locate");
  PrintField("status", Located);
  PrintField("descriptor", Address(Descriptor));
  if (EfiError(Located) || Descriptor == nullptr || Interface == nullptr) {
    Print("\n");
    return;
  }
  PrintField("flags", Descriptor->Flags);
  PrintField("guid-match",
             SameBytes(Descriptor->Guid, &TpmTransportPpiGuid, 16) ? 1 : 0);
  PrintField("descriptor-ppi", Address(Descriptor->Ppi));
  PrintField("interface", Address(Interface));
  PrintField("notified", Address(Record.Interface));
  Print("\n");

  const auto *Transport = static_cast<const TransportPpi *>(Interface);
  Print("TTP slots");
  PrintField("execute", Address(reinterpret_cast<VOID *>(Transport->Execute)));
  PrintField("probe", Address(reinterpret_cast<VOID *>(Transport->Probe)));
  PrintField("send", Address(reinterpret_cast<VOID *>(Transport->Send)));
  PrintField("receive", Address(reinterpret_cast<VOID *>(Transport->Receive)));
  Print("\n");
  ReportImageAround(Address(Interface));

  Print("TTP probe");
  PrintField("status", Transport->Probe(nullptr, nullptr));
  Print("\n");

  constexpr UINT8 Untouched = 0xA5;
  UINT8 Response[64];
  for (UINT8 &Byte : Response) {
    Byte = Untouched;
  }
  const UINT32 ResponseLength = sizeof(Response);
  const EFI_STATUS Executed =
      Transport->Execute(nullptr, nullptr, StartupClear, sizeof(StartupClear),
                         Response, &ResponseLength);
  UINT32 Changed = 0;
  for (const UINT8 Byte : Response) {
    Changed += Byte != Untouched ? 1 : 0;
  }
  Print("TTP execute");
  PrintField("status", Executed);
  PrintField("response-bytes-changed", Changed);
  PrintField("response-length", ResponseLength);
  Print("\n");

  Print("TTP send-empty");
  PrintField("status", Transport->Send(nullptr, nullptr, StartupClear, 0));
  Print("\n");
}

} // namespace

extern "C" EFI_STATUS EFIAPI CompanionEntry(EFI_PEI_FILE_HANDLE,
                                            const EFI_PEI_SERVICES **Services) {
  Print("TTP companion");
  PrintField("entry", Address(reinterpret_cast<VOID *>(CompanionEntry)));
  Print("\n");

  // Token 11 is smaller than 16 bytes in some platform databases, so the
  // module's announcement can overwrite its neighbours. Keep what is there
  // now and put it back once the announcement has been seen.
  VOID *PcdInterface = nullptr;
  const EFI_STATUS PcdFound =
      (*Services)->LocatePpi(Services, &PcdPpiGuid, 0, nullptr, &PcdInterface);
  const auto *Pcd = static_cast<const PcdPpi *>(PcdInterface);
  UINT8 *Token = nullptr;
  UINT8 Saved[TokenBytes];
  if (!EfiError(PcdFound) && Pcd != nullptr) {
    Token = static_cast<UINT8 *>(Pcd->GetPtr(InstanceToken));
  }
  Print("TTP token-before");
  PrintField("pcd-status", PcdFound);
  PrintField("address", Address(Token));
  if (Token != nullptr) {
    PrintField("size", Pcd->GetSize(InstanceToken));
    CopyBytes(Saved, Token, TokenBytes);
    PrintBytes("bytes", Saved, TokenBytes);
  }
  Print("\n");

  Print("TTP notify-armed");
  PrintField("status", (*Services)->NotifyPpi(Services, &TransportNotify));
  Print("\n");

  Print("TTP trigger-installing\n");
  Record.InsideTrigger = 1;
  const EFI_STATUS Installed =
      (*Services)->InstallPpi(Services, &TriggerDescriptor);
  Record.InsideTrigger = 0;
  Print("TTP trigger-installed");
  PrintField("status", Installed);
  PrintField("notify-count", Record.Count);
  Print("\n");

  UseTransport(Services);

  if (Token != nullptr) {
    Print("TTP token-after");
    PrintField("instance", SameBytes(Token, &TpmInstanceGuid, 16) ? 1 : 0);
    PrintBytes("bytes", Token, TokenBytes);
    Print("\n");
    CopyBytes(Token, Saved, TokenBytes);
    Print("TTP token-restored");
    PrintField("same", SameBytes(Token, Saved, TokenBytes) ? 1 : 0);
    Print("\n");
  }
  Print("TTP companion-done");
  PrintField("notify-count", Record.Count);
  Print("\n");
  return EFI_SUCCESS;
}
