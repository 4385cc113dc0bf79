#include "pci.h"

#include "hex.h"

namespace devices {

using common::hex;
using machine::TraceEvent;

namespace {

constexpr std::uint64_t k4GiB = 1ull << 32;
constexpr std::uint64_t kMiB = 1ull << 20;

// Flags of configuration events in the trace.
constexpr std::uint8_t kViaWindow = 1; // else through 0xCF8/0xCFC
constexpr std::uint8_t kNoDevice = 2;

// "0:8.0 reg 0x004 (command/status) via window" from a configuration event:
// its address is the register's offset in the configuration window.
std::string describeConfigAccess(const TraceEvent &event) {
  const auto offset = static_cast<std::uint32_t>(event.address);
  std::string text = std::to_string(offset >> 20 & 0xFF) + ":" +
                     std::to_string(offset >> 15 & 0x1F) + "." +
                     std::to_string(offset >> 12 & 0x7) + " reg " +
                     hex(offset & 0xFFF, 3);
  if (event.name != nullptr && *event.name != '\0') {
    text += " " + std::string(event.name);
  }
  text += (event.flags & kViaWindow) ? " via window" : " via ports";
  if (event.flags & kNoDevice) {
    text += " (no device)";
  }
  return text;
}

} // namespace

const machine::TraceDecoder kPciConfigTrace{
    .tag = "pci", .category = "pci", .describe = &describeConfigAccess};

std::string PciLocation::text() const {
  return std::to_string(bus) + ":" + std::to_string(device) + "." +
         std::to_string(function);
}

// --- function ---------------------------------------------------------------

std::uint32_t PciFunction::read(std::uint16_t reg) {
  return readRegister(static_cast<std::uint16_t>(reg & 0xFFC));
}

void PciFunction::write(std::uint16_t reg, std::uint32_t value,
                        std::uint8_t byteMask) {
  writeRegister(static_cast<std::uint16_t>(reg & 0xFFC), value, byteMask);
}

std::uint32_t PciFunction::readRegister(std::uint16_t reg) {
  return stored(reg);
}

void PciFunction::writeRegister(std::uint16_t reg, std::uint32_t value,
                                std::uint8_t byteMask) {
  store(reg, value, byteMask);
}

std::uint32_t PciFunction::stored(std::uint16_t reg) const {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = value << 8 | space_[reg + static_cast<unsigned>(i)];
  }
  return value;
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
  machine_.trace().add(
      {.kind = TraceEvent::Kind::Register,
       .write = write,
       .size = static_cast<std::uint8_t>(size),
       .flags = static_cast<std::uint8_t>(
           (via == Via::Window ? kViaWindow : 0) | (function ? 0 : kNoDevice)),
       .instruction = machine_.instruction(),
       .address = at.windowOffset(reg),
       .value = value,
       .name = function ? function->registerName(reg & 0xFFC) : nullptr,
       .decoder = &kPciConfigTrace});
}

// --- port mechanism ---------------------------------------------------------

ConfigPorts::ConfigPorts(machine::Machine &machine, PciBus &bus) : bus_(bus) {
  machine.mapPorts(
      kAddressPort, 4, "PCI configuration address",
      [this, &machine](std::uint16_t port, unsigned size) -> std::uint32_t {
        if (port != kAddressPort || size != 4) {
          machine.fault("read of port " + hex(port, 4) + " with " +
                        std::to_string(size * 8) +
                        " bits: the configuration address port takes "
                        "32-bit accesses at 0xCF8 only");
        }
        return address_;
      },
      [this, &machine](std::uint16_t port, unsigned size, std::uint32_t value) {
        if (port != kAddressPort || size != 4) {
          machine.fault("write of port " + hex(port, 4) + " with " +
                        std::to_string(size * 8) +
                        " bits: the configuration address port takes "
                        "32-bit accesses at 0xCF8 only");
        }
        address_ = value;
      });
  auto target = [this](std::uint16_t port, PciLocation &at,
                       std::uint16_t &reg) {
    if ((address_ & 0x80000000u) == 0) {
      return false; // configuration cycles disabled
    }
    at.bus = static_cast<std::uint8_t>(address_ >> 16);
    at.device = static_cast<std::uint8_t>(address_ >> 11 & 0x1F);
    at.function = static_cast<std::uint8_t>(address_ >> 8 & 7);
    const bool extendedOn = (nbConfig_ & kExtendedConfig) != 0;
    const std::uint32_t high = extendedOn ? (address_ >> 24 & 0xF) << 8 : 0;
    reg = static_cast<std::uint16_t>(high | (address_ & 0xFC) |
                                     (port - kDataPort));
    return true;
  };
  machine.mapPorts(
      kDataPort, 4, "PCI configuration data",
      [this, target](std::uint16_t port, unsigned size) -> std::uint32_t {
        PciLocation at;
        std::uint16_t reg = 0;
        if (!target(port, at, reg)) {
          return size == 4 ? 0xFFFFFFFF : (1u << (8 * size)) - 1;
        }
        return bus_.read(at, reg, size, PciBus::Via::Ports);
      },
      [this, target](std::uint16_t port, unsigned size, std::uint32_t value) {
        PciLocation at;
        std::uint16_t reg = 0;
        if (target(port, at, reg)) {
          bus_.write(at, reg, size, value, PciBus::Via::Ports);
        }
      });
  machine.mapMsr(
      kMsrNbConfig, "northbridge configuration", [this] { return nbConfig_; },
      [this](std::uint64_t value) { nbConfig_ = value; });
}

// --- memory-mapped window ---------------------------------------------------

ConfigWindow::ConfigWindow(machine::Machine &machine, PciBus &bus,
                           std::uint64_t msr)
    : machine_(machine), bus_(bus), msr_(msr) {
  machine.mapMsr(
      kMsrMmioConfig, "PCI configuration window", [this] { return msr_; },
      nullptr);
  if (!enabled()) {
    return;
  }
  const std::uint64_t begin = base();
  if (begin > ~0ull - length()) {
    throw machine::MachineError(
        "PCI configuration window at " + hex(begin, 16) + " of " +
        std::to_string(length() / kMiB) +
        " MiB: expected it to end within the physical address space");
  }
  const std::uint64_t end = begin + length();
  auto read = [this](std::uint64_t from) {
    return [this, from](std::uint64_t offset, unsigned size) {
      return access(from + offset, size, false, 0);
    };
  };
  auto write = [this](std::uint64_t from) {
    return
        [this, from](std::uint64_t offset, unsigned size, std::uint64_t value) {
          access(from + offset, size, true, value);
        };
  };
  if (begin < k4GiB) {
    const std::uint64_t lowEnd = std::min(end, k4GiB);
    machine.mapMmio(static_cast<std::uint32_t>(begin),
                    static_cast<std::uint32_t>(lowEnd - begin),
                    "PCI configuration window", read(0), write(0));
  }
  if (end > k4GiB) {
    const std::uint64_t highBegin = std::max(begin, k4GiB);
    machine.mapHighMmio(highBegin, end - highBegin,
                        "PCI configuration window (above 4 GiB)",
                        read(highBegin - begin), write(highBegin - begin));
  }
}

std::uint64_t ConfigWindow::base() const {
  return (msr_ & 0xFFFFFFFF00000000ull) | (msr_ & 0xFFF00000u);
}

std::uint64_t ConfigWindow::length() const {
  const unsigned buses = static_cast<unsigned>(msr_ >> 2 & 0xF);
  return kMiB << std::min(buses, 8u);
}

std::uint64_t ConfigWindow::access(std::uint64_t offset, unsigned size,
                                   bool write, std::uint64_t value) {
  if (size != 1 && size != 2 && size != 4) {
    machine_.fault(std::to_string(size * 8) +
                   "-bit access to the PCI configuration window at offset " +
                   hex(offset));
  }
  const PciLocation at{static_cast<std::uint8_t>(offset >> 20),
                       static_cast<std::uint8_t>(offset >> 15 & 0x1F),
                       static_cast<std::uint8_t>(offset >> 12 & 7)};
  const auto reg = static_cast<std::uint16_t>(offset & 0xFFF);
  if (write) {
    bus_.write(at, reg, size, static_cast<std::uint32_t>(value),
               PciBus::Via::Window);
    return 0;
  }
  return bus_.read(at, reg, size, PciBus::Via::Window);
}

} // namespace devices
