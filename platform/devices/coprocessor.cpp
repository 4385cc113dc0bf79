#include "coprocessor.h"

#include "hex.h"
#include "tpm_header.h"

#include <algorithm>

namespace devices {

using common::hex;
using machine::TraceEvent;

namespace {

constexpr auto kTpmHeaderSize = static_cast<std::uint32_t>(tpm::kHeaderSize);

const char *fieldName(std::uint64_t offset) {
  switch (offset) {
  case Coprocessor::kError:
    return "Error";
  case Coprocessor::kStart:
    return "Start";
  case Coprocessor::kCommandAddress:
    return "CommandAddress";
  case Coprocessor::kResponseSize:
    return "ResponseSize";
  case Coprocessor::kResponseAddress:
    return "ResponseAddress (low)";
  case Coprocessor::kResponseAddress + 4:
    return "ResponseAddress (high)";
  default:
    return "";
  }
}

std::string describeTpmCommand(const TraceEvent &event) {
  return "command " + hex(event.address, 8) + " -> response code " +
         hex(event.value, 8);
}

} // namespace

const machine::TraceDecoder kTpmCommandTrace{
    .tag = "tpm", .category = "tpm", .describe = &describeTpmCommand};

const machine::TraceDecoder kControlAreaTrace{.tag = "ctrl",
                                              .category = "control area"};

Coprocessor::Coprocessor(machine::Machine &machine, PciBus &bus,
                         CoprocessorConfig config, TpmService tpm)
    : machine_(machine), config_(config), tpm_(std::move(tpm)),
      base_(config.base), command_(config.command), status_(config.status) {
  machine.mapMsr(
      kMsrBase, "co-processor base",
      [this] { return std::uint64_t{config_.msrBase.value_or(base_)}; },
      nullptr);
  if (!config_.present) {
    return;
  }
  if (base_ == 0 || base_ % 0x1000 != 0 ||
      (config_.baseSource == CoprocessorConfig::BaseSource::Bar &&
       base_ % 0x100000 != 0)) {
    throw machine::MachineError(
        "co-processor base " + hex(base_, 8) +
        " must be page aligned, and 1 MiB aligned for the base address "
        "register");
  }
  bus.attach(kLocation, *this);
  machine.mapMmio(
      base_, 0x1000, "co-processor control area",
      [this](std::uint64_t offset, unsigned size) {
        return readArea(offset, size);
      },
      [this](std::uint64_t offset, unsigned size, std::uint64_t value) {
        writeArea(offset, size, value);
      });
  // Ordinary memory with nothing mapped on either side: a copy that runs past
  // an area stops at once.
  machine.mapMemory(commandAddress(), kCommandSize, "co-processor command area",
                    machine::kReadWrite);
  machine.mapMemory(responseAddress(), kResponseSizeMax,
                    "co-processor response area", machine::kReadWrite);
}

const char *Coprocessor::registerName(std::uint16_t reg) const {
  switch (reg) {
  case kCommandRegister:
    return "(command/status)";
  case kBar:
    return "(base address)";
  case kBaseSelect:
    return "(base select)";
  default:
    return "";
  }
}

std::uint32_t Coprocessor::readRegister(std::uint16_t reg) {
  switch (reg) {
  case kCommandRegister:
    return static_cast<std::uint32_t>(status_) << 16 | command_;
  case kBar:
    return config_.baseSource == CoprocessorConfig::BaseSource::Bar
               ? (config_.barUnassigned ? 0 : base_ & kBarBaseMask) |
                     (config_.barLowBits & ~kBarBaseMask)
               : config_.unusedBar;
  case kBaseSelect:
    return config_.baseSource == CoprocessorConfig::BaseSource::Msr
               ? kBaseFromMsr
               : 0;
  default:
    return PciFunction::readRegister(reg);
  }
}

void Coprocessor::writeRegister(std::uint16_t reg, std::uint32_t value,
                                std::uint8_t byteMask) {
  switch (reg) {
  case kCommandRegister: {
    if (byteMask & 1) {
      command_ =
          static_cast<std::uint16_t>((command_ & 0xFF00) | (value & 0xFF));
    }
    if (byteMask & 2) {
      command_ =
          static_cast<std::uint16_t>((command_ & 0x00FF) | (value & 0xFF00));
    }
    // The status half: error bits are cleared by writing one to them; the
    // rest cannot be written.
    std::uint16_t written = 0;
    if (byteMask & 4) {
      written |= static_cast<std::uint16_t>(value >> 16 & 0x00FF);
    }
    if (byteMask & 8) {
      written |= static_cast<std::uint16_t>(value >> 16 & 0xFF00);
    }
    status_ &= static_cast<std::uint16_t>(~(written & kStatusWriteOneToClear));
    return;
  }
  case kBar:
  case kBaseSelect:
    return; // fixed by the platform
  default:
    PciFunction::writeRegister(reg, value, byteMask);
  }
}

void Coprocessor::checkAreaAccess(std::uint64_t offset, unsigned size,
                                  bool write) {
  const std::string verb = write ? "write" : "read";
  if ((command_ & kMemorySpace) == 0) {
    machine_.fault(verb + " of the co-processor control area at offset " +
                   hex(offset, 2) +
                   " while its memory decoding is off (command register " +
                   hex(command_, 4) + ")");
  }
  if (size != 4 || offset % 4 != 0) {
    machine_.fault(std::to_string(size * 8) + "-bit " + verb +
                   " of the co-processor control area at offset " +
                   hex(offset, 2) +
                   ": its fields take aligned 32-bit "
                   "accesses");
  }
  if (*fieldName(offset) == '\0') {
    machine_.fault(verb + " of the co-processor control area at offset " +
                   hex(offset, 2) +
                   ", a field the transport has no business touching");
  }
}

void Coprocessor::traceArea(std::uint64_t offset, bool write,
                            std::uint32_t value) {
  machine_.trace().add({.kind = TraceEvent::Kind::Register,
                        .write = write,
                        .size = 4,
                        .instruction = machine_.instruction(),
                        .address = base_ + offset,
                        .value = value,
                        .name = fieldName(offset),
                        .decoder = &kControlAreaTrace});
}

std::uint64_t Coprocessor::readArea(std::uint64_t offset, unsigned size) {
  checkAreaAccess(offset, size, false);
  std::uint32_t value = 0;
  switch (offset) {
  case kError:
    value = error_;
    break;
  case kStart:
    ++startPolls_;
    if (start_ == 1 &&
        config_.completion == CoprocessorConfig::Completion::AfterPolls) {
      if (pollsLeft_ == 0) {
        run();
      } else {
        --pollsLeft_;
      }
    }
    value = start_;
    break;
  case kCommandAddress:
    value = config_.commandAddressZero ? 0 : commandAddress();
    break;
  case kResponseSize:
    value = responseSize_;
    break;
  case kResponseAddress:
    value = responseAddress();
    break;
  default: // high half of ResponseAddress
    value = config_.responseAddressHigh;
    break;
  }
  traceArea(offset, false, value);
  return value;
}

void Coprocessor::writeArea(std::uint64_t offset, unsigned size,
                            std::uint64_t value64) {
  checkAreaAccess(offset, size, true);
  const auto value = static_cast<std::uint32_t>(value64);
  traceArea(offset, true, value);
  switch (offset) {
  case kStart:
    if (value == 0) {
      start_ = 0; // the host gave up on the command
      return;
    }
    if (value != 1) {
      machine_.fault("write of " + hex(value) +
                     " to Start: only 1 (start) and 0 are meaningful");
    }
    if (start_ == 1) {
      return; // already running
    }
    start_ = 1;
    error_ = 0;
    switch (config_.completion) {
    case CoprocessorConfig::Completion::Immediately:
      run();
      break;
    case CoprocessorConfig::Completion::AfterPolls:
      pollsLeft_ = config_.polls;
      break;
    case CoprocessorConfig::Completion::Never:
      break;
    case CoprocessorConfig::Completion::Fail:
      error_ = config_.error;
      break;
    }
    return;
  case kResponseSize:
    responseSize_ = value;
    return;
  default:
    machine_.fault("write of " + hex(value) + " to " +
                   std::string(fieldName(offset)) +
                   " in the co-processor control area, which is read-only");
  }
}

// Takes the command from the command area (its length from the TPM header,
// never more than the area holds), runs it and leaves the response in the
// response area.
void Coprocessor::run() {
  const auto header = machine_.read(commandAddress(), kTpmHeaderSize);
  const std::uint32_t length =
      std::clamp(*tpm::headerSizeOf(header), kTpmHeaderSize, kCommandSize);
  std::vector<std::uint8_t> command = machine_.read(commandAddress(), length);
  const std::uint64_t started = machine_.trace().now();
  std::vector<std::uint8_t> response = tpm_(command);
  const std::uint64_t took = machine_.trace().now() - started;
  if (response.size() > kResponseSizeMax) {
    response.resize(kResponseSizeMax);
  }
  machine_.write(responseAddress(), response);
  responseSize_ = config_.responseSizeZero
                      ? 0
                      : static_cast<std::uint32_t>(response.size());
  ++commandsRun_;
  machine_.trace().add({.kind = TraceEvent::Kind::Work,
                        .size = 4,
                        .address = *tpm::commandCodeOf(header),
                        .value = tpm::responseCodeOf(response).value_or(0),
                        .decoder = &kTpmCommandTrace,
                        .duration = took});
  if (historyLimit_ != 0) {
    commands_.push_back(std::move(command));
    responses_.push_back(std::move(response));
    setHistoryLimit(historyLimit_);
  }
  start_ = 0;
}

void Coprocessor::setHistoryLimit(std::size_t limit) {
  historyLimit_ = limit;
  while (commands_.size() > limit) {
    commands_.pop_front();
    responses_.pop_front();
  }
}

} // namespace devices
