// Wire framing of the two TPM simulator protocols, as tpm2-tss's mssim and
// swtpm TCTIs speak them. Pure functions over received bytes: the server
// keeps each connection's unparsed bytes and asks these whether a whole
// frame has arrived, and builds answers with them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace serve {

enum class ParseStatus { NeedMore, Complete, Malformed };

struct Parse {
  ParseStatus status = ParseStatus::NeedMore;
  // Complete: bytes the frame takes. NeedMore: bytes the frame will take
  // once known, else 0.
  std::size_t size = 0;
  std::string reason; // Malformed: what was wrong
};

// --- mssim -----------------------------------------------------------------
// Both ports carry big-endian 32-bit codes. The command port takes
// "send command": code, locality byte, 32-bit size, command bytes; the
// answer is size, response, and a 32-bit zero. The platform port takes bare
// codes, each answered by a 32-bit zero. "Session end" on either port
// closes the connection without an answer.
namespace mssim {
inline constexpr std::uint32_t kPowerOn = 1;
inline constexpr std::uint32_t kPowerOff = 2;
inline constexpr std::uint32_t kHashData = 6;
inline constexpr std::uint32_t kSendCommand = 8;
inline constexpr std::uint32_t kNvOn = 11;
inline constexpr std::uint32_t kReset = 17;
inline constexpr std::uint32_t kSessionEnd = 20;
// The highest code the simulator protocol defines (test failure mode).
inline constexpr std::uint32_t kLastCode = 30;
inline constexpr std::size_t kCommandHeaderSize = 9;

// Command port. On Complete with code kSendCommand the command bytes are
// frame[9, size).
[[nodiscard]] Parse parseCommandPort(std::span<const std::uint8_t> in,
                                     std::uint32_t maxCommandSize);
// Platform port: every frame is one 4-byte code. Codes the protocol does
// not define, and the two that carry data, are malformed.
[[nodiscard]] Parse parsePlatformPort(std::span<const std::uint8_t> in);

[[nodiscard]] std::vector<std::uint8_t>
commandAnswer(std::span<const std::uint8_t> response);
[[nodiscard]] std::vector<std::uint8_t> platformAnswer();
[[nodiscard]] std::string platformSignalName(std::uint32_t code);
} // namespace mssim

// --- swtpm -----------------------------------------------------------------
// The data port carries raw TPM commands, framed by their own header, and
// raw responses. The control port carries a big-endian 32-bit command code
// and its fixed input; most answers start with a 32-bit result.
namespace swtpm {
inline constexpr std::uint32_t kGetCapability = 1;
inline constexpr std::uint32_t kInit = 2;
inline constexpr std::uint32_t kSetLocality = 5;
inline constexpr std::uint32_t kHashData = 7;
inline constexpr std::uint32_t kSetStateBlob = 13;
inline constexpr std::uint32_t kLockStorage = 19;

// Result codes of the control channel (the TPM 1.2 numbering it uses).
inline constexpr std::uint32_t kResultSuccess = 0;
inline constexpr std::uint32_t kResultFail = 9;
inline constexpr std::uint32_t kResultBadOrdinal = 10;
inline constexpr std::uint32_t kResultBadLocality = 0x3D;

inline constexpr std::uint8_t kMaxLocality = 4;

[[nodiscard]] Parse parseDataPort(std::span<const std::uint8_t> in,
                                  std::uint32_t maxCommandSize);
// Control port. A code this protocol does not define is Complete with size
// 4, so that the server can answer it before closing.
[[nodiscard]] Parse parseControlPort(std::span<const std::uint8_t> in);
[[nodiscard]] bool isKnownControlCode(std::uint32_t code);
[[nodiscard]] std::string controlName(std::uint32_t code);
[[nodiscard]] std::vector<std::uint8_t> controlAnswer(std::uint32_t result);
} // namespace swtpm

} // namespace serve
