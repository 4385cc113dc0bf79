// The few facts about TPM 2.0 command and response headers that the
// endpoint needs to frame, check and log commands without parsing them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace serve {

// Tag (2 bytes), size (4), command or response code (4), all big-endian.
inline constexpr std::uint32_t kTpmHeaderSize = 10;
inline constexpr std::uint16_t kTpmStNoSessions = 0x8001;

inline constexpr std::uint32_t kTpmRcSuccess = 0x000;
// "Commands not being accepted because of a TPM failure".
inline constexpr std::uint32_t kTpmRcFailure = 0x101;
// The command's size field does not match the bytes delivered.
inline constexpr std::uint32_t kTpmRcCommandSize = 0x142;

inline constexpr std::uint32_t kTpmCcStartup = 0x144;
inline constexpr std::uint32_t kTpmCcShutdown = 0x145;
inline constexpr std::uint16_t kTpmSuClear = 0x0000;
inline constexpr std::uint16_t kTpmSuState = 0x0001;

[[nodiscard]] std::uint32_t readBe32(std::span<const std::uint8_t> bytes,
                                     std::size_t offset);
void appendBe32(std::vector<std::uint8_t> &out, std::uint32_t value);
void appendBe16(std::vector<std::uint8_t> &out, std::uint16_t value);

// Size field of a TPM header (bytes 2-5); nullopt when shorter than that.
[[nodiscard]] std::optional<std::uint32_t>
headerSize(std::span<const std::uint8_t> message);
// Command or response code (bytes 6-9); nullopt when there is no header.
[[nodiscard]] std::optional<std::uint32_t>
headerCode(std::span<const std::uint8_t> message);

// A well-formed 10-byte response carrying only `rc`.
[[nodiscard]] std::vector<std::uint8_t> errorResponse(std::uint32_t rc);

// TPM2_Startup / TPM2_Shutdown with the given startup type.
[[nodiscard]] std::vector<std::uint8_t> startupCommand(std::uint16_t type);
[[nodiscard]] std::vector<std::uint8_t> shutdownCommand(std::uint16_t type);

[[nodiscard]] std::string hex32(std::uint32_t value);

} // namespace serve
