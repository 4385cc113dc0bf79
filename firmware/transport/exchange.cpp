#include "exchange.h"

#include "coprocessor.h"
#include "io.h"
#include "memory.h"
#include "registers.h"

namespace {

// The wait is bounded at 120 s, timed with the ACPI power-management timer,
// whose 3.579545 MHz tick is taken as 0.28 us.
inline constexpr UINT64 WaitBoundMicroseconds = 120000000;
inline constexpr UINT64 TickToMicrosecondsNumerator = 28;
inline constexpr UINT64 TickToMicrosecondsDenominator = 100;
// Without a timer the wait counts passes instead, each paced by one read of
// the delay port.
inline constexpr UINT32 FallbackPasses =
    static_cast<UINT32>(WaitBoundMicroseconds / 2);

// ticks * 28 / 100 > bound, with the quotient truncated. Stated as a product
// comparison (floor(x / 100) > b exactly when x >= (b + 1) * 100) so that
// IA-32 code needs no 64-bit division helper.
constexpr bool TicksExceedBound(UINT32 Ticks) {
  return static_cast<UINT64>(Ticks) * TickToMicrosecondsNumerator >=
         (WaitBoundMicroseconds + 1) * TickToMicrosecondsDenominator;
}
static_assert(!TicksExceedBound(428571432)); // 120,000,000 us: wait on
static_assert(TicksExceedBound(428571433));  // 120,000,001 us: give up
static_assert(TicksExceedBound(0xFFFFFFFF));

// Ticks since Start. A reading equal to Start counts as a full wrap, so a
// timer that does not move ends the wait at once instead of hanging it.
constexpr UINT32 TicksSince(UINT32 Start, UINT32 Now) {
  return Now > Start ? Now - Start : Now + (0xFFFFFFFF - Start);
}
static_assert(TicksSince(5, 5) == 0xFFFFFFFF);
static_assert(TicksSince(0xFFFFFFF0, 0x10) == 0x1F);

UINT32 ReadTimer(UINT16 Port) {
  UINT32 Value = 0;
  IoReadByWidth(Width32, Port, &Value);
  return Value;
}

// The control area is usable only once the co-processor has filled in both
// addresses. A response address above 4 GiB cannot be reached by the fill and
// copy below (they would truncate it), and a command address of 0 would put
// the command over low memory: both count as not set up.
BOOLEAN IsAreaSetUp(volatile ControlArea *Area) {
  const UINT32 ResponseLow = Area->ResponseAddress.Low;
  const UINT32 ResponseHigh = Area->ResponseAddress.High;
  if (ResponseLow == 0 || ResponseHigh != 0) {
    return FALSE;
  }
  return Area->CommandAddress != 0 ? TRUE : FALSE;
}

// Waits for the command in flight and turns the outcome into a status.
EFI_STATUS FinishCommand(volatile ControlArea *Area) {
  if (!WaitForCompletion(Area)) {
    return EFI_TIMEOUT;
  }
  if (Area->Error != 0) {
    return EFI_DEVICE_ERROR;
  }
  return EFI_SUCCESS;
}

EFI_STATUS SendOpened(const UINT8 *CommandBuffer, UINT32 CommandSize) {
  UINT32 Base = 0;
  if (!LocateCoprocessor(&Base)) {
    return EFI_UNSUPPORTED;
  }
  volatile ControlArea *Area = Below4G<volatile ControlArea>(Base);
  if (!IsAreaSetUp(Area)) {
    return EFI_UNSUPPORTED;
  }
  GuardedCopy(Below4G(Area->CommandAddress), CommandBuffer, CommandSize);
  Area->ResponseSize = ResponseAreaSize;
  FillBytes(Below4G(Area->ResponseAddress.Low), ResponseAreaSize, 0);
  Area->Start = 1;
  return FinishCommand(Area);
}

EFI_STATUS ReceiveOpened(volatile ControlArea *Area, UINT8 *ResponseBuffer,
                         UINT32 ResponseLength) {
  if (!IsAreaSetUp(Area)) {
    return EFI_UNSUPPORTED;
  }
  const EFI_STATUS Status = FinishCommand(Area);
  if (Status != EFI_SUCCESS) {
    return Status;
  }
  if (Area->ResponseSize != 0) {
    // Never read past the response area, however much the caller asks for.
    const UINT32 Length =
        ResponseLength < ResponseAreaSize ? ResponseLength : ResponseAreaSize;
    GuardedCopy(ResponseBuffer, Below4G(Area->ResponseAddress.Low), Length);
  }
  Area->ResponseSize = ResponseAreaSize;
  return EFI_SUCCESS;
}

} // namespace

BOOLEAN IsCommandDone(volatile ControlArea *Area) {
  if (Area->Start == 0) {
    return TRUE;
  }
  return Area->Error != 0 ? TRUE : FALSE;
}

BOOLEAN WaitForCompletion(volatile ControlArea *Area) {
  if (IsCommandDone(Area)) {
    return TRUE;
  }
  const UINT16 TimerPort = MemRead16(Registers::PmTimerPortRegister, 0);
  if (TimerPort == 0) {
    for (UINT32 Pass = 0; Pass < FallbackPasses; ++Pass) {
      if (IsCommandDone(Area)) {
        return TRUE;
      }
      (void)IoRead8(Registers::DelayPort);
    }
    return FALSE;
  }
  const UINT32 Start = ReadTimer(TimerPort);
  for (;;) {
    const UINT32 Ticks = TicksSince(Start, ReadTimer(TimerPort));
    if (IsCommandDone(Area)) {
      return TRUE;
    }
    if (TicksExceedBound(Ticks)) {
      return FALSE;
    }
  }
}

EFI_STATUS EFIAPI Send(const VOID *, const VOID *, const UINT8 *CommandBuffer,
                       UINT32 CommandSize) {
  if (CommandBuffer == nullptr || CommandSize == 0 ||
      CommandSize > MaxCommandSize) {
    return EFI_INVALID_PARAMETER;
  }
  const UINT32 Saved = OpenCoprocessor();
  const EFI_STATUS Status = SendOpened(CommandBuffer, CommandSize);
  CloseCoprocessor(Saved);
  return Status;
}

EFI_STATUS EFIAPI Receive(const VOID *, const VOID *, UINT8 *ResponseBuffer,
                          const UINT32 *ResponseLength) {
  if (ResponseBuffer == nullptr || ResponseLength == nullptr ||
      *ResponseLength == 0) {
    return EFI_INVALID_PARAMETER;
  }
  UINT32 Base = 0;
  if (!LocateCoprocessor(&Base)) {
    return EFI_UNSUPPORTED;
  }
  const UINT32 Saved = OpenCoprocessor();
  const EFI_STATUS Status = ReceiveOpened(Below4G<volatile ControlArea>(Base),
                                          ResponseBuffer, *ResponseLength);
  CloseCoprocessor(Saved);
  return Status;
}

// The response parameters are checked only after the command has run: a
// caller that gets them wrong still has its command executed.
EFI_STATUS EFIAPI Execute(const VOID *This, const VOID *Reserved,
                          const UINT8 *CommandBuffer, UINT32 CommandSize,
                          UINT8 *ResponseBuffer, const UINT32 *ResponseLength) {
  const EFI_STATUS Status = Send(This, Reserved, CommandBuffer, CommandSize);
  if (EfiError(Status)) {
    return Status;
  }
  return Receive(This, Reserved, ResponseBuffer, ResponseLength);
}
