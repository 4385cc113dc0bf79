// The memory services of EFI_PEI_SERVICES: InstallPeiMemory and the switch
// to permanent memory, AllocatePages, AllocatePool and FreePages, and the
// two reset services, which end the run.
//
// Memory comes out of the HOB list's own region, as the PI Foundation hands
// it out: pages from the top of the free memory downwards (each recorded in
// a memory-allocation HOB), pool as MEMORY_POOL HOBs growing up from the
// list's end. Before permanent memory that region is temporary RAM.
#include "foundation.h"

#include "hex.h"
#include "little_endian.h"

#include <algorithm>

namespace pei {

using common::hex;

namespace {

constexpr std::uint64_t kPageSize = 0x1000;
constexpr std::uint64_t k4GiB = 0x100000000ull;
// The most permanent memory the platform backs with host memory.
constexpr std::uint64_t kMaxPermanentMemory = 0x40000000ull; // 1 GiB
constexpr std::uint32_t kAllocationHobSize = 48;
// Memory-allocation HOB fields.
constexpr std::uint32_t kAllocationBase = 24;
constexpr std::uint32_t kAllocationLength = 32;
constexpr std::uint32_t kAllocationType = 40;
constexpr std::uint32_t kBootServicesData = 4;

// The memory types AllocatePages takes (EFI_MEMORY_TYPE): reserved, loader
// code and data, boot and runtime services code and data, ACPI reclaim and
// ACPI NVS.
bool allocatable(std::uint32_t type) {
  return type <= 6 || type == 9 || type == 10;
}

std::vector<std::uint8_t> allocationBody(std::uint64_t base,
                                         std::uint64_t length,
                                         std::uint32_t type,
                                         const efi::Guid &name = {}) {
  std::vector<std::uint8_t> body(kAllocationHobSize - hob::kHeaderSize, 0);
  std::copy(name.bytes.begin(), name.bytes.end(), body.begin());
  common::le::store(body.data() + kAllocationBase - hob::kHeaderSize, 8, base);
  common::le::store(body.data() + kAllocationLength - hob::kHeaderSize, 8,
                    length);
  common::le::store(body.data() + kAllocationType - hob::kHeaderSize, 4, type);
  return body;
}

} // namespace

std::uint32_t Foundation::addHob(std::uint16_t type,
                                 std::span<const std::uint8_t> body) {
  if (!hobs_) {
    throw machine::MachineError("no HOB list to add a HOB to");
  }
  const HobList::Created created = hobs_->append(
      type, static_cast<std::uint32_t>(hob::kHeaderSize + body.size()));
  if (created.status != efi::kSuccess) {
    throw machine::GuestFault("the HOB list is full: no room for a " +
                              hob::typeName(type) + " HOB");
  }
  machine_.write(created.address + hob::kHeaderSize, body);
  return created.address;
}

EfiStatus Foundation::installMemory(std::uint64_t begin, std::uint64_t length) {
  if (memory_) {
    // PI allows one call; the Foundation ignores the others, as the
    // reference one does, and the log says so.
    log("InstallPeiMemory called again (" + hex(begin, 8) + ", " +
        hex(length, 8) + "): ignored, memory is installed at " +
        hex(memory_->begin, 8));
    return {efi::kSuccess};
  }
  if (length == 0 || begin >= k4GiB || length > k4GiB - begin) {
    return {efi::kInvalidParameter};
  }
  if (length > kMaxPermanentMemory) {
    return {efi::kOutOfResources};
  }
  const std::uint64_t first = begin & ~(kPageSize - 1);
  const std::uint64_t end = (begin + length + kPageSize - 1) & ~(kPageSize - 1);
  for (std::uint64_t page = first; page < end; page += kPageSize) {
    if (machine_.space().find(page) != nullptr) {
      return {efi::kInvalidParameter}; // it overlaps what is mapped already
    }
  }
  machine_.space().mapMemory(static_cast<std::uint32_t>(first),
                             static_cast<std::uint32_t>(end - first),
                             "permanent memory",
                             machine::kReadWrite | machine::kExecute);
  memory_ = MemoryRange{begin, length};
  log("permanent memory installed: " + hex(begin, 8) + ", " + hex(length, 8) +
      " bytes");
  return {efi::kSuccess};
}

Answer Foundation::installPeiMemory(const ServiceCall &call) {
  return installMemory(call.wide(1), call.wide(2));
}

std::uint32_t Foundation::switchToPermanentMemory(std::uint32_t stackSize) {
  if (!memory_ || switched_ || !hobs_) {
    throw machine::MachineError("no permanent memory to switch to");
  }
  const auto bottom =
      static_cast<std::uint32_t>((memory_->begin + 7) & ~std::uint64_t{7});
  const auto top = static_cast<std::uint32_t>(
      (memory_->begin + memory_->length) & ~(kPageSize - 1));
  const std::vector<std::uint8_t> list = hobs_->bytes();
  const std::uint32_t oldList = hobs_->phit();
  const std::uint64_t oldEnd = oldList + list.size();
  if (top <= bottom || list.size() + stackSize + kPageSize > top - bottom) {
    throw machine::GuestFault("permanent memory of " +
                              std::to_string(memory_->length) +
                              " bytes cannot hold the HOB list and the stack");
  }
  machine_.write(bottom, list);
  HobList moved(machine_, bottom);
  const std::uint64_t delta = std::uint64_t{bottom} - oldList;
  moved.setField(hob::kMemoryBottom, memory_->begin);
  moved.setField(hob::kMemoryTop, memory_->begin + memory_->length);
  moved.setField(hob::kEndOfHobList, moved.field(hob::kEndOfHobList) + delta);
  moved.setField(hob::kFreeMemoryBottom,
                 moved.field(hob::kFreeMemoryBottom) + delta);
  const std::uint32_t stackBottom = top - stackSize;
  moved.setField(hob::kFreeMemoryTop, stackBottom);
  hobs_.emplace(moved);
  // Pool the modules took lives in the list, so PPIs and notifications
  // installed from it moved with it. The old copy is left as it was, for
  // pointers the modules kept themselves.
  auto convert = [&](std::uint32_t &address) {
    if (address >= oldList && address < oldEnd) {
      address = static_cast<std::uint32_t>(address + delta);
    }
  };
  for (Ppi &ppi : ppis_) {
    convert(ppi.descriptor.value);
    convert(ppi.interface.value);
  }
  for (Notification &notification : notifications_) {
    convert(notification.descriptor.value);
  }
  addHob(hob::kMemoryAllocation,
         allocationBody(stackBottom, stackSize, kBootServicesData,
                        efi::guids::kStackHob));
  switched_ = true;
  log("switched to permanent memory: HOB list " + hex(oldList, 8) + " -> " +
      hex(bottom, 8) + ", stack " + hex(stackBottom, 8) + ".." + hex(top, 8));
  installPpi(efi::guids::kMemoryDiscoveredPpi, GuestAddress{0});
  return top;
}

std::uint64_t Foundation::takePages(std::uint64_t pages, std::uint32_t type) {
  if (!hobs_) {
    return 0;
  }
  const std::uint64_t size = pages * kPageSize;
  const std::uint64_t freeTop =
      hobs_->field(hob::kFreeMemoryTop) & ~(kPageSize - 1);
  const std::uint64_t freeBottom = hobs_->field(hob::kFreeMemoryBottom);
  // The pages and the HOB that records them must both fit.
  if (pages == 0 || size > freeTop ||
      freeTop - size < freeBottom + kAllocationHobSize) {
    return 0;
  }
  const std::uint64_t base = freeTop - size;
  hobs_->setField(hob::kFreeMemoryTop, base);
  addHob(hob::kMemoryAllocation, allocationBody(base, size, type));
  return base;
}

Answer Foundation::allocatePages(const ServiceCall &call) {
  const std::uint32_t type = call.count(1);
  const std::uint64_t pages = call.count(2);
  if (call.isNull(3) || !allocatable(type)) {
    return {efi::kInvalidParameter};
  }
  if (!hobs_) {
    return {efi::kNotAvailableYet};
  }
  machine_.space().checkGuestAccess(call.pointer(3).value, 8, bus::kWrite,
                                    "AllocatePages' memory out-parameter");
  const std::uint64_t base = takePages(pages, type);
  if (base == 0) {
    return {efi::kOutOfResources};
  }
  std::vector<std::uint8_t> address(8);
  common::le::store(address.data(), 8, base);
  machine_.guestWrite(call.pointer(3).value, address,
                      "AllocatePages' memory out-parameter");
  return {efi::kSuccess};
}

Answer Foundation::allocatePool(const ServiceCall &call) {
  if (call.isNull(2)) {
    return {efi::kInvalidParameter};
  }
  if (!hobs_) {
    return {efi::kNotAvailableYet};
  }
  const std::uint64_t length = std::uint64_t{call.count(1)} + hob::kHeaderSize;
  if (length > 0xFFF8) {
    return {efi::kOutOfResources}; // a HOB's length is 16 bits
  }
  machine_.space().checkGuestAccess(call.pointer(2).value, 4, bus::kWrite,
                                    "AllocatePool's buffer out-parameter");
  const HobList::Created created =
      hobs_->append(hob::kMemoryPool, static_cast<std::uint32_t>(length));
  if (created.status != efi::kSuccess) {
    return {created.status};
  }
  machine_.guestWrite32(call.pointer(2).value,
                        created.address + hob::kHeaderSize,
                        "AllocatePool's buffer out-parameter");
  return {efi::kSuccess};
}

// Frees pages AllocatePages gave: the memory-allocation HOB that holds them
// shrinks, is split in two around them, or (freed whole) becomes UNUSED.
Answer Foundation::freePages(const ServiceCall &call) {
  const std::uint64_t base = call.wide(1);
  const std::uint64_t size = std::uint64_t{call.count(2)} * kPageSize;
  if (size == 0 || (base & (kPageSize - 1)) != 0 || base + size > k4GiB) {
    return {efi::kInvalidParameter};
  }
  if (!hobs_) {
    return {efi::kNotFound};
  }
  const std::vector<std::uint8_t> list = hobs_->bytes();
  for (const Hob &block : walkHobList(list)) {
    if (block.type != hob::kMemoryAllocation ||
        block.length < kAllocationHobSize) {
      continue;
    }
    const std::uint32_t at = hobs_->phit() + block.offset;
    const std::uint64_t from =
        common::le::load(block.bytes.data() + kAllocationBase, 8);
    const std::uint64_t length =
        common::le::load(block.bytes.data() + kAllocationLength, 8);
    const auto type = static_cast<std::uint32_t>(
        common::le::load(block.bytes.data() + kAllocationType, 4));
    if (base < from || base + size > from + length ||
        (from & (kPageSize - 1)) != 0) {
      continue;
    }
    auto setLength = [&](std::uint64_t value) {
      std::vector<std::uint8_t> bytes(8);
      common::le::store(bytes.data(), 8, value);
      machine_.write(at + kAllocationLength, bytes);
    };
    const std::uint64_t below = base - from;
    const std::uint64_t above = from + length - (base + size);
    if (below == 0 && above == 0) {
      machine_.write(at, std::vector<std::uint8_t>{0xFE, 0xFF}); // UNUSED
    } else if (below == 0) {
      std::vector<std::uint8_t> bytes(8);
      common::le::store(bytes.data(), 8, base + size);
      machine_.write(at + kAllocationBase, bytes);
      setLength(above);
    } else {
      setLength(below);
      if (above != 0) {
        addHob(hob::kMemoryAllocation,
               allocationBody(base + size, above, type));
      }
    }
    return {efi::kSuccess};
  }
  return {efi::kNotFound};
}

// Neither reset returns to its caller: the run ends at the call, and the
// dispatcher reports who asked for which reset.
Answer Foundation::resetSystem(const ServiceCall &call, std::uint32_t type,
                               std::uint32_t status) {
  reset_ = Reset{call.signature().name, type, status};
  static constexpr const char *kTypes[] = {"cold", "warm", "shutdown",
                                           "platform-specific"};
  const std::string kind = type < 4 ? kTypes[type] : "type " + hex(type, 8);
  machine_.fault(std::string(call.signature().name) + ": a " + kind +
                 " reset was asked for (status " + EfiStatus{status}.name() +
                 "); the run ends here");
}

} // namespace pei
