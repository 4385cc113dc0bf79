#include "platform_invariants.h"

#include <algorithm>

namespace checks {

namespace {

// Where the transport's arguments sit after the two leading, unread
// parameters.
using enum common::TransportSlot;
constexpr unsigned kCommandSize = 3; // after CommandBuffer, argument 2
constexpr unsigned kExecuteResponse = 4, kExecuteLength = 5;
constexpr unsigned kReceiveResponse = 2, kReceiveLength = 3;

// Memory-mapped configuration offsets of the two registers the module writes.
constexpr std::uint64_t kRootIndexRegister =
    devices::RootComplex::kLocation.windowOffset(devices::RootComplex::kIndex);
constexpr std::uint64_t kCoprocessorCommand =
    devices::Coprocessor::kLocation.windowOffset(
        devices::Coprocessor::kCommandRegister);

} // namespace

PlatformInvariants::PlatformInvariants(machine::Machine &machine,
                                       devices::Chipset &chipset,
                                       TransportSlots slots)
    : Invariants(machine), machine_(machine), chipset_(chipset),
      slots_(std::move(slots)) {
  watch("MSR 0xC001001F (extended configuration access)",
        [&chipset] { return chipset.configPorts().nbConfig(); });
  watch("the co-processor's command/status register (0:8.0 0x04)", [&chipset] {
    const devices::Coprocessor &c = chipset.coprocessor();
    return std::uint64_t{c.statusRegister()} << 16 | c.commandRegister();
  });
  setPolicy(
      [this](const machine::CallRecord &call) { return grantsFor(call); });
}

std::vector<WritableRange>
PlatformInvariants::grantsFor(const machine::CallRecord &call) const {
  std::vector<WritableRange> grants;
  // Configuration writes through the memory-mapped window are stores too:
  // the root complex's index register and the co-processor's command
  // register are the two the module writes.
  const devices::ConfigWindow &window = chipset_.configWindow();
  if (window.enabled()) {
    grants.push_back({window.base() + kRootIndexRegister, 4,
                      "root complex index register (window)"});
    grants.push_back({window.base() + kCoprocessorCommand, 4,
                      "co-processor command register (window)"});
  }

  const common::TransportAddresses slots =
      slots_ ? slots_() : common::TransportAddresses{};
  const auto is = [&](common::TransportSlot slot) {
    const std::uint32_t address = slots[common::index(slot)];
    return address != 0 && call.address == address;
  };
  const auto argument = [&](unsigned n) -> std::uint32_t {
    return n < call.arguments.size() ? call.arguments[n] : 0;
  };
  const devices::Coprocessor &coprocessor = chipset_.coprocessor();
  const std::uint64_t control = coprocessor.config().base;
  if (is(kSend) || is(kExecute)) {
    grants.push_back({coprocessor.commandAddress(), argument(kCommandSize),
                      "the command area up to CommandSize"});
    grants.push_back({coprocessor.responseAddress(),
                      devices::Coprocessor::kResponseSizeMax,
                      "the response area"});
    grants.push_back({control + devices::Coprocessor::kStart, 4, "Start"});
  }
  if (is(kSend) || is(kExecute) || is(kReceive)) {
    grants.push_back(
        {control + devices::Coprocessor::kResponseSize, 4, "ResponseSize"});
  }
  if (is(kReceive) || is(kExecute)) {
    const std::uint32_t buffer =
        argument(is(kReceive) ? kReceiveResponse : kExecuteResponse);
    const std::uint32_t lengthAt =
        argument(is(kReceive) ? kReceiveLength : kExecuteLength);
    std::uint32_t length = 0;
    if (lengthAt != 0 && !machine_.space().regionName(lengthAt).empty()) {
      try {
        length = machine_.read32(lengthAt);
      } catch (const machine::MachineError &) {
        length = 0; // not readable: the module must not copy anything
      }
    }
    grants.push_back({buffer,
                      std::min(length, devices::Coprocessor::kResponseSizeMax),
                      "the caller's response buffer up to *ResponseLength"});
  }
  return grants;
}

} // namespace checks
