#include "chipset.h"

namespace devices {

RootComplex::RootComplex(bool coprocessorPresent)
    : present_(coprocessorPresent) {
  model({{.name = "index",
          .offset = kIndex,
          .read = [this](std::uint64_t, unsigned) { return index(); },
          .write =
              [this](std::uint64_t offset, unsigned size, std::uint64_t value) {
                store(kIndex,
                      static_cast<std::uint32_t>(value << 8 * (offset & 3)),
                      laneMask(offset, size));
              }},
         // Only the strap register behind the window is modelled; other
         // indices read 0, and it cannot be written.
         {.name = "data",
          .offset = kData,
          .read = [this](std::uint64_t, unsigned) -> std::uint64_t {
            return index() == kStrapIndex && present_ ? kCoprocessorPresent : 0;
          }}});
}

Chipset::Chipset(bus::AddressSpace &space, ChipsetConfig config, TpmService tpm)
    : config_(config), bus_(space), root_(config.coprocessor.present),
      ports_(space, bus_), window_(space, bus_, config.mmioConfigMsr),
      coprocessor_(space, bus_, config.coprocessor, std::move(tpm)),
      timerCount_(config.pmTimerStart) {
  bus_.attach(RootComplex::kLocation, root_);
  mapRegisters(space);
}

void Chipset::mapRegisters(bus::AddressSpace &space) {
  // Of the chipset's register page only the 16-bit register that publishes
  // the ACPI PM timer's port is modelled (0 when there is no timer).
  space.mapRegisters(
      kTimerRegisterPage, 0x1000,
      {.name = "chipset registers",
       .registers = {{.name = "ACPI PM timer port register",
                      .offset = kTimerPortRegister - kTimerRegisterPage,
                      .length = 2,
                      .widths = bus::kByte | bus::kWord,
                      .aligned = false,
                      .read =
                          [this](std::uint64_t offset, unsigned) {
                            const std::uint16_t port =
                                config_.pmTimerPort.value_or(0);
                            return std::uint64_t{port} >>
                                   (8 * (offset - (kTimerPortRegister -
                                                   kTimerRegisterPage)));
                          }}},
       .elsewhere = "a chipset register the platform does not model (only "
                    "the 16-bit timer port register at 0xFED80364 is)"});
  if (config_.pmTimerPort) {
    space.mapPorts(
        *config_.pmTimerPort, 4,
        {.name = "ACPI PM timer",
         .registers = {{.name = "ACPI PM timer",
                        .widths = bus::kAnyWidth,
                        .aligned = false,
                        .read = [this](std::uint64_t lane, unsigned size) {
                          return std::uint64_t{readTimer(lane, size)};
                        }}}});
  }
  space.mapPorts(kDelayPort, 1,
                 {.name = "delay",
                  .registers = {{.name = "delay",
                                 .length = 1,
                                 .widths = bus::kByte,
                                 .read = [this](std::uint64_t, unsigned) {
                                   ++delayReads_;
                                   return std::uint64_t{0xFF};
                                 }}}});
}

// A free-running 32-bit counter: every read returns the count and moves it
// on by the configured number of ticks.
std::uint32_t Chipset::readTimer(std::uint64_t lane, unsigned size) {
  const auto value = static_cast<std::uint32_t>(timerCount_ >> (8 * lane));
  timerCount_ += config_.ticksPerRead;
  ++timerReads_;
  return size == 4 ? value : value & ((1u << (8 * size)) - 1);
}

} // namespace devices
