// The TPM session the platform runs through the module's transport once the
// boot has published it: the commands platform firmware issues first, each
// checked and timed.
#pragma once

#include <tss2/tss2_tcti.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tpm {

class TransportTcti;

// One command of the session. responseCode is the TSS2 return code of the
// call (0, a TPM response code, or a TCTI/ESAPI layer code); milliseconds is
// the wall time of the whole call through the transport; detail is one line
// of what came back. ok says whether the command did what the session needs:
// a TPM that was already started answers TPM2_Startup with TPM_RC_INITIALIZE
// and that is ok, while a PCR value that does not match the host's own
// computation is not ok even though the TPM answered success.
struct CommandRecord {
  std::string name;
  std::uint32_t responseCode;
  double milliseconds;
  std::string detail;
  bool ok = true;
};

// The PCR the session extends and reads: the debug PCR, which platform
// firmware never measures into.
inline constexpr std::uint32_t kBootSessionPcr = 16;

// Runs, through ESAPI on the given TCTI: TPM2_Startup(CLEAR); GetRandom of
// 16 bytes; PCR_Read, PCR_Extend (SHA-256) and PCR_Read again of the debug
// PCR, the new value checked against SHA-256(old || digest) computed on the
// host; GetCapability of the fixed TPM properties; CreatePrimary of an ECC
// NIST P-256 storage key under the owner hierarchy; FlushContext of it.
// A command the TPM refuses is recorded and the session goes on with what
// does not depend on it; a transport or TSS failure ends the session there
// (the ESAPI context cannot be used after one), recorded as the last entry.
//
// Quietens the TSS's own stderr logging unless TSS2_LOG is already set.
std::vector<CommandRecord> runBootSession(TSS2_TCTI_CONTEXT *tcti);

// The same, adding the transport's own account (EFI status, malformed
// response) to the detail of a command that failed in the transport.
std::vector<CommandRecord> runBootSession(TransportTcti &tcti);

// True when every record is ok (and there is at least one).
bool bootSessionSucceeded(const std::vector<CommandRecord> &records);

} // namespace tpm
