#include "tpm_frames.h"

#include <cstdio>

#include "backend.h"

namespace serve {

std::uint32_t readBe32(std::span<const std::uint8_t> bytes,
                       std::size_t offset) {
  return std::uint32_t{bytes[offset]} << 24 |
         std::uint32_t{bytes[offset + 1]} << 16 |
         std::uint32_t{bytes[offset + 2]} << 8 |
         std::uint32_t{bytes[offset + 3]};
}

void appendBe32(std::vector<std::uint8_t> &out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 24));
  out.push_back(static_cast<std::uint8_t>(value >> 16));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

void appendBe16(std::vector<std::uint8_t> &out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

std::optional<std::uint32_t> headerSize(std::span<const std::uint8_t> message) {
  if (message.size() < 6) {
    return std::nullopt;
  }
  return readBe32(message, 2);
}

std::optional<std::uint32_t> headerCode(std::span<const std::uint8_t> message) {
  if (message.size() < kTpmHeaderSize) {
    return std::nullopt;
  }
  return readBe32(message, 6);
}

std::vector<std::uint8_t> errorResponse(std::uint32_t rc) {
  std::vector<std::uint8_t> out;
  appendBe16(out, kTpmStNoSessions);
  appendBe32(out, kTpmHeaderSize);
  appendBe32(out, rc);
  return out;
}

namespace {
std::vector<std::uint8_t> suCommand(std::uint32_t code, std::uint16_t type) {
  std::vector<std::uint8_t> out;
  appendBe16(out, kTpmStNoSessions);
  appendBe32(out, kTpmHeaderSize + 2);
  appendBe32(out, code);
  appendBe16(out, type);
  return out;
}
} // namespace

std::vector<std::uint8_t> startupCommand(std::uint16_t type) {
  return suCommand(kTpmCcStartup, type);
}

std::vector<std::uint8_t> shutdownCommand(std::uint16_t type) {
  return suCommand(kTpmCcShutdown, type);
}

std::string hex32(std::uint32_t value) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

std::string Backend::commandName(std::uint32_t code) const {
  return "command " + hex32(code);
}

std::string Backend::responseCodeText(std::uint32_t rc) const {
  return hex32(rc);
}

} // namespace serve
