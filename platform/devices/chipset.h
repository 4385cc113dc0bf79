// The chipset around the module: the root complex with its index/data
// window, the PCI configuration mechanisms, the ACPI power-management timer
// and the register that publishes its port, the delay port 0xEB, and the
// co-processor. Exactly what the module relies on, and nothing else.
#pragma once

#include "coprocessor.h"
#include "pci.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace devices {

struct ChipsetConfig {
  // MSR 0xC0010058 as the processor reads it; bit 0 clear: no window.
  std::uint64_t mmioConfigMsr = 0;
  // The ACPI power-management timer's port; none: the publishing register
  // reads 0.
  std::optional<std::uint16_t> pmTimerPort = 0x808;
  std::uint32_t pmTimerStart = 0;
  // How far the free-running counter moves from one read to the next (at
  // 3.579545 MHz, 3580 ticks is about a millisecond).
  std::uint32_t ticksPerRead = 3580;
  CoprocessorConfig coprocessor;
};

// Root complex 0:0.0. Its registers 0xB8/0xBC are an index/data window into
// internal registers; index 0xC0018000 tells, in bit 2, whether the
// co-processor is fitted.
class RootComplex : public PciFunction {
public:
  static constexpr PciLocation kLocation{0, 0, 0};
  static constexpr std::uint16_t kIndex = 0xB8;
  static constexpr std::uint16_t kData = 0xBC;
  static constexpr std::uint32_t kStrapIndex = 0xC0018000;
  static constexpr std::uint32_t kCoprocessorPresent = 1u << 2;

  explicit RootComplex(bool coprocessorPresent);
  std::uint32_t index() const { return stored(kIndex); }

private:
  bool present_;
};

class Chipset {
public:
  static constexpr std::uint32_t kTimerRegisterPage = 0xFED80000;
  static constexpr std::uint32_t kTimerPortRegister = 0xFED80364;
  static constexpr std::uint16_t kDelayPort = 0xEB;

  Chipset(bus::AddressSpace &space, ChipsetConfig config, TpmService tpm);
  Chipset(const Chipset &) = delete;
  Chipset &operator=(const Chipset &) = delete;

  const ChipsetConfig &config() const { return config_; }
  RootComplex &rootComplex() { return root_; }
  Coprocessor &coprocessor() { return coprocessor_; }
  const Coprocessor &coprocessor() const { return coprocessor_; }
  ConfigPorts &configPorts() { return ports_; }
  ConfigWindow &configWindow() { return window_; }

  std::uint64_t delayReads() const { return delayReads_; }
  std::uint64_t timerReads() const { return timerReads_; }

private:
  void mapRegisters(bus::AddressSpace &space);
  std::uint32_t readTimer(std::uint64_t lane, unsigned size);

  ChipsetConfig config_;
  PciBus bus_;
  RootComplex root_;
  ConfigPorts ports_;
  ConfigWindow window_;
  Coprocessor coprocessor_;
  std::uint32_t timerCount_;
  std::uint64_t timerReads_ = 0;
  std::uint64_t delayReads_ = 0;
};

} // namespace devices
