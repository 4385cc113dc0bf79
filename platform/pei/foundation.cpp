#include "foundation.h"

#include "hex.h"
#include "little_endian.h"

namespace pei {

using common::hex;
using common::le::append;

namespace {

constexpr std::uint64_t kServicesSignature = 0x5652455320494550; // "PEI SERV"
constexpr std::uint32_t kServicesRevision = 0x00010046;          // PI 1.70
constexpr std::uint32_t kHeaderSize = 24;
constexpr std::size_t kMaxListLength = 64;
constexpr std::uint32_t kDescriptorSize = 12; // flags, GUID pointer, pointer
constexpr std::size_t kMaxCallbacksPerRun = 256;

} // namespace

Foundation::Foundation(machine::Machine &machine)
    : machine_(machine), files_(machine) {
  machine.space().mapMemory(kDataBase, kDataSize, "PEI Foundation data",
                            machine::kRead);
  cpuIoPpi_ = allocateFunctionTable("CpuIoPpi", CpuIoPpi::kFunctions, cpuIo_);
  std::vector<std::uint8_t> segment;
  append(segment, 2, PciCfgPpi::kSegment);
  pciCfgPpi_ = allocateFunctionTable("PciCfg2Ppi", PciCfgPpi::kFunctions,
                                     pciCfg_, segment);
  for (unsigned slot = 0; slot < kServiceSlots; ++slot) {
    // Two slots are data: the PPIs themselves.
    if (slot == kCpuIoSlot || slot == kPciCfgSlot) {
      serviceThunks_.push_back(slot == kCpuIoSlot ? cpuIoPpi_.value
                                                  : pciCfgPpi_.value);
      continue;
    }
    const std::string name = kServices[slot].signature.name;
    ServiceHandler handler;
    if (kServices[slot].handler != nullptr) {
      handler = [this, slot](const ServiceCall &call) {
        if (serviceListener_) {
          serviceListener_(kServices[slot].signature.name,
                           call.thunk().returnAddress());
        }
        return kServices[slot].handler(*this, call);
      };
    }
    serviceThunks_.push_back(machine.addThunk(
        "PEI service " + name,
        bindService(kServices[slot].signature, std::move(handler),
                    name + " (EFI_PEI_SERVICES slot " + std::to_string(slot) +
                        ")")));
  }
  moveServices();
  // A stand-in for the module's firmware file header: the handle only has to
  // be an address the Foundation recognises.
  const std::vector<std::uint8_t> file(24, 0);
  fileHandle_ = allocate(file);
}

std::uint32_t Foundation::moveServices() {
  std::vector<std::uint8_t> table;
  append(table, 8, kServicesSignature);
  append(table, 4, kServicesRevision);
  append(table, 4, kHeaderSize + 4 * kServiceSlots);
  append(table, 4, 0); // CRC32: nobody checks it in PEI
  append(table, 4, 0);
  for (std::uint32_t thunk : serviceThunks_) {
    append(table, 4, thunk);
  }
  servicesTable_ = allocate(table);
  std::vector<std::uint8_t> pointer;
  append(pointer, 4, servicesTable_);
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

GuestAddress
Foundation::allocateTable(const std::vector<std::uint32_t> &addresses,
                          std::span<const std::uint8_t> trailer) {
  std::vector<std::uint8_t> table;
  for (std::uint32_t address : addresses) {
    append(table, 4, address);
  }
  append(table, trailer);
  return GuestAddress{allocate(table)};
}

efi::Guid Foundation::readGuid(GuestAddress address,
                               const std::string &what) const {
  return efi::Guid::fromBytes(machine_.guestRead(address.value, 16, what));
}

// --- PPI database -----------------------------------------------------------

std::optional<std::vector<Foundation::Descriptor>>
Foundation::readList(GuestAddress list, std::uint32_t kinds,
                     const std::string &what) const {
  if (list.value == 0) {
    return std::nullopt;
  }
  std::vector<Descriptor> entries;
  for (std::size_t i = 0; i < kMaxListLength; ++i) {
    const std::uint32_t at =
        list.value + static_cast<std::uint32_t>(kDescriptorSize * i);
    const std::uint32_t flags = machine_.guestRead32(at, what + " descriptor");
    if ((flags & kinds) == 0) {
      return std::nullopt;
    }
    const GuestAddress guid{machine_.guestRead32(at + 4, what + " descriptor")};
    const std::uint32_t pointer =
        machine_.guestRead32(at + 8, what + " descriptor");
    entries.push_back(
        {GuestAddress{at}, flags, readGuid(guid, what + " GUID"), pointer});
    if (flags & kTerminateList) {
      return entries;
    }
  }
  return std::nullopt; // no terminator in sight
}

EfiStatus Foundation::installList(GuestAddress list, bool fromGuest,
                                  std::uint32_t from) {
  const auto entries = readList(list, kPpiFlag, "PPI");
  if (!entries) {
    return {efi::kInvalidParameter};
  }
  if (ppis_.size() + entries->size() > kDatabaseSize) {
    return {efi::kOutOfResources};
  }
  for (const Descriptor &entry : *entries) {
    const Ppi ppi{entry.guid, entry.at, GuestAddress{entry.pointer},
                  fromGuest && installerNamer_ ? installerNamer_(from) : ""};
    ppis_.push_back(ppi);
    if (installListener_) {
      installListener_(ppi);
    }
    log(std::string(fromGuest ? "module" : "platform") + " installed " +
        efi::guidName(ppi.guid) + " (descriptor " +
        hex(ppi.descriptor.value, 8) + ", interface " +
        hex(ppi.interface.value, 8) + ")");
    queueFor(ppi);
  }
  return {efi::kSuccess};
}

EfiStatus Foundation::notifyList(GuestAddress list) {
  const auto entries =
      readList(list, kNotifyCallback | kNotifyDispatch, "notification");
  if (!entries) {
    return {efi::kInvalidParameter};
  }
  if (notifications_.size() + entries->size() > kDatabaseSize) {
    return {efi::kOutOfResources};
  }
  for (const Descriptor &entry : *entries) {
    const Notification notification{entry.guid, entry.at,
                                    GuestCallback{entry.pointer}, entry.flags};
    notifications_.push_back(notification);
    log("module armed a notification on " + efi::guidName(notification.guid) +
        " (callback " + hex(notification.callback.entry, 8) + ")");
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
  return {efi::kSuccess};
}

void Foundation::queueFor(const Ppi &ppi) {
  for (const Notification &notification : notifications_) {
    if ((notification.flags & kNotifyCallback) &&
        notification.guid == ppi.guid) {
      pending_.push_back({notification, ppi.interface});
    }
  }
}

// Every queued callback, one after the other, inside the service call that
// fired them: each runs on the caller's stack below the service's frame,
// and the caller gets the service's own status once the last returned.
Answer Foundation::withCallbacks(const ServiceCall &call, EfiStatus status) {
  if (!inside_ || pending_.empty()) {
    return status;
  }
  auto queue = std::make_shared<std::deque<Pending>>(std::move(pending_));
  pending_.clear();
  runInside(call.thunk(), std::move(queue), status.value);
  return status;
}

void Foundation::runInside(machine::ThunkCall &thunk,
                           std::shared_ptr<std::deque<Pending>> queue,
                           std::uint32_t status) {
  if (++callbacksInside_ > kMaxCallbacksPerRun * 16) {
    machine_.fault("more than " + std::to_string(kMaxCallbacksPerRun * 16) +
                   " notification callbacks: the modules keep installing "
                   "what they are notified of");
  }
  const Pending next = queue->front();
  queue->pop_front();
  const std::uint32_t callback = next.notification.callback.entry;
  log("notification on " + efi::guidName(next.notification.guid) +
      " fires: callback " + hex(callback, 8));
  thunk.callGuest(
      callName(next), callback,
      {servicesPointer_, next.notification.descriptor.value, next.ppi.value},
      [this, queue, status, next](machine::ThunkCall &again,
                                  std::uint32_t result) {
        recordFired(next, result);
        if (!queue->empty()) {
          runInside(again, queue, status);
        }
        return status;
      });
}

void Foundation::recordFired(const Pending &fired, std::uint32_t result) {
  fired_.push_back({fired.notification.guid, fired.notification.callback,
                    fired.ppi, EfiStatus{result}});
  log("  callback " + hex(fired.notification.callback.entry, 8) + " returned " +
      EfiStatus{result}.name());
}

// After each module: the dispatch notifications of every notification
// armed so far for the PPIs installed since the last time, and of the
// notifications armed since then for every PPI, each pair once.
void Foundation::runDispatchNotifications() {
  std::deque<Pending> due;
  for (std::size_t n = 0; n < notifications_.size(); ++n) {
    const Notification &notification = notifications_[n];
    if ((notification.flags & kNotifyDispatch) == 0) {
      continue;
    }
    const std::size_t from = n < dispatchedNotifications_ ? dispatchedPpis_ : 0;
    for (std::size_t p = from; p < ppis_.size(); ++p) {
      if (ppis_[p].guid == notification.guid) {
        due.push_back({notification, ppis_[p].interface});
      }
    }
  }
  dispatchedPpis_ = ppis_.size();
  dispatchedNotifications_ = notifications_.size();
  for (const Pending &next : due) {
    callNow(next, "dispatch notification");
  }
}

std::string Foundation::callName(const Pending &next) {
  return "notification " + efi::guidName(next.notification.guid) + " -> " +
         hex(next.notification.callback.entry, 8);
}

void Foundation::callNow(const Pending &next, const std::string &kind) {
  log(kind + " on " + efi::guidName(next.notification.guid) +
      " fires: callback " + hex(next.notification.callback.entry, 8));
  const std::uint32_t result = machine_.call(
      callName(next), next.notification.callback.entry,
      {servicesPointer_, next.notification.descriptor.value, next.ppi.value});
  recordFired(next, result);
}

EfiStatus Foundation::reinstall(GuestAddress oldDescriptor,
                                GuestAddress newDescriptor) {
  if (oldDescriptor.value == 0 || newDescriptor.value == 0) {
    return {efi::kInvalidParameter};
  }
  const std::uint32_t flags =
      machine_.guestRead32(newDescriptor.value, "PPI descriptor");
  if ((flags & kPpiFlag) == 0) {
    return {efi::kInvalidParameter};
  }
  for (Ppi &ppi : ppis_) {
    if (ppi.descriptor == oldDescriptor) {
      ppi.guid = readGuid(GuestAddress{machine_.guestRead32(
                              newDescriptor.value + 4, "PPI descriptor")},
                          "PPI GUID");
      ppi.interface = GuestAddress{
          machine_.guestRead32(newDescriptor.value + 8, "PPI descriptor")};
      ppi.descriptor = newDescriptor;
      if (installListener_) {
        installListener_(ppi);
      }
      log("module reinstalled " + efi::guidName(ppi.guid) + " (descriptor " +
          hex(newDescriptor.value, 8) + ")");
      queueFor(ppi);
      return {efi::kSuccess};
    }
  }
  return {efi::kNotFound};
}

EfiStatus Foundation::locatePpi(const efi::Guid &guid, std::uint32_t instance,
                                GuestAddress descriptorOut,
                                GuestAddress ppiOut) {
  const std::optional<Ppi> found = locate(guid, instance);
  if (!found) {
    return {efi::kNotFound};
  }
  if (descriptorOut.value != 0) {
    machine_.guestWrite32(descriptorOut.value, found->descriptor.value,
                          "LocatePpi's descriptor out-parameter");
  }
  if (ppiOut.value != 0) {
    machine_.guestWrite32(ppiOut.value, found->interface.value,
                          "LocatePpi's interface out-parameter");
  }
  return {efi::kSuccess};
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

EfiStatus Foundation::registerForShadow(GuestAddress fileHandle) {
  if (shadowRegistrar_) {
    return shadowRegistrar_(fileHandle);
  }
  if (fileHandle.value != fileHandle_) {
    return {efi::kNotFound};
  }
  // Once a module has asked (or already runs from memory), every further
  // request is answered "already started".
  if (shadowed_ || shadowRequested_) {
    return {efi::kAlreadyStarted};
  }
  shadowRequested_ = true;
  return {efi::kSuccess};
}

EfiStatus Foundation::installPpi(const efi::Guid &guid,
                                 GuestAddress interface) {
  std::vector<std::uint8_t> descriptor;
  append(descriptor, 4, kPpiFlag | kTerminateList);
  append(descriptor, 4, allocateGuid(guid));
  append(descriptor, 4, interface.value);
  const EfiStatus result =
      installList(GuestAddress{allocate(descriptor)}, false);
  runNotifications();
  return result;
}

// --- dispatch ---------------------------------------------------------------

EfiStatus Foundation::dispatch(const std::string &name, GuestCallback entry,
                               std::optional<std::uint32_t> services) {
  const EfiStatus result{machine_.call(
      name, entry.entry, {fileHandle_, services.value_or(servicesPointer_)})};
  runNotifications();
  return result;
}

EfiStatus Foundation::dispatchModule(const std::string &name,
                                     GuestCallback entry, GuestAddress file) {
  callbacksInside_ = 0;
  const EfiStatus result{
      machine_.call(name, entry.entry, {file.value, servicesPointer_})};
  runNotifications();
  runDispatchNotifications();
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
    callNow(next, "notification");
  }
}

} // namespace pei

namespace pei {

// --- boot mode, HOB list, memory and status codes -------------------------

void Foundation::placeHobList(std::uint32_t bottom, std::uint32_t top) {
  hobs_.emplace(HobList::create(machine_, bottom, top, bootMode_));
}

std::uint32_t Foundation::bootMode() const {
  return hobs_ ? static_cast<std::uint32_t>(hobs_->field(hob::kBootMode))
               : bootMode_;
}

Answer Foundation::getBootMode(const ServiceCall &call) {
  if (call.isNull(1)) {
    return {efi::kInvalidParameter};
  }
  machine_.guestWrite32(call.pointer(1).value, bootMode(), "the boot mode");
  return {efi::kSuccess};
}

Answer Foundation::setBootMode(std::uint32_t mode) {
  bootMode_ = mode;
  if (hobs_) {
    hobs_->setField(hob::kBootMode, mode);
  }
  return {efi::kSuccess};
}

Answer Foundation::getHobList(const ServiceCall &call) {
  if (call.isNull(1)) {
    return {efi::kInvalidParameter};
  }
  if (!hobs_) {
    return {efi::kNotAvailableYet};
  }
  machine_.guestWrite32(call.pointer(1).value, hobs_->phit(), "the HOB list");
  return {efi::kSuccess};
}

Answer Foundation::createHob(const ServiceCall &call) {
  if (call.isNull(3)) {
    return {efi::kInvalidParameter};
  }
  if (!hobs_) {
    return {efi::kNotAvailableYet};
  }
  const HobList::Created created = hobs_->append(
      static_cast<std::uint16_t>(call.count(1)), call.count(2) & 0xFFFF);
  if (created.status == efi::kSuccess) {
    machine_.guestWrite32(call.pointer(3).value, created.address,
                          "the new HOB");
  }
  return {created.status};
}

// Both are VOID: what EAX holds afterwards means nothing. The source is read
// whole before the destination is written, so overlapping ranges copy as
// memmove does.
Answer Foundation::copyMem(const ServiceCall &call) {
  const std::vector<std::uint8_t> bytes = call.machine().guestRead(
      call.pointer(1).value, call.count(2), "CopyMem's source");
  call.machine().guestWrite(call.pointer(0).value, bytes,
                            "CopyMem's destination");
  return {efi::kSuccess};
}

Answer Foundation::setMem(const ServiceCall &call) {
  // Checked before the bytes are made: a size the guest cannot write must
  // not cost the host memory first.
  call.machine().space().checkGuestAccess(call.pointer(0).value, call.count(1),
                                          bus::kWrite, "SetMem's buffer");
  const std::vector<std::uint8_t> bytes(
      call.count(1), static_cast<std::uint8_t>(call.count(2)));
  call.machine().guestWrite(call.pointer(0).value, bytes, "SetMem's buffer");
  return {efi::kSuccess};
}

// The Foundation keeps no status codes itself: it hands each to the status
// code PPI that a router module installs, with the same arguments, and
// answers what that answers. Before one is installed there is nobody to
// report to.
Answer Foundation::reportStatusCode(const ServiceCall &call) {
  static constexpr const char *kTypes[] = {"", "progress", "error", "debug"};
  const std::uint32_t type = call.count(1);
  log("status code: " +
      std::string((type & 0xFF) < 4 && (type & 0xFF) != 0 ? kTypes[type & 0xFF]
                                                          : "type") +
      " " + hex(type, 8) + ", value " + hex(call.count(2), 8));
  const auto router = locate(efi::guids::kStatusCodePpi);
  if (!router) {
    return {efi::kNotAvailableYet};
  }
  const std::uint32_t function =
      machine_.guestRead32(router->interface.value, "the status code PPI");
  machine::ThunkCall &thunk = call.thunk();
  std::vector<std::uint32_t> arguments;
  for (unsigned n = 0; n < 6; ++n) {
    arguments.push_back(thunk.argument(n));
  }
  thunk.callGuest(
      "StatusCodePpi ReportStatusCode", function, std::move(arguments),
      [](machine::ThunkCall &, std::uint32_t status) { return status; });
  return {efi::kSuccess, call.signature().notes[0]};
}

} // namespace pei
