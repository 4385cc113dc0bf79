// The few facts about TPM 2.0 command and response headers that code needs
// to frame, check, build and log TPM traffic without parsing it. Header-only
// and free of any library, so that the simulator endpoint's protocol layer
// can share it with the TPM engine and the TCTI without depending on the
// TPM libraries.
#pragma once

#include "hex.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tpm {

// Size of the fixed header every TPM 2.0 command and response begins with:
// 16-bit tag, 32-bit size, 32-bit command or response code, all big-endian.
inline constexpr std::size_t kHeaderSize = 10;
inline constexpr std::size_t kSizeOffset = 2;
inline constexpr std::size_t kCodeOffset = 6;

inline constexpr std::uint16_t kStNoSessions = 0x8001;
inline constexpr std::uint16_t kStSessions = 0x8002;

inline constexpr std::uint32_t kRcSuccess = 0x000;
// "Commands not being accepted because of a TPM failure".
inline constexpr std::uint32_t kRcFailure = 0x101;
// The TPM has not been started (TPM2_Startup) since power on.
inline constexpr std::uint32_t kRcInitialize = 0x100;
// The command's size field does not match the bytes delivered.
inline constexpr std::uint32_t kRcCommandSize = 0x142;

inline constexpr std::uint32_t kCcStartup = 0x144;
inline constexpr std::uint32_t kCcShutdown = 0x145;
inline constexpr std::uint16_t kSuClear = 0x0000;
inline constexpr std::uint16_t kSuState = 0x0001;

// Big-endian 32-bit value at `offset`; the caller checks the bounds.
[[nodiscard]] inline std::uint32_t readBe32(std::span<const std::uint8_t> bytes,
                                            std::size_t offset) {
  return std::uint32_t{bytes[offset]} << 24 |
         std::uint32_t{bytes[offset + 1]} << 16 |
         std::uint32_t{bytes[offset + 2]} << 8 |
         std::uint32_t{bytes[offset + 3]};
}

inline void appendBe16(std::vector<std::uint8_t> &out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

inline void appendBe32(std::vector<std::uint8_t> &out, std::uint32_t value) {
  appendBe16(out, static_cast<std::uint16_t>(value >> 16));
  appendBe16(out, static_cast<std::uint16_t>(value));
}

// The size field of a TPM header, or nothing if the bytes are too short to
// hold a header.
[[nodiscard]] inline std::optional<std::uint32_t>
headerSizeOf(std::span<const std::uint8_t> message) {
  if (message.size() < kHeaderSize)
    return std::nullopt;
  return readBe32(message, kSizeOffset);
}

// The command code of a TPM command, or nothing if too short.
[[nodiscard]] inline std::optional<std::uint32_t>
commandCodeOf(std::span<const std::uint8_t> command) {
  if (command.size() < kHeaderSize)
    return std::nullopt;
  return readBe32(command, kCodeOffset);
}

// The response code of a TPM response, or nothing if too short.
[[nodiscard]] inline std::optional<std::uint32_t>
responseCodeOf(std::span<const std::uint8_t> response) {
  return commandCodeOf(response);
}

// A complete, well-formed 10-byte TPM 2.0 error response (tag
// TPM_ST_NO_SESSIONS, size 10, the given response code).
[[nodiscard]] inline std::vector<std::uint8_t>
errorResponse(std::uint32_t responseCode) {
  std::vector<std::uint8_t> out;
  appendBe16(out, kStNoSessions);
  appendBe32(out, static_cast<std::uint32_t>(kHeaderSize));
  appendBe32(out, responseCode);
  return out;
}

// TPM2_Startup or TPM2_Shutdown (`commandCode`) with the given startup type.
[[nodiscard]] inline std::vector<std::uint8_t>
startupTypeCommand(std::uint32_t commandCode, std::uint16_t type) {
  std::vector<std::uint8_t> out;
  appendBe16(out, kStNoSessions);
  appendBe32(out, static_cast<std::uint32_t>(kHeaderSize + sizeof type));
  appendBe32(out, commandCode);
  appendBe16(out, type);
  return out;
}

[[nodiscard]] inline std::vector<std::uint8_t>
startupCommand(std::uint16_t type) {
  return startupTypeCommand(kCcStartup, type);
}

[[nodiscard]] inline std::vector<std::uint8_t>
shutdownCommand(std::uint16_t type) {
  return startupTypeCommand(kCcShutdown, type);
}

// "0x0000017B": the form in which the logs print codes, tags and fields.
[[nodiscard]] inline std::string hex32(std::uint32_t value) {
  return common::hex(value, 8);
}

} // namespace tpm
