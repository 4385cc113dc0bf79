// Names for TPM 2.0 traffic, shared by every log that shows commands and
// responses (the boot log, the simulator endpoint). The header helpers come
// with them.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "tpm_header.h"

namespace tpm {

// "TPM2_GetRandom" for 0x17B; an unknown code reads "TPM_CC 0x00000200".
std::string commandName(std::uint32_t commandCode);

// A one-line description of a response code from any TSS2 layer: "success"
// for 0, otherwise the decoder's text, e.g. "tpm:error(2.0): TPM not
// initialized by TPM2_Startup or already initialized".
std::string responseCodeText(std::uint32_t responseCode);

// The TPM's own name of a response code the TPM itself returned, with the
// handle, session or parameter a format-one code points at: "TPM_RC_TYPE
// (parameter 1)" for 0x1CA, "TPM_RC_NV_RATE" for 0x920. Codes of other
// layers, and codes the TPM does not define, read as their hex value.
std::string responseCodeName(std::uint32_t responseCode);

// "0x00000100 (tpm:error(2.0): ...)" - the form the logs print.
std::string describeResponseCode(std::uint32_t responseCode);

// Lower-case hex of the bytes, no separators.
std::string toHex(std::span<const std::uint8_t> bytes);

} // namespace tpm
