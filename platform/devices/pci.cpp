#include "pci.h"

#include "hex.h"
#include "little_endian.h"

#include <bit>

namespace devices {

using bus::TraceEvent;
using common::hex;

namespace {

constexpr std::uint64_t kMiB = 1ull << 20;

// Flags of configuration events in the trace.
constexpr std::uint8_t kViaWindow = 1; // else through 0xCF8/0xCFC
constexpr std::uint8_t kNoDevice = 2;

// "0:8.0 reg 0x004 (command/status) via window" from a configuration event:
// its address is the register's offset in the configuration window.
std::string describeConfigAccess(const TraceEvent &event) {
  const auto offset = static_cast<std::uint32_t>(event.address);
  std::string text = PciLocation::ofWindowOffset(offset).text() + " reg " +
                     hex(offset & 0xFFF, 3);
  if (event.name != nullptr && *event.name != '\0') {
    text += " (" + std::string(event.name) + ")";
  }
  text += (event.flags & kViaWindow) ? " via window" : " via ports";
  if (event.flags & kNoDevice) {
    text += " (no device)";
  }
  return text;
}

} // namespace

const bus::TraceDecoder kPciConfigTrace{
    .tag = "pci", .category = "pci", .describe = &describeConfigAccess};

std::string PciLocation::text() const {
  return std::to_string(bus) + ":" + std::to_string(device) + "." +
         std::to_string(function);
}

// --- function ---------------------------------------------------------------

const bus::Register *PciFunction::modelled(std::uint16_t reg) const {
  for (const bus::Register &r : modelled_) {
    if (r.offset == reg) {
      return &r;
    }
  }
  return nullptr;
}

const char *PciFunction::registerName(std::uint16_t reg) const {
  const bus::Register *r = modelled(reg);
  return r != nullptr ? r->name : nullptr;
}

std::uint32_t PciFunction::read(std::uint16_t reg) {
  reg = static_cast<std::uint16_t>(reg & 0xFFC);
  const bus::Register *r = modelled(reg);
  return r != nullptr && r->read ? static_cast<std::uint32_t>(r->read(reg, 4))
                                 : stored(reg);
}

void PciFunction::write(std::uint16_t reg, std::uint32_t value,
                        std::uint8_t byteMask) {
  reg = static_cast<std::uint16_t>(reg & 0xFFC);
  const bus::Register *r = modelled(reg);
  if (r == nullptr) {
    store(reg, value, byteMask);
    return;
  }
  if (!r->write || byteMask == 0) {
    return; // read-only: the write is ignored
  }
  const auto first = static_cast<unsigned>(std::countr_zero(byteMask));
  const auto size = static_cast<unsigned>(std::popcount(byteMask));
  const std::uint64_t lanes = size == 4 ? ~0u : (1u << (8 * size)) - 1;
  r->write(reg + first, size, value >> (8 * first) & lanes);
}

std::uint32_t PciFunction::stored(std::uint16_t reg) const {
  return common::le::load32(space_, reg);
}

void PciFunction::store(std::uint16_t reg, std::uint32_t value,
                        std::uint8_t byteMask) {
  for (unsigned i = 0; i < 4; ++i) {
    if (byteMask & (1u << i)) {
      space_[reg + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
  }
}

// --- bus --------------------------------------------------------------------

void PciBus::attach(PciLocation at, PciFunction &function) {
  functions_[at] = &function;
}

PciFunction *PciBus::find(PciLocation at) const {
  const auto found = functions_.find(at);
  return found == functions_.end() ? nullptr : found->second;
}

std::uint32_t PciBus::read(PciLocation at, std::uint16_t reg, unsigned size,
                           Via via) {
  PciFunction *function = find(at);
  std::uint32_t value = 0;
  // Byte by byte, so that an access that runs past a dword takes the next
  // register's bytes, and one past the space reads ones.
  for (unsigned i = size; i-- > 0;) {
    const unsigned offset = reg + i;
    std::uint32_t byte = 0xFF;
    if (function != nullptr && offset < 0x1000) {
      byte = function->read(static_cast<std::uint16_t>(offset)) >>
                 (8 * (offset & 3)) &
             0xFF;
    }
    value = value << 8 | byte;
  }
  record(false, at, function, reg, size, value, via);
  return value;
}

void PciBus::write(PciLocation at, std::uint16_t reg, unsigned size,
                   std::uint32_t value, Via via) {
  PciFunction *function = find(at);
  record(true, at, function, reg, size, value, via);
  if (function == nullptr) {
    return; // master abort: the write goes nowhere
  }
  // Split at dword boundaries; each dword gets one masked write.
  unsigned done = 0;
  while (done < size) {
    const unsigned offset = reg + done;
    if (offset >= 0x1000) {
      break;
    }
    const unsigned dword = offset & ~3u;
    std::uint32_t data = 0;
    std::uint8_t mask = 0;
    while (done < size && ((reg + done) & ~3u) == dword) {
      const unsigned lane = (reg + done) & 3;
      data |= (value >> (8 * done) & 0xFF) << (8 * lane);
      mask = static_cast<std::uint8_t>(mask | 1u << lane);
      ++done;
    }
    function->write(static_cast<std::uint16_t>(dword), data, mask);
  }
}

void PciBus::record(bool write, PciLocation at, const PciFunction *function,
                    std::uint16_t reg, unsigned size, std::uint32_t value,
                    Via via) {
  space_.recordAccess(
      {.kind = TraceEvent::Kind::Register,
       .write = write,
       .size = static_cast<std::uint8_t>(size),
       .flags = static_cast<std::uint8_t>(
           (via == Via::Window ? kViaWindow : 0) | (function ? 0 : kNoDevice)),
       .address = at.windowOffset(reg),
       .value = value,
       .name = function ? function->registerName(reg & 0xFFC) : nullptr,
       .decoder = &kPciConfigTrace});
}

// --- port mechanism ---------------------------------------------------------

ConfigPorts::ConfigPorts(bus::AddressSpace &space, PciBus &bus) : bus_(bus) {
  space.mapPorts(
      kAddressPort, 4,
      {.name = "PCI configuration address",
       .registers = {
           {.name = "configuration address",
            .read = [this](std::uint64_t,
                           unsigned) { return std::uint64_t{address_}; },
            .write =
                [this](std::uint64_t, unsigned, std::uint64_t value) {
                  address_ = static_cast<std::uint32_t>(value);
                }}}});
  space.mapPorts(
      kDataPort, 4,
      {.name = "PCI configuration data",
       .registers = {
           {.name = "configuration data",
            .widths = bus::kAnyWidth,
            .aligned = false,
            .read =
                [this](std::uint64_t lane, unsigned size) {
                  return std::uint64_t{readData(lane, size)};
                },
            .write =
                [this](std::uint64_t lane, unsigned size, std::uint64_t value) {
                  writeData(lane, size, static_cast<std::uint32_t>(value));
                }}}});
  space.mapMsr(
      kMsrNbConfig, "northbridge configuration",
      [this](std::uint64_t, unsigned) { return nbConfig_; },
      [this](std::uint64_t, unsigned, std::uint64_t value) {
        nbConfig_ = value;
      });
}

std::optional<std::pair<PciLocation, std::uint16_t>>
ConfigPorts::target(std::uint64_t lane) const {
  if ((address_ & 0x80000000u) == 0) {
    return std::nullopt; // configuration cycles disabled
  }
  const bool extendedOn = (nbConfig_ & kExtendedConfig) != 0;
  const std::uint32_t high = extendedOn ? (address_ >> 24 & 0xF) << 8 : 0;
  return std::pair{PciLocation::ofConfigAddress(address_),
                   static_cast<std::uint16_t>(high | (address_ & 0xFC) | lane)};
}

std::uint32_t ConfigPorts::readData(std::uint64_t lane, unsigned size) {
  const auto at = target(lane);
  if (!at) {
    return size == 4 ? 0xFFFFFFFF : (1u << (8 * size)) - 1;
  }
  return bus_.read(at->first, at->second, size, PciBus::Via::Ports);
}

void ConfigPorts::writeData(std::uint64_t lane, unsigned size,
                            std::uint32_t value) {
  if (const auto at = target(lane)) {
    bus_.write(at->first, at->second, size, value, PciBus::Via::Ports);
  }
}

// --- memory-mapped window ---------------------------------------------------

ConfigWindow::ConfigWindow(bus::AddressSpace &space, PciBus &bus,
                           std::uint64_t msr)
    : bus_(bus), msr_(msr) {
  space.mapMsr(
      kMsrMmioConfig, "PCI configuration window",
      [this](std::uint64_t, unsigned) { return msr_; }, nullptr);
  if (!enabled()) {
    return;
  }
  const std::uint64_t begin = base();
  if (begin > ~0ull - length()) {
    throw bus::MachineError(
        "PCI configuration window at " + hex(begin, 16) + " of " +
        std::to_string(length() / kMiB) +
        " MiB: expected it to end within the physical address space");
  }
  // Any width an access to configuration space may have; the bus splits it
  // into the registers it reaches. The bus records the access.
  bus::RegisterBlock window = bus::wholeBlock(
      "PCI configuration window", length(), bus::kAnyWidth,
      [this](std::uint64_t offset, unsigned size) -> std::uint64_t {
        return bus_.read(PciLocation::ofWindowOffset(offset),
                         static_cast<std::uint16_t>(offset & 0xFFF), size,
                         PciBus::Via::Window);
      },
      [this](std::uint64_t offset, unsigned size, std::uint64_t value) {
        bus_.write(PciLocation::ofWindowOffset(offset),
                   static_cast<std::uint16_t>(offset & 0xFFF), size,
                   static_cast<std::uint32_t>(value), PciBus::Via::Window);
      });
  window.recorded = false;
  space.mapRegisters(begin, length(), std::move(window));
}

std::uint64_t ConfigWindow::base() const {
  return (msr_ & 0xFFFFFFFF00000000ull) | (msr_ & 0xFFF00000u);
}

std::uint64_t ConfigWindow::length() const {
  const unsigned buses = static_cast<unsigned>(msr_ >> 2 & 0xF);
  return kMiB << std::min(buses, 8u);
}

} // namespace devices
