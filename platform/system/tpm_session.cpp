#include "tpm_session.h"

#include "boot_session.h"
#include "efi.h"
#include "tpm_names.h"
#include "transport_tcti.h"

#include <algorithm>
#include <cstdio>

namespace platform {

std::string describeRecord(const tpm::CommandRecord &record) {
  char time[32];
  std::snprintf(time, sizeof(time), "%.2f ms", record.milliseconds);
  std::string line = "  " + record.name;
  line.resize(std::max<std::size_t>(line.size() + 1, 24), ' ');
  line += tpm::describeResponseCode(record.responseCode) + ", " + time;
  if (!record.detail.empty()) {
    line += ": " + record.detail;
  }
  if (!record.ok) {
    line += "  [not ok]";
  }
  return line;
}

SessionOutcome runTpmSession(Platform &platform) {
  SessionOutcome outcome;
  if (!platform.transportPublished()) {
    outcome.log.push_back("TPM session: not run, no transport published");
    return outcome;
  }
  outcome.ran = true;
  const Expectations expected = expectationsFor(platform.scenario());
  tpm::TransportTcti tcti([&platform](std::span<const std::uint8_t> command) {
    const Exchange answer = platform.execute(command);
    return tpm::TransportResult{answer.efiStatus, answer.response};
  });
  outcome.log.push_back("TPM session through TpmTransportPpi.Execute:");
  std::vector<tpm::CommandRecord> records;
  std::string fault;
  try {
    records = tpm::runBootSession(tcti);
  } catch (const machine::GuestFault &error) {
    fault = error.what();
  }
  for (const auto &record : records) {
    outcome.log.push_back(describeRecord(record));
  }
  if (!fault.empty()) {
    outcome.log.push_back("TPM session stopped: " + fault);
    return outcome;
  }
  if (expected.sessionWorks) {
    outcome.ok = tpm::bootSessionSucceeded(records);
    outcome.log.push_back(
        std::string("TPM session: ") +
        (outcome.ok ? "every command succeeded" : "PROBLEM: a command failed"));
    return outcome;
  }
  // A co-processor that should refuse: the first exchange must fail with the
  // status the scenario calls for, and nothing may look like success. A
  // call stopped before it returned answered nothing.
  if (!tcti.lastAnswered()) {
    outcome.log.push_back("TPM session: the transport call was stopped "
                          "before it answered, expected " +
                          efi::statusName(expected.transportStatus) +
                          "  PROBLEM");
    return outcome;
  }
  const bool failed = !tpm::bootSessionSucceeded(records);
  outcome.ok = failed && tcti.lastEfiStatus() == expected.transportStatus;
  outcome.log.push_back(
      "TPM session: transport answered " +
      efi::statusName(tcti.lastEfiStatus()) + ", expected " +
      efi::statusName(expected.transportStatus) +
      (expected.transportStatus == efi::kSuccess ? " with no response" : "") +
      (outcome.ok ? "" : "  PROBLEM"));
  return outcome;
}

} // namespace platform
