//
// Guest calls cannot nest (the emulator cannot be re-entered from a hook), so
// a notification that an install triggers is queued and runs right after the
// guest call that caused it returned, before anything else happens: to the
// module that is indistinguishable from a callback run inside the call.
#pragma once

#include "cpu_io_ppi.h"
#include "efi.h"
#include "firmware_files.h"
#include "hob_list.h"
#include "machine.h"
#include "pci_cfg_ppi.h"
#include "service_table.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

namespace pei {

// The services the platform answers, as trace events name them.
namespace service {
inline constexpr const char *kInstallPpi = "InstallPpi";
inline constexpr const char *kReInstallPpi = "ReInstallPpi";
inline constexpr const char *kLocatePpi = "LocatePpi";
inline constexpr const char *kNotifyPpi = "NotifyPpi";
inline constexpr const char *kRegisterForShadow = "RegisterForShadow";
inline constexpr const char *kGetVariable = "GetVariable";
inline constexpr const char *kSetPtr = "SetPtr";
} // namespace service

class Foundation {
public:
  // PI descriptor flags.
  static constexpr std::uint32_t kPpiFlag = 0x10;
  static constexpr std::uint32_t kNotifyCallback = 0x20;
  static constexpr std::uint32_t kNotifyDispatch = 0x40;
  static constexpr std::uint32_t kTerminateList = 0x80000000;
  static constexpr std::size_t kDatabaseSize = 128; // PPIs, notifications

  // Where the Foundation keeps its own data (services table, the platform's
  // PPIs and descriptors): memory the guest may read but not write.
  static constexpr std::uint32_t kDataBase = 0x00060000;
  static constexpr std::uint32_t kDataSize = 0x10000;
  static constexpr unsigned kServiceSlots = 28; // InstallPpi .. FreePages
  // The slots that hold the platform's CPU I/O and PCI configuration PPIs.
  static constexpr unsigned kCpuIoSlot = 18;
  static constexpr unsigned kPciCfgSlot = 19;

  struct Ppi {
    efi::Guid guid;
    GuestAddress descriptor;
    GuestAddress interface;
    std::string installer; // as the installer namer names it; empty: platform
  };
  struct Notification {
    efi::Guid guid;
    GuestAddress descriptor;
    GuestCallback callback;
    std::uint32_t flags = 0;
  };
  // A callback that ran, for the log and for tests.
  struct FiredNotification {
    efi::Guid guid;
    GuestCallback callback;
    GuestAddress ppi; // the interface it was called with
    EfiStatus status;
  };
  // The EFI_PEI_SERVICES table, slot by slot (foundation_services.cpp): what
  // each service takes and, for those the Foundation answers, the handler.
  using Service = ServiceEntry<Foundation>;
  static const std::array<Service, kServiceSlots> kServices;

  explicit Foundation(machine::Machine &machine);
  Foundation(const Foundation &) = delete;
  Foundation &operator=(const Foundation &) = delete;

  // --- services pointer ---------------------------------------------------
  // The CONST EFI_PEI_SERVICES ** the Foundation hands out; it is also what
  // the 4 bytes below the IDT base hold.
  std::uint32_t servicesPointer() const { return servicesPointer_; }
  std::uint32_t servicesTable() const { return servicesTable_; }
  // Builds a fresh copy of the table and its pointer elsewhere and stores the
  // new pointer below the IDT base (the old copy stays usable). Returns the
  // new services pointer.
  std::uint32_t moveServices();

  // --- the module being dispatched ----------------------------------------
  // The EFI_PEI_FILE_HANDLE the module is dispatched with.
  std::uint32_t fileHandle() const { return fileHandle_; }
  bool shadowRequested() const { return shadowRequested_; }
  // Once set, RegisterForShadow answers EFI_ALREADY_STARTED.
  void setShadowed() { shadowed_ = true; }

  // Calls entry(FileHandle, PeiServices) and then every notification it
  // caused. servicesArgument replaces the services pointer passed in (tests).
  EfiStatus dispatch(const std::string &name, GuestCallback entry,
                     std::optional<std::uint32_t> servicesArgument = {});

  // --- PPI database ---------------------------------------------------------
  // Installs a PPI of the platform's own (descriptor built in the
  // Foundation's data) and runs the notifications it fires. Returns the
  // InstallPpi status.
  EfiStatus installPpi(const efi::Guid &guid, GuestAddress interface);
  std::optional<Ppi> locate(const efi::Guid &guid, unsigned instance = 0) const;
  const std::vector<Ppi> &ppis() const { return ppis_; }
  const std::vector<Notification> &notifications() const {
    return notifications_;
  }
  const std::vector<FiredNotification> &fired() const { return fired_; }
  // Runs queued notification callbacks until none is left.
  void runNotifications();

  // --- guest data -----------------------------------------------------------
  // Reserves bytes in the Foundation's data (read-only to the guest) and
  // fills them. Returns their address.
  std::uint32_t allocate(std::span<const std::uint8_t> bytes,
                         std::uint32_t alignment = 8);
  std::uint32_t allocateGuid(const efi::Guid &guid) {
    return allocate(guid.bytes);
  }
  // A table of thunks, one per entry, named "<owner> <entry name>", each
  // answering through `object`; a call of an entry without a handler stops
  // the run. `trailer` follows the table (data members of the interface).
  // Returns the table's address, the interface to install it with.
  template <class Owner>
  GuestAddress allocateFunctionTable(
      const std::string &owner,
      std::type_identity_t<std::span<const ServiceEntry<Owner>>> table,
      Owner &object, std::span<const std::uint8_t> trailer = {}) {
    std::vector<std::uint32_t> thunks;
    for (std::size_t slot = 0; slot < table.size(); ++slot) {
      const std::string name = owner + " " + table[slot].signature.name;
      thunks.push_back(machine_.addThunk(
          name, bindService(table[slot], object,
                            name + " (slot " + std::to_string(slot) + ")")));
    }
    return allocateTable(thunks, trailer);
  }

  // --- boot mode and HOB list -----------------------------------------------
  // Until a list is placed, GetHobList and CreateHob answer
  // EFI_NOT_AVAILABLE_YET; once placed, the boot mode lives in its PHIT.
  void placeHobList(std::uint32_t bottom, std::uint32_t top);
  const std::optional<HobList> &hobList() const { return hobs_; }
  std::uint32_t bootMode() const;

  // --- a whole volume's dispatch -------------------------------------------
  // By default a callback that an install fires is queued until the guest
  // call returns (one module, whose log keeps that order). A dispatcher of
  // many modules turns this on: callbacks then run inside the InstallPpi,
  // ReInstallPpi or NotifyPpi call that fired them, as PI has it, and
  // dispatch notifications run after each module (dispatchModule).
  void setCallbacksInside(bool on) { inside_ = on; }
  // Calls entry(file, PeiServices), then the dispatch notifications that
  // the PPIs and notifications it installed fire.
  EfiStatus dispatchModule(const std::string &name, GuestCallback entry,
                           GuestAddress file);
  void runDispatchNotifications();
  // Answers RegisterForShadow instead of the one module's file handle.
  void setShadowRegistrar(std::function<EfiStatus(GuestAddress)> registrar) {
    shadowRegistrar_ = std::move(registrar);
  }
  // Names who installs a PPI, from the address InstallPpi was called from
  // (a module that tail-calls it leaves the platform's own return address).
  void setInstallerNamer(std::function<std::string(std::uint32_t)> namer) {
    installerNamer_ = std::move(namer);
  }
  // Told of every PPI installed or reinstalled, the platform's too.
  void setInstallListener(std::function<void(const Ppi &)> listener) {
    installListener_ = std::move(listener);
  }
  // Told of every service call the Foundation answers: the service's name
  // and the address the guest called from.
  using ServiceListener = std::function<void(const char *, std::uint32_t)>;
  void setServiceListener(ServiceListener listener) {
    serviceListener_ = std::move(listener);
  }

  // --- permanent memory (memory_services.cpp) ------------------------------
  struct MemoryRange {
    std::uint64_t begin = 0;
    std::uint64_t length = 0;
  };
  // What InstallPeiMemory was given, once it was called successfully.
  const std::optional<MemoryRange> &memoryInstalled() const { return memory_; }
  bool onPermanentMemory() const { return switched_; }
  // InstallPeiMemory: checks the range and maps it as RAM. The switch to it
  // happens once the module that called it returns.
  EfiStatus installMemory(std::uint64_t begin, std::uint64_t length);
  // Moves the HOB list to the bottom of the installed memory (PHIT updated,
  // PPI and notification pointers into the old list converted), reserves
  // `stackSize` bytes at its top for the stack, records that in a
  // memory-allocation HOB and installs the memory-discovered PPI. Returns
  // the new stack top.
  std::uint32_t switchToPermanentMemory(std::uint32_t stackSize);
  // Pages from the top of the HOB list's free memory, recorded in a
  // memory-allocation HOB of `type`; 0 when they do not fit.
  std::uint64_t takePages(std::uint64_t pages, std::uint32_t type);
  // Adds a HOB of `type` with the given body after its header.
  std::uint32_t addHob(std::uint16_t type, std::span<const std::uint8_t> body);
  // A reset that a module asked for: the run ends there.
  struct Reset {
    std::string service; // ResetSystem or ResetSystem2
    std::uint32_t type = 0;
    std::uint32_t status = 0;
  };
  const std::optional<Reset> &reset() const { return reset_; }
  // --- firmware volumes and files ------------------------------------------
  // The volumes the FFS services search, and their allocator for decoded
  // sections.
  FirmwareFiles &files() { return files_; }
  const FirmwareFiles &files() const { return files_; }

  // --- the platform's I/O PPIs ----------------------------------------------
  // EFI_PEI_CPU_IO_PPI and EFI_PEI_PCI_CFG2_PPI, which the CpuIo and PciCfg
  // slots of every copy of the services table point at.
  GuestAddress cpuIoPpi() const { return cpuIoPpi_; }
  GuestAddress pciCfgPpi() const { return pciCfgPpi_; }

  // Lines for the boot log (PPIs installed, notifications fired ...).
  void setLog(std::function<void(const std::string &)> log) {
    log_ = std::move(log);
  }
  machine::Machine &machine() { return machine_; }

private:
  struct Pending {
    Notification notification;
    GuestAddress ppi;
  };
  // One entry of a PPI or notify list as the guest wrote it.
  struct Descriptor {
    GuestAddress at;
    std::uint32_t flags = 0;
    efi::Guid guid;
    std::uint32_t pointer = 0; // the PPI, or the notification callback
  };
  // Reads a list up to the entry that carries TERMINATE_LIST. Nothing when
  // the list is null, an entry has none of the flags in `kinds`, or no
  // terminator comes soon: the whole list is checked before any of it is
  // used. `what` names the list in faults ("PPI", "notification").
  std::optional<std::vector<Descriptor>>
  readList(GuestAddress list, std::uint32_t kinds,
           const std::string &what) const;
  EfiStatus installList(GuestAddress list, bool fromGuest,
                        std::uint32_t from = 0);
  EfiStatus notifyList(GuestAddress list);
  EfiStatus reinstall(GuestAddress oldDescriptor, GuestAddress newDescriptor);
  EfiStatus locatePpi(const efi::Guid &guid, std::uint32_t instance,
                      GuestAddress descriptorOut, GuestAddress ppiOut);
  EfiStatus registerForShadow(GuestAddress fileHandle);
  Answer getBootMode(const ServiceCall &call);
  Answer setBootMode(std::uint32_t mode);
  Answer getHobList(const ServiceCall &call);
  Answer createHob(const ServiceCall &call);
  static Answer copyMem(const ServiceCall &call);
  static Answer setMem(const ServiceCall &call);
  Answer reportStatusCode(const ServiceCall &call);
  Answer installPeiMemory(const ServiceCall &call);
  Answer allocatePages(const ServiceCall &call);
  Answer allocatePool(const ServiceCall &call);
  Answer freePages(const ServiceCall &call);
  Answer resetSystem(const ServiceCall &call, std::uint32_t type,
                     std::uint32_t status);
  // Runs `queue`'s callbacks one after the other inside the current guest
  // call, then answers its caller `status`.
  void runInside(machine::ThunkCall &thunk,
                 std::shared_ptr<std::deque<Pending>> queue,
                 std::uint32_t status);
  Answer withCallbacks(const ServiceCall &call, EfiStatus status);
  void recordFired(const Pending &fired, std::uint32_t result);
  // A notification's callback called from the host, between guest calls;
  // `kind` starts its log line.
  void callNow(const Pending &next, const std::string &kind);
  static std::string callName(const Pending &next);
  efi::Guid readGuid(GuestAddress address, const std::string &what) const;
  void queueFor(const Ppi &ppi);
  // The addresses as a table in the Foundation's data, then the trailer.
  GuestAddress allocateTable(const std::vector<std::uint32_t> &addresses,
                             std::span<const std::uint8_t> trailer = {});
  void log(const std::string &line) {
    if (log_) {
      log_(line);
    }
  }

  machine::Machine &machine_;
  FirmwareFiles files_;
  CpuIoPpi cpuIo_;
  PciCfgPpi pciCfg_;
  GuestAddress cpuIoPpi_;
  GuestAddress pciCfgPpi_;
  std::uint32_t dataNext_ = kDataBase;
  std::vector<std::uint32_t> serviceThunks_;
  std::uint32_t servicesTable_ = 0;
  std::uint32_t servicesPointer_ = 0;
  std::uint32_t fileHandle_ = 0;
  bool shadowRequested_ = false;
  bool shadowed_ = false;
  std::uint32_t bootMode_ = 0;
  std::optional<HobList> hobs_;

  std::vector<Ppi> ppis_;
  std::vector<Notification> notifications_;
  std::deque<Pending> pending_;
  bool inside_ = false;
  std::size_t callbacksInside_ = 0;
  // Dispatch notifications: how many PPIs and notifications they have
  // been matched against so far.
  std::size_t dispatchedPpis_ = 0;
  std::size_t dispatchedNotifications_ = 0;
  std::function<EfiStatus(GuestAddress)> shadowRegistrar_;
  ServiceListener serviceListener_;
  std::function<std::string(std::uint32_t)> installerNamer_;
  std::function<void(const Ppi &)> installListener_;
  std::optional<MemoryRange> memory_;
  bool switched_ = false;
  std::optional<Reset> reset_;
  std::vector<FiredNotification> fired_;
  std::function<void(const std::string &)> log_;
};

} // namespace pei
