// The memory map and host access to it: regions, rights, and reads and
// writes on the host's or on the guest's behalf.
#include "address_space.h"

#include "hex.h"
#include "little_endian.h"

#include <algorithm>
#include <utility>

namespace bus {

using common::hex;

namespace {

constexpr std::uint32_t kPage = 0x1000;

bool isAligned(std::uint64_t value) { return value % kPage == 0; }

std::string rightsText(Rights rights) {
  std::string text;
  text += allows(rights, kRead) ? 'r' : '-';
  text += allows(rights, kWrite) ? 'w' : '-';
  text += allows(rights, kExecute) ? 'x' : '-';
  return text;
}

} // namespace

const RegisterBlock &AddressSpace::keep(RegisterBlock block) {
  blocks_.push_back(std::make_unique<RegisterBlock>(std::move(block)));
  return *blocks_.back();
}

Region &AddressSpace::addRegion(Region region) {
  for (const auto &other : regions_) {
    if (region.base < other->base + other->size &&
        other->base < region.base + region.size) {
      throw MachineError("region " + region.name + " at " +
                         hex(region.base, 8) + " overlaps " + other->name +
                         " at " + hex(other->base, 8));
    }
  }
  regions_.push_back(std::make_unique<Region>(std::move(region)));
  return *regions_.back();
}

void AddressSpace::mapMemory(std::uint32_t base, std::uint32_t size,
                             std::string name, Rights rights) {
  if (!isAligned(base) || !isAligned(size) || size == 0) {
    throw MachineError(name + ": memory must be whole pages, got " +
                       hex(base, 8) + " + " + hex(size));
  }
  backing_.mapRam(addRegion(
      {.base = base, .size = size, .name = std::move(name), .rights = rights}));
}

void AddressSpace::mapRegisters(std::uint64_t base, std::uint64_t size,
                                RegisterBlock block) {
  const std::uint64_t end = base + size;
  if (size == 0 || end < base ||
      (base < k4GiB &&
       (!isAligned(base) || !isAligned(std::min(end, k4GiB))))) {
    throw MachineError(std::string(block.name) +
                       ": registers must span whole pages, got " +
                       hex(base, 8) + " + " + hex(size));
  }
  const RegisterBlock &kept = keep(std::move(block));
  if (base < k4GiB) {
    backing_.mapRegisters(addRegion({.base = base,
                                     .size = std::min(end, k4GiB) - base,
                                     .name = kept.name,
                                     .rights = kReadWrite,
                                     .block = &kept}));
  }
  if (end > k4GiB) {
    const std::uint64_t high = std::max(base, k4GiB);
    addRegion({.base = high,
               .size = end - high,
               .name = base < k4GiB ? std::string(kept.name) + " (above 4 GiB)"
                                    : std::string(kept.name),
               .rights = kReadWrite,
               .block = &kept,
               .blockOffset = high - base});
  }
}

void AddressSpace::unmap(std::uint32_t base) {
  const auto found =
      std::find_if(regions_.begin(), regions_.end(),
                   [&](const auto &region) { return region->base == base; });
  if (found == regions_.end()) {
    throw MachineError("nothing mapped at " + hex(base, 8));
  }
  if ((*found)->base < k4GiB) {
    backing_.unmapRegion(**found);
  }
  regions_.erase(found);
}

void AddressSpace::protect(std::uint32_t base, Rights rights,
                           std::string reason) {
  Region *region = const_cast<Region *>(find(base));
  if (region == nullptr || region->base != base || region->mmio()) {
    throw MachineError("no memory region starts at " + hex(base, 8));
  }
  region->rights = rights;
  region->protection = std::move(reason);
  backing_.protectRegion(*region);
}

const Region *AddressSpace::find(std::uint64_t address) const {
  for (const auto &region : regions_) {
    if (address >= region->base && address - region->base < region->size) {
      return region.get();
    }
  }
  return nullptr;
}

std::string AddressSpace::regionName(std::uint64_t address) const {
  const Region *region = find(address);
  return region ? region->name : std::string();
}

// --- host access ------------------------------------------------------------

std::vector<std::uint8_t> AddressSpace::read(std::uint32_t address,
                                             std::size_t size) const {
  std::vector<std::uint8_t> bytes(size);
  if (!backing_.readRam(address, bytes)) {
    throw MachineError("host read of " + std::to_string(size) + " bytes at " +
                       hex(address, 8) + ": not all of it is memory");
  }
  return bytes;
}

void AddressSpace::write(std::uint32_t address,
                         std::span<const std::uint8_t> bytes) {
  if (!backing_.writeRam(address, bytes)) {
    throw MachineError("host write of " + std::to_string(bytes.size()) +
                       " bytes at " + hex(address, 8) +
                       ": not all of it is memory");
  }
}

std::uint32_t AddressSpace::read32(std::uint32_t address) const {
  return common::le::load32(read(address, 4));
}

void AddressSpace::write32(std::uint32_t address, std::uint32_t value) {
  std::uint8_t bytes[4];
  common::le::store(bytes, 4, value);
  write(address, bytes);
}

void AddressSpace::checkGuestAccess(std::uint32_t address, std::size_t size,
                                    Rights right,
                                    const std::string &what) const {
  const std::string access = std::string(right == kWrite ? "write" : "read") +
                             " of " + what + " at " + hex(address, 8) + " (" +
                             std::to_string(size) + " bytes)";
  std::uint64_t at = address;
  const std::uint64_t end = static_cast<std::uint64_t>(address) + size;
  while (at < end) {
    const Region *region = find(at);
    if (region == nullptr) {
      fault(access + ": nothing is mapped at " + hex(at, 8));
    }
    if (region->mmio() || !allows(region->rights, right)) {
      fault(access + refusal(*region, right));
    }
    at = region->base + region->size;
  }
}

std::vector<std::uint8_t>
AddressSpace::guestRead(std::uint32_t address, std::size_t size,
                        const std::string &what) const {
  checkGuestAccess(address, size, kRead, what);
  return read(address, size);
}

void AddressSpace::guestWrite(std::uint32_t address,
                              std::span<const std::uint8_t> bytes,
                              const std::string &what) {
  checkGuestAccess(address, bytes.size(), kWrite, what);
  write(address, bytes);
}

// --- faults ------------------------------------------------------------------

std::string AddressSpace::where(std::uint32_t address) const {
  std::string text = "guest at " + hex(address, 8);
  if (const Region *region = find(address)) {
    text += " (" + region->name + " +" + hex(address - region->base) + ")";
  }
  return text;
}

void AddressSpace::fault(const std::string &what) const {
  throw GuestFault(where(instruction()) + ": " + what);
}

std::string AddressSpace::refusal(const Region &region, Rights right) {
  const char *verb = right == kWrite     ? "write"
                     : right == kExecute ? "execute"
                                         : "read";
  // Rights say nothing of device registers: the guest reaches them only
  // through their models.
  const std::string rights =
      region.mmio() ? "" : " (" + rightsText(region.rights) + ")";
  return std::string(right == kWrite ? " into " : " in ") + region.name +
         rights + ", which the guest may not " + verb +
         (region.protection.empty() ? "" : ": " + region.protection);
}

void AddressSpace::recordAccess(bus::TraceEvent event) {
  event.instruction = instruction();
  trace_.add(event);
}

} // namespace bus
