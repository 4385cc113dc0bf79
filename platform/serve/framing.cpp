#include "framing.h"

#include <array>

#include "tpm_header.h"

namespace serve {

namespace {

constexpr std::size_t kCodeSize = 4;

Parse needMore(std::size_t expected = 0) {
  return {ParseStatus::NeedMore, expected, {}};
}
Parse complete(std::size_t size) { return {ParseStatus::Complete, size, {}}; }
Parse malformed(std::string reason) {
  return {ParseStatus::Malformed, 0, std::move(reason)};
}

} // namespace

namespace mssim {

Parse parseCommandPort(std::span<const std::uint8_t> in,
                       std::uint32_t maxCommandSize) {
  if (in.size() < kCodeSize) {
    return needMore();
  }
  const std::uint32_t code = tpm::readBe32(in, 0);
  if (code == kSessionEnd) {
    return complete(kCodeSize);
  }
  if (code != kSendCommand) {
    return malformed("unexpected code " + tpm::hex32(code) +
                     " on the command port (expected send command " +
                     tpm::hex32(kSendCommand) + " or session end " +
                     tpm::hex32(kSessionEnd) + ")");
  }
  if (in.size() < kCommandHeaderSize) {
    return needMore(kCommandHeaderSize);
  }
  const std::uint32_t size = tpm::readBe32(in, 5);
  if (size > maxCommandSize) {
    return malformed("command size " + std::to_string(size) +
                     " exceeds the maximum command size of " +
                     std::to_string(maxCommandSize) + " bytes");
  }
  const std::size_t total = kCommandHeaderSize + size;
  if (in.size() < total) {
    return needMore(total);
  }
  return complete(total);
}

Parse parsePlatformPort(std::span<const std::uint8_t> in) {
  if (in.size() < kCodeSize) {
    return needMore(kCodeSize);
  }
  const std::uint32_t code = tpm::readBe32(in, 0);
  if (code == 0 || code > kLastCode) {
    return malformed("unknown code " + tpm::hex32(code) +
                     " on the platform port (the protocol's codes run from 1 "
                     "to " +
                     std::to_string(kLastCode) + ")");
  }
  if (code == kHashData || code == kSendCommand) {
    // Both carry data after the code; answering the code alone would read
    // that data as further codes.
    return malformed("code " + tpm::hex32(code) +
                     " belongs on the command port, not the platform port");
  }
  return complete(kCodeSize);
}

std::vector<std::uint8_t>
commandAnswer(std::span<const std::uint8_t> response) {
  std::vector<std::uint8_t> out;
  out.reserve(response.size() + 8);
  tpm::appendBe32(out, static_cast<std::uint32_t>(response.size()));
  out.insert(out.end(), response.begin(), response.end());
  tpm::appendBe32(out, 0); // the client reads and discards this trailer
  return out;
}

std::vector<std::uint8_t> platformAnswer() {
  std::vector<std::uint8_t> out;
  tpm::appendBe32(out, 0);
  return out;
}

std::string platformSignalName(std::uint32_t code) {
  switch (code) {
  case kPowerOn:
    return "power on";
  case kPowerOff:
    return "power off";
  case kNvOn:
    return "NV on";
  case kReset:
    return "reset";
  case kSessionEnd:
    return "session end";
  default:
    return "signal " + tpm::hex32(code);
  }
}

} // namespace mssim

namespace swtpm {

namespace {

struct ControlCode {
  const char *name;
  std::size_t inputSize; // fixed input after the code
  // Inputs that end in data of variable length: where their 32-bit length
  // field ends within the input (0: no such data), and the largest length
  // accepted.
  std::size_t lengthEnd;
  std::uint32_t maxLength;
};

constexpr std::size_t kNoLength = 0;

// Indexed by code; entry 0 is unused. Input sizes are those of the control
// channel's request structures.
constexpr std::array<ControlCode, 20> kControlCodes{{
    {nullptr, 0, kNoLength, 0},
    {"get capability", 0, kNoLength, 0},
    {"init", 4, kNoLength, 0},
    {"shutdown", 0, kNoLength, 0},
    {"get TPM established", 0, kNoLength, 0},
    {"set locality", 1, kNoLength, 0},
    {"hash start", 0, kNoLength, 0},
    {"hash data", 4, 4, 4092},
    {"hash end", 0, kNoLength, 0},
    {"cancel TPM command", 0, kNoLength, 0},
    {"store volatile", 0, kNoLength, 0},
    {"reset TPM established", 1, kNoLength, 0},
    {"get state blob", 12, kNoLength, 0},
    {"set state blob", 12, 12, 0x10000},
    {"stop", 0, kNoLength, 0},
    {"get config", 0, kNoLength, 0},
    {"set data fd", 0, kNoLength, 0},
    {"set buffer size", 4, kNoLength, 0},
    {"get info", 16, kNoLength, 0},
    {"lock storage", 4, kNoLength, 0},
}};

} // namespace

bool isKnownControlCode(std::uint32_t code) {
  return code >= 1 && code < kControlCodes.size();
}

std::string controlName(std::uint32_t code) {
  return isKnownControlCode(code) ? kControlCodes[code].name
                                  : "control code " + tpm::hex32(code);
}

Parse parseDataPort(std::span<const std::uint8_t> in,
                    std::uint32_t maxCommandSize) {
  const auto size = tpm::headerSizeOf(in);
  if (!size) {
    return needMore(tpm::kHeaderSize);
  }
  if (*size < tpm::kHeaderSize) {
    return malformed("command header gives size " + std::to_string(*size) +
                     ", smaller than a TPM header");
  }
  if (*size > maxCommandSize) {
    return malformed("command size " + std::to_string(*size) +
                     " exceeds the maximum command size of " +
                     std::to_string(maxCommandSize) + " bytes");
  }
  return in.size() < *size ? needMore(*size) : complete(*size);
}

Parse parseControlPort(std::span<const std::uint8_t> in) {
  if (in.size() < kCodeSize) {
    return needMore(kCodeSize);
  }
  const std::uint32_t code = tpm::readBe32(in, 0);
  if (!isKnownControlCode(code)) {
    return complete(kCodeSize);
  }
  const ControlCode &entry = kControlCodes[code];
  std::size_t total = kCodeSize + entry.inputSize;
  if (entry.lengthEnd != kNoLength) {
    const std::size_t lengthEnd = kCodeSize + entry.lengthEnd;
    if (in.size() < lengthEnd) {
      return needMore();
    }
    const std::uint32_t length = tpm::readBe32(in, lengthEnd - 4);
    if (length > entry.maxLength) {
      return malformed(std::string(entry.name) + " length " +
                       std::to_string(length) + " exceeds " +
                       std::to_string(entry.maxLength) + " bytes");
    }
    total += length;
  }
  return in.size() < total ? needMore(total) : complete(total);
}

std::vector<std::uint8_t> controlAnswer(std::uint32_t result) {
  std::vector<std::uint8_t> out;
  tpm::appendBe32(out, result);
  return out;
}

} // namespace swtpm

} // namespace serve
