// PCI configuration space: functions with their registers, and the two ways
// the processor reaches them (the 0xCF8/0xCFC port pair and the memory-mapped
// window that MSR 0xC0010058 describes).
#pragma once

#include "address_space.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace devices {

// Bus, device, function.
struct PciLocation {
  std::uint8_t bus = 0, device = 0, function = 0;
  auto operator<=>(const PciLocation &) const = default;
  std::string text() const; // "0:8.0"
  // Where register reg lies in the memory-mapped configuration window: bus in
  // bits 27:20, device in 19:15, function in 14:12, the register in 11:0. The
  // trace gives configuration accesses this address, however they came.
  constexpr std::uint32_t windowOffset(std::uint16_t reg) const {
    return std::uint32_t{bus} << 20 | std::uint32_t{device} << 15 |
           std::uint32_t{function} << 12 | reg;
  }
  // The location a window offset (or a configuration address, whose bus,
  // device and function bits lie 4 places lower) names.
  static constexpr PciLocation ofWindowOffset(std::uint64_t offset) {
    return {static_cast<std::uint8_t>(offset >> 20 & 0xFF),
            static_cast<std::uint8_t>(offset >> 15 & 0x1F),
            static_cast<std::uint8_t>(offset >> 12 & 0x7)};
  }
  static constexpr PciLocation ofConfigAddress(std::uint32_t address) {
    return ofWindowOffset(std::uint64_t{address} << 4);
  }
};

// How configuration accesses read in the trace, however they came: the
// register's place in the memory-mapped window as the address, then
// "0:8.0 reg 0x004 (command/status) via window".
extern const bus::TraceDecoder kPciConfigTrace;

// One function's 4 KiB configuration space. A function declares the
// registers it models as a table of dword registers (offset, name, read and
// write handlers); the bus hands a handler the byte offset and width of the
// part of the dword an access reaches. Registers nobody models behave as
// plain storage, so that any register can be written and read back.
class PciFunction {
public:
  PciFunction() = default;
  PciFunction(const PciFunction &) = delete;
  PciFunction &operator=(const PciFunction &) = delete;
  virtual ~PciFunction() = default;
  // A dword-aligned register. byteMask has bit i set for each byte i written
  // (a contiguous run, as one access reaches it).
  std::uint32_t read(std::uint16_t reg);
  void write(std::uint16_t reg, std::uint32_t value, std::uint8_t byteMask);
  // The name of a modelled register, for the trace; null if none.
  const char *registerName(std::uint16_t reg) const;

protected:
  // Declares the registers the function models (their offsets are dword
  // offsets in its configuration space). One without a write handler is
  // read-only: writes to it are ignored, as the hardware ignores them.
  void model(std::vector<bus::Register> registers) {
    modelled_ = std::move(registers);
  }
  // The plain storage behind the dword at reg.
  std::uint32_t stored(std::uint16_t reg) const;
  void store(std::uint16_t reg, std::uint32_t value,
             std::uint8_t byteMask = 0xF);

private:
  const bus::Register *modelled(std::uint16_t reg) const;

  std::vector<bus::Register> modelled_;
  std::array<std::uint8_t, 4096> space_{};
};

// The byte lanes of its dword that an access of size bytes at byte offset
// reaches, as PciFunction::write takes them.
constexpr std::uint8_t laneMask(std::uint64_t offset, unsigned size) {
  return static_cast<std::uint8_t>(((1u << size) - 1) << (offset & 3));
}

// Every function on the platform, by location; an empty slot reads all ones.
class PciBus {
public:
  explicit PciBus(bus::AddressSpace &space) : space_(space) {}
  void attach(PciLocation at, PciFunction &function);
  PciFunction *find(PciLocation at) const;

  // How a configuration access came, for the trace.
  enum class Via { Ports, Window };
  // A configuration access of size bytes at byte offset reg (any alignment;
  // an access past the end of a dword continues in the next one).
  std::uint32_t read(PciLocation at, std::uint16_t reg, unsigned size, Via via);
  void write(PciLocation at, std::uint16_t reg, unsigned size,
             std::uint32_t value, Via via);

private:
  // Puts the access in the trace, named by location and register.
  void record(bool write, PciLocation at, const PciFunction *function,
              std::uint16_t reg, unsigned size, std::uint32_t value, Via via);

  bus::AddressSpace &space_;
  std::map<PciLocation, PciFunction *> functions_;
};

// The port mechanism: 0xCF8 latches an address, 0xCFC-0xCFF move the data.
// Register bits 11:8 travel in address bits 27:24, which the chipset honours
// only while bit 46 of MSR 0xC001001F (extended configuration access) is set;
// otherwise they are ignored, as on the hardware.
class ConfigPorts {
public:
  static constexpr std::uint16_t kAddressPort = 0xCF8;
  static constexpr std::uint16_t kDataPort = 0xCFC;
  static constexpr std::uint32_t kMsrNbConfig = 0xC001001F;
  static constexpr std::uint64_t kExtendedConfig = 1ull << 46;

  ConfigPorts(bus::AddressSpace &space, PciBus &bus);
  std::uint32_t address() const { return address_; }
  std::uint64_t nbConfig() const { return nbConfig_; }
  void setNbConfig(std::uint64_t value) { nbConfig_ = value; }

private:
  // The function and register the latched address selects for the data
  // port at `lane` (0-3), or none while configuration cycles are disabled.
  std::optional<std::pair<PciLocation, std::uint16_t>>
  target(std::uint64_t lane) const;
  std::uint32_t readData(std::uint64_t lane, unsigned size);
  void writeData(std::uint64_t lane, unsigned size, std::uint32_t value);

  PciBus &bus_;
  std::uint32_t address_ = 0;
  std::uint64_t nbConfig_ = 0;
};

// The memory-mapped configuration window at the base MSR 0xC0010058 gives,
// 1 MiB per bus, 4 KiB per function. Placed anywhere in the 64-bit physical
// address space: the part below 4 GiB is ordinary memory-mapped I/O, the part
// above is reached through the FS window.
class ConfigWindow {
public:
  static constexpr std::uint32_t kMsrMmioConfig = 0xC0010058;

  // msr is the value MSR 0xC0010058 reads; bit 0 clear means no window.
  ConfigWindow(bus::AddressSpace &space, PciBus &bus, std::uint64_t msr);
  bool enabled() const { return (msr_ & 1) != 0; }
  std::uint64_t base() const;
  std::uint64_t length() const; // as decoded, at most 256 buses

private:
  PciBus &bus_;
  std::uint64_t msr_;
};

} // namespace devices
