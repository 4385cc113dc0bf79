// The security co-processor, PCI 0:8.0: its configuration registers, its
// control area at the start of its memory-mapped region, the command and
// response areas it names there, and the TPM service behind them.
#pragma once

#include "pci.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace devices {

// The TPM behind the co-processor: a command's bytes in, the response out.
using TpmService =
    std::function<std::vector<std::uint8_t>(std::span<const std::uint8_t>)>;

struct CoprocessorConfig {
  enum class Completion {
    Immediately, // Start drops as soon as it is written 1
    AfterPolls,  // Start reads 1 for `polls` reads, then the command runs
    Never,       // Start stays 1, Error stays 0
    Fail,        // Error is set to `error`, Start stays 1, nothing runs
  };
  enum class BaseSource { Bar, Msr };

  bool present = true;
  BaseSource baseSource = BaseSource::Bar;
  // Where the control area lies. Must be 1 MiB aligned below 4 GiB when it
  // comes from the base address register (bits 19:0 are not decoded there).
  std::uint32_t base = 0xFEB00000;
  // What MSR 0xC00110A2's low half reads when the base comes from the MSR;
  // defaults to base. 0xFFFFFFFF or 0 make the co-processor unusable.
  std::optional<std::uint32_t> msrBase;
  // What the base address register reads when the base comes from the MSR.
  std::uint32_t unusedBar = 0;
  // Bits 19:0 of the base address register (type and prefetch bits, or
  // whatever the hardware leaves there); the base itself is bits 31:20.
  std::uint32_t barLowBits = 0;
  // Firmware has not assigned the base address register: its base bits read 0.
  bool barUnassigned = false;
  Completion completion = Completion::Immediately;
  unsigned polls = 3;
  std::uint32_t error = 1;
  std::uint32_t responseAddressHigh = 0; // non-zero: above 4 GiB
  bool responseSizeZero = false;   // report a response size of 0 when done
  bool commandAddressZero = false; // CommandAddress reads 0 (not set up)
  std::uint16_t status = 0x0010;   // initial status register (capabilities)
  std::uint16_t command = 0x0000;
};

// How control-area accesses read in the trace: "ctrl", the field's address
// and its name ("Start").
extern const bus::TraceDecoder kControlAreaTrace;
// How the TPM commands the co-processor runs read in the trace: "tpm",
// "command 0x00000144 -> response code 0x00000000"; the event's address is
// the command code, its value the response code.
extern const bus::TraceDecoder kTpmCommandTrace;

class Coprocessor : public PciFunction {
public:
  static constexpr PciLocation kLocation{0, 8, 0};
  static constexpr std::uint32_t kMsrBase = 0xC00110A2;
  // Control area fields.
  static constexpr std::uint32_t kError = 0x14;
  static constexpr std::uint32_t kStart = 0x1C;
  static constexpr std::uint32_t kCommandAddress = 0x2C;
  static constexpr std::uint32_t kResponseSize = 0x34;
  static constexpr std::uint32_t kResponseAddress = 0x38;
  // Layout of the co-processor's region: control page, guard, command area,
  // guard, response area, guard.
  static constexpr std::uint32_t kCommandOffset = 0x2000;
  static constexpr std::uint32_t kCommandSize = 0x4000;
  static constexpr std::uint32_t kResponseOffset = 0x7000;
  static constexpr std::uint32_t kResponseSizeMax = 0x4000;
  // Configuration registers.
  static constexpr std::uint16_t kCommandRegister = 0x04;
  static constexpr std::uint16_t kBar = 0x20;
  static constexpr std::uint32_t kBarBaseMask = 0xFFF00000; // bits 31:20
  static constexpr std::uint16_t kBaseSelect = 0x48;
  static constexpr std::uint32_t kBaseFromMsr = 1u << 12;
  static constexpr std::uint16_t kStatusWriteOneToClear = 0xF900; // 8, 11-15
  static constexpr std::uint16_t kMemorySpace = 1u << 1;

  Coprocessor(bus::AddressSpace &space, PciBus &bus, CoprocessorConfig config,
              TpmService tpm);

  const CoprocessorConfig &config() const { return config_; }
  std::uint32_t commandAddress() const { return base_ + kCommandOffset; }
  std::uint32_t responseAddress() const { return base_ + kResponseOffset; }
  std::uint16_t commandRegister() const { return command_; }
  std::uint16_t statusRegister() const { return status_; }
  std::uint32_t start() const { return start_; }
  std::uint32_t responseSize() const { return responseSize_; }
  // The latest commands the TPM ran, oldest first, and the responses it
  // gave: at most historyLimit() of each, so that a platform serving
  // commands for days keeps a bounded record.
  const std::deque<std::vector<std::uint8_t>> &commands() const {
    return commands_;
  }
  const std::deque<std::vector<std::uint8_t>> &responses() const {
    return responses_;
  }
  // How many commands the TPM ran since power-on, kept or not.
  std::uint64_t commandsRun() const { return commandsRun_; }
  static constexpr std::size_t kDefaultHistory = 64;
  std::size_t historyLimit() const { return historyLimit_; }
  // Drops the oldest records beyond the new limit; 0 keeps none.
  void setHistoryLimit(std::size_t limit);
  std::uint64_t startPolls() const { return startPolls_; }

private:
  void modelConfiguration();
  std::uint32_t baseAddressRegister() const;
  void writeCommand(std::uint32_t value, std::uint8_t byteMask);
  void mapRegisters(bus::AddressSpace &space);
  bus::RegisterBlock controlArea();
  // The control area answers only while memory decoding is on.
  void requireDecoding() const;
  std::uint32_t pollStart();
  void writeStart(std::uint32_t value);
  void run();

  bus::AddressSpace &space_;
  CoprocessorConfig config_;
  TpmService tpm_;
  std::uint32_t base_;
  std::uint16_t command_;
  std::uint16_t status_;
  std::uint32_t start_ = 0;
  std::uint32_t error_ = 0;
  std::uint32_t responseSize_ = 0;
  unsigned pollsLeft_ = 0;
  std::uint64_t startPolls_ = 0;
  std::size_t historyLimit_ = kDefaultHistory;
  std::uint64_t commandsRun_ = 0;
  std::deque<std::vector<std::uint8_t>> commands_;
  std::deque<std::vector<std::uint8_t>> responses_;
};

} // namespace devices
