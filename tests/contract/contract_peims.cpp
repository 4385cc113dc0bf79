// Test-only PEIMs that hold a PEI Foundation to the PI contracts of its
// services and its dispatcher, run alike on the emulated platform's bench
// and under the genuine PEI core in OVMF. Never shipped.
//
// Each reports what it saw on the debug console (I/O port 0x402) as one
// "TTC <event> key=value ..." line per check, so that one test expectation
// reads both Foundations' answers.
//
// ContractProducerEntry: the HOB list, CreateHob, pool and pages, FreePages,
// file and section search, shadowing; arms notifications of both kinds on
// a PPI the consumer installs later, and one on a PPI already installed.
// ContractConsumerEntry: dispatched only through a dependency expression
// that needs the producer's PPI (packaged by the test with every opcode);
// installs the PPI the producer waits for, between two lines.
#include "pi.h"

namespace {

constexpr UINT16 DebugConsolePort = 0x402;

// GUIDs of the test's own PPIs and HOB.
constexpr EFI_GUID ProducerPpiGuid = {
    0x6A1E0F2C,
    0x11D3,
    0x4C0A,
    {0x9E, 0x41, 0x52, 0x7B, 0x0C, 0x3D, 0x90, 0x01}};
constexpr EFI_GUID EarlyPpiGuid = {
    0x6A1E0F2C,
    0x11D3,
    0x4C0A,
    {0x9E, 0x41, 0x52, 0x7B, 0x0C, 0x3D, 0x90, 0x02}};
constexpr EFI_GUID LatePpiGuid = {
    0x6A1E0F2C,
    0x11D3,
    0x4C0A,
    {0x9E, 0x41, 0x52, 0x7B, 0x0C, 0x3D, 0x90, 0x03}};
constexpr EFI_GUID MarkerHobGuid = {
    0x6A1E0F2C,
    0x11D3,
    0x4C0A,
    {0x9E, 0x41, 0x52, 0x7B, 0x0C, 0x3D, 0x90, 0x04}};
constexpr EFI_GUID MemoryDiscoveredPpiGuid = {
    0xF894643D,
    0xC449,
    0x42D1,
    {0x8E, 0xA8, 0x85, 0xBD, 0xD8, 0xC6, 0x5B, 0xDE}};

constexpr UINTN NotifyDispatch = 0x40;
constexpr UINT8 FileTypePeim = 0x06;
constexpr UINT8 SectionUserInterface = 0x15;
constexpr UINT8 SectionVersion = 0x14; // a section neither packaging adds
constexpr UINT32 BootServicesData = 4;
constexpr UINT32 ConventionalMemory = 7; // not a type AllocatePages takes
constexpr UINT16 HobHandoff = 0x0001;
constexpr UINT16 HobMemoryAllocation = 0x0002;
constexpr UINT16 HobGuidExtension = 0x0004;
constexpr UINT16 HobEnd = 0xFFFF;
constexpr UINT32 MaxHobs = 4096;

struct FileInfo { // EFI_FV_FILE_INFO
  EFI_GUID FileName;
  UINT8 FileType;
  UINT32 FileAttributes;
  VOID *Buffer;
  UINT32 BufferSize;
};
struct VolumeInfo { // EFI_FV_INFO
  UINT32 FvAttributes;
  EFI_GUID FvFormat;
  EFI_GUID FvName;
  VOID *FvStart;
  UINT64 FvSize;
};

// EFI_PEI_SERVICES with every slot these modules call typed.
struct Services {
  EFI_TABLE_HEADER Hdr;
  EFI_STATUS(EFIAPI *InstallPpi)
  (const Services **, const EFI_PEI_PPI_DESCRIPTOR *);
  VOID *ReInstallPpi;
  EFI_STATUS(EFIAPI *LocatePpi)
  (const Services **, const EFI_GUID *, UINTN, EFI_PEI_PPI_DESCRIPTOR **,
   VOID **);
  EFI_STATUS(EFIAPI *NotifyPpi)
  (const Services **, const EFI_PEI_NOTIFY_DESCRIPTOR *);
  EFI_STATUS(EFIAPI *GetBootMode)(const Services **, UINT32 *);
  VOID *SetBootMode;
  EFI_STATUS(EFIAPI *GetHobList)(const Services **, VOID **);
  EFI_STATUS(EFIAPI *CreateHob)(const Services **, UINT16, UINT16, VOID **);
  EFI_STATUS(EFIAPI *FfsFindNextVolume)(const Services **, UINTN, VOID **);
  EFI_STATUS(EFIAPI *FfsFindNextFile)
  (const Services **, UINT8, VOID *, VOID **);
  EFI_STATUS(EFIAPI *FfsFindSectionData)
  (const Services **, UINT8, VOID *, VOID **);
  VOID *InstallPeiMemory;
  EFI_STATUS(EFIAPI *AllocatePages)
  (const Services **, UINT32, UINTN, UINT64 *);
  EFI_STATUS(EFIAPI *AllocatePool)(const Services **, UINTN, VOID **);
  VOID *CopyMem, *SetMem, *ReportStatusCode, *ResetSystem, *CpuIo, *PciCfg;
  EFI_STATUS(EFIAPI *FfsFindFileByName)(const EFI_GUID *, VOID *, VOID **);
  EFI_STATUS(EFIAPI *FfsGetFileInfo)(VOID *, FileInfo *);
  EFI_STATUS(EFIAPI *FfsGetVolumeInfo)(VOID *, VolumeInfo *);
  EFI_STATUS(EFIAPI *RegisterForShadow)(VOID *);
  VOID *FindSectionData3, *FfsGetFileInfo2, *ResetSystem2;
  EFI_STATUS(EFIAPI *FreePages)(const Services **, UINT64, UINTN);
};
static_assert(__builtin_offsetof(Services, FfsFindFileByName) == 104);
static_assert(__builtin_offsetof(Services, FreePages) == 132);

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

void Line(const char *Event) {
  Print("TTC ");
  Print(Event);
}
void End() { Print("\n"); }

template <typename T> T Read(UINTN At) {
  return *reinterpret_cast<const volatile T *>(At);
}

bool SameGuid(const EFI_GUID *A, const EFI_GUID *B) {
  const auto *X = reinterpret_cast<const volatile UINT8 *>(A);
  const auto *Y = reinterpret_cast<const volatile UINT8 *>(B);
  for (UINTN I = 0; I < sizeof(EFI_GUID); ++I) {
    if (X[I] != Y[I]) {
      return false;
    }
  }
  return true;
}

UINTN Address(const volatile VOID *Pointer) {
  return reinterpret_cast<UINTN>(Pointer);
}

// --- the HOB list ---------------------------------------------------------

struct HobWalk {
  UINT32 Count;    // blocks up to and including the end
  bool Ended;      // an END_OF_HOB_LIST came
  bool Marker;     // the GUID-extension HOB this module made
  bool Allocation; // a memory-allocation HOB whose base is Wanted
  UINTN ListEnd;   // the end block's address
};

HobWalk WalkHobs(UINTN List, UINT64 Wanted) {
  HobWalk Walk = {0, false, false, false, 0};
  UINTN At = List;
  while (Walk.Count < MaxHobs) {
    const UINT16 Type = Read<UINT16>(At);
    const UINT16 Length = Read<UINT16>(At + 2);
    ++Walk.Count;
    if (Type == HobEnd) {
      Walk.Ended = true;
      Walk.ListEnd = At;
      break;
    }
    if (Length < 8 || (Length & 7) != 0) {
      break;
    }
    if (Type == HobGuidExtension &&
        SameGuid(reinterpret_cast<const EFI_GUID *>(At + 8), &MarkerHobGuid)) {
      Walk.Marker = true;
    }
    if (Type == HobMemoryAllocation &&
        Read<UINT32>(At + 24) == static_cast<UINT32>(Wanted) &&
        Read<UINT32>(At + 28) == static_cast<UINT32>(Wanted >> 32)) {
      Walk.Allocation = true;
    }
    At += Length;
  }
  return Walk;
}

void CheckHobs(const Services **Ps) {
  VOID *List = nullptr;
  const EFI_STATUS Status = (*Ps)->GetHobList(Ps, &List);
  const UINTN At = Address(List);
  const HobWalk Before = WalkHobs(At, 0);
  Line("hobs");
  PrintField("status", Status);
  PrintField("phit", Read<UINT16>(At) == HobHandoff);
  PrintField("ended", Before.Ended);
  // The PHIT's end-of-list field names the end block the walk found.
  PrintField("end-matches", Read<UINT32>(At + 48) == Before.ListEnd);
  End();

  VOID *Hob = nullptr;
  const EFI_STATUS Created =
      (*Ps)->CreateHob(Ps, HobGuidExtension, 24 + 5, &Hob);
  auto *Name = static_cast<volatile UINT8 *>(Hob) + 8;
  const auto *Marker = reinterpret_cast<const UINT8 *>(&MarkerHobGuid);
  for (UINTN I = 0; I < sizeof(EFI_GUID); ++I) {
    Name[I] = Marker[I];
  }
  const HobWalk After = WalkHobs(At, 0);
  Line("create-hob");
  PrintField("status", Created);
  PrintField("length", Read<UINT16>(Address(Hob) + 2)); // rounded to 8
  PrintField("found", After.Marker);
  PrintField("one-more", After.Count == Before.Count + 1);
  End();
}

// --- memory -----------------------------------------------------------------

void CheckMemory(const Services **Ps) {
  VOID *List = nullptr;
  (*Ps)->GetHobList(Ps, &List);
  VOID *Pool = nullptr;
  const EFI_STATUS PoolStatus = (*Ps)->AllocatePool(Ps, 200, &Pool);
  const UINTN ListEnd = Read<UINT32>(Address(List) + 48);
  Line("pool");
  PrintField("status", PoolStatus);
  PrintField("in-list",
             Address(Pool) > Address(List) && Address(Pool) + 200 <= ListEnd);
  End();

  UINT64 Pages = 0;
  const EFI_STATUS PagesStatus =
      (*Ps)->AllocatePages(Ps, BootServicesData, 2, &Pages);
  const HobWalk Walk = WalkHobs(Address(List), Pages);
  Line("pages");
  PrintField("status", PagesStatus);
  PrintField("aligned", (static_cast<UINT32>(Pages) & 0xFFF) == 0);
  PrintField("below-4g", static_cast<UINT32>(Pages >> 32) == 0);
  PrintField("hob", Walk.Allocation);
  End();
  // The pages are usable memory: write and read back both of them.
  auto *Bytes = reinterpret_cast<volatile UINT8 *>(static_cast<UINTN>(Pages));
  Bytes[0] = 0x5A;
  Bytes[0x1FFF] = 0xA5;
  Line("pages-usable");
  PrintField("ok", Bytes[0] == 0x5A && Bytes[0x1FFF] == 0xA5);
  End();

  UINT64 Unused = 0;
  Line("pages-bad-type");
  PrintField("status",
             (*Ps)->AllocatePages(Ps, ConventionalMemory, 1, &Unused));
  End();
  Line("free-pages");
  PrintField("status", (*Ps)->FreePages(Ps, Pages + 0x1000, 1));
  End();
}

// --- files and sections
// -------------------------------------------------------

void CheckFiles(const Services **Ps, VOID *Own) {
  VOID *Volume = nullptr;
  UINT32 Instance = 0;
  bool Found = false;
  UINT32 Files = 0;
  for (; !Found && (*Ps)->FfsFindNextVolume(Ps, Instance, &Volume) == 0;
       ++Instance) {
    VOID *File = nullptr;
    while ((*Ps)->FfsFindNextFile(Ps, FileTypePeim, Volume, &File) == 0) {
      ++Files;
      if (File == Own) {
        Found = true;
        break;
      }
    }
  }
  Line("own-file");
  PrintField("found", Found);
  PrintField("after-volumes", Instance);
  End();
  if (!Found) {
    return;
  }
  FileInfo Info; // filled by the service
  const EFI_STATUS InfoStatus = (*Ps)->FfsGetFileInfo(Own, &Info);
  VOID *ByName = nullptr;
  const EFI_STATUS NameStatus =
      (*Ps)->FfsFindFileByName(&Info.FileName, Volume, &ByName);
  Line("file-info");
  PrintField("status", InfoStatus);
  PrintField("type", Info.FileType);
  PrintField("by-name", NameStatus == 0 && ByName == Own);
  End();

  // The UI section names the file; the test packages it "ContractProducer".
  VOID *Ui = nullptr;
  const EFI_STATUS UiStatus =
      (*Ps)->FfsFindSectionData(Ps, SectionUserInterface, Own, &Ui);
  const char Expected[] = "ContractProducer";
  bool Same = UiStatus == 0;
  for (UINTN I = 0; Same && I < sizeof(Expected); ++I) {
    Same = Read<UINT16>(Address(Ui) + 2 * I) == static_cast<UINT8>(Expected[I]);
  }
  Line("ui-section");
  PrintField("status", UiStatus);
  PrintField("match", Same);
  End();
  VOID *None = nullptr;
  Line("missing-section");
  PrintField("status",
             (*Ps)->FfsFindSectionData(Ps, SectionVersion, Own, &None));
  End();

  VolumeInfo Fv; // filled by the service
  const EFI_STATUS FvStatus = (*Ps)->FfsGetVolumeInfo(Volume, &Fv);
  Line("volume-info");
  PrintField("status", FvStatus);
  PrintField("start-matches", Fv.FvStart == Volume);
  PrintField("size-nonzero", Fv.FvSize != 0);
  End();
}

// --- notifications
// ------------------------------------------------------------

// The modules keep no writable data (they may run from flash): where a
// callback ran shows in the order of the lines around it.
EFI_STATUS EFIAPI OnEarly(const EFI_PEI_SERVICES **,
                          const EFI_PEI_NOTIFY_DESCRIPTOR *, VOID *) {
  Line("notify-early");
  End();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI OnLateCallback(const EFI_PEI_SERVICES **,
                                 const EFI_PEI_NOTIFY_DESCRIPTOR *, VOID *) {
  Line("notify-late-callback");
  End();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI OnLateDispatch(const EFI_PEI_SERVICES **,
                                 const EFI_PEI_NOTIFY_DESCRIPTOR *, VOID *) {
  Line("notify-late-dispatch");
  End();
  return EFI_SUCCESS;
}

constexpr UINT32 Interface = 0x43545454; // "TTTC"; never read
constexpr EFI_PEI_PPI_DESCRIPTOR EarlyPpi = {
    EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST,
    &EarlyPpiGuid, &Interface};
constexpr EFI_PEI_PPI_DESCRIPTOR ProducerPpi = {
    EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST,
    &ProducerPpiGuid, &Interface};
constexpr EFI_PEI_PPI_DESCRIPTOR LatePpi = {
    EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST,
    &LatePpiGuid, &Interface};
constexpr EFI_PEI_NOTIFY_DESCRIPTOR EarlyNotify = {
    EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK |
        EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST,
    &EarlyPpiGuid, OnEarly};
// Both kinds in one list, armed before the PPI exists.
constexpr EFI_PEI_NOTIFY_DESCRIPTOR LateNotify[] = {
    {EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK, &LatePpiGuid, OnLateCallback},
    {NotifyDispatch | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST, &LatePpiGuid,
     OnLateDispatch}};

void ArmNotifications(const Services **Ps) {
  Line("notify-arm");
  PrintField("late", (*Ps)->NotifyPpi(Ps, LateNotify));
  PrintField("early-install", (*Ps)->InstallPpi(Ps, &EarlyPpi));
  End();
  Line("notify-early-begin");
  End();
  const EFI_STATUS Early = (*Ps)->NotifyPpi(Ps, &EarlyNotify);
  Line("notify-early-end");
  PrintField("status", Early);
  End();
}

} // namespace

extern "C" EFI_STATUS EFIAPI ContractProducerEntry(VOID *FileHandle,
                                                   const Services **Ps) {
  const EFI_STATUS Shadow = (*Ps)->RegisterForShadow(FileHandle);
  VOID *Discovered = nullptr;
  const bool Memory = (*Ps)->LocatePpi(Ps, &MemoryDiscoveredPpiGuid, 0, nullptr,
                                       &Discovered) == 0;
  UINT32 Mode = 0xFFFFFFFF;
  const EFI_STATUS ModeStatus = (*Ps)->GetBootMode(Ps, &Mode);
  Line("producer");
  PrintField("shadow", Shadow);
  PrintField("memory", Memory);
  PrintField("boot-mode-status", ModeStatus);
  End();
  CheckHobs(Ps);
  CheckMemory(Ps);
  CheckFiles(Ps, FileHandle);
  // The PPIs and notifications once, from the first run: the shadow run
  // finds them installed already.
  if (Shadow == EFI_SUCCESS) {
    ArmNotifications(Ps);
    Line("producer-install");
    PrintField("status", (*Ps)->InstallPpi(Ps, &ProducerPpi));
    End();
  }
  return EFI_SUCCESS;
}

extern "C" EFI_STATUS EFIAPI ContractConsumerEntry(VOID *,
                                                   const Services **Ps) {
  VOID *Producer = nullptr;
  Line("consumer");
  PrintField("producer",
             (*Ps)->LocatePpi(Ps, &ProducerPpiGuid, 0, nullptr, &Producer));
  End();
  Line("install-late-begin");
  End();
  const EFI_STATUS Status = (*Ps)->InstallPpi(Ps, &LatePpi);
  Line("install-late-end");
  PrintField("status", Status);
  End();
  return EFI_SUCCESS;
}
