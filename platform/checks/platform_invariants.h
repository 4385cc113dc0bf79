// The machine invariants as they apply to the module on the emulated PEI
// platform: what each kind of call may write (the transport's areas and
// control fields, the caller's response buffer, the configuration registers
// the module drives through the memory-mapped window), and the device state
// every call must put back (MSR 0xC001001F, the co-processor's command
// register).
#pragma once

#include "chipset.h"
#include "invariants.h"
#include "transport_slot.h"

#include <array>
#include <cstdint>
#include <functional>

namespace checks {

// Execute, Probe, Send, Receive: the addresses of the published transport's
// slots, all 0 until it is published.
using TransportSlots = std::function<common::TransportAddresses()>;

class PlatformInvariants : public Invariants {
public:
  PlatformInvariants(machine::Machine &machine, devices::Chipset &chipset,
                     TransportSlots slots);

  // What the policy grants a call (exposed for the checks' own tests).
  std::vector<WritableRange> grantsFor(const machine::CallRecord &call) const;

private:
  machine::Machine &machine_;
  devices::Chipset &chipset_;
  TransportSlots slots_;
};

} // namespace checks
