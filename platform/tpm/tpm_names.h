// Names and small header helpers for TPM 2.0 traffic, shared by every log
// that shows commands and responses (the boot log, the simulator endpoint).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tpm {

// Size of the fixed header every TPM 2.0 command and response begins with:
// 16-bit tag, 32-bit size, 32-bit command or response code, all big-endian.
inline constexpr std::size_t kHeaderSize = 10;

// "TPM2_GetRandom" for 0x17B; an unknown code reads "TPM_CC 0x00000200".
std::string commandName(std::uint32_t commandCode);

// A one-line description of a response code from any TSS2 layer: "success"
// for 0, otherwise the decoder's text, e.g. "tpm:error(2.0): TPM not
// initialized by TPM2_Startup or already initialized".
std::string responseCodeText(std::uint32_t responseCode);

// "0x00000100 (tpm:error(2.0): ...)" - the form the logs print.
std::string describeResponseCode(std::uint32_t responseCode);

// The command code of a TPM command, or nothing if the bytes are too short
// to hold a header.
std::optional<std::uint32_t>
commandCodeOf(std::span<const std::uint8_t> command);

// The response code of a TPM response, or nothing if too short.
std::optional<std::uint32_t>
responseCodeOf(std::span<const std::uint8_t> response);

// The size field of a TPM header, or nothing if too short.
std::optional<std::uint32_t>
headerSizeOf(std::span<const std::uint8_t> message);

// A complete, well-formed 10-byte TPM 2.0 error response (tag
// TPM_ST_NO_SESSIONS, size 10, the given response code).
std::vector<std::uint8_t> errorResponse(std::uint32_t responseCode);

// Lower-case hex of the bytes, no separators.
std::string toHex(std::span<const std::uint8_t> bytes);

} // namespace tpm
