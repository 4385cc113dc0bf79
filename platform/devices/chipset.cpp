#include "chipset.h"

#include "hex.h"

namespace devices {

using common::hex;
using machine::TraceEvent;

const char *RootComplex::registerName(std::uint16_t reg) const {
  switch (reg) {
  case kIndex:
    return "(index)";
  case kData:
    return "(data)";
  default:
    return "";
  }
}

std::uint32_t RootComplex::readRegister(std::uint16_t reg) {
  if (reg == kData) {
    // Only the strap register behind the window is modelled; other indices
    // read 0.
    return index() == kStrapIndex && present_ ? kCoprocessorPresent : 0;
  }
  return PciFunction::readRegister(reg);
}

void RootComplex::writeRegister(std::uint16_t reg, std::uint32_t value,
                                std::uint8_t byteMask) {
  if (reg == kData) {
    return; // the strap register cannot be written
  }
  PciFunction::writeRegister(reg, value, byteMask);
}

Chipset::Chipset(machine::Machine &machine, ChipsetConfig config,
                 TpmService tpm)
    : machine_(machine), config_(config), bus_(machine),
      root_(config.coprocessor.present), ports_(machine, bus_),
      window_(machine, bus_, config.mmioConfigMsr),
      coprocessor_(machine, bus_, config.coprocessor, std::move(tpm)),
      timerCount_(config.pmTimerStart) {
  bus_.attach(RootComplex::kLocation, root_);

  machine.mapMmio(
      kTimerRegisterPage, 0x1000, "chipset registers",
      [this](std::uint64_t offset, unsigned size) {
        return readTimerRegister(offset, size);
      },
      [this](std::uint64_t offset, unsigned size, std::uint64_t value) {
        machine_.fault("write of " + hex(value) + " (" +
                       std::to_string(size * 8) + " bits) to " +
                       hex(kTimerRegisterPage + offset, 8) +
                       ", a chipset register the platform does not model as "
                       "writable");
      });

  if (config_.pmTimerPort) {
    machine.mapPorts(
        *config_.pmTimerPort, 4, "ACPI PM timer",
        [this](std::uint16_t port, unsigned size) {
          return readTimer(port, size);
        },
        nullptr);
  }
  machine.mapPorts(
      kDelayPort, 1, "delay",
      [this](std::uint16_t, unsigned) -> std::uint32_t {
        ++delayReads_;
        return 0xFF;
      },
      nullptr);
}

// The 16-bit register that publishes the ACPI PM timer's port, 0 when there
// is no timer. Nothing else in the page is modelled.
std::uint64_t Chipset::readTimerRegister(std::uint64_t offset, unsigned size) {
  const std::uint64_t address = kTimerRegisterPage + offset;
  if (address < kTimerPortRegister || address + size > kTimerPortRegister + 2) {
    machine_.fault("read of " + std::to_string(size * 8) + " bits at " +
                   hex(address, 8) +
                   ", a chipset register the platform does not model (only "
                   "the 16-bit timer port register at 0xFED80364 is)");
  }
  const std::uint16_t port = config_.pmTimerPort.value_or(0);
  const std::uint64_t value =
      (port >> (8 * (address - kTimerPortRegister))) & ((1u << (8 * size)) - 1);
  machine_.trace().add({.kind = TraceEvent::Kind::Memory,
                        .size = static_cast<std::uint8_t>(size),
                        .instruction = machine_.instruction(),
                        .address = address,
                        .value = value,
                        .name = "ACPI PM timer port register"});
  return value;
}

// A free-running 32-bit counter: every read returns the count and moves it
// on by the configured number of ticks.
std::uint32_t Chipset::readTimer(std::uint16_t port, unsigned size) {
  const unsigned shift = 8 * (port - *config_.pmTimerPort);
  const std::uint32_t value = timerCount_ >> shift;
  timerCount_ += config_.ticksPerRead;
  ++timerReads_;
  return size == 4 ? value : value & ((1u << (8 * size)) - 1);
}

} // namespace devices
