// The GDB remote protocol's pieces that the stub's two halves (the stops
// and the packet layer in gdb_stub.cpp, the packets in gdb_packets.cpp)
// share: its constants and how it spells numbers and bytes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace debug::gdb {

// Signals as GDB numbers them in stop replies.
inline constexpr int kSigInt = 2;
inline constexpr int kSigTrap = 5;
inline constexpr int kSigSegv = 11;

inline constexpr std::size_t kPacketSize = 0x4000;
inline constexpr std::chrono::milliseconds kSendTimeout{10'000};
// How many instructions run between two looks for GDB's interrupt byte.
inline constexpr unsigned kInterruptCheckEvery = 4096;
inline constexpr std::uint8_t kInterrupt = 0x03;

// Registers after the sixteen the machine holds: eight 80-bit x87 data
// registers and eight 32-bit x87 control registers. The module uses no x87
// code; GDB's IA-32 description needs them, so they read as zero.
inline constexpr unsigned kX87Data = 8;
inline constexpr unsigned kX87DataBytes = 10;
inline constexpr unsigned kX87Control = 8;

// The target description GDB reads (qXfer:features:read:target.xml).
extern const char *const kTargetXml;

std::string hexByte(std::uint8_t byte);
std::string hexBytes(std::span<const std::uint8_t> bytes);
// A 32-bit value in target (little-endian) byte order.
std::string hexLittle32(std::uint32_t value);
// The protocol's numbers: bare hex digits, no prefix.
std::optional<std::uint64_t> parseHex(std::string_view text);
std::optional<std::vector<std::uint8_t>> parseHexBytes(std::string_view text);
// Splits "a,b" (or "a,b:c" for the caller to cut first).
std::optional<std::pair<std::uint64_t, std::uint64_t>>
parsePair(std::string_view text);
std::string signalReply(int signal, const std::string &reason = {});
// A slice of an object GDB reads in pieces: 'm' and more, or 'l' and last.
std::string slice(const std::string &object, std::uint64_t offset,
                  std::uint64_t length);

} // namespace debug::gdb
