// A test PEIM that uses the TPM transport the way an integrator's own
// measured-boot code would: it finds TpmTransportPpi and sends
// TPM2_Startup(CLEAR) and TPM2_GetRandom(8) through Execute, then
// TPM2_GetRandom(8) through Send and Receive. Packaged with a dependency on
// the transport's PPI, so it runs once the module has published it. Each
// step is one "TTU <step> key=value ..." line on the debug console (port
// 0x402). On the bench the TPM behind the co-processor answers; under QEMU
// there is no co-processor and every call answers EFI_UNSUPPORTED. Never
// shipped.
#include "pi.h"

namespace {

constexpr UINT16 DebugConsolePort = 0x402;

constexpr EFI_GUID TpmTransportPpiGuid = {
    0x9D910B61, 0x85BD, 0x4473, {0x81, 0x31, 0x40, 0x95, 0x9D, 0x60, 0xC7, 0xEE}};

// TpmTransportPpi: four functions, each taking two leading pointer-sized
// arguments it does not read.
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

// TPM2_Startup(TPM_SU_CLEAR) and TPM2_GetRandom(8): tag TPM_ST_NO_SESSIONS,
// size, command code, parameters, all big-endian.
constexpr UINT8 StartupClear[] = {0x80, 0x01, 0x00, 0x00, 0x00, 0x0C,
                                  0x00, 0x00, 0x01, 0x44, 0x00, 0x00};
constexpr UINT8 GetRandom8[] = {0x80, 0x01, 0x00, 0x00, 0x00, 0x0C,
                                0x00, 0x00, 0x01, 0x7B, 0x00, 0x08};
constexpr UINT32 ResponseBytes = 64;

void OutByte(UINT8 Value) {
  __asm__ volatile("outb %0, %1" : : "a"(Value), "Nd"(DebugConsolePort));
}

void Print(const char *Text) {
  while (*Text != '\0') {
    OutByte(static_cast<UINT8>(*Text++));
  }
}

void PrintField(const char *Key, UINT32 Value) {
  constexpr char Digits[] = "0123456789ABCDEF";
  Print(" ");
  Print(Key);
  Print("=0x");
  for (int Shift = 28; Shift >= 0; Shift -= 4) {
    OutByte(static_cast<UINT8>(Digits[(Value >> Shift) & 0xF]));
  }
}

UINT32 BigEndian32(const UINT8 *Bytes) {
  return static_cast<UINT32>(Bytes[0]) << 24 |
         static_cast<UINT32>(Bytes[1]) << 16 |
         static_cast<UINT32>(Bytes[2]) << 8 | Bytes[3];
}

// The status, and for a response whose header is there, its response code
// and the size it states.
void Report(const char *Step, EFI_STATUS Status, const UINT8 *Response) {
  Print("TTU ");
  Print(Step);
  PrintField("status", Status);
  if (!EfiError(Status)) {
    PrintField("size", BigEndian32(Response + 2));
    PrintField("rc", BigEndian32(Response + 6));
  }
  Print("\n");
}

} // namespace

extern "C" EFI_STATUS EFIAPI TransportConsumerEntry(
    EFI_PEI_FILE_HANDLE, const EFI_PEI_SERVICES **Services) {
  VOID *Interface = nullptr;
  const EFI_STATUS Located = (*Services)->LocatePpi(
      Services, &TpmTransportPpiGuid, 0, nullptr, &Interface);
  Print("TTU locate");
  PrintField("status", Located);
  Print("\n");
  if (EfiError(Located) || Interface == nullptr) {
    return Located;
  }
  const auto *Transport = static_cast<const TransportPpi *>(Interface);
  UINT8 Response[ResponseBytes];
  const UINT32 Length = ResponseBytes;

  Report("execute-startup",
         Transport->Execute(nullptr, nullptr, StartupClear,
                            sizeof(StartupClear), Response, &Length),
         Response);
  Report("execute-getrandom",
         Transport->Execute(nullptr, nullptr, GetRandom8, sizeof(GetRandom8),
                            Response, &Length),
         Response);

  const EFI_STATUS Sent =
      Transport->Send(nullptr, nullptr, GetRandom8, sizeof(GetRandom8));
  Print("TTU send");
  PrintField("status", Sent);
  Print("\n");
  if (!EfiError(Sent)) {
    Report("receive-getrandom",
           Transport->Receive(nullptr, nullptr, Response, &Length), Response);
  }
  Print("TTU done\n");
  return EFI_SUCCESS;
}
