// The boot log's wording: how the platform describes what it set up and
// what the module did, apart from the stages that produce it. Every line
// here is read by people (the boot command prints the log) and by tests
// that look for its phrases.
#pragma once

#include "address_space.h"
#include "chipset.h"
#include "coprocessor.h"
#include "scenario.h"
#include "trace.h"
#include "transport_slot.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

std::string onOff(bool value);

// The platform as the scenario built it, one line each.
std::string describeSetup(const Scenario &scenario);
std::string describeChipset(devices::Chipset &chipset);
std::string describeCoprocessor(const devices::CoprocessorConfig &config);

// What one run of the trigger callback did, from its trace events (those
// from traceFrom on): the "Setup" read and its answer, what the probe
// found, the decision (always the last line).
std::vector<std::string>
describeTrigger(const std::vector<bus::TraceEvent> &events,
                std::size_t traceFrom);

// The accesses to unmodelled hardware that were recorded and answered, one
// line each, with a count of those not kept.
std::vector<std::string> describeUnmodelled(const bus::AddressSpace &space);

// The published interface and its four slots.
std::string describeTransport(std::uint32_t ppi,
                              const common::TransportAddresses &slots);
// What the module stored in PCD token 11.
std::string describeToken11(const std::vector<std::uint8_t> &value);

} // namespace platform
