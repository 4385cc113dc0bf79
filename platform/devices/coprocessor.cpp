#include "coprocessor.h"

#include "hex.h"
#include "tpm_header.h"

#include <algorithm>

namespace devices {

using bus::TraceEvent;
using common::hex;

namespace {

constexpr auto kTpmHeaderSize = static_cast<std::uint32_t>(tpm::kHeaderSize);

std::string describeTpmCommand(const TraceEvent &event) {
  return "command " + hex(event.address, 8) + " -> response code " +
         hex(event.value, 8);
}

} // namespace

const bus::TraceDecoder kTpmCommandTrace{
    .tag = "tpm", .category = "tpm", .describe = &describeTpmCommand};

const bus::TraceDecoder kControlAreaTrace{.tag = "ctrl",
                                          .category = "control area"};

Coprocessor::Coprocessor(bus::AddressSpace &space, PciBus &bus,
                         CoprocessorConfig config, TpmService tpm)
    : space_(space), config_(config), tpm_(std::move(tpm)), base_(config.base),
      command_(config.command), status_(config.status) {
  modelConfiguration();
  space.mapMsr(
      kMsrBase, "co-processor base",
      [this](std::uint64_t, unsigned) {
        return std::uint64_t{config_.msrBase.value_or(base_)};
      },
      nullptr);
  if (!config_.present) {
    return;
  }
  if (base_ == 0 || base_ % 0x1000 != 0 ||
      (config_.baseSource == CoprocessorConfig::BaseSource::Bar &&
       base_ % 0x100000 != 0)) {
    throw bus::MachineError(
        "co-processor base " + hex(base_, 8) +
        " must be page aligned, and 1 MiB aligned for the base address "
        "register");
  }
  bus.attach(kLocation, *this);
  mapRegisters(space);
}

void Coprocessor::mapRegisters(bus::AddressSpace &space) {
  space.mapRegisters(base_, 0x1000, controlArea());
  // Ordinary memory with nothing mapped on either side: a copy that runs past
  // an area stops at once.
  space.mapMemory(commandAddress(), kCommandSize, "co-processor command area",
                  bus::kReadWrite);
  space.mapMemory(responseAddress(), kResponseSizeMax,
                  "co-processor response area", bus::kReadWrite);
}

// The control area's fields: aligned 32-bit registers, each answering only
// while memory decoding is on.
bus::RegisterBlock Coprocessor::controlArea() {
  auto field = [this](const char *name, std::uint32_t offset,
                      std::function<std::uint32_t()> read,
                      std::function<void(std::uint32_t)> write = {}) {
    bus::Register reg{.name = name, .offset = offset};
    reg.read = [this, read](std::uint64_t, unsigned) {
      requireDecoding();
      return std::uint64_t{read()};
    };
    if (write) {
      reg.write = [this, write](std::uint64_t, unsigned, std::uint64_t value) {
        requireDecoding();
        write(static_cast<std::uint32_t>(value));
      };
    }
    return reg;
  };
  return {
      .name = "co-processor control area",
      .registers = {field("Error", kError, [this] { return error_; }),
                    field(
                        "Start", kStart, [this] { return pollStart(); },
                        [this](std::uint32_t value) { writeStart(value); }),
                    field("CommandAddress", kCommandAddress,
                          [this] {
                            return config_.commandAddressZero
                                       ? 0
                                       : commandAddress();
                          }),
                    field(
                        "ResponseSize", kResponseSize,
                        [this] { return responseSize_; },
                        [this](std::uint32_t value) { responseSize_ = value; }),
                    field("ResponseAddress (low)", kResponseAddress,
                          [this] { return responseAddress(); }),
                    field("ResponseAddress (high)", kResponseAddress + 4,
                          [this] { return config_.responseAddressHigh; })},
      .decoder = &kControlAreaTrace,
      .elsewhere = "a field the transport has no business touching"};
}

void Coprocessor::requireDecoding() const {
  if ((command_ & kMemorySpace) == 0) {
    throw bus::Refusal("its memory decoding is off (command register " +
                       hex(command_, 4) + ")");
  }
}

// The configuration registers the co-processor models; the base address
// register and the base select are fixed by the platform.
void Coprocessor::modelConfiguration() {
  model({{.name = "command/status",
          .offset = kCommandRegister,
          .read = [this](std::uint64_t, unsigned) -> std::uint64_t {
            return static_cast<std::uint32_t>(status_) << 16 | command_;
          },
          .write =
              [this](std::uint64_t offset, unsigned size, std::uint64_t value) {
                writeCommand(
                    static_cast<std::uint32_t>(value << 8 * (offset & 3)),
                    laneMask(offset, size));
              }},
         {.name = "base address",
          .offset = kBar,
          .read =
              [this](std::uint64_t, unsigned) {
                return std::uint64_t{baseAddressRegister()};
              }},
         {.name = "base select",
          .offset = kBaseSelect,
          .read = [this](std::uint64_t, unsigned) -> std::uint64_t {
            return config_.baseSource == CoprocessorConfig::BaseSource::Msr
                       ? kBaseFromMsr
                       : 0;
          }}});
}

std::uint32_t Coprocessor::baseAddressRegister() const {
  if (config_.baseSource != CoprocessorConfig::BaseSource::Bar) {
    return config_.unusedBar;
  }
  return (config_.barUnassigned ? 0 : base_ & kBarBaseMask) |
         (config_.barLowBits & ~kBarBaseMask);
}

void Coprocessor::writeCommand(std::uint32_t value, std::uint8_t byteMask) {
  if (byteMask & 1) {
    command_ = static_cast<std::uint16_t>((command_ & 0xFF00) | (value & 0xFF));
  }
  if (byteMask & 2) {
    command_ =
        static_cast<std::uint16_t>((command_ & 0x00FF) | (value & 0xFF00));
  }
  // The status half: error bits are cleared by writing one to them; the rest
  // cannot be written.
  std::uint16_t written = 0;
  if (byteMask & 4) {
    written |= static_cast<std::uint16_t>(value >> 16 & 0x00FF);
  }
  if (byteMask & 8) {
    written |= static_cast<std::uint16_t>(value >> 16 & 0xFF00);
  }
  status_ &= static_cast<std::uint16_t>(~(written & kStatusWriteOneToClear));
}

// Each read of Start is a poll: a command that completes late runs once the
// host has polled enough.
std::uint32_t Coprocessor::pollStart() {
  ++startPolls_;
  if (start_ == 1 &&
      config_.completion == CoprocessorConfig::Completion::AfterPolls) {
    if (pollsLeft_ == 0) {
      run();
    } else {
      --pollsLeft_;
    }
  }
  return start_;
}

void Coprocessor::writeStart(std::uint32_t value) {
  if (value == 0) {
    start_ = 0; // the host gave up on the command
    return;
  }
  if (value != 1) {
    throw bus::Refusal("only 1 (start) and 0 are meaningful");
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
}

// Takes the command from the command area (its length from the TPM header,
// never more than the area holds), runs it and leaves the response in the
// response area.
void Coprocessor::run() {
  const auto header = space_.read(commandAddress(), kTpmHeaderSize);
  const std::uint32_t length =
      std::clamp(*tpm::headerSizeOf(header), kTpmHeaderSize, kCommandSize);
  std::vector<std::uint8_t> command = space_.read(commandAddress(), length);
  const std::uint64_t started = space_.trace().now();
  std::vector<std::uint8_t> response = tpm_(command);
  const std::uint64_t took = space_.trace().now() - started;
  if (response.size() > kResponseSizeMax) {
    response.resize(kResponseSizeMax);
  }
  space_.write(responseAddress(), response);
  responseSize_ = config_.responseSizeZero
                      ? 0
                      : static_cast<std::uint32_t>(response.size());
  ++commandsRun_;
  space_.trace().add({.kind = TraceEvent::Kind::Work,
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
