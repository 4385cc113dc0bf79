// Guest accesses to device registers: ports, MSRs and memory-mapped
// registers found in the devices' register tables, checked against them,
// recorded in the trace and handed to the devices; and the policy for the
// accesses that no device models.
#include "address_space.h"

#include "hex.h"
#include "little_endian.h"

namespace bus {

using bus::TraceEvent;
using common::hex;

namespace {

constexpr std::uint64_t kPage = 0x1000;

std::uint64_t allOnes(unsigned size) {
  return size >= 8 ? ~0ull : (1ull << (8 * size)) - 1;
}

// "aligned 32-bit", "8-, 16- or 32-bit": the accesses a register takes.
std::string widthsText(const Register &reg) {
  std::string text;
  const unsigned sizes[] = {1, 2, 4, 8};
  unsigned listed = 0;
  for (unsigned size : sizes) {
    if ((reg.widths & size) != 0) {
      text += (listed == 0 ? "" : "/") + std::to_string(size * 8);
      ++listed;
    }
  }
  return (reg.aligned ? "aligned " : "") + text + "-bit";
}

TraceEvent::Kind kindOf(Space space, const RegisterBlock &block) {
  switch (space) {
  case Space::Port:
    return TraceEvent::Kind::Port;
  case Space::Msr:
    return TraceEvent::Kind::Msr;
  default:
    return block.decoder != nullptr ? TraceEvent::Kind::Register
                                    : TraceEvent::Kind::Memory;
  }
}

} // namespace

std::string describeAccess(Space space, bool write, std::uint64_t address,
                           unsigned size, std::uint64_t value) {
  const std::string bits = std::to_string(size * 8) + " bits";
  switch (space) {
  case Space::Port:
    return write ? "write of " + hex(value) + " to port " + hex(address, 4) +
                       " (" + bits + ")"
                 : "read of port " + hex(address, 4) + " (" + bits + ")";
  case Space::Msr:
    return write ? "wrmsr of " + hex(value, 16) + " to MSR " + hex(address, 8)
                 : "rdmsr of MSR " + hex(address, 8);
  default:
    return write ? "write of " + hex(value) + " (" + bits + ") to " +
                       hex(address, 8)
                 : "read of " + bits + " at " + hex(address, 8);
  }
}

// --- placing blocks ----------------------------------------------------------

void AddressSpace::mapPorts(std::uint16_t first, std::uint16_t count,
                            RegisterBlock block) {
  for (const PortRange &other : ports_) {
    if (first < other.first + other.count && other.first < first + count) {
      throw MachineError(std::string("ports of ") + block.name +
                         " overlap those of " + other.block->name);
    }
  }
  ports_.push_back({first, count, &keep(std::move(block))});
}

void AddressSpace::mapMsrs(RegisterBlock block) {
  const RegisterBlock &kept = keep(std::move(block));
  for (const Register &reg : kept.registers) {
    const auto index = static_cast<std::uint32_t>(reg.offset);
    if (msrs_.contains(index)) {
      throw MachineError("MSR " + hex(index, 8) + " of " + kept.name +
                         " belongs to " + msrs_.at(index).block->name);
    }
    msrs_[index] = {&kept, &reg};
  }
}

void AddressSpace::mapMsr(std::uint32_t index, const char *name,
                          ReadHandler read, WriteHandler write) {
  RegisterBlock block;
  block.name = name;
  block.registers.push_back({.name = name,
                             .offset = index,
                             .length = 1,
                             .widths = kQword,
                             .aligned = false,
                             .read = std::move(read),
                             .write = std::move(write)});
  mapMsrs(std::move(block));
}

// --- guest accesses ----------------------------------------------------------

std::uint32_t AddressSpace::portRead(std::uint16_t port, unsigned size) {
  for (const PortRange &range : ports_) {
    if (port >= range.first && port < range.first + range.count) {
      return static_cast<std::uint32_t>(dispatch(
          Space::Port, range.block, port, port - range.first, size, false, 0));
    }
  }
  return static_cast<std::uint32_t>(
      unmodelledAccess(Space::Port, port, size, false, 0, nullptr));
}

void AddressSpace::portWrite(std::uint16_t port, unsigned size,
                             std::uint32_t value) {
  for (const PortRange &range : ports_) {
    if (port >= range.first && port < range.first + range.count) {
      dispatch(Space::Port, range.block, port, port - range.first, size, true,
               value);
      return;
    }
  }
  unmodelledAccess(Space::Port, port, size, true, value, nullptr);
}

std::uint64_t AddressSpace::msrRead(std::uint32_t index) {
  const auto found = msrs_.find(index);
  if (found == msrs_.end()) {
    return unmodelledAccess(Space::Msr, index, 8, false, 0, nullptr);
  }
  return dispatch(Space::Msr, found->second.block, index, index, 8, false, 0);
}

void AddressSpace::msrWrite(std::uint32_t index, std::uint64_t value) {
  const auto found = msrs_.find(index);
  if (found == msrs_.end()) {
    unmodelledAccess(Space::Msr, index, 8, true, value, nullptr);
    return;
  }
  dispatch(Space::Msr, found->second.block, index, index, 8, true, value);
}

std::uint64_t AddressSpace::registerRead(const Region &region,
                                         std::uint64_t offset, unsigned size) {
  if (region.unmodelled) {
    return unmodelledAccess(Space::Memory, region.base + offset, size, false, 0,
                            nullptr);
  }
  return dispatch(Space::Memory, region.block, region.base + offset,
                  region.blockOffset + offset, size, false, 0);
}

void AddressSpace::registerWrite(const Region &region, std::uint64_t offset,
                                 unsigned size, std::uint64_t value) {
  if (region.unmodelled) {
    unmodelledAccess(Space::Memory, region.base + offset, size, true, value,
                     nullptr);
    return;
  }
  dispatch(Space::Memory, region.block, region.base + offset,
           region.blockOffset + offset, size, true, value);
}

std::uint64_t AddressSpace::physicalRead(std::uint64_t address, unsigned size) {
  const Region *region = find(address);
  if (region == nullptr) {
    return unmodelledAccess(Space::Memory, address, size, false, 0, nullptr);
  }
  if (region->mmio()) {
    return registerRead(*region, address - region->base, size);
  }
  return common::le::load(
      guestRead(static_cast<std::uint32_t>(address), size, "memory"), 0, size);
}

void AddressSpace::physicalWrite(std::uint64_t address, unsigned size,
                                 std::uint64_t value) {
  const Region *region = find(address);
  if (region == nullptr) {
    unmodelledAccess(Space::Memory, address, size, true, value, nullptr);
    return;
  }
  if (region->mmio()) {
    registerWrite(*region, address - region->base, size, value);
    return;
  }
  std::vector<std::uint8_t> bytes(size);
  common::le::store(bytes.data(), size, value);
  guestWrite(static_cast<std::uint32_t>(address), bytes, "memory");
}

bool AddressSpace::answerUnmapped(std::uint64_t address) {
  if (policy_ != Unmodelled::Record || address >= k4GiB) {
    return false;
  }
  const std::uint64_t page = address & ~(kPage - 1);
  backing_.mapRegisters(addRegion({.base = page,
                                   .size = kPage,
                                   .name = "unmodelled",
                                   .rights = kReadWrite,
                                   .unmodelled = true}));
  return true;
}

// --- one register access -----------------------------------------------------

// A memory access must lie inside one register. A port access belongs to the
// register that decodes its first port, as the chipset decodes only the
// address, and an MSR is one index whatever its width.
const Register *AddressSpace::registerAt(Space space,
                                         const RegisterBlock &block,
                                         std::uint64_t offset,
                                         unsigned size) const {
  const unsigned inside = space == Space::Memory ? size : 1;
  for (const Register &reg : block.registers) {
    if (offset >= reg.offset && offset - reg.offset < reg.length) {
      return offset + inside <= reg.offset + reg.length ? &reg : nullptr;
    }
  }
  return nullptr;
}

std::uint64_t AddressSpace::dispatch(Space space, const RegisterBlock *block,
                                     std::uint64_t address,
                                     std::uint64_t offset, unsigned size,
                                     bool write, std::uint64_t value) {
  const Register *reg = registerAt(space, *block, offset, size);
  if (reg == nullptr) {
    return unmodelledAccess(space, address, size, write, value, block);
  }
  check(space, *block, *reg, address, offset, size, write, value);
  try {
    if (write) {
      record(space, *block, *reg, address, size, true, value);
      reg->write(offset, size, value);
      return 0;
    }
    const std::uint64_t read = reg->read(offset, size) & allOnes(size);
    record(space, *block, *reg, address, size, false, read);
    return read;
  } catch (const Refusal &refused) {
    fault(describeAccess(space, write, address, size, value) + " (" +
          reg->name + "): " + refused.what());
  }
}

void AddressSpace::check(Space space, const RegisterBlock &block,
                         const Register &reg, std::uint64_t address,
                         std::uint64_t offset, unsigned size, bool write,
                         std::uint64_t value) const {
  const bool width = (reg.widths & size) != 0 && (size & (size - 1)) == 0;
  if (!width || (reg.aligned && offset % size != 0)) {
    fault(describeAccess(space, write, address, size, value) + " (" +
          block.name + "): " + reg.name + " takes " + widthsText(reg) +
          " accesses");
  }
  if (write ? !reg.write : !reg.read) {
    fault(describeAccess(space, write, address, size, value) + " (" + reg.name +
          "), which is " + (write ? "read-only" : "write-only"));
  }
}

void AddressSpace::record(Space space, const RegisterBlock &block,
                          const Register &reg, std::uint64_t address,
                          unsigned size, bool write, std::uint64_t value) {
  if (!block.recorded) {
    return;
  }
  recordAccess({.kind = kindOf(space, block),
                .write = write,
                .size = static_cast<std::uint8_t>(size),
                .address = address,
                .value = value,
                .name = space == Space::Port ? block.name : reg.name,
                .decoder = block.decoder});
}

// --- accesses nobody models --------------------------------------------------

void AddressSpace::declare(Space space, std::uint64_t address,
                           std::vector<std::uint64_t> values) {
  if (values.empty()) {
    throw MachineError("a declared register needs at least one value");
  }
  declared_[{space, address}] =
      std::deque<std::uint64_t>(values.begin(), values.end());
}

std::uint64_t AddressSpace::unmodelledAccess(Space space, std::uint64_t address,
                                             unsigned size, bool write,
                                             std::uint64_t value,
                                             const RegisterBlock *block) {
  if (policy_ == Unmodelled::Stop) {
    const std::string access =
        describeAccess(space, write, address, size, value);
    if (block != nullptr) {
      fault(access + " (" + block->name + "), " + block->elsewhere);
    }
    if (space == Space::Memory) { // a bus master's access, through FS
      const std::string bits = std::to_string(size * 8) + " bits";
      fault((write ? "write of " + hex(value) + " (" + bits + ") to"
                   : "read of " + bits + " at") +
            " physical address " + hex(address, 8) +
            ", where nothing is mapped");
    }
    fault(access + ", which the platform does not model");
  }
  std::uint64_t answer = write ? value : allOnes(size);
  if (space == Space::Msr && !write) {
    answer = 0;
  }
  if (const auto found = declared_.find({space, address});
      !write && found != declared_.end()) {
    answer = found->second.front() & allOnes(size);
    if (found->second.size() > 1) {
      found->second.pop_front();
    }
  }
  ++unmodelledCount_;
  const std::uint32_t at = instruction();
  if (unmodelled_.size() < kUnmodelledKept) {
    unmodelled_.push_back(
        {space, write, address, size, answer, at, regionName(at)});
  }
  recordAccess({.kind = space == Space::Port  ? TraceEvent::Kind::Port
                        : space == Space::Msr ? TraceEvent::Kind::Msr
                                              : TraceEvent::Kind::Memory,
                .write = write,
                .size = static_cast<std::uint8_t>(size),
                .address = address,
                .value = answer,
                .name = "unmodelled"});
  return write ? 0 : answer;
}

} // namespace bus
