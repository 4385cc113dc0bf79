// The TPM session a booted platform runs through the module's transport:
// tpm2-tss (ESAPI over a TCTI whose transmit calls the guest's Execute)
// sends the commands platform firmware issues first.
#pragma once

#include "boot_session.h"
#include "platform.h"

#include <string>
#include <vector>

namespace platform {

struct SessionOutcome {
  bool ran = false; // false when there was no transport to drive
  bool ok = false;  // the commands went as the scenario should make them go
  std::vector<std::string> log;
};

// Runs the boot TPM session through platform.execute(). With a co-processor
// that should work, every command must succeed; with one that should refuse
// (absent, never completing, failing ...), the first command must fail with
// the EFI status the scenario calls for.
SessionOutcome runTpmSession(Platform &platform);
// One command of a session as the log shows it.
std::string describeRecord(const tpm::CommandRecord &record);

} // namespace platform
