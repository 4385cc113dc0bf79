// Base types shared by every layer of the module: fixed-width integers,
// EFI status values, GUIDs and the PEI descriptor formats. IA-32 only: pointers
// and UINTN are 32 bits, everything is little-endian.
#pragma once

#define EFIAPI __attribute__((cdecl))

using UINT8 = unsigned char;
using UINT16 = unsigned short;
using UINT32 = unsigned int;
using UINT64 = unsigned long long;
using UINTN = UINT32;
using CHAR16 = char16_t;
using BOOLEAN = UINT8;
using VOID = void;

static_assert(sizeof(UINT16) == 2 && sizeof(UINT32) == 4 &&
              sizeof(UINT64) == 8);
static_assert(sizeof(void *) == 4, "the module is built for IA-32 only");

inline constexpr BOOLEAN TRUE = 1;
inline constexpr BOOLEAN FALSE = 0;

using EFI_STATUS = UINTN;

inline constexpr EFI_STATUS EFI_SUCCESS = 0;
inline constexpr EFI_STATUS EFI_INVALID_PARAMETER = 0x80000002;
inline constexpr EFI_STATUS EFI_UNSUPPORTED = 0x80000003;
inline constexpr EFI_STATUS EFI_DEVICE_ERROR = 0x80000007;
inline constexpr EFI_STATUS EFI_TIMEOUT = 0x80000012;
inline constexpr EFI_STATUS EFI_ALREADY_STARTED = 0x80000014;

// Errors have the top bit set; warnings (non-zero, top bit clear) are not
// errors.
[[nodiscard]] constexpr bool EfiError(EFI_STATUS Status) {
  return (Status & 0x80000000u) != 0;
}

// A 64-bit physical address as the module passes it around: two 32-bit
// halves, low first, so that no routine needs 64-bit arithmetic helpers.
struct PhysicalAddress {
  UINT32 Low;
  UINT32 High;
};

// A 64-bit MSR value, split as RDMSR/WRMSR split it (EAX low, EDX high) and
// laid out low half first, the two-UINT32 buffer the MSR routines exchange.
struct MsrValue {
  UINT32 Low;
  UINT32 High;
};

// Four bytes of little-endian Data1, two little-endian UINT16s, eight bytes.
struct EFI_GUID {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
};
static_assert(sizeof(EFI_GUID) == 16);
static_assert(__builtin_offsetof(EFI_GUID, Data2) == 4);
static_assert(__builtin_offsetof(EFI_GUID, Data3) == 6);
static_assert(__builtin_offsetof(EFI_GUID, Data4) == 8);

using EFI_PEI_FILE_HANDLE = VOID *;

struct EFI_PEI_SERVICES;
struct EFI_PEI_NOTIFY_DESCRIPTOR;

inline constexpr UINTN EFI_PEI_PPI_DESCRIPTOR_PPI = 0x00000010;
inline constexpr UINTN EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK = 0x00000020;
inline constexpr UINTN EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST = 0x80000000;

// The module's descriptors live in its read-only image, so the pointers they
// carry are declared const; the layout is the PI one.
struct EFI_PEI_PPI_DESCRIPTOR {
  UINTN Flags;
  const EFI_GUID *Guid;
  const VOID *Ppi;
};

using EFI_PEIM_NOTIFY_ENTRY_POINT = EFI_STATUS(EFIAPI *)(
    const EFI_PEI_SERVICES **PeiServices,
    const EFI_PEI_NOTIFY_DESCRIPTOR *NotifyDescriptor, VOID *Ppi);

struct EFI_PEI_NOTIFY_DESCRIPTOR {
  UINTN Flags;
  const EFI_GUID *Guid;
  EFI_PEIM_NOTIFY_ENTRY_POINT Notify;
};

static_assert(sizeof(EFI_PEI_PPI_DESCRIPTOR) == 12);
static_assert(__builtin_offsetof(EFI_PEI_PPI_DESCRIPTOR, Guid) == 4);
static_assert(__builtin_offsetof(EFI_PEI_PPI_DESCRIPTOR, Ppi) == 8);
static_assert(sizeof(EFI_PEI_NOTIFY_DESCRIPTOR) == 12);
static_assert(__builtin_offsetof(EFI_PEI_NOTIFY_DESCRIPTOR, Guid) == 4);
static_assert(__builtin_offsetof(EFI_PEI_NOTIFY_DESCRIPTOR, Notify) == 8);

// The services table: a 24-byte header, then function pointers. Only the
// members the module calls are typed; the rest keep their slots.
struct EFI_TABLE_HEADER {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
};
static_assert(sizeof(EFI_TABLE_HEADER) == 24);

struct EFI_PEI_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_STATUS(EFIAPI *InstallPpi)
  (const EFI_PEI_SERVICES **PeiServices, const EFI_PEI_PPI_DESCRIPTOR *PpiList);
  VOID *ReInstallPpi;
  EFI_STATUS(EFIAPI *LocatePpi)
  (const EFI_PEI_SERVICES **PeiServices, const EFI_GUID *Guid, UINTN Instance,
   EFI_PEI_PPI_DESCRIPTOR **PpiDescriptor, VOID **Ppi);
  EFI_STATUS(EFIAPI *NotifyPpi)
  (const EFI_PEI_SERVICES **PeiServices,
   const EFI_PEI_NOTIFY_DESCRIPTOR *NotifyList);
  VOID *Unused[19]; // GetBootMode .. FfsGetVolumeInfo
  EFI_STATUS(EFIAPI *RegisterForShadow)(EFI_PEI_FILE_HANDLE FileHandle);
};
static_assert(__builtin_offsetof(EFI_PEI_SERVICES, InstallPpi) == 24);
static_assert(__builtin_offsetof(EFI_PEI_SERVICES, LocatePpi) == 32);
static_assert(__builtin_offsetof(EFI_PEI_SERVICES, NotifyPpi) == 36);
static_assert(__builtin_offsetof(EFI_PEI_SERVICES, RegisterForShadow) == 116);
