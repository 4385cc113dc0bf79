// What a scenario should make the module do, worked out from the scenario
// alone, from the module's documented rules; a boot is judged against it.
#pragma once

#include "efi.h"
#include "scenario.h"

#include <cstdint>
#include <string>

namespace platform {

// What the scenario should make the module do, worked out from the scenario
// alone; boot() compares what happened with it.
struct Expectations {
  bool published = false;     // TpmTransportPpi installed at all
  unsigned publications = 0;  // how many times (one per trigger run)
  unsigned token11Writes = 0; // successful SetPtr calls on token 11
  // The EFI status a command through the transport should get.
  std::uint32_t transportStatus = efi::kSuccess;
  // True when commands should reach the TPM and come back intact.
  bool sessionWorks = false;
  std::string setupDecision; // why, in words
};

Expectations expectationsFor(const Scenario &scenario);

} // namespace platform
