#include "foundation.h"

#include "hex.h"

namespace pei {

using common::hex;
using machine::ThunkCall;

namespace {

// EFI_PEI_SERVICES after its 24-byte header, in the table's order.
const char *const kServiceNames[Foundation::kServiceSlots] = {
    "InstallPpi",
    "ReInstallPpi",
    "LocatePpi",
    "NotifyPpi",
    "GetBootMode",
    "SetBootMode",
    "GetHobList",
    "CreateHob",
    "FfsFindNextVolume",
    "FfsFindNextFile",
    "FfsFindSectionData",
    "InstallPeiMemory",
    "AllocatePages",
    "AllocatePool",
    "CopyMem",
    "SetMem",
    "ReportStatusCode",
    "ResetSystem",
    "CpuIo",
    "PciCfg",
    "FfsFindFileByName",
    "FfsGetFileInfo",
    "FfsGetVolumeInfo",
    "RegisterForShadow",
    "FindSectionData3",
    "FfsGetFileInfo2",
    "ResetSystem2",
    "FreePages"};

constexpr std::uint64_t kServicesSignature = 0x5652455320494550; // "PEI SERV"
constexpr std::uint32_t kServicesRevision = 0x00010046;          // PI 1.70
constexpr std::uint32_t kHeaderSize = 24;
constexpr std::size_t kMaxListLength = 64;
constexpr std::uint32_t kDescriptorSize = 12; // flags, GUID pointer, pointer
constexpr std::size_t kMaxCallbacksPerRun = 256;

void put32(std::vector<std::uint8_t> &bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }
}

std::string status(std::uint32_t value) { return efi::statusName(value); }

} // namespace

Foundation::Foundation(machine::Machine &machine) : machine_(machine) {
  machine.mapMemory(kDataBase, kDataSize, "PEI Foundation data",
                    machine::kRead);
  for (unsigned slot = 0; slot < kServiceSlots; ++slot) {
    const std::string name = kServiceNames[slot];
    machine::ThunkHandler handler;
    switch (slot) {
    case 0:
      handler = [this](ThunkCall &call) {
        const std::uint32_t list = call.argument(1);
        const std::uint32_t result = installList(list, true);
        traceService(call, service::kInstallPpi, result,
                     "InstallPpi(services=" + hex(call.argument(0), 8) +
                         ", list=" + hex(list, 8) + ") = " + status(result));
        return result;
      };
      break;
    case 1:
      handler = [this](ThunkCall &call) {
        const std::uint32_t result =
            reinstall(call.argument(1), call.argument(2));
        traceService(call, service::kReInstallPpi, result,
                     "ReInstallPpi(services=" + hex(call.argument(0), 8) +
                         ", old=" + hex(call.argument(1), 8) + ", new=" +
                         hex(call.argument(2), 8) + ") = " + status(result));
        return result;
      };
      break;
    case 2:
      handler = [this](ThunkCall &call) {
        const std::uint32_t guid = call.argument(1);
        const std::uint32_t result = locatePpi(
            guid, call.argument(2), call.argument(3), call.argument(4));
        traceService(call, service::kLocatePpi, result,
                     "LocatePpi(services=" + hex(call.argument(0), 8) + ", " +
                         (guid ? efi::guidName(readGuid(guid, "GUID"))
                               : std::string("null")) +
                         ", instance " + std::to_string(call.argument(2)) +
                         ") = " + status(result));
        return result;
      };
      break;
    case 3:
      handler = [this](ThunkCall &call) {
        const std::uint32_t list = call.argument(1);
        const std::uint32_t result = notifyList(list);
        traceService(call, service::kNotifyPpi, result,
                     "NotifyPpi(services=" + hex(call.argument(0), 8) +
                         ", list=" + hex(list, 8) + ") = " + status(result));
        return result;
      };
      break;
    case 23:
      handler = [this](ThunkCall &call) {
        const std::uint32_t result = registerForShadow(call.argument(0));
        traceService(call, service::kRegisterForShadow, result,
                     "RegisterForShadow(file=" + hex(call.argument(0), 8) +
                         ") = " + status(result));
        return result;
      };
      break;
    default:
      handler = [name, slot](ThunkCall &call) -> std::uint32_t {
        unexpected(call, name + " (EFI_PEI_SERVICES slot " +
                             std::to_string(slot) + ")");
      };
    }
    serviceThunks_.push_back(
        machine.addThunk("PEI service " + name, std::move(handler)));
  }
  moveServices();
  // A stand-in for the module's firmware file header: the handle only has to
  // be an address the Foundation recognises.
  const std::vector<std::uint8_t> file(24, 0);
  fileHandle_ = allocate(file);
}

std::uint32_t Foundation::moveServices() {
  std::vector<std::uint8_t> table;
  put32(table, static_cast<std::uint32_t>(kServicesSignature));
  put32(table, static_cast<std::uint32_t>(kServicesSignature >> 32));
  put32(table, kServicesRevision);
  put32(table, kHeaderSize + 4 * kServiceSlots);
  put32(table, 0); // CRC32: nobody checks it in PEI
  put32(table, 0);
  for (std::uint32_t thunk : serviceThunks_) {
    put32(table, thunk);
  }
  servicesTable_ = allocate(table);
  std::vector<std::uint8_t> pointer;
  put32(pointer, servicesTable_);
  servicesPointer_ = allocate(pointer);
  // The IA-32 convention: the services pointer lies just below the IDT.
  machine_.write32(machine_.idtBase() - 4, servicesPointer_);
  return servicesPointer_;
}

std::uint32_t Foundation::allocate(std::span<const std::uint8_t> bytes,
                                   std::uint32_t alignment) {
  const std::uint32_t at = (dataNext_ + alignment - 1) & ~(alignment - 1);
  if (at + bytes.size() > kDataBase + kDataSize) {
    throw machine::MachineError("PEI Foundation data is full");
  }
  machine_.write(at, bytes);
  dataNext_ = at + static_cast<std::uint32_t>(bytes.size());
  return at;
}

std::uint32_t Foundation::allocateFunctionTable(
    const std::string &owner, const std::vector<std::string> &names,
    const std::function<machine::ThunkHandler(unsigned slot)> &handlers) {
  std::vector<std::uint8_t> table;
  for (unsigned slot = 0; slot < names.size(); ++slot) {
    std::string name = names[slot];
    machine::ThunkHandler handler;
    if (!name.empty() && name.front() == '!') {
      name.erase(0, 1);
      handler = [owner, name, slot](ThunkCall &call) -> std::uint32_t {
        unexpected(call,
                   owner + " " + name + " (slot " + std::to_string(slot) + ")");
      };
    } else {
      handler = handlers(slot);
    }
    put32(table, machine_.addThunk(owner + " " + name, std::move(handler)));
  }
  return allocate(table);
}

void Foundation::traceService(const ThunkCall &call, const char *name,
                              std::uint32_t status, const std::string &text) {
  machine_.trace().add({.kind = machine::TraceEvent::Kind::Service,
                        .instruction = call.returnAddress(),
                        .value = status,
                        .name = name,
                        .text = std::make_shared<const std::string>(text),
                        .duration = machine_.trace().now() - call.started()});
}

void Foundation::unexpected(const ThunkCall &call, const std::string &what) {
  throw machine::GuestFault(call.machine().where(call.returnAddress()) +
                            ": unexpected service call: " + what);
}

efi::Guid Foundation::readGuid(std::uint32_t address,
                               const std::string &what) const {
  return efi::Guid::fromBytes(machine_.guestRead(address, 16, what));
}

// --- PPI database -----------------------------------------------------------

std::optional<std::vector<Foundation::Descriptor>>
Foundation::readList(std::uint32_t list, std::uint32_t kinds,
                     const std::string &what) const {
  if (list == 0) {
    return std::nullopt;
  }
  std::vector<Descriptor> entries;
  for (std::size_t i = 0; i < kMaxListLength; ++i) {
    const std::uint32_t at =
        list + static_cast<std::uint32_t>(kDescriptorSize * i);
    const std::uint32_t flags = machine_.guestRead32(at, what + " descriptor");
    if ((flags & kinds) == 0) {
      return std::nullopt;
    }
    const std::uint32_t guid =
        machine_.guestRead32(at + 4, what + " descriptor");
    const std::uint32_t pointer =
        machine_.guestRead32(at + 8, what + " descriptor");
    entries.push_back({at, flags, readGuid(guid, what + " GUID"), pointer});
    if (flags & kTerminateList) {
      return entries;
    }
  }
  return std::nullopt; // no terminator in sight
}

std::uint32_t Foundation::installList(std::uint32_t list, bool fromGuest) {
  const auto entries = readList(list, kPpiFlag, "PPI");
  if (!entries) {
    return efi::kInvalidParameter;
  }
  if (ppis_.size() + entries->size() > kDatabaseSize) {
    return efi::kOutOfResources;
  }
  for (const Descriptor &entry : *entries) {
    const Ppi ppi{entry.guid, entry.at, entry.pointer};
    ppis_.push_back(ppi);
    log(std::string(fromGuest ? "module" : "platform") + " installed " +
        efi::guidName(ppi.guid) + " (descriptor " + hex(ppi.descriptor, 8) +
        ", interface " + hex(ppi.interface, 8) + ")");
    queueFor(ppi);
  }
  return efi::kSuccess;
}

std::uint32_t Foundation::notifyList(std::uint32_t list) {
  const auto entries =
      readList(list, kNotifyCallback | kNotifyDispatch, "notification");
  if (!entries) {
    return efi::kInvalidParameter;
  }
  if (notifications_.size() + entries->size() > kDatabaseSize) {
    return efi::kOutOfResources;
  }
  for (const Descriptor &entry : *entries) {
    const Notification notification{entry.guid, entry.at, entry.pointer,
                                    entry.flags};
    notifications_.push_back(notification);
    log("module armed a notification on " + efi::guidName(notification.guid) +
        " (callback " + hex(notification.callback, 8) + ")");
    // A callback notification also fires for every matching PPI that is
    // already installed.
    if (notification.flags & kNotifyCallback) {
      for (const Ppi &ppi : ppis_) {
        if (ppi.guid == notification.guid) {
          pending_.push_back({notification, ppi.interface});
        }
      }
    }
  }
  return efi::kSuccess;
}

void Foundation::queueFor(const Ppi &ppi) {
  for (const Notification &notification : notifications_) {
    if ((notification.flags & kNotifyCallback) &&
        notification.guid == ppi.guid) {
      pending_.push_back({notification, ppi.interface});
    }
  }
}

std::uint32_t Foundation::reinstall(std::uint32_t oldDescriptor,
                                    std::uint32_t newDescriptor) {
  if (oldDescriptor == 0 || newDescriptor == 0) {
    return efi::kInvalidParameter;
  }
  const std::uint32_t flags =
      machine_.guestRead32(newDescriptor, "PPI descriptor");
  if ((flags & kPpiFlag) == 0) {
    return efi::kInvalidParameter;
  }
  for (Ppi &ppi : ppis_) {
    if (ppi.descriptor == oldDescriptor) {
      ppi.guid =
          readGuid(machine_.guestRead32(newDescriptor + 4, "PPI descriptor"),
                   "PPI GUID");
      ppi.interface = machine_.guestRead32(newDescriptor + 8, "PPI descriptor");
      ppi.descriptor = newDescriptor;
      log("module reinstalled " + efi::guidName(ppi.guid) + " (descriptor " +
          hex(newDescriptor, 8) + ")");
      queueFor(ppi);
      return efi::kSuccess;
    }
  }
  return efi::kNotFound;
}

std::uint32_t Foundation::locatePpi(std::uint32_t guidAddress,
                                    std::uint32_t instance,
                                    std::uint32_t descriptorOut,
                                    std::uint32_t ppiOut) {
  if (guidAddress == 0) {
    return efi::kInvalidParameter;
  }
  const std::optional<Ppi> found =
      locate(readGuid(guidAddress, "PPI GUID"), instance);
  if (!found) {
    return efi::kNotFound;
  }
  if (descriptorOut != 0) {
    machine_.guestWrite32(descriptorOut, found->descriptor,
                          "LocatePpi's descriptor out-parameter");
  }
  if (ppiOut != 0) {
    machine_.guestWrite32(ppiOut, found->interface,
                          "LocatePpi's interface out-parameter");
  }
  return efi::kSuccess;
}

std::optional<Foundation::Ppi> Foundation::locate(const efi::Guid &guid,
                                                  unsigned instance) const {
  for (const Ppi &ppi : ppis_) {
    if (ppi.guid == guid && instance-- == 0) {
      return ppi;
    }
  }
  return std::nullopt;
}

std::uint32_t Foundation::registerForShadow(std::uint32_t fileHandle) {
  if (fileHandle != fileHandle_) {
    return efi::kNotFound;
  }
  // Once a module has asked (or already runs from memory), every further
  // request is answered "already started".
  if (shadowed_ || shadowRequested_) {
    return efi::kAlreadyStarted;
  }
  shadowRequested_ = true;
  return efi::kSuccess;
}

std::uint32_t Foundation::installPpi(const efi::Guid &guid,
                                     std::uint32_t interface) {
  std::vector<std::uint8_t> descriptor;
  put32(descriptor, kPpiFlag | kTerminateList);
  put32(descriptor, allocateGuid(guid));
  put32(descriptor, interface);
  const std::uint32_t result = installList(allocate(descriptor), false);
  runNotifications();
  return result;
}

// --- dispatch ---------------------------------------------------------------

std::uint32_t Foundation::dispatch(const std::string &name, std::uint32_t entry,
                                   std::optional<std::uint32_t> services) {
  const std::uint32_t result = machine_.call(
      name, entry, {fileHandle_, services.value_or(servicesPointer_)});
  runNotifications();
  return result;
}

void Foundation::runNotifications() {
  std::size_t ran = 0;
  while (!pending_.empty()) {
    if (++ran > kMaxCallbacksPerRun) {
      throw machine::GuestFault(
          "more than " + std::to_string(kMaxCallbacksPerRun) +
          " notification callbacks in a row: the module keeps installing "
          "what it is notified of");
    }
    const Pending next = pending_.front();
    pending_.pop_front();
    const std::string name = "notification " +
                             efi::guidName(next.notification.guid) + " -> " +
                             hex(next.notification.callback, 8);
    log("notification on " + efi::guidName(next.notification.guid) +
        " fires: callback " + hex(next.notification.callback, 8));
    const std::uint32_t result = machine_.call(
        name, next.notification.callback,
        {servicesPointer_, next.notification.descriptor, next.ppi});
    fired_.push_back(
        {next.notification.guid, next.notification.callback, next.ppi, result});
    log("  callback " + hex(next.notification.callback, 8) + " returned " +
        status(result));
  }
}

} // namespace pei
